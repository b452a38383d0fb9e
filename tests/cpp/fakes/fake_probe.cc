#include "fakes/fake_probe.h"

#include <stdexcept>

namespace kelvo::testing {

gulong FakeProbe::add_keyframes_only_probe(const BufferSrcPad& target) {
  GstPad* pad = target.gst.get();
  std::lock_guard<std::mutex> lock(mutex_);
  if (throw_on_add_) {
    throw_on_add_ = false;
    throw std::runtime_error("probe refused");
  }
  const gulong id = next_id_++;
  added_.push_back({pad, id});
  return id;
}

void FakeProbe::remove_probe(const BufferSrcPad& target, gulong id) {
  GstPad* pad = target.gst.get();
  std::lock_guard<std::mutex> lock(mutex_);
  removed_.push_back({pad, id});
}

void FakeProbe::set_throw_on_add(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  throw_on_add_ = value;
}

std::vector<ProbeCall> FakeProbe::added() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return added_;
}

std::vector<ProbeCall> FakeProbe::removed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return removed_;
}

}  // namespace kelvo::testing
