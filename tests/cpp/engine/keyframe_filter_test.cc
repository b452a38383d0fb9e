#include "kelvo/keyframe_filter.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "fakes/fake_pipeline.h"
#include "fakes/fake_probe.h"
#include "fakes/fake_time.h"
#include "fakes/memory_logger.h"

namespace kelvo {
namespace {

using testing::Completion;
using testing::FakeClock;
using testing::FakeFactory;
using testing::FakePipeline;
using testing::FakeProbe;
using testing::MemoryLogger;
using testing::ProbeCall;

constexpr char kAdded[] = "Added pad probe to enable keyframe-only streaming";
constexpr char kRemoved[] = "Removed pad probe, disabling keyframe-only streaming";
constexpr char kMissing[] =
    "No element named 'buffer_src' to update a pad probe. The pad probe will be installed or "
    "removed when the pipeline is finished.";

class KeyframeFilterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }

  // The reader's wiring: every pipeline reported complete updates the filter's probe on that
  // pipeline.
  void make_filter(bool keyframes_only, Completion completion = Completion::kInsideBuild) {
    filter_ = std::make_unique<KeyframeFilter>(keyframes_only, state_, logger_, probe_);
    factory_->set_on_complete(
        [this](const std::shared_ptr<Pipeline>& pipeline) { filter_->update_pad_probe(pipeline); },
        completion);
    state_->set_factory(factory_);
  }

  GstPad* pad(int nth) const { return factory_->pipeline(nth)->pad(); }

  // Text lines written by the filter (the state's status lines left out).
  std::vector<std::string> filter_lines() const {
    std::vector<std::string> out;
    for (const std::string& text : logger_->texts()) {
      if (text.rfind("last status", 0) != 0) out.push_back(text);
    }
    return out;
  }

  std::shared_ptr<MemoryLogger> logger_ = std::make_shared<MemoryLogger>();
  FakeClock clock_;
  FakeProbe probe_;
  std::shared_ptr<FakeFactory> factory_ = std::make_shared<FakeFactory>("f");
  std::shared_ptr<PipelineState> state_ = std::make_shared<PipelineState>(7, logger_, clock_);
  std::unique_ptr<KeyframeFilter> filter_;
};

TEST_F(KeyframeFilterTest, ConstructedOnAddsNothingUntilThePipelineIsComplete) {
  make_filter(true, Completion::kLater);
  EXPECT_TRUE(filter_->keyframes_only());
  state_->build();
  EXPECT_TRUE(probe_.added().empty());
  EXPECT_EQ(filter_->pad_probe_id(), std::nullopt);
  factory_->complete_pending();
  EXPECT_EQ(probe_.added(), (std::vector<ProbeCall>{{pad(1), 1}}));
  EXPECT_EQ(filter_->pad_probe_id(), 1u);
  EXPECT_EQ(factory_->pipeline(1)->destructor_count(), 1u);
  EXPECT_EQ(filter_lines(), std::vector<std::string>{kAdded});
}

TEST_F(KeyframeFilterTest, WritingTheSameValueDoesNothing) {
  make_filter(false);
  state_->build();
  filter_->set_keyframes_only(false);
  make_filter(true);
  state_->build();
  logger_->clear();
  filter_->set_keyframes_only(true);
  EXPECT_EQ(probe_.added().size(), 1u);
  EXPECT_TRUE(logger_->lines().empty());
}

TEST_F(KeyframeFilterTest, OffWithoutAProbeDoesNothing) {
  make_filter(false);
  state_->build();
  filter_->update_pad_probe();
  EXPECT_TRUE(probe_.added().empty());
  EXPECT_TRUE(probe_.removed().empty());
  EXPECT_TRUE(filter_lines().empty());
}

TEST_F(KeyframeFilterTest, OnThenOffOnOnePipeline) {
  make_filter(false);
  state_->build();
  filter_->set_keyframes_only(true);
  filter_->set_keyframes_only(false);
  EXPECT_EQ(probe_.added(), (std::vector<ProbeCall>{{pad(1), 1}}));
  EXPECT_EQ(probe_.removed(), (std::vector<ProbeCall>{{pad(1), 1}}));
  EXPECT_EQ(filter_->pad_probe_id(), std::nullopt);
  EXPECT_EQ(filter_lines(), (std::vector<std::string>{kAdded, kRemoved}));

  // The destructor stays registered and asks the pad once more at the teardown.
  state_->shutdown();
  EXPECT_EQ(probe_.removed(), (std::vector<ProbeCall>{{pad(1), 1}, {pad(1), 1}}));
}

TEST_F(KeyframeFilterTest, OnWithAProbeAddsAnotherAndRecordsOnlyTheNewId) {
  make_filter(true, Completion::kLater);
  state_->build();
  filter_->set_keyframes_only(false);  // element already there, nothing recorded yet
  filter_->set_keyframes_only(true);   // first probe
  factory_->complete_pending();        // second probe
  EXPECT_EQ(probe_.added(), (std::vector<ProbeCall>{{pad(1), 1}, {pad(1), 2}}));
  EXPECT_EQ(filter_->pad_probe_id(), 2u);

  filter_->set_keyframes_only(false);
  EXPECT_EQ(probe_.removed(), (std::vector<ProbeCall>{{pad(1), 2}}));
  // Both go with the pipeline.
  state_->shutdown();
  EXPECT_EQ(probe_.removed(), (std::vector<ProbeCall>{{pad(1), 2}, {pad(1), 1}, {pad(1), 2}}));
}

