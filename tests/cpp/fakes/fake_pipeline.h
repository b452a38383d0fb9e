// A pipeline and a pipeline factory for tests: they record what is done to them, in order, and
// fail on demand. The buffer-source pad is a real GstPad (gst_init first).
#ifndef KELVO_TESTS_FAKES_FAKE_PIPELINE_H_
#define KELVO_TESTS_FAKES_FAKE_PIPELINE_H_

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kelvo/gst_ptr.h"
#include "kelvo/pipeline.h"

namespace kelvo::testing {

// One ordered log of events shared by several fakes, across threads. Thread-safe.
class EventRecorder {
 public:
  void add(std::string event);
  std::vector<std::string> events() const;
  // Position of the first event equal to `event`, or -1.
  int index_of(const std::string& event) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;  // with mutex_
};

// Thread-safe. Events recorded as "<name>.set_state NULL", "<name>.wait_until_null",
// "<name>.release".
class FakePipeline final : public Pipeline {
 public:
  explicit FakePipeline(std::string name, std::shared_ptr<EventRecorder> recorder = nullptr);

  const std::string& name() const { return name_; }

  // What get_state reports as the current state (PLAYING unless set).
  void set_current_state(GstState state);
  // Whether the pipeline has a kBufferSrcName element with a "src" pad (yes unless set).
  void set_has_buffer_src_pad(bool has_pad);
  void set_throw_on_wait_until_playing(bool value);
  void set_throw_on_wait_until_null(bool value);
  // Runs in every set_state() before it is recorded (to make a teardown hang, say).
  void set_on_set_state(std::function<void()> hook);

  std::vector<GstState> set_states() const;
  std::vector<GstClockTime> get_state_timeouts() const;
  int wait_until_playing_calls() const;
  int wait_until_null_calls() const;
  // The (stream id, time-out) of the last wait of either kind.
  int64_t last_wait_stream_id() const;
  double last_wait_timeout() const;
  int release_count() const;
  size_t destructor_count() const;
  int destructors_run() const;
  // The pad that buffer_src_pad() hands out; borrowed.
  GstPad* pad() const { return pad_.get(); }

  GstStateChangeReturn set_state(GstState state) override;
  PipelineStateQuery get_state(GstClockTime timeout) override;
  void wait_until_playing(int64_t stream_id, double timeout_seconds) override;
  void wait_until_null(int64_t stream_id, double timeout_seconds) override;
  void release_resources() override;
  void add_destructor(std::function<void()> destructor) override;
  GstElement* appsink() const override { return nullptr; }
  GstSamplePtr try_pull_sample(GstClockTime timeout) override;
  GstElementPtr get_by_name(const char* name) override;
  GstPadPtr buffer_src_pad() override;

 private:
  void record(const std::string& event);

  const std::string name_;
  const std::shared_ptr<EventRecorder> recorder_;
  const GstPadPtr pad_;

  mutable std::mutex mutex_;
  GstState current_state_ = GST_STATE_PLAYING;      // with mutex_
  bool has_pad_ = true;                             // with mutex_
  bool throw_on_wait_until_playing_ = false;        // with mutex_
  bool throw_on_wait_until_null_ = false;           // with mutex_
  std::vector<GstState> set_states_;                // with mutex_
  std::function<void()> on_set_state_;              // with mutex_
  std::vector<GstClockTime> get_state_timeouts_;    // with mutex_
  int wait_until_playing_calls_ = 0;                // with mutex_
  int wait_until_null_calls_ = 0;                   // with mutex_
  int64_t last_wait_stream_id_ = -1;                // with mutex_
  double last_wait_timeout_ = -1;                   // with mutex_
  int release_count_ = 0;                           // with mutex_
  bool released_ = false;                           // with mutex_
  std::vector<std::function<void()>> destructors_;  // with mutex_
  int destructors_run_ = 0;                         // with mutex_
};

// How a FakeFactory reports its pipelines complete.
enum class Completion {
  kInsideBuild,  // before build() returns, as a custom description does
  kLater,        // when the test calls complete_pending(), from any thread
};

// Builds FakePipelines named "<name>#1", "<name>#2", ... Thread-safe. Events recorded as
// "<name>.build begin" and "<name>.build end".
class FakeFactory final : public PipelineFactory {
 public:
  explicit FakeFactory(std::string name = "factory",
                       std::shared_ptr<EventRecorder> recorder = nullptr);

  void set_on_complete(PipelineCompleteCallback on_complete,
                       Completion completion = Completion::kInsideBuild);
  // The `nth` build (1-based) throws std::runtime_error("build <nth> failed"); may be called
  // for several builds.
  void set_throw_on_build(int nth);
  // Applied to every new pipeline before it is handed out.
  void set_configure(std::function<void(FakePipeline&)> configure);
  // While held, build() blocks after it has recorded its start until release_builds().
  void hold_builds();
  void release_builds();
  // Waits until `count` builds have started; false after `timeout_seconds` (real time).
  bool wait_for_builds(int count, double timeout_seconds = 10.0) const;

  std::shared_ptr<Pipeline> build() override;

  int build_count() const;
  // The pipeline of the `nth` build (1-based), or null.
  std::shared_ptr<FakePipeline> pipeline(int nth) const;
  // Reports every pipeline held back by Completion::kLater, oldest first, on the calling thread.
  void complete_pending();

 private:
  const std::string name_;
  const std::shared_ptr<EventRecorder> recorder_;

  mutable std::mutex mutex_;
  mutable std::condition_variable cond_;
  PipelineCompleteCallback on_complete_;                  // with mutex_
  Completion completion_ = Completion::kInsideBuild;      // with mutex_
  std::vector<int> throw_on_builds_;                      // with mutex_
  std::function<void(FakePipeline&)> configure_;          // with mutex_
  bool held_ = false;                                     // with mutex_
  int builds_ = 0;                                        // with mutex_
  std::vector<std::shared_ptr<FakePipeline>> pipelines_;  // with mutex_
  std::vector<std::shared_ptr<FakePipeline>> pending_;    // with mutex_
};

}  // namespace kelvo::testing

#endif  // KELVO_TESTS_FAKES_FAKE_PIPELINE_H_
