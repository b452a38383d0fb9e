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
      keyframes_only_(keyframes_only) {
  if (!pipeline_state_) throw std::invalid_argument("KeyframeFilter needs a pipeline state");
  if (!logger_) throw std::invalid_argument("KeyframeFilter needs a logger");
}

bool KeyframeFilter::keyframes_only() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keyframes_only_;
}

void KeyframeFilter::set_keyframes_only(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (keyframes_only_ == value) return;
  // Stored first: the flag keeps the new value even when the update fails.
  keyframes_only_ = value;
  // After shutdown there is no pipeline; that reads like a pipeline without the element.
  update_pad_probe_unlocked(pipeline_state_->pipeline());
}

void KeyframeFilter::update_pad_probe() {
  std::lock_guard<std::mutex> lock(mutex_);
  update_pad_probe_unlocked(pipeline_state_->pipeline());
}

void KeyframeFilter::update_pad_probe(const std::shared_ptr<Pipeline>& pipeline) {
  std::lock_guard<std::mutex> lock(mutex_);
  update_pad_probe_unlocked(pipeline);
}

std::optional<gulong> KeyframeFilter::pad_probe_id() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pad_probe_id_;
}

void KeyframeFilter::update_pad_probe_unlocked(const std::shared_ptr<Pipeline>& pipeline) {
  GstPadPtr found = pipeline ? pipeline->buffer_src_pad() : nullptr;
  if (!found) {
    logger_->info(std::string("No element named '") + kBufferSrcName +
                  "' to update a pad probe. The pad probe will be installed or removed when the "
                  "pipeline is finished.");
    return;
  }
  // Shared, so that the destructor registered below can hold the pad as well.
  const std::shared_ptr<GstPad> pad(found.release(), GstObjectUnref());

  if (keyframes_only_) {
    const gulong id = probe_.add_keyframes_only_probe(pad.get());
    pad_probe_id_ = id;
    // The probe goes with the pipeline it was added to, whatever the filter does later. The
    // destructor holds the pad and the id, not the filter.
    KeyframeProbe* probe = &probe_;
    pipeline->add_destructor([probe, pad, id] { probe->remove_probe(pad.get(), id); });
    logger_->info("Added pad probe to enable keyframe-only streaming");
  } else if (pad_probe_id_) {
    probe_.remove_probe(pad.get(), *pad_probe_id_);
    pad_probe_id_.reset();
    logger_->info("Removed pad probe, disabling keyframe-only streaming");
  }
}

}  // namespace kelvo
