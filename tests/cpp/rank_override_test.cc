#include "kelvo/rank_override.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "fakes/memory_logger.h"

namespace kelvo {
namespace {

using testing::MemoryLogger;

// The environment of a test, as a map.
EnvLookup env_of(std::map<std::string, std::string> vars) {
  return [vars](const std::string& name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

// Ranks of the decoders of one plugin, restored when the test ends.
class RankOverrideTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }

  void SetUp() override {
    for (const DecoderInfo& d : list_decoders()) saved_[d.factory] = d.rank;
  }

  void TearDown() override {
    for (const auto& [name, rank] : saved_) {
      GstElementFactory* factory = gst_element_factory_find(name.c_str());
      gst_plugin_feature_set_rank(GST_PLUGIN_FEATURE(factory), rank);
      gst_object_unref(factory);
    }
  }

  static unsigned rank_of(const char* factory_name) {
    GstElementFactory* factory = gst_element_factory_find(factory_name);
    unsigned rank = gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(factory));
    gst_object_unref(factory);
    return rank;
  }

  // The decoders of `plugin` that the pass looks at.
  std::vector<std::string> decoders_of(const std::string& plugin) {
    std::vector<std::string> names;
    for (const DecoderInfo& d : list_decoders()) {
      if (d.plugin == plugin) names.push_back(d.factory);
    }
    return names;
  }

  std::map<std::string, unsigned> saved_;
  MemoryLogger logger_;
};

TEST_F(RankOverrideTest, NoVariableChangesNothing) {
  override_ranks(logger_, env_of({}));
  EXPECT_TRUE(logger_.lines().empty());
  for (const DecoderInfo& d : list_decoders()) EXPECT_EQ(d.rank, saved_[d.factory]);
}

TEST_F(RankOverrideTest, SetsEveryDecoderOfThePluginWithOneLineEach) {
  const auto libav = decoders_of("libav");
  ASSERT_FALSE(libav.empty());
  override_ranks(logger_, env_of({{"KELVO_LIBAV_RANK", " +2_57 "}}));
  EXPECT_EQ(logger_.lines().size(), libav.size());
  for (const std::string& name : libav) {
    EXPECT_EQ(rank_of(name.c_str()), 257u) << name;
    EXPECT_EQ(logger_.count_containing("Setting rank for element factory " + name + " to 257"), 1);
  }
  // Another plugin keeps its ranks.
  EXPECT_EQ(rank_of("jpegdec"), saved_["jpegdec"]);
}

TEST_F(RankOverrideTest, ZeroIsAValidRankAndDropsThePluginFromTheNextPass) {
  override_ranks(logger_, env_of({{"KELVO_JPEG_RANK", "0"}}));
  EXPECT_EQ(rank_of("jpegdec"), 0u);
  logger_.clear();
  override_ranks(logger_, env_of({{"KELVO_JPEG_RANK", "0"}}));
  EXPECT_EQ(logger_.count_containing("jpegdec"), 0);
}

class RankOverrideInvalid : public RankOverrideTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(RankOverrideInvalid, IsRefusedVerbatimAndTheRankStays) {
  const std::string value = GetParam();
  override_ranks(logger_, env_of({{"KELVO_JPEG_RANK", value}, {"KELVO_LIBAV_RANK", "300"}}));
  EXPECT_EQ(rank_of("jpegdec"), saved_["jpegdec"]);
  const auto errors = logger_.texts(LogLevel::kError);
  ASSERT_EQ(errors.size(), decoders_of("jpeg").size());
  EXPECT_EQ(errors[0].rfind("Invalid rank value for KELVO_JPEG_RANK: '" + value + "'. ", 0), 0u)
      << errors[0];
  // The other plugin is still applied.
  EXPECT_EQ(rank_of("avdec_h264"), 300u);
}

INSTANTIATE_TEST_SUITE_P(Values, RankOverrideInvalid,
                         ::testing::Values("-1", "", "257.0", "0x101", "high"));

TEST_F(RankOverrideTest, ExactMessageForAnInvalidValue) {
  override_ranks(logger_, env_of({{"KELVO_JPEG_RANK", "-1"}}));
  EXPECT_EQ(logger_.texts(LogLevel::kError).at(0),
            "Invalid rank value for KELVO_JPEG_RANK: '-1'. The value must be an unsigned "
            "integer. The plugin's rank will not be changed.");
}

TEST_F(RankOverrideTest, ValueBeyondTheRankTypeIsRefusedNotWrapped) {
  override_ranks(logger_, env_of({{"KELVO_JPEG_RANK", "4294967553"}}));  // 2^32 + 257
  EXPECT_EQ(rank_of("jpegdec"), saved_["jpegdec"]);
  EXPECT_EQ(logger_.count_containing("no greater than 4294967295"), 1);
}

TEST_F(RankOverrideTest, NameIsMatchedExactly) {
  override_ranks(logger_, env_of({{"kelvo_jpeg_rank", "1"}, {"KELVO_Jpeg_RANK", "1"}}));
  EXPECT_TRUE(logger_.lines().empty());
}

TEST(RankVariableName, UpperCasesOnlyLetters) {
  EXPECT_EQ(rank_variable_name("nvcodec"), "KELVO_NVCODEC_RANK");
  EXPECT_EQ(rank_variable_name("va-api_2"), "KELVO_VA-API_2_RANK");
}

}  // namespace
}  // namespace kelvo
