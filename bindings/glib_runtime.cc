// kelvo.glib_runtime: process-wide GStreamer initialization and the default GLib main loop.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <string>

#include "kelvo/rank_override.h"
#include "kelvo/runtime.h"
#include "host/gi.h"
#include "host/py_host.h"

namespace py = pybind11;

namespace kelvo {
namespace {

// The process's runtime, made at import; deliberately leaked, since the loop thread may outlive
// every Python object at exit.
GlibRuntime* runtime = nullptr;
py_host::PyLogger* package_logger = nullptr;

// `glib_runtime._lock`: the runtime's own re-entrant lock, as a Python lock. Taking it releases
// the GIL while it waits, like every other wait of kelvo's.
class RuntimeLock {
 public:
  bool acquire(bool blocking, double timeout) {
    std::recursive_timed_mutex& lock = runtime->lock();
    if (!blocking) return lock.try_lock();
    if (timeout < 0) {
      py_host::without_gil([&] { lock.lock(); });
      return true;
    }
    return py_host::without_gil([&] {
      return lock.try_lock_for(std::chrono::duration<double>(timeout));
    });
  }
  void release() { runtime->lock().unlock(); }
};

py::object runtime_state(const std::string& name) {
  if (name == "_running") {
    return py::bool_(py_host::without_gil([] { return runtime->running(); }));
  }
  if (name == "_glib_main_loop") {
    GMainLoop* loop = py_host::without_gil([] { return runtime->main_loop(); });
    if (loop == nullptr) return py::none();
    gi::init();
    return gi::wrap_main_loop(loop);
  }
  if (name == "_glib_main_loop_thread") {
    Thread* thread = py_host::without_gil([] { return runtime->loop_thread(); });
    return py_host::thread_object(thread);
  }
  throw py::attribute_error("module 'kelvo.glib_runtime' has no attribute '" + name + "'");
}

}  // namespace
}  // namespace kelvo

PYBIND11_MODULE(glib_runtime, m) {
  using namespace kelvo;
  m.doc() = "Provides functions to initialize and tear down GObject libraries.";
  py_host::init_module(m);

  package_logger = new py_host::PyLogger(py::module_::import("kelvo.logger").attr("logger"));
  runtime = new GlibRuntime(*package_logger, py_host::thread_launcher());

  // Every function releases the GIL before it takes the runtime's lock: the loop thread takes
  // the GIL to log while a caller may be waiting for that lock or for the thread.
  m.def(
      "start",
      [](py::object start_main_loop) {
        const int truth = PyObject_IsTrue(start_main_loop.ptr());
        if (truth < 0) throw py::error_already_set();
        const bool with_loop = truth == 1;
        py_host::without_gil([&] { runtime->start(with_loop); });
      },
      py::arg("start_main_loop") = true, R"doc(
Initialize GObject libraries if they're not already initialized.

:param start_main_loop: If true, a GLib MainLoop is created for the default MainContext and run
    on the daemon thread "GlibRuntimeThread". A host with a library such as Qt that starts its
    own MainLoop may not want that.)doc");

  m.def(
      "assert_started",
      [] { py_host::without_gil([] { runtime->assert_started(); }); },
      "Raises an exception if the GObject libraries have not been initialized.");

  m.def(
      "close",
      [] { py_host::without_gil([] { runtime->close(); }); },
      "Tears down the GObject libraries if they aren't already stopped.");

  py::class_<RuntimeLock>(m, "_RuntimeLock", R"doc(
The re-entrant lock that start, assert_started and close hold for their whole run.)doc")
      .def("acquire", &RuntimeLock::acquire, py::arg("blocking") = true, py::arg("timeout") = -1.0)
      .def("release", &RuntimeLock::release)
      .def("__enter__", [](RuntimeLock& lock) { return lock.acquire(true, -1); })
      .def("__exit__", [](RuntimeLock& lock, py::args) { lock.release(); });
  m.attr("_lock") = py::cast(new RuntimeLock(), py::return_value_policy::take_ownership);
  // The rest of the module state is read live: _running, _glib_main_loop (a GLib.MainLoop),
  // _glib_main_loop_thread (its threading.Thread).
  m.def("__getattr__", &runtime_state, py::arg("name"));

  m.def(
      "_state",
      [] {
        return py_host::without_gil([] {
          return std::make_tuple(runtime->running(), runtime->has_main_loop(),
                                 runtime->loop_thread_alive());
        });
      },
      "(running, a main loop was created, its thread is alive): for tests and diagnostics.");

  m.def(
      "_override_ranks",
      [] { py_host::without_gil([] { override_ranks(*package_logger); }); },
      R"doc(
Overrides the default rank values for the elements of any plugin that has a rank override
environment variable set. The variables have the form "KELVO_{plugin name}_RANK", with the
plugin name in all capitals, and the value is an integer rank; for example
KELVO_NVCODEC_RANK=257 lifts the decoders of the nvcodec plugin one step above PRIMARY.)doc");

  m.def(
      "_decoders",
      [] {
        std::vector<DecoderInfo> decoders = py_host::without_gil([] { return list_decoders(); });
        py::list out;
        for (const DecoderInfo& d : decoders) {
          py::dict item;
          item["plugin"] = d.plugin;
          item["factory"] = d.factory;
          item["long_name"] = d.long_name;
          item["klass"] = d.klass;
          item["rank"] = d.rank;
          item["variable"] = d.variable;
          out.append(item);
        }
        return out;
      },
      "Every decoder factory of rank MARGINAL or more: plugin, factory, rank, variable.");

  m.def("_gstreamer_version", [] {
    guint major, minor, micro, nano;
    gst_version(&major, &minor, &micro, &nano);
    return std::make_tuple(major, minor, micro, nano);
  });
}
