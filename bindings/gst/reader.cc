// GstStreamReader as Python sees it: argument checks with the host's error texts, the
// collaborators looked up on the module at each call, and the GIL released around everything
// that may wait. The frame path with kelvo's own collaborators never takes the GIL.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <limits>
#include <string>

#include "common.h"
#include "host/adapters.h"
#include "host/py_host.h"
#include "host/reader_base.h"
#include "host/self.h"
#include "kelvo/errors.h"
#include "kelvo/stream_reader.h"

namespace kelvo::gst_module {

namespace {

using py_host::on;
using py_host::without_gil;

constexpr char kInherited[] =
    "This GstStreamReader belongs to the process that made it: after fork() the child has none "
    "of its threads";

// The reader as Python sees it: the core, and the Python objects of the current frame.
class PyGstStreamReader : public StreamReaderBase {
 public:
  PyGstStreamReader(std::shared_ptr<GstStreamReader> core, py::object url)
      : core_(std::move(core)), url_(std::move(url)) {}

  // A reader dropped without close() is closed: at once when nothing holds its status, by the
  // thread "StreamReaderCloseThread" otherwise; the host never waits here.
  ~PyGstStreamReader() override {
    if (!core_ || core_->inherited_by_fork() || core_->status() == StreamStatus::kClosed) return;
    core_->close_without_waiting();
  }

  GstStreamReader& core() { return *core_; }
  const std::shared_ptr<GstStreamReader>& shared() const { return core_; }
  py::object url() const { return url_; }

  // (timestamp, image or None); the same objects until a new frame is published. The event is
  // cleared first, so that a frame published meanwhile leaves it set.
  py::object latest_frame(bool clear_event) {
    if (clear_event) core_->latest_frame_event()->clear();
    std::shared_ptr<const PublishedFrame> published = core_->latest_frame();
    if (!cached_pair_ || published->sequence != cached_sequence_) {
      py::object image =
          published->frame ? py_host::frame_to_python(published->frame) : py::none();
      cached_pair_ = py::make_tuple(published->timestamp, std::move(image));
      cached_sequence_ = published->sequence;
    }
    return cached_pair_;
  }

 private:
  std::shared_ptr<GstStreamReader> core_;
  py::object url_;
  py::object cached_pair_;  // with the GIL
  uint64_t cached_sequence_ = std::numeric_limits<uint64_t>::max();
};

// `r`, refused when it was inherited through fork(): for operations that would wait for its
// threads.
PyGstStreamReader& own_reader(PyGstStreamReader& r) {
  if (r.core().inherited_by_fork()) throw std::runtime_error(kInherited);
  return r;
}

// `value` as UTF-8 text; a clear error naming `argument` for text that is not valid Unicode
// (a lone surrogate).
std::string to_text(py::handle value, const char* argument) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    throw py::value_error(std::string("Argument '") + argument +
                          "' is not valid Unicode text (it holds a lone surrogate)");
  }
  return std::string(data, static_cast<size_t>(size));  // NUL characters: refused by the core
}

void require_exact(py::handle value, PyTypeObject* type, const char* argument) {
  if (Py_TYPE(value.ptr()) != type) wrong_type(argument, type->tp_name, value);
}

// A mapping of option names to values (any collections.abc.Mapping).
void require_mapping(py::handle value, const char* argument) {
  py::object mapping = py::module_::import("collections.abc").attr("Mapping");
  if (!py::isinstance(value, mapping)) wrong_type(argument, "dict", value);
}

py::object supported_runtime_options() {
  return adapters::reader_module().attr("GstStreamReader").attr("_SUPPORTED_RUNTIME_OPTIONS");
}

// The factory class the module names for `kind`, and kelvo's own class of that kind.
const char* factory_name(FactoryRequest::Kind kind) {
  switch (kind) {
    case FactoryRequest::Kind::kRtsp:
      return "RTSPPipelineFactory";
    case FactoryRequest::Kind::kHttp:
      return "HTTPPipelineFactory";
    case FactoryRequest::Kind::kCustom:
      break;
  }
  return "CustomPipelineFactory";
}

