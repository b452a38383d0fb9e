#include "adapters.h"

#include <cxxabi.h>

#include <mutex>
#include <string>
#include <utility>

#include "gi.h"
#include "kelvo/errors.h"
#include "kelvo/frame.h"

namespace kelvo::adapters {

namespace {

using py_host::from_host;
using py_host::PythonError;
using py_host::SharedPyObject;
using py_host::to_host;
using py_host::with_gil;
using py_host::without_gil;

py::handle g_reader_module;  // kept for the life of the process
std::atomic<uint64_t> g_module_generation{1};

// The one pull time-out of the pulling loop, as Python writes it: Gst.SECOND / 30, in whole ns.
constexpr long long kPullTimeoutNs = static_cast<long long>(GST_SECOND / 30);

// kelvo's own object of that name in kelvo._pipelines; with the GIL.
py::object native(const char* name) {
  return py::module_::import("kelvo._pipelines").attr(name);
}

int to_int(py::handle value, int fallback) {
  try {
    return py::int_(py::reinterpret_borrow<py::object>(value)).cast<int>();
  } catch (py::error_already_set&) {
    return fallback;
  }
}

// A core pipeline over a Python object that has the pipeline members.
class PythonPipeline final : public Pipeline {
 public:
  explicit PythonPipeline(py::object object)
      : object_(std::make_shared<SharedPyObject>(std::move(object))) {}

  GstStateChangeReturn set_state(GstState state) override {
    int result = GST_STATE_CHANGE_SUCCESS;
    with_gil([&] {
      py::object answer = object_->get().attr("set_state")(gi::gst_enum("State", state));
      result = to_int(answer, GST_STATE_CHANGE_SUCCESS);
    });
    return static_cast<GstStateChangeReturn>(result);
  }

  PipelineStateQuery get_state(GstClockTime timeout) override {
    PipelineStateQuery query;
    with_gil([&] {
      py::object answer = object_->get().attr("get_state")(timeout);
      py::tuple triple(answer);
      if (triple.size() != 3) {
        throw py::value_error("get_state() must return (result, current, pending), not " +
                              std::string(py::repr(answer)));
      }
      query.result = static_cast<GstStateChangeReturn>(to_int(triple[0], GST_STATE_CHANGE_FAILURE));
      query.current = static_cast<GstState>(to_int(triple[1], GST_STATE_VOID_PENDING));
      query.pending = static_cast<GstState>(to_int(triple[2], GST_STATE_VOID_PENDING));
    });
    return query;
  }

  void wait_until_playing(int64_t stream_id, double timeout_seconds) override {
    with_gil([&] { object_->get().attr("wait_until_playing")(stream_id, timeout_seconds); });
  }

  void wait_until_null(int64_t stream_id, double timeout_seconds) override {
    with_gil([&] { object_->get().attr("wait_until_null")(stream_id, timeout_seconds); });
  }

  void release_resources() override {
    with_gil([&] { object_->get().attr("release_resources")(); });
  }

  void add_destructor(std::function<void()> destructor) override {
    with_gil([&] {
      // The destructor is core code: it runs without the GIL.
      py::cpp_function callable([destructor = std::move(destructor)] { without_gil(destructor); });
      object_->get().attr("add_destructor")(callable);
    });
  }

  GstElement* appsink() const override { return nullptr; }
  GstSamplePtr try_pull_sample(GstClockTime timeout) override {
    return std::move(pull_sample(timeout).gst);
  }
  GstElementPtr get_by_name(const char* /*name*/) override { return nullptr; }
  GstPadPtr buffer_src_pad() override {
    BufferSrcPad pad = find_buffer_src_pad();
    return pad.gst ? ref_object(pad.gst.get()) : nullptr;
  }

  PulledSample pull_sample(GstClockTime timeout) override {
    PulledSample pulled;
    with_gil([&] {
      py::object sample = object_->get().attr("appsink").attr("try_pull_sample")(
          timeout == kPullTimeout ? kPullTimeoutNs : static_cast<long long>(timeout));
      if (sample.is_none()) return;
      if (GstSample* gst = gi::sample_of(sample)) {
        pulled.gst.reset(GST_SAMPLE(gst_mini_object_ref(GST_MINI_OBJECT_CAST(gst))));
      }
      pulled.host = to_host(std::move(sample));
    });
    return pulled;
  }

