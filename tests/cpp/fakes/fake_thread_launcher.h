// A ThreadLauncher for tests: plain std::threads that keep the error that ended them.
#ifndef KELVO_TESTS_FAKES_FAKE_THREAD_LAUNCHER_H_
#define KELVO_TESTS_FAKES_FAKE_THREAD_LAUNCHER_H_

#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelvo/host.h"

namespace kelvo::testing {

// Thread-safe. The destructor joins every thread it started, so a test must first make them end.
class FakeThreadLauncher final : public ThreadLauncher {
 public:
  FakeThreadLauncher() = default;
  FakeThreadLauncher(const FakeThreadLauncher&) = delete;
  FakeThreadLauncher& operator=(const FakeThreadLauncher&) = delete;
  ~FakeThreadLauncher() override;

  std::unique_ptr<Thread> start(const std::string& name, std::function<void()> body) override;

  std::vector<std::string> names() const;
  // The errors that ended threads, in the order they happened.
  std::vector<std::exception_ptr> errors() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> names_;          // with mutex_
  std::vector<std::thread> threads_;        // with mutex_
  std::vector<std::exception_ptr> errors_;  // with mutex_
};

}  // namespace kelvo::testing

#endif  // KELVO_TESTS_FAKES_FAKE_THREAD_LAUNCHER_H_