// Makes the reader's factory: kelvo's own natively (bus watch and completion without Python),
// any other class through Python with the restarter's watcher and the reader's completion
// callback. Runs on the constructing thread inside the core's create(), without the GIL.
std::shared_ptr<PipelineFactory> make_factory(const FactoryRequest& request) {
  std::shared_ptr<PipelineFactory> factory;
  py_host::with_gil([&] {
    const char* name = factory_name(request.kind);
    py::object cls = adapters::reader_module().attr(name);
    if (cls.is(py::module_::import("kelvo._pipelines").attr(name))) {
      factory = make_gst_factory(request);
      return;
    }
    py::object watcher = adapters::make_python_watcher(request.restarter);
    py::object on_complete = adapters::make_python_on_complete(request.reader);
    py::object made;
    switch (request.kind) {
      case FactoryRequest::Kind::kRtsp:
        made = cls(py::arg("url") = request.url, py::arg("latency") = request.latency,
                   py::arg("pipeline_watcher") = watcher, py::arg("force_tcp") = request.force_tcp,
                   py::arg("on_complete") = on_complete);
        break;
      case FactoryRequest::Kind::kHttp:
        made = cls(py::arg("url") = request.url, py::arg("pipeline_watcher") = watcher,
                   py::arg("on_complete") = on_complete);
        break;
      case FactoryRequest::Kind::kCustom:
        made = cls(request.pipeline_str, py::arg("url") = request.url,
                   py::arg("pipeline_watcher") = watcher, py::arg("on_complete") = on_complete);
        break;
    }
    factory = adapters::factory_from_python(std::move(made));
  });
  return factory;
}

// Raises the module's StreamSetupError (whatever the caller put there) with `message`.
[[noreturn]] void raise_setup_error(const std::string& message) {
  py::object type = adapters::reader_module().attr("StreamSetupError");
  PyErr_SetObject(type.ptr(), py_host::to_py_str(message).ptr());
  throw py::error_already_set();
}

std::unique_ptr<PyGstStreamReader> construct(
    py::object id, py::object url, py::object latency, py::object runtime_options,
    py::object pipeline_str, py::object must_play, py::object proxied, py::object setup_timeout,
    py::object base_backoff_seconds, py::object max_backoff_seconds,
    py::object backoff_randomness_seconds) {
  // Argument checks, before any construction step.
  require_exact(id, &PyLong_Type, "id");
  require_exact(url, &PyUnicode_Type, "url");
  require_exact(latency, &PyLong_Type, "latency");
  require_mapping(runtime_options, "runtime_options");
  if (!pipeline_str.is_none()) require_exact(pipeline_str, &PyUnicode_Type, "pipeline_str");

  ReaderSettings settings;
  settings.setup_timeout = to_seconds(setup_timeout, "setup_timeout");
  settings.backoff.base_seconds = to_seconds(base_backoff_seconds, "base_backoff_seconds");
  settings.backoff.max_seconds = to_seconds(max_backoff_seconds, "max_backoff_seconds");
  settings.backoff.randomness_seconds =
      to_seconds(backoff_randomness_seconds, "backoff_randomness_seconds");
  settings.id = id.cast<int64_t>();
  settings.url = to_text(url, "url");
  settings.latency = latency.cast<int>();
  if (!pipeline_str.is_none()) settings.pipeline_str = to_text(pipeline_str, "pipeline_str");
  settings.must_play = PyObject_IsTrue(must_play.ptr()) == 1;
  settings.proxied = PyObject_IsTrue(proxied.ptr()) == 1;
  settings.max_frame_pixels = adapters::configured_max_frame_pixels();

  // Construction, in order: the stream logger, the option check, the runtime check; each looked
  // up on the module now.
  py::object module = adapters::reader_module();
  py::object logger = module.attr("get_stream_logger")(url);
  module.attr("check_runtime_options")(runtime_options, supported_runtime_options());
  module.attr("glib_runtime").attr("assert_started")();
  py::object keyframes_only = runtime_options.attr("get")("keyframes_only", false);
  settings.keyframes_only = PyObject_IsTrue(keyframes_only.ptr()) == 1;

  ReaderDeps deps;
  deps.logger = std::make_shared<py_host::PyLogger>(logger);
  deps.launcher = &py_host::thread_launcher();
  deps.make_factory = make_factory;
  deps.convert = adapters::make_reader_converter(settings.max_frame_pixels);
  deps.probe = &adapters::reader_keyframe_probe();
  deps.state_change_timeout = module_seconds("_STATE_CHANGE_TIMEOUT");
  deps.frame_timeout = module_seconds("_FRAME_TIMEOUT");

  std::shared_ptr<GstStreamReader> core;
  try {
    core = without_gil([&] { return GstStreamReader::create(std::move(settings), std::move(deps)); });
  } catch (const StreamSetupError& error) {
    raise_setup_error(error.what());
  }
  return std::make_unique<PyGstStreamReader>(std::move(core), std::move(url));
}

