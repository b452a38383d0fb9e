// PipelineState: holds a pipeline object and state related to the pipeline.
#ifndef KELVO_PIPELINE_STATE_H_
#define KELVO_PIPELINE_STATE_H_

#include <atomic>
#include <cstdint>
#include <functional>
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

// The thread that finishes off a pipeline that did not stop within the state-change time-out.
inline constexpr char kTeardownThreadName[] = "PipelineTeardownThread";

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
// condition while holding `restart_lock()`. Lines logged under either are written once the
// thread has let go of them (DeferLogs).
//
// Lifetime of `clock` and `launcher` must enclose the lifetime of the state.
class PipelineState {
 public:
  PipelineState(int64_t id, std::shared_ptr<Logger> logger, Clock& clock = system_clock(),
                ThreadLauncher& launcher = default_thread_launcher());
  PipelineState(const PipelineState&) = delete;
  PipelineState& operator=(const PipelineState&) = delete;

  int64_t id() const { return id_; }
  Logger& logger() const { return *logger_; }
  const std::shared_ptr<Logger>& shared_logger() const { return logger_; }

  // The current status; no lock.
  StreamStatus status() const { return status_.load(); }

  // No-op on the same status; CLOSED is final. Otherwise logs "last status X, new status Y",
  // stores the status, sets `new_status_event()` and notifies every waiter, all under the
  // condition's mutex. A request that cannot change anything (the status it already has, or
  // anything once CLOSED) returns without waiting for the mutex, so a bus watcher on the shared
  // main loop never waits out a back-off. Throws std::invalid_argument for a value that is no
  // status.
  void set_status(StreamStatus status);

  // Set on every accepted status change; cleared only by its consumer.
  const std::shared_ptr<Event>& new_status_event() const { return new_status_event_; }

  // The status condition (a re-entrant mutex with a condition variable).
  StatusCondition& new_status_cond() { return new_status_cond_; }

  // Called once, under the condition, when the status becomes CLOSED. Set before the state is
  // shared; it must not block or log.
  void set_on_closed(std::function<void()> on_closed) { on_closed_ = std::move(on_closed); }

  std::shared_ptr<Pipeline> pipeline() const;
  void set_pipeline(std::shared_ptr<Pipeline> pipeline);
  std::shared_ptr<PipelineFactory> factory() const;
  void set_factory(std::shared_ptr<PipelineFactory> factory);

  // Wall-clock seconds at which the current pipeline was started.
  double start_pipeline_timestamp() const { return start_pipeline_timestamp_.load(); }
  void set_start_pipeline_timestamp(double timestamp) { start_pipeline_timestamp_.store(timestamp); }
  // Wall-clock seconds of the current pipeline's last frame; none before its first.
  std::optional<double> last_frame_timestamp() const;
  void set_last_frame_timestamp(std::optional<double> timestamp);

  // Builds a new pipeline from the factory, waits until it plays when `must_play`, then sets
  // STREAMING. Throws std::runtime_error("The factory is not set, so the pipeline cannot be
  // rebuilt") without a factory; errors of the factory and of the wait pass through.
  void build(bool must_play = false);

  // Sets CLOSED; may wait while the restarter thread holds the condition.
  void close() { set_status(StreamStatus::kClosed); }
  // Sets CLOSED at once when the condition is free; otherwise returns at once and leaves it to
  // `on_busy` (run on the calling thread, e.g. to hand the close to a thread of its own). In
  // both cases close_requested() is true from now on, and the restarter makes no new restart.
  // Returns true when the status is CLOSED on return.
  bool close_without_waiting(const std::function<void()>& on_busy);
  bool close_requested() const { return close_requested_.load(); }

  void request_restart() { set_status(StreamStatus::kHalted); }

  // Under the process-wide restart lock: INITIALIZING, timestamps reset, teardown, build.
  // Takes the status condition before the restart lock, whoever calls it. Does nothing without
  // a pipeline (before the first build, after shutdown).
  void restart();

  // Takes the current pipeline to NULL and releases its resources; keeps the references. Does
  // nothing without a pipeline. Going to NULL and waiting for it give up together after the
  // state-change time-out: a pipeline that has not stopped by then is left to the thread
  // "PipelineTeardownThread", which releases it whenever it stops (logged, counted in
  // `pipelines_abandoned()`), and this returns. Errors that the pipeline raises within the
  // time-out pass through.
  void shutdown_pipeline();

  // shutdown_pipeline(), then drops the factory and the pipeline for good. Without a pipeline
  // there is nothing to stop; the factory is dropped all the same.
  void shutdown();

  // Pipelines whose teardown outlived the state-change time-out.
  int64_t pipelines_abandoned() const { return pipelines_abandoned_.load(); }

  // The process-wide mutex held for a whole restart.
  static std::mutex& restart_lock();

  // The time-out of the pipeline's state-change waits; kStateChangeTimeout unless a test
  // shortens it. Set before the state is shared.
  void set_state_change_timeout(double seconds) { state_change_timeout_ = seconds; }
  double state_change_timeout() const { return state_change_timeout_; }

 private:
  const int64_t id_;
  const std::shared_ptr<Logger> logger_;
  Clock& clock_;              // Not owned.
  ThreadLauncher& launcher_;  // Not owned.
  double state_change_timeout_ = kStateChangeTimeout;
  std::function<void()> on_closed_;

  // Written by set_status under new_status_cond_; read anywhere.
  std::atomic<StreamStatus> status_{StreamStatus::kInitializing};
  const std::shared_ptr<Event> new_status_event_ = std::make_shared<Event>();
  StatusCondition new_status_cond_;
  std::atomic<bool> close_requested_{false};
  std::atomic<int64_t> pipelines_abandoned_{0};

  // Read without a lock; accessed only through std::atomic_load / std::atomic_store.
  std::shared_ptr<Pipeline> pipeline_;
  std::shared_ptr<PipelineFactory> factory_;
  std::atomic<double> start_pipeline_timestamp_;
  std::atomic<double> last_frame_timestamp_;  // NaN: none
};

}  // namespace kelvo

#endif  // KELVO_PIPELINE_STATE_H_
