#include "kelvo/sync.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kelvo {

namespace {

// Converts seconds to a wait duration, saturating instead of overflowing.
std::chrono::steady_clock::duration to_duration(double seconds) {
  constexpr double kMaxSeconds = 1e9;  // about 31 years: "for ever" in practice
  if (!(seconds > 0)) return std::chrono::steady_clock::duration::zero();
  if (seconds > kMaxSeconds || std::isnan(seconds)) seconds = kMaxSeconds;
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds));
}

}  // namespace

// A waiter registers under the mutex before it tests the flag; a setter stores the flag before
// it looks for waiters (both sequentially consistent). So either the setter sees the waiter and
// notifies it under the mutex, or the waiter sees the flag: no wake-up is lost.
void Event::set() {
  flag_.store(true);
  if (waiters_.load() > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    cond_.notify_all();
  }
}

bool Event::wait(std::optional<double> timeout_seconds) {
  if (flag_.load()) return true;
  if (fork_guard_.inherited()) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  waiters_.fetch_add(1);
  bool result;
  if (!timeout_seconds) {
    cond_.wait(lock, [this] { return flag_.load(); });
    result = true;
  } else {
    result = cond_.wait_for(lock, to_duration(*timeout_seconds), [this] { return flag_.load(); });
  }
  waiters_.fetch_sub(1);
  return result;
}

void StatusCondition::lock() {
  mutex_.lock();
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  ++depth_;
}

bool StatusCondition::try_lock() {
  if (!mutex_.try_lock()) return false;
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  ++depth_;
  return true;
}

void StatusCondition::unlock() {
  if (--depth_ == 0) owner_.store(std::thread::id(), std::memory_order_relaxed);
  mutex_.unlock();
}

bool StatusCondition::held_by_current_thread() const {
  return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

int StatusCondition::depth_held_by_current_thread() const {
  // depth_ changes only under the mutex; when this thread owns it, nobody else writes it.
  return held_by_current_thread() ? depth_ : 0;
}

// The waits give the mutex up through the condition variable, which unlocks it once: the
// depth bookkeeping is stepped around the wait by hand.
void StatusCondition::wait() {
  if (depth_ != 1) {
    std::fprintf(stderr, "kelvo: StatusCondition::wait with the mutex held %d times\n", depth_);
    std::abort();
  }
  const uint64_t generation = generation_;
  depth_ = 0;
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  cond_.wait(mutex_, [&] { return generation_ != generation; });
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  depth_ = 1;
}

bool StatusCondition::wait_for(double seconds) {
  if (depth_ != 1) {
    std::fprintf(stderr, "kelvo: StatusCondition::wait_for with the mutex held %d times\n",
                 depth_);
    std::abort();
  }
  const uint64_t generation = generation_;
  depth_ = 0;
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  const bool notified =
      cond_.wait_for(mutex_, to_duration(seconds), [&] { return generation_ != generation; });
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  depth_ = 1;
  return notified;
}

void StatusCondition::notify_all() {
  ++generation_;
  cond_.notify_all();
}

}  // namespace kelvo
