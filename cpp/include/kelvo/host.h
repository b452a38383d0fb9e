// The one seam between the core and the process that hosts it.
//
// The core never talks to Python. It writes log lines through a `Logger` and starts its
// background threads through a `ThreadLauncher`. The Python bindings implement both with the
// Python logger and Python's `threading` (so the threads are listed by `threading.enumerate()`
// and an error that ends one reaches `threading.excepthook`); the C++ tests implement them with
// an in-memory log and plain `std::thread`s.
//
// The rule that keeps a Python host from ever freezing: no thread waits for a core lock while
// it holds Python's global lock (every binding that may wait releases it first), and a line
// that the core logs while it holds a core lock is written only once the lock is released
// (`DeferLogs`), because writing it may need Python's global lock. The one documented exception
// is the restarter thread's hold of its own status condition, see restarter.h.
#ifndef KELVO_HOST_H_
#define KELVO_HOST_H_

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace kelvo {

enum class LogLevel { kInfo, kWarning, kError };

// A named log sink. Every call passes one fully formatted text.
//
// Implementations are thread-safe and never throw: a sink that cannot write reports that its
// own way. The core calls the non-virtual helpers (info, warning, error, exception), which hold
// a line back while the calling thread holds a core lock (see DeferLogs).
class Logger {
 public:
  virtual ~Logger() = default;

  // The sink. Called without any core lock held.
  virtual void log(LogLevel level, const std::string& text) = 0;

  // Error level, with the error being handled attached (its type, message and, where the host
  // has one, its traceback).
  virtual void log_exception(const std::string& text, std::exception_ptr error) = 0;

  void info(const std::string& text) { write(LogLevel::kInfo, text, nullptr); }
  void warning(const std::string& text) { write(LogLevel::kWarning, text, nullptr); }
  void error(const std::string& text) { write(LogLevel::kError, text, nullptr); }
  void exception(const std::string& text, std::exception_ptr error) {
    write(LogLevel::kError, text, std::move(error), true);
  }

 private:
  void write(LogLevel level, const std::string& text, std::exception_ptr error,
             bool with_error = false);
};

// While one of these lives on a thread, lines that thread logs are queued; when the last one
// on the thread ends, the queue is written in order. Put one around every core lock that a
// host call may wait for, so that no thread ever waits for the host (to log) while holding it.
//
// The lifetime of every logger written to in a scope must enclose the scope.
class DeferLogs {
 public:
  DeferLogs();
  ~DeferLogs();
  DeferLogs(const DeferLogs&) = delete;
  DeferLogs& operator=(const DeferLogs&) = delete;

  // Writes the queued lines now when no scope is left open on this thread; they would be
  // written when the last scope ends otherwise.
  static void flush_if_unlocked();
  // True while the calling thread is inside a scope.
  static bool active();
};

// A thread started through a `ThreadLauncher`.
class Thread {
 public:
  virtual ~Thread() = default;

  // Blocks until the thread's body has returned or ended on an error. May be called any number
  // of times and from any thread except the thread itself.
  virtual void join() = 0;

  // True once the body has returned or ended on an error.
  virtual bool finished() const = 0;
};

// Starts the core's background threads.
class ThreadLauncher {
 public:
  virtual ~ThreadLauncher() = default;

  // Starts `body` on a new daemon thread called `name` and returns at once. An exception that
  // escapes `body` ends the thread and is reported by the launcher as the uncaught error of
  // that thread; it never terminates the process.
  //
  // The returned handle may be dropped while the thread runs: the thread is not stopped by it.
  virtual std::unique_ptr<Thread> start(const std::string& name, std::function<void()> body) = 0;
};

// Gives the calling thread `name` for the operating system (what `top -H`, gdb and
// /proc/PID/task/TID/comm show): its first 15 bytes, the most Linux keeps. Every launcher names
// the threads it starts, so that a process with many readers can tell them apart.
void set_os_thread_name(const std::string& name);

// The launcher for the core's own threads when no host has installed one: plain std::threads;
// an escaping error is written to standard error.
ThreadLauncher& default_thread_launcher();

// A short description of an error for log lines: "TypeName: message" for std::exception
// subclasses, "unknown error" otherwise.
std::string describe_exception(std::exception_ptr error);

// Grows by one in the child of every fork(). An object made before a fork sees a different
// value in the child: it was made by threads that the child does not have, so it must not wait
// for them (see `ForkGuard`).
uint64_t fork_generation();

// Remembers the fork generation of its owner's birth.
class ForkGuard {
 public:
  ForkGuard() : generation_(fork_generation()) {}
  // True in the child of a fork() that came after the owner was made.
  bool inherited() const { return generation_ != fork_generation(); }

 private:
  const uint64_t generation_;
};

}  // namespace kelvo

#endif  // KELVO_HOST_H_
