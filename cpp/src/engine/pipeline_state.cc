#include "kelvo/pipeline_state.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace kelvo {

namespace {

constexpr double kNoTimestamp = std::numeric_limits<double>::quiet_NaN();

}  // namespace

PipelineState::PipelineState(int64_t id, std::shared_ptr<Logger> logger, Clock& clock)
    : id_(id),
      logger_(std::move(logger)),
      clock_(clock),
      start_pipeline_timestamp_(clock.now()),
      last_frame_timestamp_(kNoTimestamp) {}

std::mutex& PipelineState::restart_lock() {
  // Leaked on purpose: restarter threads may still hold it while static destructors run.
  static std::mutex* lock = new std::mutex();
  return *lock;
}

void PipelineState::set_status(StreamStatus status) {
  std::lock_guard<StatusCondition> lock(new_status_cond_);
  const StreamStatus current = status_.load();
  if (status == current) return;
  if (current == StreamStatus::kClosed) return;  // CLOSED is final
  logger_->info(std::string("last status ") + to_string(current) + ", new status " +
                to_string(status));
  status_.store(status);
  new_status_event_->set();
  new_status_cond_.notify_all();
}

std::shared_ptr<Pipeline> PipelineState::pipeline() const { return std::atomic_load(&pipeline_); }

std::shared_ptr<PipelineFactory> PipelineState::factory() const {
  return std::atomic_load(&factory_);
}

void PipelineState::set_factory(std::shared_ptr<PipelineFactory> factory) {
  std::atomic_store(&factory_, std::move(factory));
}

std::optional<double> PipelineState::last_frame_timestamp() const {
  const double timestamp = last_frame_timestamp_.load();
  if (std::isnan(timestamp)) return std::nullopt;
  return timestamp;
}

void PipelineState::set_last_frame_timestamp(std::optional<double> timestamp) {
  last_frame_timestamp_.store(timestamp ? *timestamp : kNoTimestamp);
}

void PipelineState::build(bool must_play) {
  const std::shared_ptr<PipelineFactory> factory = this->factory();
  if (!factory) {
    throw std::runtime_error("The factory is not set, so the pipeline cannot be rebuilt");
  }
  std::shared_ptr<Pipeline> pipeline = factory->build();
  if (!pipeline) {
    // Keeping a null pipeline would turn every later use of it into a crash.
    throw std::runtime_error("The factory returned no pipeline");
  }
  // The previous pipeline is dropped here without teardown: restart() has done it already, and
  // whoever still holds it keeps it alive.
  std::atomic_store(&pipeline_, pipeline);
  if (must_play) pipeline->wait_until_playing(id_, state_change_timeout_);
  set_status(StreamStatus::kStreaming);
}

namespace {

// A torn-down pipeline frees what its streaming threads allocated, but the C library keeps that
// memory in those threads' arenas; a camera that drops every few seconds would then see the
// process grow with every restart. Hands the free pages back to the system.
void return_freed_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace

void PipelineState::restart() {
  // The status condition first, then the process-wide lock: the restarter thread already holds
  // its condition here (the mutex is re-entrant), and any other caller keeps the same order.
  std::lock_guard<StatusCondition> status_lock(new_status_cond_);
  std::lock_guard<std::mutex> lock(restart_lock());
  if (!pipeline()) return;  // before the first build or after shutdown: nothing to restart
  set_status(StreamStatus::kInitializing);
  start_pipeline_timestamp_.store(clock_.now());
  last_frame_timestamp_.store(kNoTimestamp);
  shutdown_pipeline();
  return_freed_memory();
  build(false);
}

void PipelineState::shutdown_pipeline() {
  const std::shared_ptr<Pipeline> pipeline = this->pipeline();
  if (!pipeline) return;
  pipeline->set_state(GST_STATE_NULL);
  pipeline->wait_until_null(id_, state_change_timeout_);
  pipeline->release_resources();
}

void PipelineState::shutdown() {
  shutdown_pipeline();
  return_freed_memory();
  std::atomic_store(&factory_, std::shared_ptr<PipelineFactory>());
  std::atomic_store(&pipeline_, std::shared_ptr<Pipeline>());
}

}  // namespace kelvo
