// kelvo._pipelines: pipelines, factories, frames and the keyframe probe, seen from Python.
//
// Thin: GStreamer objects cross as PyGObject's own objects (Gst.Sample, Gst.Pad, Gst.Element,
// Gst.Message), calls that may wait release the GIL, and Python callbacks run from GStreamer's
// threads take the GIL only through py_host::PythonCall.
#include <cxxabi.h>
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pygobject.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "kelvo/errors.h"
#include "kelvo/factories.h"
#include "kelvo/frame.h"
#include "kelvo/gst_pipeline.h"
#include "kelvo/pipeline.h"
#include "py_host.h"

namespace py = pybind11;

namespace kelvo {
namespace {

// The Python module gi.repository.Gst, imported at load.
py::handle gst_module;

// ---- PyGObject conversions -------------------------------------------------------------------

// A new Python wrapper of `object` (PyGObject takes its own reference); None for null.
py::object wrap_object(gpointer object) {
  if (object == nullptr) return py::none();
  return py::reinterpret_steal<py::object>(pygobject_new(G_OBJECT(object)));
}

// A new Python wrapper of a mini object (Gst.Sample, Gst.Message) with its own reference.
py::object wrap_mini_object(GType type, gpointer object) {
  if (object == nullptr) return py::none();
  PyObject* wrapped = pyg_boxed_new(type, object, TRUE, TRUE);
  if (wrapped == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(wrapped);
}

// The GObject inside a PyGObject wrapper of `type`, or a TypeError naming `argument`.
gpointer unwrap_object(py::handle value, GType type, const char* argument, const char* expected) {
  if (PyObject_TypeCheck(value.ptr(), &PyGObject_Type)) {
    GObject* object = pygobject_get(value.ptr());
    if (object != nullptr && G_TYPE_CHECK_INSTANCE_TYPE(object, type)) return object;
  }
  throw py::type_error(std::string("Argument '") + argument + "' must be a " + expected +
                       ", not " + Py_TYPE(value.ptr())->tp_name);
}

// The boxed value inside a PyGObject wrapper of `type` (Gst.Sample...), or a TypeError.
gpointer unwrap_boxed(py::handle value, GType type, const char* argument, const char* expected) {
  if (PyObject_TypeCheck(value.ptr(), &PyGBoxed_Type) &&
      reinterpret_cast<PyGBoxed*>(value.ptr())->gtype == type) {
    return pyg_boxed_get_ptr(value.ptr());
  }
  throw py::type_error(std::string("Argument '") + argument + "' must be a " + expected +
                       ", not " + Py_TYPE(value.ptr())->tp_name);
}

py::object gst_enum(const char* type, int value) { return gst_module.attr(type)(value); }

// ---- Python callables called from GStreamer's threads -----------------------------------------

// Reports an error raised by a Python callback the way Python reports errors nobody can catch.
void report_unraisable(py::error_already_set& error, const char* where) {
  error.discard_as_unraisable(py::str(where));
}

class PyPipeline;

// The package logger, for errors of callbacks; lives until the process ends.
Logger* package_logger() {
  static Logger* logger = [] {
    py::object python_logger = py::module_::import("kelvo.logger").attr("logger");
    return static_cast<Logger*>(new py_host::PyLogger(python_logger));
  }();
  return logger;
}

PipelineWatcher make_watcher(py::object callable) {
  if (callable.is_none()) return nullptr;
  auto target = std::make_shared<py_host::SharedPyObject>(std::move(callable));
  return [target](GstBus* bus, GstMessage* message, gpointer pipeline) -> gboolean {
    py_host::PythonCall call;
    if (!call.ok()) return TRUE;
    py::gil_scoped_acquire gil;
    try {
      py::object keep = target->get()(wrap_object(bus), wrap_mini_object(GST_TYPE_MESSAGE, message),
                                      wrap_object(pipeline));
      return PyObject_IsTrue(keep.ptr()) == 1 ? TRUE : FALSE;
    } catch (py::error_already_set& error) {
      report_unraisable(error, "kelvo pipeline watcher");
      return TRUE;
    }
  };
}

PipelineCompleteCallback make_on_complete(py::object callable);

// ---- Pipeline --------------------------------------------------------------------------------

// What Python holds of a pipeline. Dropping the last reference may stop the pipeline, which
// waits for GStreamer's threads, and they may wait for the GIL: so the GIL goes first.
class PyPipeline {
 public:
  explicit PyPipeline(std::shared_ptr<Pipeline> pipeline) : pipeline_(std::move(pipeline)) {}
  ~PyPipeline() {
    if (PyGILState_Check()) {
      py::gil_scoped_release release;
      pipeline_.reset();
    }
  }
  PyPipeline(const PyPipeline&) = delete;
  PyPipeline& operator=(const PyPipeline&) = delete;

  Pipeline& core() const { return *pipeline_; }
  const std::shared_ptr<Pipeline>& shared() const { return pipeline_; }

 private:
  std::shared_ptr<Pipeline> pipeline_;
};

PipelineCompleteCallback make_on_complete(py::object callable) {
  if (callable.is_none()) return nullptr;
  auto target = std::make_shared<py_host::SharedPyObject>(std::move(callable));
  return [target](const std::shared_ptr<Pipeline>& pipeline) {
    py_host::PythonCall call;
    if (!call.ok()) return;
    py::gil_scoped_acquire gil;
    try {
      target->get()(py::cast(std::make_unique<PyPipeline>(pipeline)));
    } catch (py::error_already_set& error) {
      report_unraisable(error, "kelvo pipeline complete callback");
    }
  };
}

std::function<void()> make_destructor(py::object callable) {
  auto target = std::make_shared<py_host::SharedPyObject>(std::move(callable));
  return [target] {
    py_host::PythonCall call;
    if (!call.ok()) return;
    py::gil_scoped_acquire gil;
    try {
      target->get()();
    } catch (py::error_already_set& error) {
      report_unraisable(error, "kelvo pipeline destructor");
    }
  };
}

double to_seconds(py::handle value, const char* argument) {
  const double seconds = PyFloat_AsDouble(value.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw py::type_error(std::string("Argument '") + argument + "' must be a number of seconds");
  }
  return seconds;
}

GstClockTime to_clock_time(py::handle value) {
  const long long nanoseconds = PyLong_AsLongLong(value.ptr());
  if (nanoseconds == -1 && PyErr_Occurred()) throw py::error_already_set();
  return nanoseconds < 0 ? GST_CLOCK_TIME_NONE : static_cast<GstClockTime>(nanoseconds);
}

// ---- Frames ----------------------------------------------------------------------------------

// The caller's frame size limit, kelvo.utils.gstreamer.MAX_FRAME_PIXELS, read at each use so
// that an assignment takes effect at once. With the GIL.
uint64_t max_frame_pixels() {
  py::object value = py::module_::import("kelvo.utils.gstreamer").attr("MAX_FRAME_PIXELS");
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
    throw py::type_error(std::string("kelvo.utils.gstreamer.MAX_FRAME_PIXELS must be an int, not ") +
                         Py_TYPE(value.ptr())->tp_name);
  }
  const unsigned long long pixels = PyLong_AsUnsignedLongLong(value.ptr());
  if (PyErr_Occurred() || pixels == 0) {
    PyErr_Clear();
    throw py::value_error("kelvo.utils.gstreamer.MAX_FRAME_PIXELS must be 1 or more, not " +
                          std::string(py::str(value)));
  }
  return pixels;
}

py::object sample_to_ndarray(py::handle sample_object) {
  auto* sample = static_cast<GstSample*>(
      unwrap_boxed(sample_object, GST_TYPE_SAMPLE, "sample", "Gst.Sample"));
  const uint64_t max_pixels = max_frame_pixels();
  std::shared_ptr<Frame> frame;
  {
    py::gil_scoped_release release;
    frame = sample_to_frame(sample, max_pixels);
  }
  if (!frame) return py::none();
  return py_host::frame_to_ndarray(frame);
}

void require_gstreamer() {
  if (!gst_is_initialized()) {
    throw std::runtime_error(
        "GStreamer is not initialized: call kelvo.glib_runtime.start() (or Gst.init) first");
  }
}

// Builds with the GIL released: a custom pipeline reports itself complete inside build(), and
// that callback takes the GIL.
py::object build_with(const std::shared_ptr<PipelineFactory>& factory) {
  require_gstreamer();
  std::shared_ptr<Pipeline> pipeline;
  {
    py::gil_scoped_release release;
    pipeline = factory->build();
  }
  return py::cast(std::make_unique<PyPipeline>(std::move(pipeline)));
}

}  // namespace
}  // namespace kelvo

