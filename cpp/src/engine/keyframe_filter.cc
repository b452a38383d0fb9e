#include "kelvo/keyframe_filter.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "kelvo/gst_ptr.h"

namespace kelvo {

KeyframeFilter::KeyframeFilter(bool keyframes_only, std::shared_ptr<PipelineState> pipeline_state,
                               std::shared_ptr<Logger> logger, KeyframeProbe& probe)
    : pipeline_state_(std::move(pipeline_state)),
      logger_(std::move(logger)),
      probe_(probe),
      keyframes_only_(keyframes_only),
      keyframes_only_seen_(keyframes_only) {
  if (!pipeline_state_) throw std::invalid_argument("KeyframeFilter needs a pipeline state");
  if (!logger_) throw std::invalid_argument("KeyframeFilter needs a logger");
}

void KeyframeFilter::set_keyframes_only(bool value) {
  DeferLogs defer;
  std::lock_guard<std::mutex> lock(mutex_);
  if (keyframes_only_ == value) return;
  // Stored first: the flag keeps the new value even when the update fails.
  keyframes_only_ = value;
  keyframes_only_seen_.store(value);
  // After shutdown there is no pipeline; that reads like a pipeline without the element.
  update_pad_probe_unlocked(pipeline_state_->pipeline());
}

void KeyframeFilter::update_pad_probe() {
  DeferLogs defer;
  std::lock_guard<std::mutex> lock(mutex_);
  update_pad_probe_unlocked(pipeline_state_->pipeline());
}

void KeyframeFilter::update_pad_probe(const std::shared_ptr<Pipeline>& pipeline) {
  DeferLogs defer;
  std::lock_guard<std::mutex> lock(mutex_);
  update_pad_probe_unlocked(pipeline);
}

std::optional<gulong> KeyframeFilter::pad_probe_id() const {
  const uint64_t id = pad_probe_id_seen_.load();
  if (id == 0) return std::nullopt;
  return static_cast<gulong>(id);
}

BufferSrcPad KeyframeFilter::buffer_src_pad() const {
  const std::shared_ptr<Pipeline> pipeline = pipeline_state_->pipeline();
  return pipeline ? pipeline->find_buffer_src_pad() : BufferSrcPad{};
}

void KeyframeFilter::update_pad_probe_unlocked(const std::shared_ptr<Pipeline>& pipeline) {
  const BufferSrcPad pad = pipeline ? pipeline->find_buffer_src_pad() : BufferSrcPad{};
  if (!pad) {
    logger_->info(std::string("No element named '") + kBufferSrcName +
                  "' to update a pad probe. The pad probe will be installed or removed when the "
                  "pipeline is finished.");
    return;
  }
  if (keyframes_only_) {
    const gulong id = probe_.add_keyframes_only_probe(pad);
    pad_probe_id_ = id;
    pad_probe_id_seen_.store(id);
    // The probe goes with the pipeline it was added to, whatever the filter does later. The
    // destructor holds the pad and the id, not the filter.
    KeyframeProbe* probe = &probe_;
    pipeline->add_destructor([probe, pad, id] { probe->remove_probe(pad, id); });
    logger_->info("Added pad probe to enable keyframe-only streaming");
  } else if (pad_probe_id_) {
    probe_.remove_probe(pad, *pad_probe_id_);
    pad_probe_id_.reset();
    pad_probe_id_seen_.store(0);
    logger_->info("Removed pad probe, disabling keyframe-only streaming");
  }
}

}  // namespace kelvo
