#include "fakes/fake_pipeline.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <utility>

#include "kelvo/errors.h"

namespace kelvo::testing {

namespace {

GstPadPtr make_src_pad() {
  GstPad* pad = gst_pad_new("src", GST_PAD_SRC);
  gst_object_ref_sink(pad);
  return GstPadPtr(pad);
}

}  // namespace

void EventRecorder::add(std::string event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<std::string> EventRecorder::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

int EventRecorder::index_of(const std::string& event) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = std::find(events_.begin(), events_.end(), event);
  return it == events_.end() ? -1 : static_cast<int>(it - events_.begin());
}

FakePipeline::FakePipeline(std::string name, std::shared_ptr<EventRecorder> recorder)
    : name_(std::move(name)), recorder_(std::move(recorder)), pad_(make_src_pad()) {}

void FakePipeline::record(const std::string& event) {
  if (recorder_) recorder_->add(name_ + "." + event);
}

void FakePipeline::set_current_state(GstState state) {
  std::lock_guard<std::mutex> lock(mutex_);
  current_state_ = state;
}

void FakePipeline::set_has_buffer_src_pad(bool has_pad) {
  std::lock_guard<std::mutex> lock(mutex_);
  has_pad_ = has_pad;
}

void FakePipeline::set_throw_on_wait_until_playing(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  throw_on_wait_until_playing_ = value;
}

void FakePipeline::set_throw_on_wait_until_null(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  throw_on_wait_until_null_ = value;
}

std::vector<GstState> FakePipeline::set_states() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_states_;
}

std::vector<GstClockTime> FakePipeline::get_state_timeouts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return get_state_timeouts_;
}

int FakePipeline::wait_until_playing_calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wait_until_playing_calls_;
}

int FakePipeline::wait_until_null_calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wait_until_null_calls_;
}

int64_t FakePipeline::last_wait_stream_id() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_wait_stream_id_;
}

double FakePipeline::last_wait_timeout() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_wait_timeout_;
}

int FakePipeline::release_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return release_count_;
}

size_t FakePipeline::destructor_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return destructors_.size();
}

int FakePipeline::destructors_run() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return destructors_run_;
}

void FakePipeline::set_on_set_state(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  on_set_state_ = std::move(hook);
}

GstStateChangeReturn FakePipeline::set_state(GstState state) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = on_set_state_;
  }
  if (hook) hook();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_states_.push_back(state);
    current_state_ = state;
  }
  record(std::string("set_state ") + gst_element_state_get_name(state));
  return GST_STATE_CHANGE_SUCCESS;
}

PipelineStateQuery FakePipeline::get_state(GstClockTime timeout) {
  std::lock_guard<std::mutex> lock(mutex_);
  get_state_timeouts_.push_back(timeout);
  return {GST_STATE_CHANGE_SUCCESS, current_state_, GST_STATE_VOID_PENDING};
}

void FakePipeline::wait_until_playing(int64_t stream_id, double timeout_seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++wait_until_playing_calls_;
  last_wait_stream_id_ = stream_id;
  last_wait_timeout_ = timeout_seconds;
  if (throw_on_wait_until_playing_) throw StreamSetupError(name_ + " does not play");
}

void FakePipeline::wait_until_null(int64_t stream_id, double timeout_seconds) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wait_until_null_calls_;
    last_wait_stream_id_ = stream_id;
    last_wait_timeout_ = timeout_seconds;
    if (throw_on_wait_until_null_) throw StreamSetupError(name_ + " does not stop");
  }
  record("wait_until_null");
}

void FakePipeline::release_resources() {
  std::vector<std::function<void()>> destructors;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++release_count_;
    if (released_) return;
    released_ = true;
    destructors = destructors_;
  }
  record("release");
  for (const auto& destructor : destructors) {
    destructor();
    std::lock_guard<std::mutex> lock(mutex_);
    ++destructors_run_;
  }
}

void FakePipeline::add_destructor(std::function<void()> destructor) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    destructors_.push_back(destructor);
    if (!released_) return;
  }
  destructor();
  std::lock_guard<std::mutex> lock(mutex_);
  ++destructors_run_;
}

GstSamplePtr FakePipeline::try_pull_sample(GstClockTime /*timeout*/) { return nullptr; }

GstElementPtr FakePipeline::get_by_name(const char* /*name*/) { return nullptr; }

GstPadPtr FakePipeline::buffer_src_pad() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!has_pad_ || released_) return nullptr;
  return ref_object(pad_.get());
}

FakeFactory::FakeFactory(std::string name, std::shared_ptr<EventRecorder> recorder)
    : name_(std::move(name)), recorder_(std::move(recorder)) {}

void FakeFactory::set_on_complete(PipelineCompleteCallback on_complete, Completion completion) {
  std::lock_guard<std::mutex> lock(mutex_);
  on_complete_ = std::move(on_complete);
  completion_ = completion;
}

void FakeFactory::set_throw_on_build(int nth) {
  std::lock_guard<std::mutex> lock(mutex_);
  throw_on_builds_.push_back(nth);
}

void FakeFactory::set_configure(std::function<void(FakePipeline&)> configure) {
  std::lock_guard<std::mutex> lock(mutex_);
  configure_ = std::move(configure);
}

void FakeFactory::hold_builds() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = true;
}

void FakeFactory::release_builds() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = false;
  cond_.notify_all();
}

bool FakeFactory::wait_for_builds(int count, double timeout_seconds) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cond_.wait_for(lock, std::chrono::duration<double>(timeout_seconds),
                        [&] { return builds_ >= count; });
}

std::shared_ptr<Pipeline> FakeFactory::build() {
  if (recorder_) recorder_->add(name_ + ".build begin");
  std::shared_ptr<FakePipeline> pipeline;
  PipelineCompleteCallback on_complete;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    const int nth = ++builds_;
    cond_.notify_all();
    cond_.wait(lock, [this] { return !held_; });
    if (std::find(throw_on_builds_.begin(), throw_on_builds_.end(), nth) != throw_on_builds_.end())
      throw std::runtime_error("build " + std::to_string(nth) + " failed");
    pipeline = std::make_shared<FakePipeline>(name_ + "#" + std::to_string(nth), recorder_);
    if (configure_) configure_(*pipeline);
    pipelines_.push_back(pipeline);
    if (completion_ == Completion::kLater) {
      pending_.push_back(pipeline);
    } else {
      on_complete = on_complete_;
    }
  }
  if (on_complete) on_complete(pipeline);
  if (recorder_) recorder_->add(name_ + ".build end");
  return pipeline;
}

int FakeFactory::build_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return builds_;
}

std::shared_ptr<FakePipeline> FakeFactory::pipeline(int nth) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (nth < 1 || nth > static_cast<int>(pipelines_.size())) return nullptr;
  return pipelines_[nth - 1];
}

void FakeFactory::complete_pending() {
  std::vector<std::shared_ptr<FakePipeline>> pending;
  PipelineCompleteCallback on_complete;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending.swap(pending_);
    on_complete = on_complete_;
  }
  if (!on_complete) return;
  for (const auto& pipeline : pending) on_complete(pipeline);
}

}  // namespace kelvo::testing
