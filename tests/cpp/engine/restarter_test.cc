#include "kelvo/restarter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fakes/eventually.h"
#include "fakes/fake_pipeline.h"
#include "fakes/fake_thread_launcher.h"
#include "fakes/fake_time.h"
#include "fakes/memory_logger.h"

namespace kelvo {
namespace {

using testing::eventually;
using testing::FakeClock;
using testing::FakeFactory;
using testing::FakeRandom;
using testing::FakeSleeper;
using testing::FakeThreadLauncher;
using testing::MemoryLogger;

constexpr char kPrefix[] = "kelvo: _pipeline_restarter stream_id 7 ";

std::string change_line(StreamStatus from, StreamStatus to) {
  return std::string("last status ") + to_string(from) + ", new status " + to_string(to);
}

std::string changed_line(StreamStatus status) {
  return std::string(kPrefix) + to_string(status) + " pipeline state changed";
}

// A status-change line is written once its writer has released the status condition, so a
// thread woken by the change may log first. Compares the status-change lines and the other
// lines separately, each in order.
std::pair<std::vector<std::string>, std::vector<std::string>> by_source(
    const std::vector<std::string>& lines) {
  std::pair<std::vector<std::string>, std::vector<std::string>> split;
  for (const std::string& line : lines) {
    (line.rfind("last status ", 0) == 0 ? split.first : split.second).push_back(line);
  }
  return split;
}

std::string shutting_down_line(StreamStatus status, const std::string& timeout) {
  return std::string(to_string(status)) + " " + timeout + " Shutting the pipeline down...";
}

struct BackoffCase {
  int64_t count;
  BackoffSettings settings;
  double uniform01;
  double expected;
};

class RestarterBackoffTest : public ::testing::TestWithParam<BackoffCase> {};

TEST_P(RestarterBackoffTest, FollowsTheFormula) {
  const BackoffCase& c = GetParam();
  EXPECT_EQ(compute_backoff_seconds(c.count, c.settings, c.uniform01), c.expected);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, RestarterBackoffTest,
    ::testing::Values(
        // The defaults without randomness: 12 + 2^count, then max.
        BackoffCase{0, {12, 64, 10}, 0.0, 13}, BackoffCase{1, {12, 64, 10}, 0.0, 14},
        BackoffCase{5, {12, 64, 10}, 0.0, 44}, BackoffCase{6, {12, 64, 10}, 0.0, 64},
        // The random part scales the draw and is bounded by max.
        BackoffCase{0, {12, 64, 10}, 0.5, 18}, BackoffCase{5, {12, 64, 10}, 0.75, 51.5},
        BackoffCase{5, {12, 64, 10}, 0.999, 53.99},
        // max below base: every delay is max.
        BackoffCase{0, {12, 5, 10}, 0.0, 5},
        // Huge counts never overflow.
        BackoffCase{1023, {12, 64, 10}, 0.0, 64}, BackoffCase{1024, {12, 64, 10}, 0.0, 64},
        BackoffCase{std::numeric_limits<int64_t>::max(), {12, 64, 10}, 0.0, 64},
        BackoffCase{2000, {0, kInf, 0}, 0.0, kInf},
        BackoffCase{1023, {0, kInf, 0}, 0.0, 0x1p1023}));

struct ShortestCase {
  double value;
  const char* text;
};

class RestarterShortestDoubleTest : public ::testing::TestWithParam<ShortestCase> {};

TEST_P(RestarterShortestDoubleTest, ReadsBackAsTheSameDouble) {
  EXPECT_EQ(shortest_double(GetParam().value), GetParam().text);
  EXPECT_EQ(std::stod(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Table, RestarterShortestDoubleTest,
                         ::testing::Values(ShortestCase{0.01, "0.01"}, ShortestCase{14.0, "14"},
                                           ShortestCase{23.5, "23.5"}, ShortestCase{64.0, "64"},
                                           ShortestCase{0.1 + 0.2, "0.30000000000000004"},
                                           ShortestCase{53.99, "53.99"}));

class RestarterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }

  void SetUp() override {
    state_->set_factory(factory_);
    state_->build();
    logger_->clear();
  }

  void TearDown() override {
    sleeper_.release();
    factory_->release_builds();
    restarter_->close();
    restarter_->wait_until_closed();
  }

  // Starts the thread and waits until it waits for a status change.
  void start_and_wait() {
    restarter_->start();
    ASSERT_TRUE(eventually([&] { return restarter_->is_waiting(); }));
  }

  // Requests a restart and waits until the restarter has built pipeline number `builds` and
  // waits again.
  void restart_and_wait(int builds) {
    state_->request_restart();
    ASSERT_TRUE(
        eventually([&] { return factory_->build_count() == builds && restarter_->is_waiting(); }));
  }

  std::shared_ptr<MemoryLogger> logger_ = std::make_shared<MemoryLogger>();
  FakeClock clock_;
  FakeSleeper sleeper_;
  FakeRandom random_{0.0};
  FakeThreadLauncher launcher_;
  std::shared_ptr<FakeFactory> factory_ = std::make_shared<FakeFactory>("f");
  std::shared_ptr<PipelineState> state_ = std::make_shared<PipelineState>(7, logger_, clock_);
  std::shared_ptr<PipelineRestarter> restarter_ =
      std::make_shared<PipelineRestarter>(7, 30.0, BackoffSettings{12, 64, 0}, state_, logger_,
                                          launcher_, TimeSources{&clock_, &sleeper_, &random_});
};

TEST_F(RestarterTest, CalcBackoffDrawsOnceAndSeesTheCount) {
  random_.set(0.5);
  auto restarter =
      std::make_shared<PipelineRestarter>(1, 30.0, BackoffSettings{12, 64, 10}, state_, logger_,
                                          launcher_, TimeSources{&clock_, &sleeper_, &random_});
  EXPECT_EQ(restarter->calc_backoff_seconds(), 18.0);
  EXPECT_EQ(random_.draws(), 1);
  EXPECT_EQ(restarter->backoff_seconds(), 0.01);
}

TEST_F(RestarterTest, StartsItsThreadOnceUnderItsName) {
  restarter_->start();
  EXPECT_THROW(restarter_->start(), std::logic_error);
  EXPECT_EQ(launcher_.names(), std::vector<std::string>{kRestarterThreadName});
}

TEST_F(RestarterTest, FirstFaultRestartsAfterTenMilliseconds) {
  start_and_wait();
  restart_and_wait(2);
  EXPECT_EQ(sleeper_.sleeps(), std::vector<double>{0.01});
  EXPECT_EQ(
      by_source(logger_->texts()),
      by_source(std::vector<std::string>{
          change_line(StreamStatus::kStreaming, StreamStatus::kHalted),
          changed_line(StreamStatus::kHalted), shutting_down_line(StreamStatus::kHalted, "0.01"),
          change_line(StreamStatus::kHalted, StreamStatus::kInitializing),
          change_line(StreamStatus::kInitializing, StreamStatus::kStreaming)}));
  EXPECT_EQ(restarter_->restart_count(), 1);
  EXPECT_EQ(restarter_->backoff_seconds(), 14.0);
  EXPECT_EQ(state_->pipeline(), factory_->pipeline(2));
  EXPECT_EQ(factory_->pipeline(1)->release_count(), 1);
}

TEST_F(RestarterTest, BackoffGrowsWithoutFramesUpToMax) {
  start_and_wait();
  for (int builds = 2; builds <= 9; ++builds) restart_and_wait(builds);
  EXPECT_EQ(sleeper_.sleeps(), (std::vector<double>{0.01, 14, 16, 20, 28, 44, 64, 64}));
  EXPECT_EQ(logger_->count_containing(shutting_down_line(StreamStatus::kHalted, "14")), 1);
  EXPECT_EQ(logger_->count_containing(shutting_down_line(StreamStatus::kHalted, "64")), 2);
  EXPECT_EQ(restarter_->restart_count(), 8);
}

TEST_F(RestarterTest, FramesResetTheCountButNotTheNextDelay) {
  start_and_wait();
  restart_and_wait(2);
  restart_and_wait(3);
  EXPECT_EQ(restarter_->backoff_seconds(), 16.0);  // computed with count 2
  logger_->clear();

  restarter_->notify_frame_received(12345, 1500.0);
  EXPECT_EQ(restarter_->restart_count(), 0);
  EXPECT_EQ(state_->last_frame_timestamp(), 1500.0);
  EXPECT_EQ(state_->status(), StreamStatus::kStreaming);
  EXPECT_TRUE(logger_->lines().empty());

  restart_and_wait(4);
  EXPECT_EQ(sleeper_.sleeps(), (std::vector<double>{0.01, 14, 16}));
  EXPECT_EQ(restarter_->backoff_seconds(), 14.0);  // count 1 again
}

TEST_F(RestarterTest, FrameErrorRequestsARestart) {
  start_and_wait();
  restarter_->notify_frame_error(99, 1.0);
  ASSERT_TRUE(eventually([&] { return factory_->build_count() == 2 && restarter_->is_waiting(); }));
  EXPECT_EQ(state_->status(), StreamStatus::kStreaming);
}

TEST_F(RestarterTest, CloseWhileStreamingShutsDownAndEnds) {
  start_and_wait();
  restarter_->close();
  restarter_->wait_until_closed();
  EXPECT_EQ(by_source(logger_->texts()),
            by_source({change_line(StreamStatus::kStreaming, StreamStatus::kClosed),
                       changed_line(StreamStatus::kClosed)}));
  EXPECT_EQ(factory_->pipeline(1)->release_count(), 1);
  EXPECT_EQ(state_->pipeline(), nullptr);
  EXPECT_EQ(state_->factory(), nullptr);
  EXPECT_TRUE(launcher_.errors().empty());
}

// close() during the back-off sleep waits through the sleep and the restart; the thread then
// sees CLOSED once, shuts down and ends without a second restart.
TEST_F(RestarterTest, CloseDuringBackoffBlocksUntilTheRestartIsDone) {
  start_and_wait();
  sleeper_.hold();
  state_->request_restart();
  ASSERT_TRUE(sleeper_.wait_for_sleeps(1));

  std::atomic<bool> closed{false};
  std::thread closer([&] {
    restarter_->close();
    closed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(closed);
  EXPECT_EQ(state_->status(), StreamStatus::kHalted);
  EXPECT_EQ(factory_->build_count(), 1);

  sleeper_.release();
  closer.join();
  restarter_->wait_until_closed();

  EXPECT_EQ(
      by_source(logger_->texts()),
      by_source(std::vector<std::string>{change_line(StreamStatus::kStreaming, StreamStatus::kHalted),
                                changed_line(StreamStatus::kHalted),
                                shutting_down_line(StreamStatus::kHalted, "0.01"),
                                change_line(StreamStatus::kHalted, StreamStatus::kInitializing),
                                change_line(StreamStatus::kInitializing, StreamStatus::kStreaming),
                                change_line(StreamStatus::kStreaming, StreamStatus::kClosed),
                                changed_line(StreamStatus::kClosed)}));
  EXPECT_EQ(sleeper_.sleeps(), std::vector<double>{0.01});
  EXPECT_EQ(factory_->build_count(), 2);
  EXPECT_EQ(restarter_->backoff_seconds(), 14.0);
  EXPECT_EQ(factory_->pipeline(2)->release_count(), 1);  // the final shutdown
  EXPECT_EQ(state_->pipeline(), nullptr);
}

TEST_F(RestarterTest, StartedWhileHaltedRestartsAtOnce) {
  state_->request_restart();
  logger_->clear();
  start_and_wait();
  ASSERT_TRUE(eventually([&] { return factory_->build_count() == 2; }));
  EXPECT_EQ(logger_->texts()[0], shutting_down_line(StreamStatus::kHalted, "0.01"));
}

TEST_F(RestarterTest, StartedWhileClosedShutsDownAtOnce) {
  restarter_->close();
  restarter_->start();
  restarter_->wait_until_closed();
  EXPECT_EQ(factory_->pipeline(1)->release_count(), 1);
  EXPECT_EQ(factory_->build_count(), 1);
  EXPECT_EQ(logger_->count_containing(kPrefix), 0);
}

// A wait that began in INITIALIZING logs "Continue wait" with the new status, then treats
// that status like the loop's later steps.
struct ContinueCase {
  StreamStatus next;
  int builds;  // after the thread settles
  bool thread_ends;
};

class RestarterContinueWaitTest : public RestarterTest,
                                  public ::testing::WithParamInterface<ContinueCase> {};

TEST_P(RestarterContinueWaitTest, LogsContinueWaitThenActsOnTheNewStatus) {
  const ContinueCase& c = GetParam();
  state_->set_status(StreamStatus::kInitializing);
  logger_->clear();
  start_and_wait();
  state_->set_status(c.next);
  if (c.thread_ends) {
    restarter_->wait_until_closed();
  } else {
    // The thread has woken once it wrote its line; it then waits again.
    ASSERT_TRUE(eventually([&] {
      return logger_->lines().size() >= 2 && factory_->build_count() == c.builds &&
             restarter_->is_waiting();
    }));
  }
  EXPECT_EQ(logger_->count_containing(std::string(kPrefix) + to_string(c.next) +
                                      " Continue wait 0.01"),
            1);
  EXPECT_EQ(factory_->build_count(), c.builds);
}

INSTANTIATE_TEST_SUITE_P(Statuses, RestarterContinueWaitTest,
                         ::testing::Values(ContinueCase{StreamStatus::kStreaming, 1, false},
                                           ContinueCase{StreamStatus::kHalted, 2, false},
                                           ContinueCase{StreamStatus::kClosed, 1, true}));

// A restart that fails is logged with its error, counted and tried again after the next
// back-off, as often as it takes; the stream then comes back without help.
TEST_F(RestarterTest, FailedRestartsAreRetriedAfterTheBackoff) {
  factory_->set_throw_on_build(2);
  factory_->set_throw_on_build(3);
  start_and_wait();
  state_->request_restart();
  ASSERT_TRUE(
      eventually([&] { return factory_->build_count() == 4 && restarter_->is_waiting(); }));
  EXPECT_EQ(state_->status(), StreamStatus::kStreaming);
  EXPECT_EQ(state_->pipeline(), factory_->pipeline(2));  // the first build that succeeded
  EXPECT_EQ(sleeper_.sleeps(), (std::vector<double>{0.01, 14, 16}));
  EXPECT_EQ(restarter_->total_restarts(), 3);
  EXPECT_EQ(restarter_->failed_restarts(), 2);
  EXPECT_EQ(restarter_->last_error(), "restart failed: std::runtime_error: build 3 failed");
  int failures = 0;
  for (const auto& line : logger_->lines()) {
    if (line.text.find("restart failed") == std::string::npos) continue;
    ++failures;
    EXPECT_EQ(line.level, LogLevel::kError);
    EXPECT_TRUE(line.with_exception);
  }
  EXPECT_EQ(failures, 2);
  EXPECT_EQ(logger_->count_containing(change_line(StreamStatus::kInitializing,
                                                  StreamStatus::kHalted)),
            2);
  EXPECT_TRUE(launcher_.errors().empty());
}

// A pipeline that does not stop within the state-change time-out is left to a teardown thread;
// the restart goes on with a new pipeline, and the old one is released once it stops.
TEST_F(RestarterTest, AHungTeardownDoesNotHoldTheRestartUp) {
  state_->set_state_change_timeout(0.05);
  std::mutex mutex;
  std::condition_variable cond;
  bool unblock = false;
  factory_->pipeline(1)->set_on_set_state([&] {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [&] { return unblock; });
  });
  start_and_wait();
  restart_and_wait(2);
  EXPECT_EQ(state_->pipelines_abandoned(), 1);
  EXPECT_EQ(factory_->pipeline(1)->release_count(), 0);
  EXPECT_EQ(logger_->count_containing("pipeline did not stop within 0.05 s"), 1);
  {
    std::lock_guard<std::mutex> lock(mutex);
    unblock = true;
  }
  cond.notify_all();
  EXPECT_TRUE(eventually([&] { return factory_->pipeline(1)->release_count() == 1; }));
}

}  // namespace
}  // namespace kelvo
