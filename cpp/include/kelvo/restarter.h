// PipelineRestarter: monitors the health of the pipeline and rebuilds it if necessary.
#ifndef KELVO_RESTARTER_H_
#define KELVO_RESTARTER_H_

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "kelvo/host.h"
#include "kelvo/pipeline.h"
#include "kelvo/pipeline_state.h"
#include "kelvo/time.h"

namespace kelvo {

// Watchdog limit: a STREAMING pipeline that is not playing and has had no frame for longer
// than this is restarted; also the playing check's limit on the age of the last frame.
inline constexpr double kFrameTimeout = 120.0;

inline constexpr char kRestarterThreadName[] = "PipelineRestarterThread";

// The answer of `gst_state_playing`.
struct PlayingCheck {
  bool is_gst_playing = false;
  GstState gst_state = GST_STATE_NULL;
  std::optional<double> recent_frame;  // seconds since the last frame; none before the first
};

// What the bus watcher acts on, taken out of a bus message.
struct BusEvent {
  enum class Kind { kOther, kEos, kError };
  Kind kind = Kind::kOther;
  std::string error;                 // kError: the error's message
  std::optional<std::string> debug;  // kError: the debug text, when the message has one
};

struct BackoffSettings {
  double base_seconds = 12.0;        // constant part of every delay
  double max_seconds = 64.0;         // bound of the exponential part and of the whole delay
  double randomness_seconds = 10.0;  // scale of the random part
};

// Owns the thread "PipelineRestarterThread", which sleeps on the pipeline state's status
// condition and turns a HALTED status into a restart after an exponential back-off with a
// random part. Detection is done by others: the bus watcher (`watcher`, on the GLib main-loop
// thread) and the pulling thread (`notify_frame_error`).
//
// This class is thread-safe. Create it with std::make_shared: the thread and the bus watcher
// keep it alive while they use it.
//
// The restarter thread holds the status condition for its whole loop, back-off sleeps and
// restarts included, and writes its own log lines while holding it. That is safe for a Python
// host because every host call that waits for the condition releases Python's global lock
// first, and no other thread waits for the condition while it holds that lock; lines logged
// inside a restart wait until the restart lock is released (DeferLogs).
//
// A restart that fails (a factory that raises, a teardown error) does not end the thread: the
// error is logged with its details, counted, the status goes to HALTED and the restart is tried
// again after the next back-off, until the stream is back or the reader is closed.
//
// Lifetime of the launcher and of the time sources must enclose the lifetime of the restarter.
class PipelineRestarter : public std::enable_shared_from_this<PipelineRestarter> {
 public:
  // `setup_timeout` is accepted and not kept: a new pipeline's grace is the watchdog's
  // kFrameTimeout.
  PipelineRestarter(int64_t id, double setup_timeout, BackoffSettings backoff,
                    std::shared_ptr<PipelineState> pipeline_state, std::shared_ptr<Logger> logger,
                    ThreadLauncher& launcher = default_thread_launcher(), TimeSources time = {});
  PipelineRestarter(const PipelineRestarter&) = delete;
  PipelineRestarter& operator=(const PipelineRestarter&) = delete;

  int64_t id() const { return id_; }
  const BackoffSettings& backoff() const { return backoff_; }
  const std::shared_ptr<PipelineState>& pipeline_state() const { return pipeline_state_; }
  const std::shared_ptr<Logger>& logger() const { return logger_; }
  // The restarter thread once started; null before.
  Thread* thread();

  // Starts the restarter thread. Called once; a second call throws std::logic_error.
  void start();

  // Sets the status CLOSED. Does not wait for the thread; blocks while the thread holds the
  // status condition (back-off sleep, restart).
  void close();

  // Waits until the thread has ended (after its final shutdown, or on an error). Returns at
  // once when the thread was never started.
  void wait_until_closed();

  // min(base + min(2^count, max) + U·randomness, max), U uniform in [0, 1); never overflows.
  double calc_backoff_seconds();

