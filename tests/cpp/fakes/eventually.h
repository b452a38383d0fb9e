// Waiting in tests for something another thread does, without fixed sleeps.
#ifndef KELVO_TESTS_FAKES_EVENTUALLY_H_
#define KELVO_TESTS_FAKES_EVENTUALLY_H_

#include <chrono>
#include <functional>
#include <thread>

namespace kelvo::testing {

// Polls `condition` until it holds; false when it still does not after `timeout_seconds`.
inline bool eventually(const std::function<bool()>& condition, double timeout_seconds = 10.0) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace kelvo::testing

#endif  // KELVO_TESTS_FAKES_EVENTUALLY_H_
