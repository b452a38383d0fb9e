#include "kelvo/pipeline_state.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cxxabi.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace kelvo {

namespace {

constexpr double kNoTimestamp = std::numeric_limits<double>::quiet_NaN();

bool is_status(StreamStatus status) {
  for (StreamStatus s : kAllStreamStatuses) {
    if (s == status) return true;
  }
  return false;
}

// A torn-down pipeline frees what its streaming threads allocated, but the C library keeps that
// memory in those threads' arenas; a camera that drops every few seconds would then see the
// process grow with every restart. Hands the free pages back to the system.
void return_freed_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// What the caller of a teardown and the thread that does it share.
struct Teardown {
  std::mutex mutex;
  std::condition_variable cond;
  bool done = false;         // with mutex: set_state and wait_until_null have returned
  bool abandoned = false;    // with mutex: the caller stopped waiting; the thread releases
  std::exception_ptr error;  // with mutex
};

}  // namespace

PipelineState::PipelineState(int64_t id, std::shared_ptr<Logger> logger, Clock& clock,
                             ThreadLauncher& launcher)
    : id_(id),
      logger_(std::move(logger)),
      clock_(clock),
      launcher_(launcher),
      start_pipeline_timestamp_(clock.now()),
      last_frame_timestamp_(kNoTimestamp) {
  if (!logger_) throw std::invalid_argument("PipelineState needs a logger");
}

std::mutex& PipelineState::restart_lock() {
  // Leaked on purpose: restarter threads may still hold it while static destructors run.
  static std::mutex* lock = new std::mutex();
  return *lock;
}

void PipelineState::set_status(StreamStatus status) {
  if (!is_status(status)) {
    throw std::invalid_argument("Not a StreamStatus: " +
                                std::to_string(static_cast<int>(status)));
  }
  // A request that can change nothing does not wait for the condition (which the restarter
  // thread holds through a whole back-off).
  const StreamStatus seen = status_.load();
  if (status == seen || seen == StreamStatus::kClosed) return;

  DeferLogs defer;  // declared first: the line is written after the condition is released
  std::lock_guard<StatusCondition> lock(new_status_cond_);
  const StreamStatus current = status_.load();
  if (status == current) return;
  if (current == StreamStatus::kClosed) return;  // CLOSED is final
  logger_->info(std::string("last status ") + to_string(current) + ", new status " +
                to_string(status));
  status_.store(status);
  if (status == StreamStatus::kClosed && on_closed_) on_closed_();
  new_status_event_->set();
  new_status_cond_.notify_all();
}

bool PipelineState::close_without_waiting(const std::function<void()>& on_busy) {
  close_requested_.store(true);
  if (status() == StreamStatus::kClosed) return true;
  if (new_status_cond_.try_lock()) {
    {
      std::lock_guard<StatusCondition> lock(new_status_cond_, std::adopt_lock);
      set_status(StreamStatus::kClosed);
    }
    DeferLogs::flush_if_unlocked();
    return true;
  }
  if (on_busy) on_busy();
  return status() == StreamStatus::kClosed;
}

std::shared_ptr<Pipeline> PipelineState::pipeline() const { return std::atomic_load(&pipeline_); }

void PipelineState::set_pipeline(std::shared_ptr<Pipeline> pipeline) {
  std::atomic_store(&pipeline_, std::move(pipeline));
}

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

void PipelineState::restart() {
  // Lines of the restart are written once this thread has let go of both locks (the
  // restarter thread, which holds its condition all along, writes them when restart returns).
  DeferLogs defer;
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
  const double timeout = state_change_timeout_;
  const int64_t id = id_;
  auto teardown = std::make_shared<Teardown>();
  std::shared_ptr<Logger> logger = logger_;
  auto body = [pipeline, teardown, timeout, id, logger] {
    std::exception_ptr error;
    try {
      pipeline->set_state(GST_STATE_NULL);
      pipeline->wait_until_null(id, timeout);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(teardown->mutex);
      teardown->done = true;
      teardown->error = error;
      teardown->cond.notify_all();
      if (!teardown->abandoned) return;
    }
    // Nobody waits any more: finish the pipeline off here, whatever state it reached.
    try {
      pipeline->release_resources();
      return_freed_memory();
      logger->info("kelvo: _pipeline_restarter stream_id " + std::to_string(id) +
                   " abandoned pipeline released");
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      logger->exception("kelvo: _pipeline_restarter stream_id " + std::to_string(id) +
                            " abandoned pipeline could not be released",
                        std::current_exception());
    }
  };

  bool started = false;
  try {
    launcher_.start(kTeardownThreadName, body);
    started = true;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    // No thread to be had (the host is exiting): stop it here, without a bound.
  }
  if (!started) body();

  {
    std::unique_lock<std::mutex> lock(teardown->mutex);
    const auto limit = std::chrono::duration<double>(timeout > 0 && timeout < 1e9 ? timeout : 1e9);
    if (!teardown->cond.wait_for(lock, limit, [&] { return teardown->done; })) {
      teardown->abandoned = true;
      lock.unlock();
      pipelines_abandoned_.fetch_add(1);
      logger_->warning("kelvo: _pipeline_restarter stream_id " + std::to_string(id_) +
                       " pipeline did not stop within " + seconds_text(timeout) +
                       " s; it is released by the thread " + kTeardownThreadName +
                       " once it stops");
      return;
    }
    if (teardown->error) std::rethrow_exception(teardown->error);
  }
  pipeline->release_resources();
}

void PipelineState::shutdown() {
  shutdown_pipeline();
  return_freed_memory();
  std::atomic_store(&factory_, std::shared_ptr<PipelineFactory>());
  std::atomic_store(&pipeline_, std::shared_ptr<Pipeline>());
}

}  // namespace kelvo
