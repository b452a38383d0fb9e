// kelvo.stream_reader.gst: the GStreamer stream reader.
//
// Thin: argument checks with the host's error texts, the GIL, and Python types. Every call that
// may wait for a core lock releases the GIL first; the frame path never takes it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <limits>
#include <thread>

#include "kelvo/stream_reader.h"
#include "py_host.h"
#include "reader_base.h"

namespace py = pybind11;

namespace kelvo {
namespace {

constexpr int kStateChangeTimeoutSeconds = 30;
constexpr int kFrameTimeoutSeconds = 120;

// Module objects and names imported when the module loads.
struct Imports {
  py::handle glib_runtime;
  py::handle get_stream_logger;
  py::handle check_runtime_options;
  py::handle module;  // this module, for its constants
};
Imports imports;

py::handle import_name(const char* module, const char* name) {
  py::object m = py::module_::import(module);
  if (!py::hasattr(m, name)) {
    throw py::import_error(std::string("cannot import name '") + name + "' from '" + module + "'");
  }
  return py::object(m.attr(name)).release();
}

[[noreturn]] void wrong_type(const char* argument, const char* expected, py::handle value) {
  char text[700];
  std::snprintf(text, sizeof text, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                argument, expected, Py_TYPE(value.ptr())->tp_name);
  throw py::type_error(text);
}

void require_exact(py::handle value, PyTypeObject* type, const char* argument) {
  if (Py_TYPE(value.ptr()) != type) wrong_type(argument, type->tp_name, value);
}

double to_seconds(py::handle value) {
  const double seconds = PyFloat_AsDouble(value.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return seconds;
}

// The reader as Python sees it: the core, and the Python objects of the current frame.
class PyGstStreamReader : public StreamReaderBase {
 public:
  PyGstStreamReader(std::shared_ptr<GstStreamReader> core, py::object logger)
      : core_(std::move(core)), logger_(std::move(logger)) {}

  // A reader dropped without close() is closed, without making the host wait.
  ~PyGstStreamReader() override {
    if (!core_ || core_->status() == StreamStatus::kClosed) return;
    std::thread([core = core_] { core->close(); }).detach();
  }

  GstStreamReader& core() { return *core_; }
  py::object logger() const { return logger_; }

  // (timestamp, array or None); the same objects until a new frame is published.
  py::object latest_frame() {
    std::shared_ptr<const PublishedFrame> published = core_->latest_frame();
    if (!cached_pair_ || published->sequence != cached_sequence_) {
      py::object image =
          published->frame ? py_host::frame_to_ndarray(published->frame) : py::none();
      cached_pair_ = py::make_tuple(published->timestamp, std::move(image));
      cached_sequence_ = published->sequence;
    }
    core_->latest_frame_event()->clear();
    return cached_pair_;
  }

 private:
  std::shared_ptr<GstStreamReader> core_;
  py::object logger_;
  py::object cached_pair_;  // with the GIL
  uint64_t cached_sequence_ = std::numeric_limits<uint64_t>::max();
};

std::unique_ptr<PyGstStreamReader> construct(py::object id, py::object url, py::object latency,
                                             py::object runtime_options, py::object pipeline_str,
                                             py::object must_play, py::object proxied,
                                             py::object setup_timeout,
                                             py::object base_backoff_seconds,
                                             py::object max_backoff_seconds,
                                             py::object backoff_randomness_seconds) {
  require_exact(id, &PyLong_Type, "id");
  require_exact(url, &PyUnicode_Type, "url");
  require_exact(latency, &PyLong_Type, "latency");
  require_exact(runtime_options, &PyDict_Type, "runtime_options");
  if (!pipeline_str.is_none()) require_exact(pipeline_str, &PyUnicode_Type, "pipeline_str");

  ReaderSettings settings;
  settings.setup_timeout = to_seconds(setup_timeout);
  settings.backoff.base_seconds = to_seconds(base_backoff_seconds);
  settings.backoff.max_seconds = to_seconds(max_backoff_seconds);
  settings.backoff.randomness_seconds = to_seconds(backoff_randomness_seconds);
  settings.id = id.cast<int64_t>();
  settings.url = url.cast<std::string>();
  settings.latency = latency.cast<int>();
  if (!pipeline_str.is_none()) settings.pipeline_str = pipeline_str.cast<std::string>();
  settings.must_play = PyObject_IsTrue(must_play.ptr()) == 1;
  settings.proxied = PyObject_IsTrue(proxied.ptr()) == 1;

  // Construction, in order: the stream logger, the option check, the runtime check.
  py::object logger = imports.get_stream_logger(url);
  py::object supported = py::type::of<PyGstStreamReader>().attr("_SUPPORTED_RUNTIME_OPTIONS");
  imports.check_runtime_options(runtime_options, supported);
  imports.glib_runtime.attr("assert_started")();
  py::dict options = runtime_options;
  if (options.contains("keyframes_only")) {
    settings.keyframes_only = PyObject_IsTrue(options["keyframes_only"].ptr()) == 1;
  }

  ReaderDeps deps;
  deps.logger = std::make_shared<py_host::PyLogger>(logger);
  deps.launcher = &py_host::thread_launcher();
  deps.state_change_timeout = to_seconds(imports.module.attr("_STATE_CHANGE_TIMEOUT"));
  deps.frame_timeout = to_seconds(imports.module.attr("_FRAME_TIMEOUT"));

  std::shared_ptr<GstStreamReader> core;
  {
    py::gil_scoped_release release;
    core = GstStreamReader::create(std::move(settings), std::move(deps));
  }
  return std::make_unique<PyGstStreamReader>(std::move(core), std::move(logger));
}

py::object state_name(GstState state) {
  return py::str(gst_element_state_get_name(state));
}

}  // namespace
}  // namespace kelvo

PYBIND11_MODULE(gst, m) {
  using namespace kelvo;
  m.doc() = "The GStreamer stream reader.";
  py_host::init_module(m);

  // Everything the reader uses from the rest of the package, imported now: a missing module or
  // name makes this module fail to load.
  py::module_::import("kelvo._kelvo");
  imports.glib_runtime = py::module_::import("kelvo.glib_runtime").release();
  imports.get_stream_logger = import_name("kelvo.logger", "get_stream_logger");
  imports.check_runtime_options =
      import_name("kelvo.stream_reader.runtime_options", "check_runtime_options");
  import_name("kelvo.errors", "StreamSetupError");
  for (const char* name : {"RTSPPipelineFactory", "HTTPPipelineFactory", "CustomPipelineFactory",
                           "PipelineFactory", "BUFFER_SRC_NAME"}) {
    import_name("kelvo.pipeline_factories", name);
  }
  for (const char* name : {"Pipeline", "sample_to_ndarray", "SampleConversionError"}) {
    import_name("kelvo.utils.gstreamer", name);
  }
  import_name("kelvo.utils.gstcallbacks", "add_keyframes_only_probe");
  import_name("kelvo.utils.timing", "Timeout");
  for (const char* name : {"StreamReader", "StreamStatus", "FRAME"}) {
    import_name("kelvo.stream_reader.base", name);
  }
  imports.module = m;

  m.attr("_STATE_CHANGE_TIMEOUT") = kStateChangeTimeoutSeconds;
  m.attr("_FRAME_TIMEOUT") = kFrameTimeoutSeconds;

  py::object base = py::module_::import("kelvo.stream_reader.base").attr("StreamReader");
  py::class_<PyGstStreamReader, StreamReaderBase> cls(m, "GstStreamReader", R"doc(
Reads a video stream with GStreamer and outputs frames with their timestamps.

The reader builds a pipeline for its URL (rtsp, http or https) or for the caller's pipeline
description, pulls samples from its appsink on the thread "SamplePullingThread" and publishes the
newest one as `latest_frame`: (wall-clock time of the pull, uint8 H×W×3 BGR array). It keeps the
stream alive by itself: end of stream, pipeline errors, conversion errors and stalls lead to a
new pipeline after an exponential back-off with a random part.)doc");

  py::dict supported;
  supported["keyframes_only"] = py::reinterpret_borrow<py::object>((PyObject*)&PyBool_Type);
  cls.attr("_SUPPORTED_RUNTIME_OPTIONS") = supported;

  cls.def(py::init(&construct), py::arg("id"), py::arg("url"), py::kw_only(),
          py::arg("latency") = base.attr("DEFAULT_LATENCY"), py::arg("runtime_options"),
          py::arg("pipeline_str") = py::none(), py::arg("must_play") = false,
          py::arg("proxied") = false, py::arg("setup_timeout") = 30.0,
          py::arg("base_backoff_seconds") = 12.0, py::arg("max_backoff_seconds") = 64.0,
          py::arg("backoff_randomness_seconds") = 10.0, R"doc(
:param id: Stream id, used only to tell streams apart in logs.
:param url: The URL to connect to. Also passed to a custom pipeline's factory.
:param latency: Latency for the RTSP pipeline, in milliseconds. A higher latency can give a
    smoother stream over an unstable connection. Ignored for HTTP(S) and custom pipelines.
:param runtime_options: Options that configure the pipeline at run time: {"keyframes_only": bool}.
:param pipeline_str: A custom GStreamer pipeline description with exactly one appsink; None
    selects a pipeline by URL scheme.
:param must_play: If true, the pipeline must reach the playing state before the constructor
    returns; a StreamSetupError is raised otherwise.
:param proxied: The stream runs through a proxy server (RTSP over TCP).
:param setup_timeout: Accepted for compatibility; it has no effect.
:param base_backoff_seconds: Constant part of the back-off before a restart.
:param max_backoff_seconds: Largest allowed time between restarts.
:param backoff_randomness_seconds: Largest random amount added to a back-off period.)doc");

  cls.def_property_readonly("id", [](PyGstStreamReader& r) { return r.core().id(); },
                            "The stream id.");
  cls.def_property(
      "status", [](PyGstStreamReader& r) { return r.core().status(); },
      [](PyGstStreamReader& r, StreamStatus status) {
        py::gil_scoped_release release;
        r.core().set_status(status);
      },
      "The stream status (deprecated: a None frame from latest_frame marks the end of a "
      "stream). Writing it is refused silently once the status is CLOSED.");
  cls.def_property_readonly(
      "new_frame_event", [](PyGstStreamReader& r) { return r.core().new_frame_event(); },
      "Set by every published frame; the caller clears it.");
  cls.def_property_readonly(
      "new_status_event", [](PyGstStreamReader& r) { return r.core().new_status_event(); },
      "Set by every status change; the caller clears it.");
  cls.def_property_readonly(
      "latest_frame_event", [](PyGstStreamReader& r) { return r.core().latest_frame_event(); },
      "Waiting on it returns True when a frame has been published that latest_frame has not "
      "returned yet, or when the stream has been closed and no more frames will come.");
  cls.def_property_readonly(
      "latest_frame", [](PyGstStreamReader& r) { return r.latest_frame(); },
      "(timestamp, frame): the newest frame and the wall-clock time it was pulled; frame is "
      "None before the first frame and after the stream was closed. Clears latest_frame_event. "
      "Never blocks.");
  cls.def(
      "set_runtime_option_vals",
      [](PyGstStreamReader& r, py::object runtime_options) {
        require_exact(runtime_options, &PyDict_Type, "runtime_options");
        py::object supported = py::type::of<PyGstStreamReader>().attr("_SUPPORTED_RUNTIME_OPTIONS");
        imports.check_runtime_options(runtime_options, supported);
        py::dict options = runtime_options;
        if (!options.contains("keyframes_only")) return;
        const bool value = PyObject_IsTrue(options["keyframes_only"].ptr()) == 1;
        py::gil_scoped_release release;
        r.core().set_keyframes_only(value);
      },
      py::arg("runtime_options"),
      "Changes runtime options while the stream runs: {\"keyframes_only\": bool}.");
  cls.def(
      "close",
      [](PyGstStreamReader& r) {
        py::gil_scoped_release release;
        r.core().close();
      },
      "Sends a request to stop the StreamReader.");
  cls.def(
      "wait_until_closed",
      [](PyGstStreamReader& r) {
        py::gil_scoped_release release;
        r.core().wait_until_closed();
      },
      "Blocks until the StreamReader is closed.");
  cls.def_property_readonly(
      "stats",
      [](PyGstStreamReader& r) {
        ReaderStats s = r.core().stats();
        py::dict d;
        d["frames_published"] = s.frames_published;
        d["frames_dropped"] = s.frames_dropped ? py::cast(*s.frames_dropped) : py::none();
        d["restarts"] = s.restarts;
        d["backoff_seconds"] = s.backoff_seconds;
        d["last_frame_age"] = s.last_frame_age ? py::cast(*s.last_frame_age) : py::none();
        d["last_error"] = s.last_error ? py::object(py_host::to_py_str(*s.last_error)) : py::none();
        d["gst_state"] = state_name(s.gst_state);
        d["keyframes_only"] = s.keyframes_only;
        d["width"] = s.width;
        d["height"] = s.height;
        d["format"] = s.format.empty() ? py::object(py::none()) : py::object(py::str(s.format));
        return d;
      },
      "Health figures of the reader, as a new dict (see the README).");
  cls.def("__repr__", [](PyGstStreamReader& r) {
    return "<GstStreamReader id=" + std::to_string(r.core().id()) + " " +
           to_string(r.core().status()) + ">";
  });
}