  BufferSrcPad find_buffer_src_pad() override {
    BufferSrcPad pad;
    with_gil([&] {
      py::object name = reader_module().attr("BUFFER_SRC_NAME");
      py::object element = object_->get().attr("get_by_name")(name);
      if (element.is_none()) return;
      pad = pad_from_python(element.attr("get_static_pad")("src"));
    });
    return pad;
  }

  std::shared_ptr<void> host_object() const override { return object_; }

 private:
  const std::shared_ptr<SharedPyObject> object_;
};

// A core factory over a Python object with a build() method.
class PythonFactory final : public PipelineFactory {
 public:
  explicit PythonFactory(py::object object)
      : object_(std::make_shared<SharedPyObject>(std::move(object))) {}

  std::shared_ptr<Pipeline> build() override {
    std::shared_ptr<Pipeline> pipeline;
    with_gil([&] {
      py::object built = object_->get().attr("build")();
      if (built.is_none()) return;  // the pipeline state refuses a factory without a pipeline
      pipeline = pipeline_from_python(std::move(built));
    });
    return pipeline;
  }

  std::shared_ptr<void> host_object() const override { return object_; }

 private:
  const std::shared_ptr<SharedPyObject> object_;
};

// The converter's lookup of the reader module's names, renewed when the module changes.
struct ConverterLookup {
  uint64_t generation = 0;
  bool native = true;
  std::shared_ptr<SharedPyObject> converter;   // when not native
  std::shared_ptr<SharedPyObject> error_type;  // the module's SampleConversionError
};

void refresh(ConverterLookup& lookup) {
  const uint64_t generation = module_generation();
  if (lookup.generation == generation) return;
  with_gil([&] {
    py::object module = reader_module();
    py::object converter = module.attr("sample_to_ndarray");
    lookup.native = converter.is(native("sample_to_ndarray"));
    lookup.converter =
        lookup.native ? nullptr : std::make_shared<SharedPyObject>(std::move(converter));
    lookup.error_type = std::make_shared<SharedPyObject>(module.attr("SampleConversionError"));
  });
  lookup.generation = generation;
}

class ReaderKeyframeProbe final : public KeyframeProbe {
 public:
  gulong add_keyframes_only_probe(const BufferSrcPad& pad) override {
    gulong id = 0;
    bool use_native = pad.gst != nullptr;
    py_host::PythonCall permit;
    if (!permit.ok()) return gst_keyframe_probe().add_keyframes_only_probe(pad);
    py::gil_scoped_acquire gil;
    try {
      py::object adder = reader_module().attr("gstcallbacks").attr("add_keyframes_only_probe");
      use_native = use_native && adder.is(native("add_keyframes_only_probe"));
      if (!use_native) {
        py::object answer = adder(pad_to_python(pad));
        id = py::int_(answer).cast<gulong>();
        return id;
      }
    } catch (py::error_already_set& error) {
      throw PythonError(error);
    }
    return without_gil([&] { return gst_keyframe_probe().add_keyframes_only_probe(pad); });
  }

