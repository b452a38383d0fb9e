// GstPipelineWrapper through the custom factory: watch, waits, release, and no leaks.
#include "kelvo/gst_pipeline.h"

#include <dirent.h>
#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/memory_logger.h"
#include "kelvo/errors.h"
#include "kelvo/factories.h"

namespace kelvo {
namespace {

constexpr char kLiveTestSource[] =
    "videotestsrc is-live=true ! video/x-raw,format=I420,width=64,height=48,framerate=30/1 ! "
    "appsink name=frames";

// Runs the default main context (where the bus watches live) until `done` or 5 s.
bool iterate_until(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    g_main_context_iteration(nullptr, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

int count_entries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long value = 0;
      status >> value;
      return value;
    }
  }
  return 0;
}

class PipelineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
  void TearDown() override {
    // Leaves no message of ours for the next test's context iterations.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  }

  std::shared_ptr<Pipeline> build(const std::string& description) {
    CustomPipelineFactory factory(
        description, "test://custom",
        [this](GstBus*, GstMessage* message, gpointer pipeline) {
          watched_.fetch_add(1);
          watched_pipeline_ = pipeline;
          if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) errors_.fetch_add(1);
          return TRUE;
        },
        [this](const std::shared_ptr<Pipeline>& pipeline) {
          completed_.fetch_add(1);
          completed_pipeline_ = pipeline.get();
        },
        &logger_);
    return factory.build();
  }

  testing::MemoryLogger logger_;
  std::atomic<int> watched_{0};
  std::atomic<int> errors_{0};
  std::atomic<int> completed_{0};
  std::atomic<gpointer> watched_pipeline_{nullptr};
  std::atomic<Pipeline*> completed_pipeline_{nullptr};
};

TEST_F(PipelineTest, CustomPipelinePlaysAndDeliversSamples) {
  std::shared_ptr<Pipeline> pipeline = build(kLiveTestSource);
  EXPECT_EQ(completed_.load(), 1);  // inside build()
  EXPECT_EQ(completed_pipeline_.load(), pipeline.get());
  pipeline->wait_until_playing(7, 5.0);
  EXPECT_EQ(pipeline->get_state(0).current, GST_STATE_PLAYING);
  GstSamplePtr sample = pipeline->try_pull_sample(2 * GST_SECOND);
  ASSERT_TRUE(sample);

  // The watcher runs on the default context with the GstPipeline as its third argument.
  ASSERT_TRUE(iterate_until([&] { return watched_.load() > 0; }));
  auto* wrapper = dynamic_cast<GstPipelineWrapper*>(pipeline.get());
  ASSERT_NE(wrapper, nullptr);
  EXPECT_EQ(watched_pipeline_.load(), static_cast<gpointer>(wrapper->gst_pipeline().get()));

  GstElementPtr appsink = pipeline->get_by_name("frames");
  EXPECT_EQ(appsink.get(), pipeline->appsink());
  pipeline->release_resources();
}

TEST_F(PipelineTest, WatchRunsOnTheThreadDefaultContextOfBuild) {
  GMainContext* own = g_main_context_new();
  g_main_context_push_thread_default(own);
  std::shared_ptr<Pipeline> pipeline = build(kLiveTestSource);
  g_main_context_pop_thread_default(own);
  pipeline->wait_until_playing(1, 5.0);
  for (int i = 0; i < 20; ++i) g_main_context_iteration(nullptr, FALSE);
  EXPECT_EQ(watched_.load(), 0);  // not on the global default context
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (watched_.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(own, FALSE);
  }
  EXPECT_GT(watched_.load(), 0);
  pipeline->release_resources();
  while (g_main_context_iteration(own, FALSE)) {
  }
  g_main_context_unref(own);
}

TEST_F(PipelineTest, CustomAppsinkNeverBlocks) {
  // The caller's settings stand unless the appsink could block or grow without bound.
  struct Case {
    const char* settings;
    gboolean drop;
    guint max_buffers;
  };
  for (const Case& c :
       {Case{"", TRUE, 1}, Case{"drop=false max-buffers=5", TRUE, 5},
        Case{"drop=true max-buffers=3", TRUE, 3}, Case{"drop=true max-buffers=0", TRUE, 1}}) {
    std::shared_ptr<Pipeline> pipeline = build(std::string("videotestsrc ! appsink ") + c.settings);
    gboolean drop = FALSE;
    guint max_buffers = 0;
    g_object_get(pipeline->appsink(), "drop", &drop, "max-buffers", &max_buffers, nullptr);
    EXPECT_EQ(drop, c.drop) << c.settings;
    EXPECT_EQ(max_buffers, c.max_buffers) << c.settings;
    pipeline->release_resources();
  }
}

