// kelvo._pipelines: pipelines, factories, frames and the keyframe probe, seen from Python.
//
// Thin: GStreamer objects cross as PyGObject's own objects (Gst.Sample, Gst.Pad, Gst.Element,
// Gst.Message), calls that may wait release the GIL, and Python callbacks run from GStreamer's
// threads take the GIL only through py_host::PythonCall.
#include <cxxabi.h>
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "kelvo/errors.h"
#include "kelvo/factories.h"
#include "kelvo/frame.h"
#include "kelvo/gst_pipeline.h"
#include "kelvo/pipeline.h"
#include "host/adapters.h"
#include "host/gi.h"
#include "host/py_host.h"
#include "host/self.h"

namespace py = pybind11;

namespace kelvo {
namespace {

using adapters::PyPipeline;
using gi::wrap_object;

py::object wrap_mini_object(GType type, gpointer object) {
  if (object == nullptr) return py::none();
  if (type == GST_TYPE_SAMPLE) return gi::wrap_sample(static_cast<GstSample*>(object));
  return gi::wrap_message(static_cast<GstMessage*>(object));
}

py::object gst_enum(const char* type, int value) { return gi::gst_enum(type, value); }

// ---- Python callables called from GStreamer's threads -----------------------------------------

// Reports an error raised by a Python callback the way Python reports errors nobody can catch.
void report_unraisable(py::error_already_set& error, const char* where) {
  error.discard_as_unraisable(py::str(where));
}

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

uint64_t max_frame_pixels() { return adapters::configured_max_frame_pixels(); }

py::object sample_to_ndarray(py::handle sample_object) {
  GstSample* sample = gi::sample_of(sample_object);
  if (sample == nullptr) {
    throw py::type_error(std::string("Argument 'sample' must be a Gst.Sample, not ") +
                         Py_TYPE(sample_object.ptr())->tp_name);
  }
  const uint64_t max_pixels = max_frame_pixels();
  std::shared_ptr<Frame> frame =
      py_host::without_gil([&] { return sample_to_frame(sample, max_pixels); });
  if (!frame) return py::none();
  return py_host::frame_to_python(frame);
}

void require_gstreamer() {
  if (!gst_is_initialized()) {
    throw std::runtime_error(
        "GStreamer is not initialized: call kelvo.glib_runtime.start() (or Gst.init) first");
  }
}

// Builds with the GIL released: a custom pipeline reports itself complete inside build(), and
// that callback takes the GIL.
py::object build_with(PipelineFactory& factory) {
  require_gstreamer();
  std::shared_ptr<Pipeline> pipeline = py_host::without_gil([&] { return factory.build(); });
  return py::cast(std::make_unique<PyPipeline>(std::move(pipeline)));
}

}  // namespace
}  // namespace kelvo