  void remove_probe(const BufferSrcPad& pad, gulong id) override {
    // Removing an id from a real pad is the same operation whoever added it; the native one
    // also ignores an id the pad no longer has, which the pipeline's destructor relies on.
    if (pad.gst) {
      gst_keyframe_probe().remove_probe(pad, id);
      return;
    }
    if (!pad.host) return;
    with_gil([&] { from_host(pad.host).attr("remove_probe")(id); });
  }
};

}  // namespace

PyPipeline::~PyPipeline() {
  if (PyGILState_Check()) {
    py::gil_scoped_release release;
    pipeline_.reset();
  }
}

void set_reader_module(py::module_ module) {
  if (g_reader_module) g_reader_module.dec_ref();
  g_reader_module = module.release();
  bump_module_generation();
}

py::object reader_module() {
  if (!g_reader_module) throw std::runtime_error("kelvo.stream_reader.gst is not loaded");
  return py::reinterpret_borrow<py::object>(g_reader_module);
}

uint64_t module_generation() { return g_module_generation.load(std::memory_order_acquire); }

void bump_module_generation() { g_module_generation.fetch_add(1, std::memory_order_acq_rel); }

std::shared_ptr<Pipeline> pipeline_from_python(py::object pipeline) {
  if (py::isinstance<PyPipeline>(pipeline)) return pipeline.cast<const PyPipeline&>().shared();
  return std::make_shared<PythonPipeline>(std::move(pipeline));
}

py::object pipeline_to_python(const std::shared_ptr<Pipeline>& pipeline) {
  if (!pipeline) return py::none();
  if (std::shared_ptr<void> host = pipeline->host_object()) return from_host(host);
  return py::cast(std::make_unique<PyPipeline>(pipeline));
}

std::shared_ptr<PipelineFactory> factory_from_python(py::object factory) {
  if (factory.is_none()) return nullptr;
  if (py::isinstance<PipelineFactory>(factory)) {
    return factory.cast<std::shared_ptr<PipelineFactory>>();
  }
  return std::make_shared<PythonFactory>(std::move(factory));
}

py::object factory_to_python(const std::shared_ptr<PipelineFactory>& factory) {
  if (!factory) return py::none();
  if (std::shared_ptr<void> host = factory->host_object()) return from_host(host);
  return py::cast(factory);
}

uint64_t configured_max_frame_pixels() {
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

FrameConverter make_reader_converter(uint64_t max_pixels) {
  auto lookup = std::make_shared<ConverterLookup>();
  return [lookup, max_pixels](const PulledSample& sample) -> std::shared_ptr<Frame> {
    refresh(*lookup);
    if (lookup->native) return convert_gst_sample(sample, max_pixels);
    std::shared_ptr<Frame> frame;
    py_host::PythonCall permit;
    if (!permit.ok()) throw std::runtime_error("Python is exiting");
    py::gil_scoped_acquire gil;
    try {
      py::object python_sample =
          sample.host ? from_host(sample.host) : gi::wrap_sample(sample.gst.get());
      py::object image = lookup->converter->get()(python_sample);
      if (!image.is_none()) frame = py_host::frame_from_python(std::move(image));
    } catch (py::error_already_set& error) {
      PythonError python_error(error);
      if (python_error.is_instance(lookup->error_type->get())) {
        throw SampleConversionError(py::str(python_error.value()));
      }
      throw python_error;
    }
    return frame;
  };
}

KeyframeProbe& reader_keyframe_probe() {
  static KeyframeProbe* probe = new ReaderKeyframeProbe();
  return *probe;
}

BusEvent bus_event_from_python(py::handle message) {
  if (GstMessage* gst = gi::message_of(message)) return PipelineRestarter::parse_message(gst);
  BusEvent event;
  py::object gst = gi::gst();
  py::object type = message.attr("type");
  if (type.equal(gst.attr("MessageType").attr("EOS"))) {
    event.kind = BusEvent::Kind::kEos;
  } else if (type.equal(gst.attr("MessageType").attr("ERROR"))) {
    event.kind = BusEvent::Kind::kError;
    py::tuple parsed(message.attr("parse_error")());
    if (parsed.size() != 2) throw py::value_error("parse_error() must return (error, debug)");
    event.error = py::str(parsed[0].attr("message"));
    if (!parsed[1].is_none()) event.debug = py::str(parsed[1]).cast<std::string>();
  }
  return event;
}

py::object make_python_watcher(const std::weak_ptr<PipelineRestarter>& restarter) {
  return py::cpp_function(
      [restarter](py::object /*bus*/, py::object message, py::object /*pipeline*/) {
        const std::shared_ptr<PipelineRestarter> self = restarter.lock();
        if (!self) return false;  // the reader is gone: the watch may go too
        const BusEvent event = bus_event_from_python(message);
        without_gil([&] { self->on_bus_event(event); });
        return true;
      },
      py::arg("bus"), py::arg("message"), py::arg("pipeline"),
      "Listens for events on the pipeline: end of stream and errors request a restart.");
}

py::object make_python_on_complete(const std::weak_ptr<GstStreamReader>& reader) {
  return py::cpp_function(
      [reader](py::object pipeline) {
        const std::shared_ptr<GstStreamReader> self = reader.lock();
        if (!self) return;
        std::shared_ptr<Pipeline> core = pipeline_from_python(std::move(pipeline));
        without_gil([&] { self->on_pipeline_complete(core); });
      },
      py::arg("pipeline"), "Brings keyframe-only streaming in line on a finished pipeline.");
}

BufferSrcPad pad_from_python(py::object pad) {
  BufferSrcPad result;
  if (pad.is_none()) return result;
  if (GstPad* gst = gi::pad_of(pad)) {
    result.gst.reset(static_cast<GstPad*>(gst_object_ref(gst)), GstObjectUnref());
  }
  result.host = to_host(std::move(pad));
  return result;
}

py::object pad_to_python(const BufferSrcPad& pad) {
  if (pad.host) return from_host(pad.host);
  return gi::wrap_object(pad.gst.get());
}

}  // namespace kelvo::adapters
