#include "kelvo/latest_value.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kelvo {
namespace {

struct Counted {
  explicit Counted(uint64_t v, std::atomic<int>* live) : value(v), live(live) { ++*live; }
  ~Counted() { --*live; }
  uint64_t value;
  std::atomic<int>* live;
};

TEST(LatestValue, LoadsTheNewestValue) {
  std::atomic<int> live{0};
  {
    LatestValue<Counted> latest(std::make_shared<Counted>(0, &live));
    EXPECT_EQ(latest.load()->value, 0u);
    for (uint64_t i = 1; i <= 100; ++i) latest.publish(std::make_shared<Counted>(i, &live));
    EXPECT_EQ(latest.load()->value, 100u);
    // Only the current value is kept once nobody reads the old ones.
    EXPECT_EQ(live.load(), 1);
    auto held = latest.load();
    latest.publish(std::make_shared<Counted>(101, &live));
    EXPECT_EQ(held->value, 100u);  // a reader's copy outlives its replacement
    EXPECT_EQ(live.load(), 2);
  }
  EXPECT_EQ(live.load(), 0);
}

// One writer and several readers: each reader sees a non-decreasing sequence of whole values,
// and nothing is freed under a reader (AddressSanitizer and ThreadSanitizer watch this).
TEST(LatestValue, ConcurrentReadersSeeWholeIncreasingValues) {
  std::atomic<int> live{0};
  LatestValue<Counted> latest(std::make_shared<Counted>(0, &live));
  constexpr uint64_t kPublications = 20000;
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  std::atomic<int> failures{0};
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      uint64_t last = 0;
      while (!done.load()) {
        auto value = latest.load();
        if (value->value < last || value->live != &live) ++failures;
        last = value->value;
      }
    });
  }
  for (uint64_t i = 1; i <= kPublications; ++i) latest.publish(std::make_shared<Counted>(i, &live));
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(latest.load()->value, kPublications);
}

}  // namespace
}  // namespace kelvo
