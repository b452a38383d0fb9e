// The process-wide GStreamer runtime: initialization, the default GLib main loop on its own
// thread, and the decoder rank overrides.
#ifndef KELVO_RUNTIME_H_
#define KELVO_RUNTIME_H_

#include <atomic>
#include <memory>
#include <mutex>

#include "kelvo/gst_ptr.h"
#include "kelvo/host.h"
#include "kelvo/rank_override.h"

namespace kelvo {

inline constexpr char kRuntimeNotStartedMessage[] =
    "The GObject libraries have not been initialized yet. They can be initialized with "
    "glib_runtime.start()";

inline constexpr char kRuntimeThreadName[] = "GlibRuntimeThread";

// This class is thread-safe: start, assert_started and close serialise on one re-entrant
// mutex, each holding it for its whole run. None of them may be called on the loop thread.
//
// Lifetime of the logger and the launcher must enclose the lifetime of the runtime.
class GlibRuntime {
 public:
  GlibRuntime(Logger& logger, ThreadLauncher& launcher, EnvLookup env = process_env);
  GlibRuntime(const GlibRuntime&) = delete;
  GlibRuntime& operator=(const GlibRuntime&) = delete;
  // Stops a loop that still runs.
  ~GlibRuntime();

  // Initializes GStreamer if the runtime is stopped; with `start_main_loop`, runs a new GLib
  // main loop for the default main context on the daemon thread "GlibRuntimeThread"; then
  // applies the rank overrides. Returns at once when the runtime already runs. An error leaves
  // the runtime stopped.
  void start(bool start_main_loop);

  // Throws std::runtime_error(kRuntimeNotStartedMessage) when the runtime is stopped.
  void assert_started();

  // Quits the loop, if one was created, and waits for its thread to end. The quit always takes
  // effect, even when the loop thread has not entered the loop yet. Warns when stream readers
  // are still open: their bus messages are no longer handled. In the child of a fork() the
  // loop thread is not there: the loop is forgotten, not waited for.
  void close();

  bool running();
  // True when a loop has been created (it may have stopped since).
  bool has_main_loop();
  // The lock that start, assert_started and close hold; re-entrant.
  std::recursive_timed_mutex& lock() { return lock_; }
  // The loop of the latest start with a loop ("transfer none"), and its thread; null before.
  GMainLoop* main_loop();
  Thread* loop_thread();
  // True while the current loop thread runs.
  bool loop_thread_alive();

 private:
  void stop_loop_unlocked();

  Logger& logger_;            // Not owned.
  ThreadLauncher& launcher_;  // Not owned.
  const EnvLookup env_;

  std::recursive_timed_mutex lock_;
  // with lock_
  bool running_ = false;
  GMainLoopPtr loop_;
  std::unique_ptr<Thread> loop_thread_;
  uint64_t loop_fork_generation_ = 0;  // fork_generation() when the loop thread was started
  std::shared_ptr<std::atomic<bool>> quit_requested_;
};

}  // namespace kelvo

#endif  // KELVO_RUNTIME_H_
