// PipelineState: holds a pipeline object and state related to the pipeline.
#ifndef KELVO_PIPELINE_STATE_H_
#define KELVO_PIPELINE_STATE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "kelvo/host.h"
#include "kelvo/pipeline.h"
#include "kelvo/status.h"
#include "kelvo/sync.h"
#include "kelvo/time.h"

namespace kelvo {

// Longest single wait for a pipeline's state change, and the pulling thread's status wait.
inline constexpr double kStateChangeTimeout = 30.0;

// The one object of a stream reader that owns the current pipeline, the factory that builds it
// again, and the stream status. Shared by the reader, its restarter, its keyframe filter and
// its pulling thread.
//
// This class is thread-safe. The status changes only through `set_status`, under
// `new_status_cond()`; reading it takes no lock. `pipeline()`, the factory and the two
// timestamps are read without a lock and written atomically: a reader sees the old value or
// the new one. A pipeline replaced by a restart stays alive as long as anyone still holds it.
//
// Locks: `new_status_cond()` (per state, re-entrant) before `restart_lock()` (per process);
// inside `restart()` the same thread takes its own condition again. Never another state's
// condition while holding `restart_lock()`.
class PipelineState {
 public:
  // Lifetime of `clock` must enclose the lifetime of the state.
  PipelineState(int64_t id, std::shared_ptr<Logger> logger, Clock& clock = system_clock());
  PipelineState(const PipelineState&) = delete;
  PipelineState& operator=(const PipelineState&) = delete;

  int64_t id() const { return id_; }
  Logger& logger() const { return *logger_; }

  // The current status; no lock.
  StreamStatus status() const { return status_.load(); }

  // No-op on the same status; CLOSED is final. Otherwise logs "last status X, new status Y",
  // stores the status, sets `new_status_event()` and notifies every waiter, all under the
  // condition's mutex.
  void set_status(StreamStatus status);

  // Set on every accepted status change; cleared only by its consumer.
  const std::shared_ptr<Event>& new_status_event() const { return new_status_event_; }

  // The status condition (a re-entrant mutex with a condition variable).
  StatusCondition& new_status_cond() { return new_status_cond_; }

  std::shared_ptr<Pipeline> pipeline() const;
  std::shared_ptr<PipelineFactory> factory() const;
  void set_factory(std::shared_ptr<PipelineFactory> factory);

  // Wall-clock seconds at which the current pipeline was started.
  double start_pipeline_timestamp() const { return start_pipeline_timestamp_.load(); }
  // Wall-clock seconds of the current pipeline's last frame; none before its first.
  std::optional<double> last_frame_timestamp() const;
  void set_last_frame_timestamp(std::optional<double> timestamp);

  // Builds a new pipeline from the factory, waits until it plays when `must_play`, then sets
  // STREAMING. Throws std::runtime_error("The factory is not set, so the pipeline cannot be
  // rebuilt") without a factory; errors of the factory and of the wait pass through.
  void build(bool must_play = false);

  void close() { set_status(StreamStatus::kClosed); }
  void request_restart() { set_status(StreamStatus::kHalted); }

  // Under the process-wide restart lock: INITIALIZING, timestamps reset, teardown, build.
  // Takes the status condition before the restart lock, whoever calls it. Does nothing without
  // a pipeline (before the first build, after shutdown).
  void restart();

  // Takes the current pipeline to NULL and releases its resources; keeps the references.
  // Does nothing without a pipeline.
  void shutdown_pipeline();

  // shutdown_pipeline(), then drops the factory and the pipeline for good. Without a pipeline
  // there is nothing to stop; the factory is dropped all the same.
  void shutdown();

  // The process-wide mutex held for a whole restart.
  static std::mutex& restart_lock();

  // The time-out of the pipeline's state-change waits; kStateChangeTimeout unless a test
  // shortens it. Set before the state is shared.
  void set_state_change_timeout(double seconds) { state_change_timeout_ = seconds; }
  double state_change_timeout() const { return state_change_timeout_; }

 private:
  const int64_t id_;
  const std::shared_ptr<Logger> logger_;
  Clock& clock_;  // Not owned.
  double state_change_timeout_ = kStateChangeTimeout;

  // Written by set_status under new_status_cond_; read anywhere.
  std::atomic<StreamStatus> status_{StreamStatus::kInitializing};
  const std::shared_ptr<Event> new_status_event_ = std::make_shared<Event>();
  StatusCondition new_status_cond_;

  // Read without a lock; accessed only through std::atomic_load / std::atomic_store.
  std::shared_ptr<Pipeline> pipeline_;
  std::shared_ptr<PipelineFactory> factory_;
  std::atomic<double> start_pipeline_timestamp_;
  std::atomic<double> last_frame_timestamp_;  // NaN: none
};

}  // namespace kelvo

#endif  // KELVO_PIPELINE_STATE_H_
