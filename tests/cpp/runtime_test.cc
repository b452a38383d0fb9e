#include "kelvo/runtime.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "fakes/memory_logger.h"

namespace kelvo {
namespace {

using testing::MemoryLogger;

EnvLookup no_env() {
  return [](const std::string&) -> std::optional<std::string> { return std::nullopt; };
}

TEST(GlibRuntime, AssertStartedFollowsStartAndClose) {
  MemoryLogger logger;
  GlibRuntime runtime(logger, default_thread_launcher(), no_env());
  try {
    runtime.assert_started();
    FAIL() << "no error before start";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(),
                 "The GObject libraries have not been initialized yet. They can be initialized "
                 "with glib_runtime.start()");
  }
  runtime.start(true);
  EXPECT_NO_THROW(runtime.assert_started());
  EXPECT_TRUE(runtime.loop_thread_alive());
  runtime.close();
  EXPECT_FALSE(runtime.loop_thread_alive());
  EXPECT_THROW(runtime.assert_started(), std::runtime_error);
  runtime.close();  // stopped: nothing to do
}

TEST(GlibRuntime, StartWithoutLoopCreatesNoLoop) {
  MemoryLogger logger;
  GlibRuntime runtime(logger, default_thread_launcher(), no_env());
  runtime.start(false);
  EXPECT_TRUE(runtime.running());
  EXPECT_FALSE(runtime.has_main_loop());
  runtime.close();
  EXPECT_FALSE(runtime.running());
}

TEST(GlibRuntime, SecondStartDoesNothing) {
  MemoryLogger logger;
  std::map<std::string, std::string> env = {{"KELVO_JPEG_RANK", "bad"}};
  GlibRuntime runtime(logger, default_thread_launcher(),
                      [&](const std::string& name) -> std::optional<std::string> {
                        auto it = env.find(name);
                        if (it == env.end()) return std::nullopt;
                        return it->second;
                      });
  runtime.start(true);
  const size_t lines = logger.lines().size();
  EXPECT_GT(lines, 0u);
  runtime.start(true);
  runtime.start(false);
  EXPECT_EQ(logger.lines().size(), lines);
  EXPECT_TRUE(runtime.loop_thread_alive());
  runtime.close();
  // A new start runs the pass again.
  runtime.start(true);
  EXPECT_EQ(logger.lines().size(), 2 * lines);
  runtime.close();
}

// A quit that reaches GLib before its loop runs is lost; close() must still end the thread.
TEST(GlibRuntime, ImmediateCloseNeverHangs) {
  MemoryLogger logger;
  GlibRuntime runtime(logger, default_thread_launcher(), no_env());
  for (int i = 0; i < 300; ++i) {
    runtime.start(true);
    runtime.close();
    ASSERT_FALSE(runtime.loop_thread_alive());
  }
}

TEST(GlibRuntime, ConcurrentCallersAreSerialised) {
  MemoryLogger logger;
  GlibRuntime runtime(logger, default_thread_launcher(), no_env());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        runtime.start(true);
        try {
          runtime.assert_started();
        } catch (const std::runtime_error&) {
          // another thread closed in between: fine
        }
        runtime.close();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(runtime.loop_thread_alive());
}

}  // namespace
}  // namespace kelvo