// A pipeline without the element or its pad, or no pipeline at all after shutdown: an info
// line, no probe change, the flag keeps its new value.
class KeyframeFilterMissingPadTest : public KeyframeFilterTest,
                                     public ::testing::WithParamInterface<bool> {};

TEST_P(KeyframeFilterMissingPadTest, ReadsLikeAMissingElement) {
  const bool after_shutdown = GetParam();
  make_filter(false);
  factory_->set_configure([](FakePipeline& p) { p.set_has_buffer_src_pad(false); });
  state_->build();
  if (after_shutdown) state_->shutdown();
  logger_->clear();

  filter_->set_keyframes_only(true);
  filter_->set_keyframes_only(false);

  EXPECT_FALSE(filter_->keyframes_only());
  EXPECT_TRUE(probe_.added().empty());
  EXPECT_TRUE(probe_.removed().empty());
  EXPECT_EQ(logger_->texts(LogLevel::kInfo), (std::vector<std::string>{kMissing, kMissing}));
  EXPECT_EQ(logger_->lines().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(NoPad, KeyframeFilterMissingPadTest, ::testing::Bool());

TEST_F(KeyframeFilterTest, RestartMovesTheProbeToTheNewPipeline) {
  make_filter(true);
  state_->build();
  state_->restart();
  EXPECT_EQ(probe_.added(), (std::vector<ProbeCall>{{pad(1), 1}, {pad(2), 2}}));
  EXPECT_EQ(probe_.removed(), (std::vector<ProbeCall>{{pad(1), 1}}));  // by pipeline 1's teardown
  EXPECT_EQ(filter_->pad_probe_id(), 2u);
  EXPECT_EQ(factory_->pipeline(1)->destructor_count(), 1u);
  EXPECT_EQ(factory_->pipeline(2)->destructor_count(), 1u);
}

TEST_F(KeyframeFilterTest, OffAfterRestartBeforeTheUpdateRemovesTheOldIdFromTheNewPad) {
  make_filter(true, Completion::kLater);
  state_->build();
  factory_->complete_pending();
  state_->restart();  // pipeline 2 not reported complete yet
  filter_->set_keyframes_only(false);
  EXPECT_EQ(probe_.removed(), (std::vector<ProbeCall>{{pad(1), 1}, {pad(2), 1}}));
  EXPECT_EQ(filter_->pad_probe_id(), std::nullopt);
  factory_->complete_pending();
  EXPECT_EQ(probe_.added().size(), 1u);
}

// The pipeline reported complete is the one the probe lands on, and the one that removes it,
// whether the report comes inside build() (the state does not hold the pipeline yet) or later
// from a streaming thread.
class KeyframeFilterCompletionTest : public KeyframeFilterTest,
                                     public ::testing::WithParamInterface<Completion> {};

TEST_P(KeyframeFilterCompletionTest, ProbeLandsOnTheCompletedPipeline) {
  const bool later = GetParam() == Completion::kLater;
  make_filter(true, GetParam());
  auto complete_on_another_thread = [&] {
    if (later) std::thread([&] { factory_->complete_pending(); }).join();
  };

  state_->build();
  complete_on_another_thread();
  state_->restart();
  complete_on_another_thread();

  EXPECT_EQ(probe_.added(), (std::vector<ProbeCall>{{pad(1), 1}, {pad(2), 2}}));
  EXPECT_EQ(factory_->pipeline(1)->destructor_count(), 1u);
  EXPECT_EQ(factory_->pipeline(2)->destructor_count(), 1u);
  EXPECT_EQ(filter_lines(), (std::vector<std::string>{kAdded, kAdded}));
  state_->shutdown();
  EXPECT_EQ(probe_.removed(), (std::vector<ProbeCall>{{pad(1), 1}, {pad(2), 2}}));
}

INSTANTIATE_TEST_SUITE_P(Orders, KeyframeFilterCompletionTest,
                         ::testing::Values(Completion::kInsideBuild, Completion::kLater));

TEST_F(KeyframeFilterTest, DestructorOutlivesTheFilter) {
  make_filter(true);
  state_->build();
  factory_->set_on_complete(nullptr);
  filter_.reset();
  state_->shutdown();
  EXPECT_EQ(probe_.removed(), (std::vector<ProbeCall>{{pad(1), 1}}));
}

TEST_F(KeyframeFilterTest, FailedAdditionKeepsTheNewFlag) {
  make_filter(false);
  state_->build();
  probe_.set_throw_on_add(true);
  EXPECT_THROW(filter_->set_keyframes_only(true), std::runtime_error);
  EXPECT_TRUE(filter_->keyframes_only());
  EXPECT_EQ(filter_->pad_probe_id(), std::nullopt);
}

}  // namespace
}  // namespace kelvo
