#include "kelvo/runtime.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "kelvo/stream_reader.h"

namespace kelvo {

GlibRuntime::GlibRuntime(Logger& logger, ThreadLauncher& launcher, EnvLookup env)
    : logger_(logger), launcher_(launcher), env_(std::move(env)) {}

GlibRuntime::~GlibRuntime() {
  std::lock_guard<std::recursive_timed_mutex> lock(lock_);
  stop_loop_unlocked();
}

void GlibRuntime::start(bool start_main_loop) {
  DeferLogs defer;  // the rank lines are written after the lock is released
  std::lock_guard<std::recursive_timed_mutex> lock(lock_);
  if (running_) return;

  GError* raw_error = nullptr;
  if (!gst_init_check(nullptr, nullptr, &raw_error)) {
    GErrorPtr error(raw_error);
    throw std::runtime_error(std::string("GStreamer could not be initialized: ") +
                             (error ? error->message : "unknown error"));
  }

  if (start_main_loop) {
    // A loop left running by a start that failed later on is stopped first, so that two
    // threads never compete for the default context.
    stop_loop_unlocked();
    loop_.reset(g_main_loop_new(nullptr, FALSE));
    quit_requested_ = std::make_shared<std::atomic<bool>>(false);
    loop_fork_generation_ = fork_generation();
    GMainLoop* loop = g_main_loop_ref(loop_.get());
    loop_thread_ = launcher_.start(kRuntimeThreadName, [loop, quit = quit_requested_] {
      GMainLoopPtr owned(loop);
      // A quit that comes before run() is lost by GLib; the flag makes it stick.
      while (!quit->load()) g_main_loop_run(loop);
    });
  }

  override_ranks(logger_, env_);
  running_ = true;
}

void GlibRuntime::assert_started() {
  std::lock_guard<std::recursive_timed_mutex> lock(lock_);
  if (!running_) throw std::runtime_error(kRuntimeNotStartedMessage);
}

void GlibRuntime::close() {
  DeferLogs defer;  // the warning is written after the lock is released
  std::lock_guard<std::recursive_timed_mutex> lock(lock_);
  if (!running_) return;
  const int64_t open = GstStreamReader::open_readers();
  if (open > 0 && loop_ && fork_generation() == loop_fork_generation_) {
    logger_.warning("glib_runtime.close() with " + std::to_string(open) + " stream reader" +
                    (open == 1 ? "" : "s") +
                    " still open: their end-of-stream and error messages are no longer handled, "
                    "so they may report STREAMING while their frames age. Close the readers "
                    "first, or call glib_runtime.start() again.");
  }
  stop_loop_unlocked();
  running_ = false;
}

void GlibRuntime::stop_loop_unlocked() {
  if (!loop_ || !loop_thread_) return;
  if (fork_generation() != loop_fork_generation_) {
    // A fork's child: the loop thread stayed in the parent.
    loop_thread_.release();  // its handle would wait for a thread that is not here
    loop_.release();
    return;
  }
  quit_requested_->store(true);
  // Until the thread is inside run(), a quit may be lost: repeat it until the thread ends.
  while (!loop_thread_->finished()) {
    g_main_loop_quit(loop_.get());
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  loop_thread_->join();
}

bool GlibRuntime::running() {
  std::lock_guard<std::recursive_timed_mutex> lock(lock_);
  return running_;
}

bool GlibRuntime::has_main_loop() {
  std::lock_guard<std::recursive_timed_mutex> lock(lock_);
  return loop_ != nullptr;
}

GMainLoop* GlibRuntime::main_loop() {
  std::lock_guard<std::recursive_timed_mutex> lock(lock_);
  return loop_.get();
}

Thread* GlibRuntime::loop_thread() {
  std::lock_guard<std::recursive_timed_mutex> lock(lock_);
  return loop_thread_.get();
}

bool GlibRuntime::loop_thread_alive() {
  std::lock_guard<std::recursive_timed_mutex> lock(lock_);
  return loop_thread_ && !loop_thread_->finished();
}

}  // namespace kelvo
