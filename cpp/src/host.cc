#include "kelvo/host.h"

#include <cxxabi.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <typeinfo>

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

}  // namespace

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
