// Synchronisation primitives of the core: an event flag and the status condition.
#ifndef KELVO_SYNC_H_
#define KELVO_SYNC_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "kelvo/host.h"

namespace kelvo {

// A flag with set, clear, is_set and a timed wait, like Python's `threading.Event`.
//
// This class is thread-safe. `set`, `clear` and `is_set` take no lock while nobody waits, so
// the frame path may call them; the mutex only serves waiters.
class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void clear() { flag_.store(false); }
  bool is_set() const { return flag_.load(); }

  // Waits until the flag is set; returns true when it is, false when `timeout_seconds` passed
  // first. No time-out waits for ever. A zero, negative or NaN time-out only tests the flag.
  // In the child of a fork() made after the event, nobody is left to set it: the wait only
  // tests the flag.
  bool wait(std::optional<double> timeout_seconds = std::nullopt);

  // True in the child of a fork() made after the event.
  bool inherited_by_fork() const { return fork_guard_.inherited(); }

 private:
  const ForkGuard fork_guard_;
  std::atomic<bool> flag_{false};
  std::atomic<int> waiters_{0};  // changed with mutex_
  std::mutex mutex_;
  std::condition_variable cond_;
};

// A condition variable over a re-entrant mutex, for a stream's status.
//
// This class is thread-safe. It is a BasicLockable (use it with std::unique_lock or
// std::lock_guard). The waits release the mutex, so the caller must hold it exactly once when
// it waits; holding it more deeply is a programming error and aborts.
//
// Waits end only on a real `notify_all`: a spurious wake-up of the underlying condition
// variable is absorbed by a generation counter.
class StatusCondition {
 public:
  StatusCondition() = default;
  StatusCondition(const StatusCondition&) = delete;
  StatusCondition& operator=(const StatusCondition&) = delete;

  void lock();
  void unlock();
  bool try_lock();

  // Waits, with the mutex held once, until another thread calls `notify_all`.
  void wait();

  // Waits at most `seconds` (real time); true when notified, false when the time passed.
  bool wait_for(double seconds);

  // Wakes every waiter. The caller holds the mutex.
  void notify_all();

  // True when the calling thread holds the mutex (for checks in debug builds and tests).
  bool held_by_current_thread() const;
  // How many times the calling thread holds the mutex (0 when another thread or none does).
  int depth_held_by_current_thread() const;

 private:
  // Depth bookkeeping around the re-entrant mutex, to refuse waits at depth > 1.
  std::recursive_mutex mutex_;
  std::condition_variable_any cond_;
  uint64_t generation_ = 0;           // with mutex_
  std::atomic<std::thread::id> owner_{};  // written with mutex_, read anywhere
  int depth_ = 0;                         // with mutex_
};

}  // namespace kelvo

#endif  // KELVO_SYNC_H_
