// KeyframeFilter: keyframe-only streaming by a pad probe that drops non-keyframe buffers.
#ifndef KELVO_KEYFRAME_FILTER_H_
#define KELVO_KEYFRAME_FILTER_H_

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "kelvo/host.h"
#include "kelvo/pipeline.h"
#include "kelvo/pipeline_state.h"

namespace kelvo {

// Adds the keyframe probe to the "src" pad of the pipeline's kBufferSrcName element, or
// removes the one it added. Every probe it adds is also removed when its pipeline releases its
// resources (a destructor registered with that pipeline holds the pad and the probe id).
//
// This class is thread-safe: the host switches the flag while the factory reports finished
// pipelines from a streaming thread. Updates are serialised by a mutex; the flag and the probe
// id are also kept in atomics, so that reading them never waits. Lines are logged after the
// mutex is released.
//
// Lifetime of `probe` must enclose the lifetime of the filter.
class KeyframeFilter {
 public:
  KeyframeFilter(bool keyframes_only, std::shared_ptr<PipelineState> pipeline_state,
                 std::shared_ptr<Logger> logger, KeyframeProbe& probe = gst_keyframe_probe());
  KeyframeFilter(const KeyframeFilter&) = delete;
  KeyframeFilter& operator=(const KeyframeFilter&) = delete;

  bool keyframes_only() const { return keyframes_only_seen_.load(); }
  const std::shared_ptr<PipelineState>& pipeline_state() const { return pipeline_state_; }
  const std::shared_ptr<Logger>& logger() const { return logger_; }

  // Same value: nothing. Otherwise stores it and updates the probe on the current pipeline.
  // With no pipeline (after shutdown) that is the missing-element info line, not an error.
  void set_keyframes_only(bool value);

  // Brings the probe of the current pipeline in line with the flag.
  void update_pad_probe();

  // The same on `pipeline`: the pipeline that the factory has just reported complete, which
  // the pipeline state may not hold yet.
  void update_pad_probe(const std::shared_ptr<Pipeline>& pipeline);

  // The id of the probe added most recently and not removed by the filter itself; no lock.
  std::optional<gulong> pad_probe_id() const;

  // The pad the probe goes on in the current pipeline; empty when there is none.
  BufferSrcPad buffer_src_pad() const;

 private:
  void update_pad_probe_unlocked(const std::shared_ptr<Pipeline>& pipeline);

  const std::shared_ptr<PipelineState> pipeline_state_;
  const std::shared_ptr<Logger> logger_;
  KeyframeProbe& probe_;  // Not owned.

  mutable std::mutex mutex_;
  bool keyframes_only_;                 // with mutex_
  std::optional<gulong> pad_probe_id_;  // with mutex_
  // Copies of the two above, stored under mutex_ and read anywhere.
  std::atomic<bool> keyframes_only_seen_;
  std::atomic<uint64_t> pad_probe_id_seen_{0};  // 0: none
};

}  // namespace kelvo

#endif  // KELVO_KEYFRAME_FILTER_H_
