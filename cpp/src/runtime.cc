#include "kelvo/runtime.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace kelvo {

GlibRuntime::GlibRuntime(Logger& logger, ThreadLauncher& launcher, EnvLookup env)
    : logger_(logger), launcher_(launcher), env_(std::move(env)) {}

GlibRuntime::~GlibRuntime() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  stop_loop_unlocked();
}

void GlibRuntime::start(bool start_main_loop) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
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
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (!running_) throw std::runtime_error(kRuntimeNotStartedMessage);
}

void GlibRuntime::close() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  if (!running_) return;
  stop_loop_unlocked();
  running_ = false;
}

void GlibRuntime::stop_loop_unlocked() {
  if (!loop_ || !loop_thread_) return;
  quit_requested_->store(true);
  // Until the thread is inside run(), a quit may be lost: repeat it until the thread ends.
  while (!loop_thread_->finished()) {
    g_main_loop_quit(loop_.get());
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  loop_thread_->join();
}

bool GlibRuntime::running() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return running_;
}

bool GlibRuntime::has_main_loop() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return loop_ != nullptr;
}

bool GlibRuntime::loop_thread_alive() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  return loop_thread_ && !loop_thread_->finished();
}

}  // namespace kelvo
