// The seam between the core and the collaborators a Python caller may bring: the core sees every
// pipeline, factory, converter and keyframe probe through its C++ interface, and gets either
// kelvo's native implementation (no GIL, no Python call per frame) or an adapter here that
// forwards each call to the caller's Python object, with the GIL held only for that call.
//
// The choice is made in one place, `is_native_*` below, by identity: a Python object that *is*
// one of kelvo's own (the class or function that kelvo._pipelines defines) takes the native
// path. It is made once per pipeline (factories and pipelines), per lookup of a module name
// (the converter, re-checked only when `kelvo.stream_reader.gst` has been assigned to), and per
// probe change (the probe adder); never per frame.
#ifndef KELVO_BINDINGS_HOST_ADAPTERS_H_
#define KELVO_BINDINGS_HOST_ADAPTERS_H_

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "kelvo/pipeline.h"
#include "kelvo/restarter.h"
#include "kelvo/stream_reader.h"
#include "py_host.h"

namespace kelvo::adapters {

namespace py = pybind11;

// What Python holds of one of kelvo's own pipelines (kelvo.utils.gstreamer.Pipeline). Dropping
// the last reference may stop the pipeline, which waits for GStreamer's threads, and they may
// wait for the GIL: so the GIL goes first.
class PyPipeline {
 public:
  explicit PyPipeline(std::shared_ptr<Pipeline> pipeline) : pipeline_(std::move(pipeline)) {}
  ~PyPipeline();
  PyPipeline(const PyPipeline&) = delete;
  PyPipeline& operator=(const PyPipeline&) = delete;

  Pipeline& core() const { return *pipeline_; }
  const std::shared_ptr<Pipeline>& shared() const { return pipeline_; }

 private:
  std::shared_ptr<Pipeline> pipeline_;
};

// The module the reader looks its collaborators up in (kelvo.stream_reader.gst), set when it
// loads. Every assignment to one of its names bumps `module_generation()`, so cached lookups
// know when to look again.
void set_reader_module(py::module_ module);
py::object reader_module();  // with the GIL
uint64_t module_generation();
void bump_module_generation();

// ---- pipelines and factories -----------------------------------------------------------------

// The core's view of a Python pipeline object: kelvo's own pipeline itself, or an adapter that
// calls `set_state`, `get_state`, `wait_until_playing`, `wait_until_null`, `release_resources`,
// `add_destructor`, `get_by_name` and `appsink.try_pull_sample` on it. With the GIL.
std::shared_ptr<Pipeline> pipeline_from_python(py::object pipeline);
// The Python object for a core pipeline: the caller's own object for an adapter, a
// kelvo.utils.gstreamer.Pipeline for kelvo's own; None for null. With the GIL.
py::object pipeline_to_python(const std::shared_ptr<Pipeline>& pipeline);

// The same for factories: kelvo's own factory itself, or an adapter whose build() calls the
// object's `build()` (and takes what it returns through pipeline_from_python).
std::shared_ptr<PipelineFactory> factory_from_python(py::object factory);
py::object factory_to_python(const std::shared_ptr<PipelineFactory>& factory);

// ---- the reader's collaborators --------------------------------------------------------------

// A converter that looks `sample_to_ndarray` up on the reader module: kelvo's own converts
// without the GIL (refusing frames of more than `max_pixels`); any other is called with the Python sample (a Gst.Sample for kelvo's
// pipelines), and what it returns is published as it is (None: nothing). Its
// `SampleConversionError` (looked up on the module too) becomes the core's, with its message.
// The lookup is cached and renewed when the module changes. Used by one pulling loop at a time.
FrameConverter make_reader_converter(uint64_t max_pixels);

// The caller's frame size limit, kelvo.utils.gstreamer.MAX_FRAME_PIXELS, read now; TypeError or
// ValueError for a value that is not a positive int. With the GIL.
uint64_t configured_max_frame_pixels();

// The keyframe probe that calls `gstcallbacks.add_keyframes_only_probe(pad)` as the reader
// module names it, at each addition (kelvo's own adds it natively), and removes a probe from a
// Gst.Pad natively, from any other pad object with `pad.remove_probe(id)`. Lives for the process.
KeyframeProbe& reader_keyframe_probe();

// The restarter's `watcher` as a Python callable (bus, message, pipeline) -> True, holding the
// restarter weakly. A Gst.Message is parsed natively; any other object by its `type` and
// `parse_error()`.
py::object make_python_watcher(const std::weak_ptr<PipelineRestarter>& restarter);

// The reader's `_on_pipeline_complete` as a Python callable (pipeline) -> None, holding the
// reader weakly.
py::object make_python_on_complete(const std::weak_ptr<GstStreamReader>& reader);

// The event of a Python bus message (Gst.Message or an object with `type` and `parse_error()`).
BusEvent bus_event_from_python(py::handle message);

// A Gst.Pad or pad-like object as a BufferSrcPad, and back. With the GIL.
BufferSrcPad pad_from_python(py::object pad);
py::object pad_to_python(const BufferSrcPad& pad);

}  // namespace kelvo::adapters

#endif  // KELVO_BINDINGS_HOST_ADAPTERS_H_