py::dict stats_dict(const ReaderStats& s) {
  py::dict d;
  d["frames_published"] = s.frames_published;
  d["frames_dropped"] = s.frames_dropped ? py::cast(*s.frames_dropped) : py::none();
  d["restarts"] = s.restarts;
  d["backoff_seconds"] = s.backoff_seconds;
  d["last_frame_age"] = s.last_frame_age ? py::cast(*s.last_frame_age) : py::none();
  d["last_error"] = s.last_error ? py::object(py_host::to_py_str(*s.last_error)) : py::none();
  d["gst_state"] = py::str(gst_element_state_get_name(s.gst_state));
  d["keyframes_only"] = s.keyframes_only;
  d["width"] = s.width;
  d["height"] = s.height;
  d["format"] = s.format.empty() ? py::object(py::none()) : py::object(py::str(s.format));
  return d;
}

}  // namespace

void bind_reader(py::module_& m) {
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

  cls.def_property(
      "id", on<PyGstStreamReader>([](PyGstStreamReader& r) { return r.core().id(); }),
      on<PyGstStreamReader>([](PyGstStreamReader& r, py::object id) { r.core().set_id(to_id(id, "id")); }),
      "The stream id, written into the reader's log lines.");
  cls.def_property(
      "status", on<PyGstStreamReader>([](PyGstStreamReader& r) { return r.core().status(); }),
      on<PyGstStreamReader>([](PyGstStreamReader& r, py::object status) {
        GstStreamReader& core = own_reader(r).core();
        const StreamStatus value = to_status(status);
        without_gil([&] { core.set_status(value); });
      }),
      "The stream status (deprecated: a None frame from latest_frame marks the end of a "
      "stream). Writing it is refused silently once the status is CLOSED.");
  cls.def_property_readonly(
      "new_frame_event",
      on<PyGstStreamReader>([](PyGstStreamReader& r) { return r.core().new_frame_event(); }),
      "Set by every published frame; the caller clears it.");
  cls.def_property_readonly(
      "new_status_event",
      on<PyGstStreamReader>([](PyGstStreamReader& r) { return r.core().new_status_event(); }),
      "Set by every status change; the caller clears it.");
  cls.def_property_readonly(
      "latest_frame_event",
      on<PyGstStreamReader>([](PyGstStreamReader& r) { return r.core().latest_frame_event(); }),
      "Waiting on it returns True when a frame has been published that latest_frame has not "
      "returned yet, or when the stream has been closed and no more frames will come.");
  cls.def_property_readonly(
      "latest_frame", on<PyGstStreamReader>([](PyGstStreamReader& r) { return r.latest_frame(true); }),
      "(timestamp, frame): the newest frame and the wall-clock time it was pulled; frame is "
      "None before the first frame and after the stream was closed. Clears latest_frame_event. "
      "Never blocks.");
  cls.def(
      "set_runtime_option_vals",
      on<PyGstStreamReader>([](PyGstStreamReader& r, py::object runtime_options) {
        GstStreamReader& core = own_reader(r).core();
        require_mapping(runtime_options, "runtime_options");
        adapters::reader_module().attr("check_runtime_options")(runtime_options,
                                                                 supported_runtime_options());
        if (!runtime_options.attr("__contains__")("keyframes_only").cast<bool>()) return;
        py::object value = runtime_options.attr("__getitem__")("keyframes_only");
        const bool on = PyObject_IsTrue(value.ptr()) == 1;
        without_gil([&] { core.set_keyframes_only(on); });
      }),
      py::arg("runtime_options"),
      "Changes runtime options while the stream runs: {\"keyframes_only\": bool}.");
  cls.def(
      "close",
      on<PyGstStreamReader>([](PyGstStreamReader& r, bool block) {
        GstStreamReader& core = r.core();
        if (core.inherited_by_fork()) return;
        if (block) {
          without_gil([&] { core.close(); });
        } else {
          without_gil([&] { core.close_without_waiting(); });
        }
      }),
      py::arg("block") = true, R"doc(
Sends a request to stop the StreamReader.

It does not wait for the reader's threads; it may wait while the reader backs off or restarts.
With block=False it never waits: the close then happens as soon as the restart in progress is
done, and no new restart begins.)doc");
  cls.def(
      "wait_until_closed",
      on<PyGstStreamReader>([](PyGstStreamReader& r) {
        GstStreamReader& core = r.core();
        if (core.inherited_by_fork()) return;
        without_gil([&] { core.close(); });
        Thread* thread = without_gil([&] { return core.restarter().thread(); });
        if (thread == nullptr) return;
        wait_interruptibly([thread] { return thread->finished(); });
        without_gil([&] { core.wait_until_closed(); });
      }),
      "Blocks until the StreamReader is closed.");
  cls.def_property_readonly(
      "stats",
      on<PyGstStreamReader>([](PyGstStreamReader& r) {
        GstStreamReader& core = r.core();
        return stats_dict(without_gil([&] { return core.stats(); }));
      }),
      "Health figures of the reader, as a new dict (see the README).");
  cls.def("__repr__", [](py::handle self) {
    PyGstStreamReader* r = nullptr;
    try {
      r = &py_host::constructed<PyGstStreamReader>(self);
    } catch (const std::runtime_error&) {
      return std::string("<GstStreamReader (not constructed)>");
    }
    return "<GstStreamReader id=" + std::to_string(r->core().id()) + " " +
           to_string(r->core().status()) + ">";
  });

  // The reader's private members.
  cls.def_property_readonly("_logger", on<PyGstStreamReader>([](PyGstStreamReader& r) {
    return py_host::logger_object(r.core().logger());
  }));
  cls.def_property_readonly("_url", on<PyGstStreamReader>([](PyGstStreamReader& r) { return r.url(); }));
  cls.def_property_readonly("_pipeline_state", on<PyGstStreamReader>([](PyGstStreamReader& r) {
    return r.core().shared_pipeline_state();
  }));
  cls.def_property_readonly("_pipeline_restarter", on<PyGstStreamReader>([](PyGstStreamReader& r) {
    return r.core().shared_restarter();
  }));
  cls.def_property_readonly("_keyframe_filter", on<PyGstStreamReader>([](PyGstStreamReader& r) {
    return r.core().shared_keyframe_filter();
  }));
  cls.def_property_readonly("_sample_pulling_thread", on<PyGstStreamReader>([](PyGstStreamReader& r) {
    return py_host::thread_object(r.core().pulling_thread());
  }));
  cls.def_property_readonly(
      "_latest_frame", on<PyGstStreamReader>([](PyGstStreamReader& r) { return r.latest_frame(false); }));
  cls.def_property_readonly("_latest_frame_event", on<PyGstStreamReader>([](PyGstStreamReader& r) {
    return r.core().latest_frame_event();
  }));
  cls.def_property_readonly("_new_frame_event", on<PyGstStreamReader>([](PyGstStreamReader& r) {
    return r.core().new_frame_event();
  }));
  cls.def(
      "_pull_samples",
      on<PyGstStreamReader>([](PyGstStreamReader& r) {
        std::shared_ptr<GstStreamReader> core = own_reader(r).shared();
        without_gil([&] { core->pull_samples(); });
      }),
      "The body of the thread SamplePullingThread: pulls, converts and publishes frames until "
      "the stream is closed.");
  cls.def(
      "_on_pipeline_complete",
      on<PyGstStreamReader>([](PyGstStreamReader& r, py::object pipeline) {
        std::shared_ptr<GstStreamReader> core = own_reader(r).shared();
        std::shared_ptr<Pipeline> finished =
            pipeline.is_none() ? nullptr : adapters::pipeline_from_python(std::move(pipeline));
        without_gil([&] {
          if (finished) {
            core->on_pipeline_complete(finished);
          } else {
            core->keyframe_filter().update_pad_probe();
          }
        });
      }),
      py::arg("_pipeline"), "Applies keyframe-only streaming to a finished pipeline.");
}

}  // namespace kelvo::gst_module