PYBIND11_MODULE(_pipelines, m) {
  using namespace kelvo;
  py_host::init_module(m);
  if (pygobject_init(3, 0, 0) == nullptr) throw py::error_already_set();
  {
    // PyGObject's importer draws an ImportWarning from newer Pythons; a host that turns
    // warnings into errors must still be able to import kelvo.
    py::object warnings = py::module_::import("warnings");
    py::object quiet = warnings.attr("catch_warnings")();
    quiet.attr("__enter__")();
    try {
      warnings.attr("simplefilter")("ignore", py::handle(PyExc_ImportWarning));
      py::object gi = py::module_::import("gi");
      gi.attr("require_version")("Gst", "1.0");
      gi.attr("require_version")("GstApp", "1.0");
      gst_module = py::module_::import("gi.repository.Gst").release();
      // The appsink then comes out as a GstApp.AppSink, with try_pull_sample and the rest.
      py::module_::import("gi.repository.GstApp");
    } catch (...) {
      quiet.attr("__exit__")(py::none(), py::none(), py::none());
      throw;
    }
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
  }

  m.doc() = "Pipelines, pipeline factories, frames and the keyframe probe of kelvo.";
  m.attr("BUFFER_SRC_NAME") = kBufferSrcName;
  m.attr("DEFAULT_MAX_FRAME_PIXELS") = kDefaultMaxFramePixels;

  py::class_<PyPipeline>(m, "Pipeline", R"doc(
A GStreamer pipeline built by a factory, which owns it.

Thread-safe. ``release_resources()`` runs the registered destructors, removes the bus watch and
frees the pipeline; every operation stays safe afterwards (the state reads NULL, pulls return
None, lookups find nothing).)doc")
      .def_property_readonly(
          "appsink", [](const PyPipeline& p) { return wrap_object(p.core().appsink()); },
          "The pipeline's appsink (a Gst.Element), alive as long as this object.")
      .def_property_readonly(
          "gst_pipeline",
          [](const PyPipeline& p) -> py::object {
            auto* wrapper = dynamic_cast<GstPipelineWrapper*>(&p.core());
            if (wrapper == nullptr) return py::none();
            GstElementPtr pipeline = wrapper->gst_pipeline();
            return wrap_object(pipeline.get());
          },
          "The Gst.Pipeline itself, or None once released.")
      .def(
          "set_state",
          [](PyPipeline& p, py::handle state) {
            const int value = py::int_(py::reinterpret_borrow<py::object>(state));
            GstStateChangeReturn result;
            {
              py::gil_scoped_release release;
              result = p.core().set_state(static_cast<GstState>(value));
            }
            return gst_enum("StateChangeReturn", result);
          },
          py::arg("state"), "Gst.Element.set_state.")
      .def(
          "get_state",
          [](PyPipeline& p, py::handle timeout) {
            const GstClockTime ns = to_clock_time(timeout);
            PipelineStateQuery query;
            {
              py::gil_scoped_release release;
              query = p.core().get_state(ns);
            }
            return py::make_tuple(gst_enum("StateChangeReturn", query.result),
                                  gst_enum("State", query.current),
                                  gst_enum("State", query.pending));
          },
          py::arg("timeout"),
          "Gst.Element.get_state: (result, current, pending); `timeout` in nanoseconds.")
      .def(
          "get_by_name",
          [](PyPipeline& p, const std::string& name) {
            GstElementPtr element = p.core().get_by_name(name.c_str());
            return wrap_object(element.get());
          },
          py::arg("name"), "The element called `name` (a Gst.Element), or None.")
      .def(
          "try_pull_sample",
          [](PyPipeline& p, py::handle timeout) {
            const GstClockTime ns = to_clock_time(timeout);
            GstSamplePtr sample;
            {
              py::gil_scoped_release release;
              sample = p.core().try_pull_sample(ns);
            }
            return wrap_mini_object(GST_TYPE_SAMPLE, sample.get());
          },
          py::arg("timeout"),
          "The appsink's next Gst.Sample, waiting at most `timeout` nanoseconds; or None.")
      .def(
          "wait_until_playing",
          [](PyPipeline& p, int64_t stream_id, py::handle timeout) {
            const double seconds = to_seconds(timeout, "timeout");
            py::gil_scoped_release release;
            p.core().wait_until_playing(stream_id, seconds);
          },
          py::arg("stream_id"), py::arg("timeout"),
          "Returns once the pipeline plays; raises StreamSetupError naming the stream and the "
          "reason when it does not within `timeout` seconds, or at once on a pipeline error.")
      .def(
          "wait_until_null",
          [](PyPipeline& p, int64_t stream_id, py::handle timeout) {
            const double seconds = to_seconds(timeout, "timeout");
            py::gil_scoped_release release;
            p.core().wait_until_null(stream_id, seconds);
          },
          py::arg("stream_id"), py::arg("timeout"),
          "Waits at most `timeout` seconds for the NULL state; raises StreamSetupError.")
      .def(
          "release_resources",
          [](PyPipeline& p) {
            py::gil_scoped_release release;
            p.core().release_resources();
          },
          "Runs the destructors once, removes the bus watch and frees the pipeline.")
      .def(
          "add_destructor",
          [](PyPipeline& p, py::object callback) {
            if (!PyCallable_Check(callback.ptr())) {
              throw py::type_error("Argument 'callback' must be callable");
            }
            std::function<void()> destructor = make_destructor(std::move(callback));
            py::gil_scoped_release release;  // after a release it runs at once
            p.core().add_destructor(std::move(destructor));
          },
          py::arg("callback"), "Registers a callable that release_resources() runs.")
      .def("__eq__",
           [](const PyPipeline& a, py::handle b) {
             return py::isinstance<PyPipeline>(b) &&
                    a.shared() == b.cast<const PyPipeline&>().shared();
           })
      .def("__hash__",
           [](const PyPipeline& p) { return std::hash<const void*>()(p.shared().get()); });

  py::class_<PipelineFactory, std::shared_ptr<PipelineFactory>>(m, "PipelineFactory", R"doc(
Builds the pipelines of one stream: every build() returns a new Pipeline on its way to PLAYING,
with the factory's watcher as its bus watch, and reports it to ``on_complete`` once complete.)doc")
      .def("build", &build_with, "A new Pipeline, already on its way to PLAYING.");

  py::class_<RtspPipelineFactory, PipelineFactory, std::shared_ptr<RtspPipelineFactory>>(
      m, "RTSPPipelineFactory", "Pipelines for an RTSP URL (H.264, H.265 or MJPEG).")
      .def(py::init([](std::string url, int latency, py::object pipeline_watcher, bool force_tcp,
                       py::object on_complete) {
             return std::make_shared<RtspPipelineFactory>(
                 std::move(url), latency, make_watcher(std::move(pipeline_watcher)), force_tcp,
                 make_on_complete(std::move(on_complete)), package_logger(), max_frame_pixels());
           }),
           py::kw_only(), py::arg("url"), py::arg("latency"), py::arg("pipeline_watcher") = py::none(),
           py::arg("force_tcp") = false, py::arg("on_complete") = py::none());

  py::class_<HttpPipelineFactory, PipelineFactory, std::shared_ptr<HttpPipelineFactory>>(
      m, "HTTPPipelineFactory",
      "Pipelines for an HTTP(S) URL: MJPEG (multipart/x-mixed-replace) or MPEG-TS.")
      .def(py::init([](std::string url, py::object pipeline_watcher, py::object on_complete) {
             return std::make_shared<HttpPipelineFactory>(
                 std::move(url), make_watcher(std::move(pipeline_watcher)),
                 make_on_complete(std::move(on_complete)), package_logger(), max_frame_pixels());
           }),
           py::kw_only(), py::arg("url"), py::arg("pipeline_watcher") = py::none(),
           py::arg("on_complete") = py::none());

  py::class_<CustomPipelineFactory, PipelineFactory, std::shared_ptr<CustomPipelineFactory>>(
      m, "CustomPipelineFactory", R"doc(
Pipelines from a GStreamer pipeline description that holds exactly one appsink. An appsink
that could block the pipeline while nobody reads gets drop=true, and max-buffers=1 when it had
no limit; the caller's other settings and caps stand.)doc")
      .def(py::init([](std::string pipeline_str, std::string url, py::object pipeline_watcher,
                       py::object on_complete) {
             return std::make_shared<CustomPipelineFactory>(
                 std::move(pipeline_str), std::move(url),
                 make_watcher(std::move(pipeline_watcher)),
                 make_on_complete(std::move(on_complete)), package_logger());
           }),
           py::arg("pipeline_str"), py::kw_only(), py::arg("url") = "",
           py::arg("pipeline_watcher") = py::none(), py::arg("on_complete") = py::none());

  m.def("sample_to_ndarray", &sample_to_ndarray, py::arg("sample"), R"doc(
The image of a Gst.Sample as a numpy array (uint8; H×W×3 for BGR and RGB, H×W×4 for the
four-byte layouts, H×W for GRAY8; YUV layouts become BGR). The array views the frame's memory,
which its base keeps alive; memory that is not exclusively the frame's is copied once. None
when the sample has no buffer; SampleConversionError when it cannot be converted or has more
pixels than kelvo.utils.gstreamer.MAX_FRAME_PIXELS.)doc");

  m.def(
      "add_keyframes_only_probe",
      [](py::handle pad_object) {
        auto* pad = static_cast<GstPad*>(unwrap_object(pad_object, GST_TYPE_PAD, "pad", "Gst.Pad"));
        py::gil_scoped_release release;
        return gst_keyframe_probe().add_keyframes_only_probe(pad);
      },
      py::arg("pad"),
      "Adds to the Gst.Pad a buffer probe that drops every delta unit; returns its id.");
}
