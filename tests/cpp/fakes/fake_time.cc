#include "fakes/fake_time.h"

#include <chrono>

namespace kelvo::testing {

void FakeSleeper::sleep_for(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  sleeps_.push_back(seconds);
  cond_.notify_all();
  cond_.wait(lock, [this] { return !held_; });
}

std::vector<double> FakeSleeper::sleeps() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sleeps_;
}

size_t FakeSleeper::sleep_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sleeps_.size();
}

void FakeSleeper::hold() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = true;
}

void FakeSleeper::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  held_ = false;
  cond_.notify_all();
}

bool FakeSleeper::wait_for_sleeps(size_t count, double timeout_seconds) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cond_.wait_for(lock, std::chrono::duration<double>(timeout_seconds),
                        [&] { return sleeps_.size() >= count; });
}

}  // namespace kelvo::testing
