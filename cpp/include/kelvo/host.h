// The one seam between the core and the process that hosts it.
//
// The core never talks to Python. It writes log lines through a `Logger` and starts its
// background threads through a `ThreadLauncher`. The Python bindings implement both with the
// Python logger and Python's `threading` (so the threads are listed by `threading.enumerate()`
// and an error that ends one reaches `threading.excepthook`); the C++ tests implement them with
// an in-memory log and plain `std::thread`s.
#ifndef KELVO_HOST_H_
#define KELVO_HOST_H_

#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace kelvo {

enum class LogLevel { kInfo, kWarning, kError };

// A named log sink. Every call passes one fully formatted text.
//
// Implementations are thread-safe: the core logs from every thread it runs on, sometimes while
// it holds its own locks. An implementation must therefore never wait for a core lock.
class Logger {
 public:
  virtual ~Logger() = default;

  virtual void log(LogLevel level, const std::string& text) = 0;

  // Error level, with the error being handled attached (its type, message and, where the host
  // has one, its traceback).
  virtual void log_exception(const std::string& text, std::exception_ptr error) = 0;

  void info(const std::string& text) { log(LogLevel::kInfo, text); }
  void warning(const std::string& text) { log(LogLevel::kWarning, text); }
  void error(const std::string& text) { log(LogLevel::kError, text); }
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

// The launcher for the core's own threads when no host has installed one: plain std::threads;
// an escaping error is written to standard error.
ThreadLauncher& default_thread_launcher();

// A short description of an error for log lines: "TypeName: message" for std::exception
// subclasses, "unknown error" otherwise.
std::string describe_exception(std::exception_ptr error);

}  // namespace kelvo

#endif  // KELVO_HOST_H_
