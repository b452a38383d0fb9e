// Clock, sleeper and random source for tests: nothing waits unless the test says so.
#ifndef KELVO_TESTS_FAKES_FAKE_TIME_H_
#define KELVO_TESTS_FAKES_FAKE_TIME_H_

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "kelvo/time.h"

namespace kelvo::testing {

// A wall clock that moves only when the test sets or advances it. Thread-safe.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(double now = 1000.0) : now_(now) {}
  double now() override { return now_.load(); }
  void set(double now) { now_.store(now); }
  void advance(double seconds) { now_.store(now_.load() + seconds); }

 private:
  std::atomic<double> now_;
};

// Records every requested sleep and returns at once, or, while held, blocks each sleep until the
// test releases it. Thread-safe.
class FakeSleeper final : public Sleeper {
 public:
  void sleep_for(double seconds) override;

  // Every sleep requested so far, in order.
  std::vector<double> sleeps() const;
  size_t sleep_count() const;

  // From now on, sleeps block until release().
  void hold();
  // Ends the blocked sleeps and lets later ones return at once.
  void release();
  // Waits until `count` sleeps have been requested; false after `timeout_seconds` (real time).
  bool wait_for_sleeps(size_t count, double timeout_seconds = 10.0) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cond_;
  std::vector<double> sleeps_;  // with mutex_
  bool held_ = false;           // with mutex_
};

// Returns the value the test set, for every draw. Thread-safe.
class FakeRandom final : public Random {
 public:
  explicit FakeRandom(double value = 0.0) : value_(value) {}
  double uniform01() override {
    draws_.fetch_add(1);
    return value_.load();
  }
  void set(double value) { value_.store(value); }
  int draws() const { return draws_.load(); }

 private:
  std::atomic<double> value_;
  std::atomic<int> draws_{0};
};

}  // namespace kelvo::testing

#endif  // KELVO_TESTS_FAKES_FAKE_TIME_H_