  // Per frame, from the pulling thread: the restart count goes back to 0 and the pipeline
  // state records the frame's time. Two atomic stores; no lock, no logging.
  void notify_frame_received(int64_t stream_id, double timestamp);

  // Requests a restart (status HALTED).
  void notify_frame_error(int64_t stream_id, double timestamp);

  // The bus watch (a GstBusFunc bound to this restarter): EOS and ERROR request a restart,
  // with a warning or error line; every other message is ignored. Always returns TRUE.
  // Catches every error: nothing is thrown into GStreamer's C frames.
  gboolean watcher(GstBus* bus, GstMessage* message, gpointer pipeline);

  // What `watcher` does with a message, once parsed; errors pass through. Returns TRUE.
  gboolean on_bus_event(const BusEvent& event);

  // The parsed form of a GStreamer message (passwords masked).
  static BusEvent parse_message(GstMessage* message);

  // `watcher` bound to this restarter by a weak reference, for the pipeline factory.
  PipelineWatcher bus_watcher();

  // The pulling thread's health probe: the pipeline's state without waiting and the age of
  // its last frame. Playing means PLAYING and a frame no older than kFrameTimeout (strictly
  // older is not playing). With no pipeline: not playing, state NULL.
  PlayingCheck gst_state_playing(double timestamp);

  // For reports (never on the frame path's critical section).
  int restart_count() const { return restart_count_.load(); }
  void set_restart_count(int count) { restart_count_.store(count); }
  // Restarts over the restarter's whole life (not reset by frames), failed ones included.
  int64_t total_restarts() const { return total_restarts_.load(); }
  // Restarts that failed and were tried again.
  int64_t failed_restarts() const { return failed_restarts_.load(); }
  // The delay that the next restart will wait.
  double backoff_seconds() const { return backoff_seconds_.load(); }
  // True while the restarter thread waits on the status condition for a change.
  bool is_waiting() const { return waiting_.load(); }
  GstState last_gst_state() const { return last_gst_state_.load(); }
  // The last error or end-of-stream reason seen, passwords masked; none before the first.
  std::optional<std::string> last_error() const;
  void record_error(const std::string& reason);

  // The watchdog limit; kFrameTimeout unless a test shortens it. Set before start().
  void set_frame_timeout(double seconds) { frame_timeout_ = seconds; }
  double frame_timeout() const { return frame_timeout_; }

 private:
  // The body of the restarter thread.
  void run();
  // Waits on the status condition (held once by the caller) until a status change notifies it.
  void wait_for_change();
  // One restart with the status condition held; false when it failed (logged and counted).
  bool restart_once(double restart_timeout);

  const int64_t id_;
  const BackoffSettings backoff_;
  const std::string log_prefix_;  // "kelvo: _pipeline_restarter stream_id <id> "
  const std::shared_ptr<PipelineState> pipeline_state_;
  const std::shared_ptr<Logger> logger_;
  ThreadLauncher& launcher_;  // Not owned.
  const TimeSources time_;
  double frame_timeout_ = kFrameTimeout;

  std::atomic<int> restart_count_{0};
  std::atomic<int64_t> total_restarts_{0};
  std::atomic<int64_t> failed_restarts_{0};
  std::atomic<double> backoff_seconds_{0.01};
  std::atomic<GstState> last_gst_state_{GST_STATE_VOID_PENDING};
  std::atomic<bool> waiting_{false};

  std::mutex thread_mutex_;         // held only to start the thread or read its handle
  std::unique_ptr<Thread> thread_;  // with thread_mutex_; set once, kept for the restarter's life

  mutable std::mutex mutex_;
  std::optional<std::string> last_error_;  // with mutex_
};

// The shortest decimal text that reads back as the same double ("0.01", "14", "23.5").
std::string shortest_double(double value);

// min(base + min(2^count, max) + uniform01·randomness, max), each minimum taking max only when
// it is strictly smaller; any count, however large, gives a finite power or max without overflow.
double compute_backoff_seconds(int64_t count, const BackoffSettings& settings, double uniform01);

}  // namespace kelvo

#endif  // KELVO_RESTARTER_H_
