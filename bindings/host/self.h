// `self` of a bound method, checked: an object whose __init__ has not run (or has not finished,
// or failed) raises a clear RuntimeError instead of handing the method memory that holds no
// object (pybind11 allocates a value lazily for such an instance, uninitialised).
//
//   cls.def("close", on<Reader>([](Reader& r) { ... }));
//   cls.def_property_readonly("id", on<PipelineState>(&PipelineState::id));
#ifndef KELVO_BINDINGS_HOST_SELF_H_
#define KELVO_BINDINGS_HOST_SELF_H_

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

namespace kelvo::py_host {

namespace py = pybind11;

// The constructed T inside `self`; TypeError when `self` is no T, RuntimeError when its
// construction has not completed.
template <typename T>
T& constructed(py::handle self) {
  py::detail::type_info* info = py::detail::get_type_info(typeid(T));
  if (info == nullptr || !PyObject_TypeCheck(self.ptr(), info->type)) {
    throw py::type_error(std::string("descriptor needs a ") +
                         (info ? info->type->tp_name : "kelvo object") + ", not " +
                         Py_TYPE(self.ptr())->tp_name);
  }
  auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
  for (py::detail::value_and_holder v_h : py::detail::values_and_holders(inst)) {
    if (!v_h.holder_constructed()) {
      throw std::runtime_error(std::string("This ") + Py_TYPE(self.ptr())->tp_name +
                               " is not constructed: its __init__ has not run, has not "
                               "finished, or failed");
    }
  }
  // Constructed: pybind11's own cast finds T, a base class included.
  return self.cast<T&>();
}

namespace detail {

template <typename T, typename F, typename R, typename... Args>
auto checked_call(F f, R (F::*)(T&, Args...) const) {
  return [f](py::handle self, Args... args) -> R {
    return f(constructed<T>(self), std::forward<Args>(args)...);
  };
}

}  // namespace detail

// A callable taking `T&` first, as one taking the unchecked `self` (see constructed()).
template <typename T, typename F>
auto on(F f) {
  return detail::checked_call<T>(f, &F::operator());
}

template <typename T, typename R, typename C, typename... Args>
auto on(R (C::*member)(Args...) const) {
  return [member](py::handle self, Args... args) -> R {
    return (constructed<T>(self).*member)(std::forward<Args>(args)...);
  };
}

template <typename T, typename R, typename C, typename... Args>
auto on(R (C::*member)(Args...)) {
  return [member](py::handle self, Args... args) -> R {
    return (constructed<T>(self).*member)(std::forward<Args>(args)...);
  };
}

}  // namespace kelvo::py_host

#endif  // KELVO_BINDINGS_HOST_SELF_H_
