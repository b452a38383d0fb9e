// What the stream engine needs of a pipeline, a pipeline factory and the keyframe probe.
//
// The GStreamer implementations live in gst_pipeline.h and factories.h; the engine's tests use
// fakes. The interfaces speak GStreamer's own types (states, pads, messages, samples), so the
// real implementations hand out GStreamer objects without copies or casts.
#ifndef KELVO_PIPELINE_H_
#define KELVO_PIPELINE_H_

#include <gst/gst.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "kelvo/gst_ptr.h"

namespace kelvo {

// The name that every built-in pipeline gives the element that carries encoded buffers; the
// keyframe filter probes its static "src" pad.
inline constexpr char kBufferSrcName[] = "buffer_src";

// A sample pulled from a pipeline's appsink: a GStreamer sample, an object of the host's that only
// the host's converter understands (a pipeline implemented by the host may hand out anything),
// or both (the host's wrapper of a GStreamer sample). Empty: nothing arrived.
struct PulledSample {
  GstSamplePtr gst;
  std::shared_ptr<void> host;
  explicit operator bool() const { return gst != nullptr || host != nullptr; }
};

// The pad that the keyframe probe goes on, found the same way as the sample: a GstPad, the
// host's object, or both. Empty: the pipeline has no such pad (yet).
struct BufferSrcPad {
  std::shared_ptr<GstPad> gst;
  std::shared_ptr<void> host;
  explicit operator bool() const { return gst != nullptr || host != nullptr; }
};

// `pad` as a BufferSrcPad, with a reference of its own.
inline BufferSrcPad gst_buffer_src_pad(GstPad* pad) {
  if (pad == nullptr) return {};
  return {std::shared_ptr<GstPad>(static_cast<GstPad*>(gst_object_ref(pad)), GstObjectUnref()), {}};
}

// The answer of a state query: GStreamer's (result, current, pending).
struct PipelineStateQuery {
  GstStateChangeReturn result = GST_STATE_CHANGE_FAILURE;
  GstState current = GST_STATE_VOID_PENDING;
  GstState pending = GST_STATE_VOID_PENDING;
};

// One GStreamer pipeline, shared (std::shared_ptr) by the pipeline state and whoever uses it at
// the moment: the pulling thread during a pull, the keyframe filter, a bus watch.
//
// This class is thread-safe. Every operation stays safe after `release_resources()`: the
// state then reads NULL, pulls return nothing, lookups find nothing, and no memory that another
// thread may still be using (the appsink above all) is freed before the object itself.
class Pipeline {
 public:
  virtual ~Pipeline() = default;

  virtual GstStateChangeReturn set_state(GstState state) = 0;

  // gst_element_get_state with `timeout` in nanoseconds (0 answers at once).
  virtual PipelineStateQuery get_state(GstClockTime timeout) = 0;

  // Returns once the pipeline plays. Throws StreamSetupError naming `stream_id` and the reason
  // when it does not within `timeout_seconds`, or as soon as the pipeline posts an error.
  virtual void wait_until_playing(int64_t stream_id, double timeout_seconds) = 0;

  // Waits at most `timeout_seconds` for the pipeline to reach NULL after set_state(NULL).
  // Throws StreamSetupError when it does not.
  virtual void wait_until_null(int64_t stream_id, double timeout_seconds) = 0;

  // Runs every registered destructor once (in the order added), removes the bus watch and
  // frees the GStreamer pipeline. Calling it again does nothing.
  virtual void release_resources() = 0;

  // Registers a callable that `release_resources()` runs. Registered after the release, it
  // runs at once.
  virtual void add_destructor(std::function<void()> destructor) = 0;

  // The appsink; borrowed ("transfer none"), valid for the life of this object.
  virtual GstElement* appsink() const = 0;

  // The next sample of the appsink, waiting at most `timeout` nanoseconds; null on time-out,
  // at end of stream, or when the appsink is stopped or released.
  virtual GstSamplePtr try_pull_sample(GstClockTime timeout) = 0;

  // The element called `name`, or null ("transfer full").
  virtual GstElementPtr get_by_name(const char* name) = 0;

  // The static "src" pad of the element called kBufferSrcName, or null when the element or
  // the pad does not exist ("transfer full").
  virtual GstPadPtr buffer_src_pad() = 0;

  // How many samples have reached the appsink so far, pulled or not; none when the pipeline
  // cannot tell.
  virtual std::optional<uint64_t> samples_arrived() const { return std::nullopt; }

  // What the reader pulls: try_pull_sample() unless the pipeline hands out host objects.
  virtual PulledSample pull_sample(GstClockTime timeout) { return {try_pull_sample(timeout), {}}; }

  // What the keyframe filter probes: buffer_src_pad() unless the pipeline is the host's.
  virtual BufferSrcPad find_buffer_src_pad() {
    GstPadPtr pad = buffer_src_pad();
    if (!pad) return {};
    return {std::shared_ptr<GstPad>(pad.release(), GstObjectUnref()), {}};
  }

  // The host's object that this pipeline stands for, when the host made it; null otherwise.
  virtual std::shared_ptr<void> host_object() const { return nullptr; }
};

// A bus watch bound to its target: called as (bus, message, pipeline) with the GstPipeline
// whose bus carries the message; returns TRUE to keep the watch.
using PipelineWatcher = std::function<gboolean(GstBus* bus, GstMessage* message, gpointer pipeline)>;

// Called once per built pipeline as soon as it is complete, from whatever thread completes it
// (inside build() or later on a streaming thread).
using PipelineCompleteCallback = std::function<void(const std::shared_ptr<Pipeline>& pipeline)>;

// Builds pipelines for one stream.
//
// This class is thread-safe.
class PipelineFactory {
 public:
  virtual ~PipelineFactory() = default;

  // A new pipeline each call, already on its way to PLAYING, with the factory's watcher
  // installed as its bus watch on the calling thread's thread-default main context. Throws
  // StreamSetupError when the pipeline cannot be made.
  virtual std::shared_ptr<Pipeline> build() = 0;

  // The host's object that this factory stands for, when the host made it; null otherwise.
  virtual std::shared_ptr<void> host_object() const { return nullptr; }
};

// The keyframe probe: a buffer probe that drops every delta unit.
class KeyframeProbe {
 public:
  virtual ~KeyframeProbe() = default;
  // Adds the probe to `pad` and returns its id.
  virtual gulong add_keyframes_only_probe(const BufferSrcPad& pad) = 0;
  // Removes the probe `id` from `pad`; an id the pad no longer has is ignored.
  virtual void remove_probe(const BufferSrcPad& pad, gulong id) = 0;
};

// The GStreamer implementation.
KeyframeProbe& gst_keyframe_probe();

}  // namespace kelvo

#endif  // KELVO_PIPELINE_H_
