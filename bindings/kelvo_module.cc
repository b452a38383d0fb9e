// kelvo._kelvo: the core types that every other module shares (status, events, the reader base
// class) and the URL helpers.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "host/py_host.h"
#include "host/reader_base.h"
#include "kelvo/status.h"
#include "kelvo/sync.h"
#include "kelvo/url.h"

namespace py = pybind11;

namespace kelvo {
namespace {

// Waits on `event` without the GIL. A wait longer than a slice comes back for the GIL between
// slices to let the main thread see signals (Ctrl-C), as threading.Event.wait does. NaN, zero
// and negative time-outs only test the flag, as threading.Event.wait does.
bool wait_event(Event& event, std::optional<double> timeout) {
  constexpr double kSlice = 0.1;
  if (timeout && !(*timeout > 0)) return event.is_set();
  // After a fork() nobody in this process sets an event made before it.
  if (event.inherited_by_fork()) return event.is_set();
  double remaining = timeout.value_or(0);
  for (;;) {
    const double slice = timeout ? std::min(remaining, kSlice) : kSlice;
    const bool set = py_host::without_gil([&] { return event.wait(slice); });
    if (set) return true;
    if (timeout) {
      remaining -= slice;
      if (remaining <= 0) return false;
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

// The metaclass of StreamReader: pybind11's, except that a Python subclass need not run the
// base class's __init__ (GstStreamReader does not; a host's own reader may not either).
py::object permissive_metaclass() {
  py::object base = py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject*>(py::detail::get_internals().default_metaclass));
  py::dict namespace_;
  namespace_["__call__"] = py::reinterpret_borrow<py::object>(
      reinterpret_cast<PyObject*>(&PyType_Type)).attr("__call__");
  namespace_["__module__"] = "kelvo._kelvo";
  namespace_["__doc__"] = "The metaclass of kelvo's reader classes.";
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  return type("StreamReaderType", py::make_tuple(base), namespace_);
}

}  // namespace
}  // namespace kelvo

PYBIND11_MODULE(_kelvo, m) {
  using namespace kelvo;
  m.doc() = "Core types shared by kelvo's modules.";
  py_host::init_module(m);

  py::enum_<StreamStatus> status(m, "StreamStatus", "The status of a stream reader.");
  for (StreamStatus s : kAllStreamStatuses) status.value(status_name(s), s);
  status.def("__str__", [](StreamStatus s) { return to_string(s); });
  // pybind11 2.10 leaves `name` a method on this Python; members read it as an attribute.
  status.def_property_readonly("name", [](StreamStatus s) { return status_name(s); });

  py::class_<Event, std::shared_ptr<Event>>(m, "Event", R"doc(
A flag with set, clear, is_set and wait, like threading.Event.

kelvo's threads set it without Python's global lock; wait() releases that lock.)doc")
      .def(py::init<>())
      .def("set", &Event::set, py::call_guard<py::gil_scoped_release>(),
           "Sets the flag and wakes every waiter.")
      .def("clear", &Event::clear, "Clears the flag.")
      .def("is_set", &Event::is_set, "True when the flag is set.")
      .def("isSet", &Event::is_set, "Old name of is_set.")
      .def(
          "wait", [](Event& e, std::optional<double> timeout) { return wait_event(e, timeout); },
          py::arg("timeout") = py::none(), R"doc(
Blocks until the flag is set or `timeout` seconds pass (None: no limit). Returns the flag:
True when it is set, False on time-out.)doc")
      .def("__repr__", [](Event& e) {
        return std::string("<kelvo.Event: ") + (e.is_set() ? "set" : "unset") + ">";
      });

  py::class_<StreamReaderBase> reader(m, "StreamReader", py::metaclass(permissive_metaclass()),
                                      R"doc(
The base class of kelvo's stream readers.

A reader opens one stream, keeps it alive by itself, and publishes its newest frame:
`latest_frame` (a FRAME pair of pull time and image), the events `latest_frame_event`,
`new_frame_event` and `new_status_event`, `status`, `set_runtime_option_vals`, `close` and
`wait_until_closed`. A subclass need not call this class's __init__.)doc");
  reader.def(py::init<>());
  // Default RTSP jitter-buffer latency in milliseconds, suited to cameras on a LAN.
  reader.attr("DEFAULT_LATENCY") = 200;

  m.def("mask_password", [](const std::string& text) { return mask_password(text); },
        py::arg("text"), "The text with the password of every URL in it shown as ***.");
  m.def("url_scheme", [](const std::string& url) { return url_scheme(url); }, py::arg("url"),
        "The URL's scheme, lower-cased, as urllib.parse.urlsplit reports it.");
}
