#include "kelvo/host.h"

#include <cxxabi.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

namespace kelvo {

namespace {

// Completion state shared by a std::thread and its handle.
struct Completion {
  std::mutex mutex;
  std::condition_variable cond;
  bool done = false;  // with mutex
};

class StdThread final : public Thread {
 public:
  explicit StdThread(std::shared_ptr<Completion> completion)
      : completion_(std::move(completion)) {}

  void join() override {
    std::unique_lock<std::mutex> lock(completion_->mutex);
    completion_->cond.wait(lock, [this] { return completion_->done; });
  }

  bool finished() const override {
    std::lock_guard<std::mutex> lock(completion_->mutex);
    return completion_->done;
  }

 private:
  std::shared_ptr<Completion> completion_;
};

class StdThreadLauncher final : public ThreadLauncher {
 public:
  std::unique_ptr<Thread> start(const std::string& name, std::function<void()> body) override {
    auto completion = std::make_shared<Completion>();
    std::thread([name, body = std::move(body), completion] {
      set_os_thread_name(name);
      try {
        body();
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        std::fprintf(stderr, "kelvo: thread %s ended on an error: %s\n", name.c_str(),
                     describe_exception(std::current_exception()).c_str());
      }
      std::lock_guard<std::mutex> lock(completion->mutex);
      completion->done = true;
      completion->cond.notify_all();
    }).detach();
    return std::make_unique<StdThread>(std::move(completion));
  }
};

std::string demangled_name(const std::type_info& type) {
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string result = (status == 0 && name) ? name : type.name();
  std::free(name);
  return result;
}

// A line held back until its thread holds no core lock.
struct PendingLine {
  Logger* logger;  // Not owned: outlives the scope that queued the line.
  LogLevel level;
  std::string text;
  std::exception_ptr error;
  bool with_error;
};

struct Deferral {
  int depth = 0;
  std::vector<PendingLine> lines;
};

Deferral& deferral() {
  thread_local Deferral d;
  return d;
}

void write_now(const PendingLine& line) {
  if (line.with_error) {
    line.logger->log_exception(line.text, line.error);
  } else {
    line.logger->log(line.level, line.text);
  }
}

// Writes the queued lines in order; a line queued while they are written joins the end. Runs
// in destructors: a sink that fails costs its line, reported on standard error, nothing more.
void drain(Deferral& d) {
  std::vector<PendingLine> lines;
  while (!d.lines.empty()) {
    lines.swap(d.lines);
    for (const PendingLine& line : lines) {
      try {
        write_now(line);
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        std::fprintf(stderr, "kelvo: a log line could not be written (%s): %s\n",
                     describe_exception(std::current_exception()).c_str(), line.text.c_str());
      }
    }
    lines.clear();
  }
}

std::atomic<uint64_t> g_fork_generation{0};

void on_fork_child() { g_fork_generation.fetch_add(1); }

// Registered once, when the library is loaded.
const bool g_fork_handler_installed = [] {
  pthread_atfork(nullptr, nullptr, on_fork_child);
  return true;
}();

}  // namespace

void Logger::write(LogLevel level, const std::string& text, std::exception_ptr error,
                   bool with_error) {
  Deferral& d = deferral();
  PendingLine line{this, level, text, std::move(error), with_error};
  if (d.depth > 0) {
    d.lines.push_back(std::move(line));
    return;
  }
  // Lines queued earlier go first, so that the order is kept.
  if (!d.lines.empty()) drain(d);
  write_now(line);
}

DeferLogs::DeferLogs() { ++deferral().depth; }

DeferLogs::~DeferLogs() {
  Deferral& d = deferral();
  if (--d.depth == 0 && !d.lines.empty()) drain(d);
}

void DeferLogs::flush_if_unlocked() {
  Deferral& d = deferral();
  if (d.depth == 0 && !d.lines.empty()) drain(d);
}

bool DeferLogs::active() { return deferral().depth > 0; }

uint64_t fork_generation() {
  (void)g_fork_handler_installed;
  return g_fork_generation.load(std::memory_order_relaxed);
}

void set_os_thread_name(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

ThreadLauncher& default_thread_launcher() {
  static ThreadLauncher* launcher = new StdThreadLauncher();
  return *launcher;
}

std::string describe_exception(std::exception_ptr error) {
  if (!error) return "no error";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return demangled_name(typeid(e)) + ": " + e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace kelvo
