// kelvo.stream_reader.gst: the GStreamer stream reader and its parts.
//
// When it loads, the module binds every collaborator the reader uses as one of its own
// attributes (a missing module or name makes the import fail), and the reader looks each one up
// here at the moment it calls it: assigning another object to one of these names (as
// unittest.mock.patch does) takes effect for the next call. The module's class reports every
// assignment, so that what the reader caches (the converter) is looked up again.
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <thread>

#include "common.h"
#include "host/adapters.h"
#include "host/gi.h"
#include "host/py_host.h"

namespace kelvo::gst_module {

namespace {

// (module, name, name in this module)
struct Import {
  const char* module;
  const char* name;
  const char* as;
};

constexpr Import kImports[] = {
    {"kelvo.errors", "StreamSetupError", "StreamSetupError"},
    {"kelvo.logger", "get_stream_logger", "get_stream_logger"},
    {"kelvo.pipeline_factories", "RTSPPipelineFactory", "RTSPPipelineFactory"},
    {"kelvo.pipeline_factories", "HTTPPipelineFactory", "HTTPPipelineFactory"},
    {"kelvo.pipeline_factories", "CustomPipelineFactory", "CustomPipelineFactory"},
    {"kelvo.pipeline_factories", "PipelineFactory", "PipelineFactory"},
    {"kelvo.pipeline_factories", "BUFFER_SRC_NAME", "BUFFER_SRC_NAME"},
    {"kelvo.utils.gstreamer", "Pipeline", "Pipeline"},
    {"kelvo.utils.gstreamer", "sample_to_ndarray", "sample_to_ndarray"},
    {"kelvo.utils.gstreamer", "SampleConversionError", "SampleConversionError"},
    {"kelvo.utils.timing", "Timeout", "Timeout"},
    {"kelvo.stream_reader.base", "StreamReader", "StreamReader"},
    {"kelvo.stream_reader.base", "StreamStatus", "StreamStatus"},
    {"kelvo.stream_reader.base", "FRAME", "FRAME"},
    {"kelvo.stream_reader.runtime_options", "check_runtime_options", "check_runtime_options"},
};

py::object import_name(const char* module, const char* name) {
  py::object m = py::module_::import(module);
  if (!py::hasattr(m, name)) {
    throw py::import_error(std::string("cannot import name '") + name + "' from '" + module + "'");
  }
  return m.attr(name);
}

// Gives the module a class whose assignments bump the lookup generation.
void watch_assignments(py::module_& m) {
  py::dict scope;
  scope["_bump"] = py::cpp_function([] { adapters::bump_module_generation(); });
  py::exec(R"(
import types

class ReaderModule(types.ModuleType):
    """A module whose names the reader looks up at each use."""

    def __setattr__(self, name, value):
        super().__setattr__(name, value)
        _bump()

    def __delattr__(self, name):
        super().__delattr__(name)
        _bump()
)",
           scope);
  m.attr("__class__") = scope["ReaderModule"];
}

}  // namespace

[[noreturn]] void wrong_type(const char* argument, const char* expected, py::handle value) {
  char text[700];
  std::snprintf(text, sizeof text,
                "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
                expected, Py_TYPE(value.ptr())->tp_name);
  throw py::type_error(text);
}

int64_t to_id(py::handle value, const char* argument) {
  if (!PyLong_Check(value.ptr())) wrong_type(argument, "int", value);
  return value.cast<int64_t>();
}

double to_seconds(py::handle value, const char* argument) {
  if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr())) {
    wrong_type(argument, "float", value);
  }
  const double seconds = PyFloat_AsDouble(value.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    wrong_type(argument, "float", value);
  }
  return seconds;
}

StreamStatus to_status(py::handle value) {
  py::object type = py::module_::import("kelvo._kelvo").attr("StreamStatus");
  if (!py::isinstance(value, type)) {
    throw py::value_error(std::string(py::repr(value)) + " is not a valid StreamStatus");
  }
  // A value that is no member (StreamStatus(5)) is refused by the core with the same words.
  return checked_status(static_cast<StreamStatus>(
      py::int_(py::reinterpret_borrow<py::object>(value)).cast<int>()));
}

double module_seconds(const char* name) {
  return to_seconds(adapters::reader_module().attr(name), name);
}

void wait_interruptibly(const std::function<bool()>& done) {
  for (;;) {
    const bool finished = py_host::without_gil([&] {
      for (int i = 0; i < 20; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return done();
    });
    if (finished) return;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

}  // namespace kelvo::gst_module

PYBIND11_MODULE(gst, m) {
  using namespace kelvo;
  using namespace kelvo::gst_module;
  m.doc() = R"doc(The GStreamer stream reader and its parts.

GstStreamReader is the public class. The module also holds, as its own names, every
collaborator the reader uses (glib_runtime, get_stream_logger, the pipeline factories,
sample_to_ndarray, gstcallbacks, check_runtime_options, ...); the reader looks each one up here
when it calls it, so a caller may put its own in their place.)doc";
  py_host::init_module(m);
  gi::init();

  py::module_::import("kelvo._kelvo");
  m.attr("glib_runtime") = py::module_::import("kelvo.glib_runtime");
  for (const Import& i : kImports) m.attr(i.as) = import_name(i.module, i.name);
  m.attr("gstcallbacks") = py::module_::import("kelvo.utils.gstcallbacks");
  import_name("kelvo.utils.gstcallbacks", "add_keyframes_only_probe");

  m.attr("_STATE_CHANGE_TIMEOUT") = kStateChangeTimeoutSeconds;
  m.attr("_FRAME_TIMEOUT") = kFrameTimeoutSeconds;

  bind_engine(m);
  bind_reader(m);

  adapters::set_reader_module(m);
  watch_assignments(m);
}
