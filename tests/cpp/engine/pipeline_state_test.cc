#include "kelvo/pipeline_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "fakes/fake_pipeline.h"
#include "fakes/fake_time.h"
#include "fakes/memory_logger.h"
#include "kelvo/errors.h"

namespace kelvo {
namespace {

using testing::EventRecorder;
using testing::FakeClock;
using testing::FakeFactory;
using testing::FakePipeline;
using testing::MemoryLogger;

std::string change_line(StreamStatus from, StreamStatus to) {
  return std::string("last status ") + to_string(from) + ", new status " + to_string(to);
}

class PipelineStateTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }

  void SetUp() override { state_.set_factory(factory_); }

  // Builds the first pipeline and forgets the log line and the event it caused.
  void build_first() {
    state_.build();
    logger_->clear();
    state_.new_status_event()->clear();
  }

  std::shared_ptr<MemoryLogger> logger_ = std::make_shared<MemoryLogger>();
  FakeClock clock_{1000.0};
  std::shared_ptr<EventRecorder> recorder_ = std::make_shared<EventRecorder>();
  std::shared_ptr<FakeFactory> factory_ = std::make_shared<FakeFactory>("f", recorder_);
  PipelineState state_{7, logger_, clock_};
};

TEST_F(PipelineStateTest, StartsInitializingWithNothingBuilt) {
  PipelineState state(3, logger_, clock_);
  EXPECT_EQ(state.status(), StreamStatus::kInitializing);
  EXPECT_EQ(state.pipeline(), nullptr);
  EXPECT_EQ(state.factory(), nullptr);
  EXPECT_EQ(state.start_pipeline_timestamp(), 1000.0);
  EXPECT_EQ(state.last_frame_timestamp(), std::nullopt);
  EXPECT_FALSE(state.new_status_event()->is_set());
  EXPECT_TRUE(logger_->lines().empty());
}

// Every (current, requested) pair: a change logs one line, sets the event and stores the
// status; the same status or anything after CLOSED does none of it.
class PipelineStateSetStatusTest
    : public PipelineStateTest,
      public ::testing::WithParamInterface<std::tuple<StreamStatus, StreamStatus>> {};

