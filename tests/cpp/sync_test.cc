#include "kelvo/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace kelvo {
namespace {

TEST(Event, SetClearWait) {
  Event event;
  EXPECT_FALSE(event.is_set());
  EXPECT_FALSE(event.wait(0.0));
  EXPECT_FALSE(event.wait(0.01));
  event.set();
  EXPECT_TRUE(event.is_set());
  EXPECT_TRUE(event.wait());
  EXPECT_TRUE(event.wait(0.0));
  event.clear();
  EXPECT_FALSE(event.is_set());
}

TEST(Event, WaitWakesOnSetFromAnotherThread) {
  Event event;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.set();
  });
  EXPECT_TRUE(event.wait(30.0));
  setter.join();
}

TEST(StatusCondition, WaitEndsOnlyOnNotify) {
  StatusCondition cond;
  std::atomic<bool> woke{false};
  std::atomic<bool> waiting{false};
  std::thread waiter([&] {
    std::lock_guard<StatusCondition> lock(cond);
    waiting = true;
    cond.wait();
    woke = true;
  });
  while (!waiting) std::this_thread::yield();
  // The waiter holds the mutex until it waits; once we get it, it is waiting.
  { std::lock_guard<StatusCondition> lock(cond); }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(woke);
  {
    std::lock_guard<StatusCondition> lock(cond);
    cond.notify_all();
  }
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(StatusCondition, TimedWaitReportsNotificationOrTimeout) {
  StatusCondition cond;
  {
    std::lock_guard<StatusCondition> lock(cond);
    EXPECT_FALSE(cond.wait_for(0.01));
  }
  std::atomic<bool> waiting{false};
  bool notified = false;
  std::thread waiter([&] {
    std::lock_guard<StatusCondition> lock(cond);
    waiting = true;
    notified = cond.wait_for(30.0);
  });
  while (!waiting) std::this_thread::yield();
  {
    std::lock_guard<StatusCondition> lock(cond);
    cond.notify_all();
  }
  waiter.join();
  EXPECT_TRUE(notified);
}

TEST(StatusCondition, IsReentrant) {
  StatusCondition cond;
  std::lock_guard<StatusCondition> outer(cond);
  EXPECT_TRUE(cond.held_by_current_thread());
  {
    std::lock_guard<StatusCondition> inner(cond);
    cond.notify_all();
  }
  EXPECT_TRUE(cond.held_by_current_thread());
  std::thread other([&] { EXPECT_FALSE(cond.try_lock()); });
  other.join();
}

}  // namespace
}  // namespace kelvo