PYBIND11_MODULE(_pipelines, m) {
  using namespace kelvo;
  py_host::init_module(m);
  gi::init();

  m.doc() = "Pipelines, pipeline factories, frames and the keyframe probe of kelvo.";
  m.attr("BUFFER_SRC_NAME") = kBufferSrcName;
  m.attr("DEFAULT_MAX_FRAME_PIXELS") = kDefaultMaxFramePixels;

  py::class_<PyPipeline>(m, "Pipeline", R"doc(
A GStreamer pipeline built by a factory, which owns it.

Thread-safe. ``release_resources()`` runs the registered destructors, removes the bus watch and
frees the pipeline; every operation stays safe afterwards (the state reads NULL, pulls return
None, lookups find nothing).)doc")
      .def_property_readonly(
          "appsink", py_host::on<PyPipeline>(([](PyPipeline& p) { return wrap_object(p.core().appsink()); })),
          "The pipeline's appsink (a Gst.Element), alive as long as this object.")
      .def_property_readonly(
          "gst_pipeline",
          py_host::on<PyPipeline>(([](PyPipeline& p) -> py::object {
            auto* wrapper = dynamic_cast<GstPipelineWrapper*>(&p.core());
            if (wrapper == nullptr) return py::none();
            GstElementPtr pipeline = py_host::without_gil([&] { return wrapper->gst_pipeline(); });
            return wrap_object(pipeline.get());
          })),
          "The Gst.Pipeline itself, or None once released.")
      .def(
          "set_state",
          py_host::on<PyPipeline>([](PyPipeline& p, py::handle state) {
            const int value = py::int_(py::reinterpret_borrow<py::object>(state));
            const GstStateChangeReturn result = py_host::without_gil(
                [&] { return p.core().set_state(static_cast<GstState>(value)); });
            return gst_enum("StateChangeReturn", result);
          }),
          py::arg("state"), "Gst.Element.set_state.")
      .def(
          "get_state",
          py_host::on<PyPipeline>([](PyPipeline& p, py::handle timeout) {
            const GstClockTime ns = to_clock_time(timeout);
            const PipelineStateQuery query =
                py_host::without_gil([&] { return p.core().get_state(ns); });
            return py::make_tuple(gst_enum("StateChangeReturn", query.result),
                                  gst_enum("State", query.current),
                                  gst_enum("State", query.pending));
          }),
          py::arg("timeout"),
          "Gst.Element.get_state: (result, current, pending); `timeout` in nanoseconds.")
      .def(
          "get_by_name",
          py_host::on<PyPipeline>([](PyPipeline& p, const std::string& name) {
            GstElementPtr element =
                py_host::without_gil([&] { return p.core().get_by_name(name.c_str()); });
            return wrap_object(element.get());
          }),
          py::arg("name"), "The element called `name` (a Gst.Element), or None.")
      .def(
          "try_pull_sample",
          py_host::on<PyPipeline>([](PyPipeline& p, py::handle timeout) {
            const GstClockTime ns = to_clock_time(timeout);
            GstSamplePtr sample = py_host::without_gil([&] { return p.core().try_pull_sample(ns); });
            return wrap_mini_object(GST_TYPE_SAMPLE, sample.get());
          }),
          py::arg("timeout"),
          "The appsink's next Gst.Sample, waiting at most `timeout` nanoseconds; or None.")
      .def(
          "wait_until_playing",
          py_host::on<PyPipeline>([](PyPipeline& p, int64_t stream_id, py::handle timeout) {
            const double seconds = to_seconds(timeout, "timeout");
            py_host::without_gil([&] { p.core().wait_until_playing(stream_id, seconds); });
          }),
          py::arg("stream_id"), py::arg("timeout"),
          "Returns once the pipeline plays; raises StreamSetupError naming the stream and the "
          "reason when it does not within `timeout` seconds, or at once on a pipeline error.")
      .def(
          "wait_until_null",
          py_host::on<PyPipeline>([](PyPipeline& p, int64_t stream_id, py::handle timeout) {
            const double seconds = to_seconds(timeout, "timeout");
            py_host::without_gil([&] { p.core().wait_until_null(stream_id, seconds); });
          }),
          py::arg("stream_id"), py::arg("timeout"),
          "Waits at most `timeout` seconds for the NULL state; raises StreamSetupError.")
      .def(
          "release_resources",
          py_host::on<PyPipeline>([](PyPipeline& p) {
            py_host::without_gil([&] { p.core().release_resources(); });
          }),
          "Runs the destructors once, removes the bus watch and frees the pipeline.")
      .def(
          "add_destructor",
          py_host::on<PyPipeline>([](PyPipeline& p, py::object callback) {
            if (!PyCallable_Check(callback.ptr())) {
              throw py::type_error("Argument 'callback' must be callable");
            }
            std::function<void()> destructor = make_destructor(std::move(callback));
            // After a release it runs at once.
            py_host::without_gil([&] { p.core().add_destructor(std::move(destructor)); });
          }),
          py::arg("callback"), "Registers a callable that release_resources() runs.")
      .def("__eq__",
           py_host::on<PyPipeline>(([](PyPipeline& a, py::handle b) {
             return py::isinstance<PyPipeline>(b) &&
                    a.shared() == b.cast<PyPipeline&>().shared();
           })))
      .def("__hash__",
           py_host::on<PyPipeline>(([](PyPipeline& p) { return std::hash<const void*>()(p.shared().get()); })));

  py::class_<PipelineFactory, std::shared_ptr<PipelineFactory>>(m, "PipelineFactory", R"doc(
Builds the pipelines of one stream: every build() returns a new Pipeline on its way to PLAYING,
with the factory's watcher as its bus watch, and reports it to ``on_complete`` once complete.)doc")
      .def("build", py_host::on<PipelineFactory>([](PipelineFactory& factory) {
             return build_with(factory);
           }), "A new Pipeline, already on its way to PLAYING.");

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
        GstPad* pad = gi::pad_of(pad_object);
        if (pad == nullptr) {
          throw py::type_error(std::string("Argument 'pad' must be a Gst.Pad, not ") +
                               Py_TYPE(pad_object.ptr())->tp_name);
        }
        const BufferSrcPad target = gst_buffer_src_pad(pad);
        return py_host::without_gil(
            [&] { return gst_keyframe_probe().add_keyframes_only_probe(target); });
      },
      py::arg("pad"),
      "Adds to the Gst.Pad a buffer probe that drops every delta unit; returns its id.");
}
