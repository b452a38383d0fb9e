#include "fakes/fake_thread_launcher.h"

#include <cxxabi.h>

#include <condition_variable>

namespace kelvo::testing {

namespace {

struct Completion {
  std::mutex mutex;
  std::condition_variable cond;
  bool done = false;  // with mutex
};

class FakeThread final : public Thread {
 public:
  explicit FakeThread(std::shared_ptr<Completion> completion)
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
  const std::shared_ptr<Completion> completion_;
};

}  // namespace

FakeThreadLauncher::~FakeThreadLauncher() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    threads.swap(threads_);
  }
  for (std::thread& thread : threads) thread.join();
}

std::unique_ptr<Thread> FakeThreadLauncher::start(const std::string& name,
                                                  std::function<void()> body) {
  auto completion = std::make_shared<Completion>();
  std::lock_guard<std::mutex> lock(mutex_);
  names_.push_back(name);
  threads_.emplace_back([this, body = std::move(body), completion] {
    try {
      body();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      errors_.push_back(std::current_exception());
    }
    std::lock_guard<std::mutex> lock(completion->mutex);
    completion->done = true;
    completion->cond.notify_all();
  });
  return std::make_unique<FakeThread>(std::move(completion));
}

std::vector<std::string> FakeThreadLauncher::names() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return names_;
}

std::vector<std::exception_ptr> FakeThreadLauncher::errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

}  // namespace kelvo::testing