TEST_P(PipelineStateSetStatusTest, ChangesOnlyToANewStatusBeforeClosed) {
  const auto [from, to] = GetParam();
  state_.set_status(from);
  logger_->clear();
  state_.new_status_event()->clear();

  state_.set_status(to);

  const bool accepted = from != to && from != StreamStatus::kClosed;
  EXPECT_EQ(state_.status(), accepted ? to : from);
  EXPECT_EQ(state_.new_status_event()->is_set(), accepted);
  if (accepted) {
    ASSERT_EQ(logger_->lines().size(), 1u);
    EXPECT_EQ(logger_->lines()[0].level, LogLevel::kInfo);
    EXPECT_EQ(logger_->lines()[0].text, change_line(from, to));
  } else {
    EXPECT_TRUE(logger_->lines().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(PipelineState, PipelineStateSetStatusTest,
                         ::testing::Combine(::testing::ValuesIn(kAllStreamStatuses),
                                            ::testing::ValuesIn(kAllStreamStatuses)));

TEST_F(PipelineStateTest, OnlyAnAcceptedChangeWakesWaiters) {
  state_.set_status(StreamStatus::kStreaming);
  for (const bool change : {false, true}) {
    std::atomic<bool> waiting{false};
    bool notified = false;
    std::thread waiter([&] {
      std::lock_guard<StatusCondition> lock(state_.new_status_cond());
      waiting = true;
      notified = state_.new_status_cond().wait_for(change ? 30.0 : 0.03);
    });
    while (!waiting) std::this_thread::yield();
    // The waiter holds the mutex until it waits: once we have it, the waiter is waiting.
    {
      std::lock_guard<StatusCondition> lock(state_.new_status_cond());
      state_.set_status(change ? StreamStatus::kHalted : StreamStatus::kStreaming);
    }
    waiter.join();
    EXPECT_EQ(notified, change);
  }
}

TEST_F(PipelineStateTest, RequestRestartTwiceChangesOnce) {
  build_first();
  state_.request_restart();
  EXPECT_TRUE(state_.new_status_event()->is_set());
  state_.new_status_event()->clear();
  state_.request_restart();
  EXPECT_FALSE(state_.new_status_event()->is_set());
  EXPECT_EQ(logger_->texts(),
            std::vector<std::string>{change_line(StreamStatus::kStreaming, StreamStatus::kHalted)});
}

TEST_F(PipelineStateTest, ClosedRefusesEveryLaterChange) {
  build_first();
  state_.close();
  logger_->clear();
  for (StreamStatus status : kAllStreamStatuses) state_.set_status(status);
  state_.request_restart();
  state_.build();
  state_.restart();
  EXPECT_EQ(state_.status(), StreamStatus::kClosed);
  EXPECT_TRUE(logger_->lines().empty());
  // restart() itself does not look at the status: it still replaced the pipeline.
  EXPECT_EQ(factory_->build_count(), 3);
  EXPECT_EQ(factory_->pipeline(2)->release_count(), 1);
  EXPECT_EQ(state_.pipeline(), factory_->pipeline(3));
}

TEST_F(PipelineStateTest, BuildWithoutFactoryThrowsAndChangesNothing) {
  PipelineState state(7, logger_, clock_);
  try {
    state.build(true);
    FAIL() << "build without a factory returned";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "The factory is not set, so the pipeline cannot be rebuilt");
  }
  EXPECT_EQ(state.status(), StreamStatus::kInitializing);
  EXPECT_EQ(state.pipeline(), nullptr);
}

TEST_F(PipelineStateTest, BuildSetsStreamingWithoutWaitingByDefault) {
  state_.build();
  EXPECT_EQ(state_.status(), StreamStatus::kStreaming);
  EXPECT_EQ(state_.pipeline(), factory_->pipeline(1));
  EXPECT_EQ(factory_->pipeline(1)->wait_until_playing_calls(), 0);
  EXPECT_EQ(logger_->texts(), std::vector<std::string>{change_line(StreamStatus::kInitializing,
                                                                   StreamStatus::kStreaming)});
}

TEST_F(PipelineStateTest, BuildMustPlayWaitsBeforeStreaming) {
  state_.set_state_change_timeout(2.5);
  state_.build(true);
  const auto pipeline = factory_->pipeline(1);
  EXPECT_EQ(pipeline->wait_until_playing_calls(), 1);
  EXPECT_EQ(pipeline->last_wait_stream_id(), 7);
  EXPECT_EQ(pipeline->last_wait_timeout(), 2.5);
  EXPECT_EQ(state_.status(), StreamStatus::kStreaming);
}

TEST_F(PipelineStateTest, BuildThatDoesNotPlayKeepsThePipelineButNotTheStatus) {
  factory_->set_configure([](FakePipeline& p) { p.set_throw_on_wait_until_playing(true); });
  EXPECT_THROW(state_.build(true), StreamSetupError);
  EXPECT_EQ(state_.pipeline(), factory_->pipeline(1));
  EXPECT_EQ(state_.status(), StreamStatus::kInitializing);
}

TEST_F(PipelineStateTest, RestartTearsDownThenRebuildsAndResetsTimestamps) {
  build_first();
  const std::shared_ptr<Pipeline> old = state_.pipeline();
  state_.set_last_frame_timestamp(1005.0);
  clock_.set(2000.0);
  state_.request_restart();
  logger_->clear();

  state_.restart();

  EXPECT_EQ(recorder_->events(),
            (std::vector<std::string>{"f.build begin", "f.build end", "f#1.set_state NULL",
                                      "f#1.wait_until_null", "f#1.release", "f.build begin",
                                      "f.build end"}));
  EXPECT_EQ(factory_->pipeline(1)->last_wait_stream_id(), 7);
  EXPECT_EQ(factory_->pipeline(1)->last_wait_timeout(), kStateChangeTimeout);
  EXPECT_EQ(logger_->texts(),
            (std::vector<std::string>{
                change_line(StreamStatus::kHalted, StreamStatus::kInitializing),
                change_line(StreamStatus::kInitializing, StreamStatus::kStreaming)}));
  EXPECT_EQ(state_.start_pipeline_timestamp(), 2000.0);
  EXPECT_EQ(state_.last_frame_timestamp(), std::nullopt);
  EXPECT_EQ(state_.pipeline(), factory_->pipeline(2));
  // Whoever still holds the replaced pipeline can keep using it.
  EXPECT_EQ(old->get_state(0).current, GST_STATE_NULL);
}

TEST_F(PipelineStateTest, FailedTeardownStopsTheRestartAndFreesTheLock) {
  factory_->set_configure([](FakePipeline& p) { p.set_throw_on_wait_until_null(true); });
  build_first();
  EXPECT_THROW(state_.restart(), StreamSetupError);
  EXPECT_EQ(factory_->pipeline(1)->release_count(), 0);
  EXPECT_EQ(factory_->build_count(), 1);
  EXPECT_EQ(state_.status(), StreamStatus::kInitializing);
  ASSERT_TRUE(PipelineState::restart_lock().try_lock());
  PipelineState::restart_lock().unlock();
}

TEST_F(PipelineStateTest, FailedRebuildKeepsTheTornDownPipelineAndFreesTheLock) {
  factory_->set_throw_on_build(2);
  build_first();
  EXPECT_THROW(state_.restart(), std::runtime_error);
  EXPECT_EQ(state_.pipeline(), factory_->pipeline(1));
  EXPECT_EQ(factory_->pipeline(1)->release_count(), 1);
  EXPECT_EQ(state_.status(), StreamStatus::kInitializing);
  ASSERT_TRUE(PipelineState::restart_lock().try_lock());
  PipelineState::restart_lock().unlock();
}

TEST_F(PipelineStateTest, ShutdownDropsPipelineAndFactoryForGood) {
  build_first();
  state_.shutdown();
  EXPECT_EQ(factory_->pipeline(1)->set_states(), std::vector<GstState>{GST_STATE_NULL});
  EXPECT_EQ(factory_->pipeline(1)->release_count(), 1);
  EXPECT_EQ(state_.pipeline(), nullptr);
  EXPECT_EQ(state_.factory(), nullptr);

  // Nothing left to stop, restart or build.
  state_.shutdown();
  state_.shutdown_pipeline();
  state_.restart();
  EXPECT_THROW(state_.build(), std::runtime_error);
  EXPECT_EQ(factory_->build_count(), 1);
  EXPECT_EQ(factory_->pipeline(1)->release_count(), 1);
  EXPECT_EQ(state_.status(), StreamStatus::kStreaming);
}

TEST_F(PipelineStateTest, RestartBeforeTheFirstBuildDoesNothing) {
  state_.restart();
  EXPECT_EQ(factory_->build_count(), 0);
  EXPECT_EQ(state_.status(), StreamStatus::kInitializing);
  EXPECT_TRUE(logger_->lines().empty());
}

// Two readers restarting at once: the second teardown starts only after the first rebuild.
TEST_F(PipelineStateTest, RestartsOfTwoStatesAreSerialised) {
  auto factory_b = std::make_shared<FakeFactory>("g", recorder_);
  PipelineState state_b(8, logger_, clock_);
  state_b.set_factory(factory_b);
  build_first();
  state_b.build();

  factory_->hold_builds();
  std::thread first([&] { state_.restart(); });
  ASSERT_TRUE(factory_->wait_for_builds(2));  // the first restart is inside its rebuild
  std::atomic<bool> second_done{false};
  std::thread second([&] {
    state_b.restart();
    second_done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(second_done);
  EXPECT_EQ(recorder_->index_of("g#1.set_state NULL"), -1);
  factory_->release_builds();
  first.join();
  second.join();

  const std::vector<std::string> events = recorder_->events();
  int first_build_end = -1;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i] == "f.build end") first_build_end = static_cast<int>(i);
  }
  EXPECT_LT(first_build_end, recorder_->index_of("g#1.set_state NULL"));
  EXPECT_EQ(state_.pipeline(), factory_->pipeline(2));
  EXPECT_EQ(state_b.pipeline(), factory_b->pipeline(2));
}

}  // namespace
}  // namespace kelvo