TEST_F(PipelineTest, ReleaseRunsDestructorsOnceAndLeavesSafeObject) {
  std::shared_ptr<Pipeline> pipeline = build(kLiveTestSource);
  std::vector<int> order;
  pipeline->add_destructor([&] { order.push_back(1); });
  pipeline->add_destructor([&] { throw std::runtime_error("destructor failed"); });
  pipeline->add_destructor([&] { order.push_back(3); });
  pipeline->wait_until_playing(1, 5.0);

  pipeline->release_resources();
  pipeline->release_resources();
  EXPECT_EQ(order, (std::vector<int>{1, 3}));  // a throwing destructor does not stop the rest
  EXPECT_EQ(logger_.count_containing("destructor failed"), 1);

  // Everything stays safe: NULL state, no samples, no elements, late destructors run at once.
  EXPECT_EQ(pipeline->get_state(0).current, GST_STATE_NULL);
  EXPECT_EQ(pipeline->set_state(GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(pipeline->set_state(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  EXPECT_FALSE(pipeline->try_pull_sample(GST_SECOND / 10));
  EXPECT_FALSE(pipeline->get_by_name("frames"));
  EXPECT_FALSE(pipeline->buffer_src_pad());
  EXPECT_NE(pipeline->appsink(), nullptr);
  pipeline->wait_until_null(1, 1.0);
  EXPECT_THROW(pipeline->wait_until_playing(1, 0.1), StreamSetupError);
  pipeline->add_destructor([&] { order.push_back(4); });
  EXPECT_EQ(order.back(), 4);
}

TEST_F(PipelineTest, PullInProgressEndsWhenReleased) {
  // A non-live source that never delivers: the pull would wait its whole time-out.
  std::shared_ptr<Pipeline> pipeline = build("appsrc ! appsink");
  std::thread puller([&] {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pipeline->try_pull_sample(10 * GST_SECOND));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  pipeline->release_resources();
  puller.join();
}

TEST_F(PipelineTest, WaitUntilPlayingTimesOutNamingStreamAndState) {
  std::shared_ptr<Pipeline> pipeline = build("appsrc ! appsink");  // prerolls forever
  try {
    pipeline->wait_until_playing(42, 0.3);
    FAIL() << "no error";
  } catch (const StreamSetupError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("Stream 42"), std::string::npos) << text;
    EXPECT_NE(text.find("not PLAYING after 0.3 s"), std::string::npos) << text;
  }
  pipeline->set_state(GST_STATE_NULL);
  pipeline->wait_until_null(42, 5.0);
  pipeline->release_resources();
}

TEST_F(PipelineTest, WaitUntilPlayingFailsFastOnError) {
  std::shared_ptr<Pipeline> pipeline =
      build("filesrc location=/nonexistent/kelvo/file ! decodebin ! appsink");
  const auto start = std::chrono::steady_clock::now();
  try {
    pipeline->wait_until_playing(5, 30.0);
    FAIL() << "no error";
  } catch (const StreamSetupError& e) {
    EXPECT_NE(std::string(e.what()).find("Stream 5"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("/nonexistent/kelvo/file"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  // The watch still gets the error for itself.
  EXPECT_TRUE(iterate_until([&] { return errors_.load() > 0; }));
  pipeline->release_resources();
}

TEST_F(PipelineTest, CompletionIsNeverReportedAfterRelease) {
  GstElementPtr pipeline(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
  GstElement* appsink = gst_element_factory_make("appsink", nullptr);
  gst_bin_add(GST_BIN(pipeline.get()), appsink);
  auto wrapper =
      GstPipelineWrapper::create(std::move(pipeline), ref_object(appsink), nullptr, &logger_);
  wrapper->release_resources();
  int calls = 0;
  wrapper->report_complete([&](const std::shared_ptr<Pipeline>&) { ++calls; });
  EXPECT_EQ(calls, 0);
}

TEST_F(PipelineTest, DroppedWithoutReleaseStopsThePipeline) {
  std::shared_ptr<Pipeline> pipeline = build(kLiveTestSource);
  pipeline->wait_until_playing(1, 5.0);
  GstElementPtr gst = dynamic_cast<GstPipelineWrapper*>(pipeline.get())->gst_pipeline();
  pipeline.reset();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  GstState state = GST_STATE_PLAYING;
  while (state != GST_STATE_NULL && std::chrono::steady_clock::now() < deadline) {
    gst_element_get_state(gst.get(), &state, nullptr, 10 * GST_MSECOND);
  }
  EXPECT_EQ(state, GST_STATE_NULL);
}

TEST_F(PipelineTest, BuildTeardownCyclesLeakNothing) {
  auto cycle = [&] {
    std::shared_ptr<Pipeline> pipeline = build(
        "videotestsrc is-live=true ! video/x-raw,width=64,height=48,framerate=500/1 ! appsink");
    pipeline->wait_until_playing(1, 5.0);
    GstSamplePtr sample = pipeline->try_pull_sample(GST_SECOND);
    EXPECT_TRUE(sample);
    pipeline->set_state(GST_STATE_NULL);
    pipeline->wait_until_null(1, 5.0);
    pipeline->release_resources();
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
  };
  for (int i = 0; i < 20; ++i) cycle();  // warm-up: plugin loading, thread pools, caches
  const int threads = count_entries("/proc/self/task");
  const int fds = count_entries("/proc/self/fd");
  const long rss = rss_kib();
  for (int i = 0; i < 200; ++i) cycle();
  EXPECT_LE(count_entries("/proc/self/task"), threads + 1);
  EXPECT_LE(count_entries("/proc/self/fd"), fds);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  (void)rss;  // the sanitizers keep freed memory and shadow state: RSS says nothing here
#else
  EXPECT_LT(rss_kib() - rss, 4096) << "RSS grew from " << rss << " KiB";
#endif
}

}  // namespace
}  // namespace kelvo
