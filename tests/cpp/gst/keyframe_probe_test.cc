// The keyframe probe on real encoded streams and on buffer lists.
#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelvo/gst_ptr.h"
#include "kelvo/pipeline.h"

namespace kelvo {
namespace {

class KeyframeProbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

struct EncodedCase {
  const char* name;
  const char* encoder;  // with its keyframe interval of 10 frames
  const char* parser;
};

class EncodedStreamTest : public KeyframeProbeTest,
                          public ::testing::WithParamInterface<EncodedCase> {};

// Counts the buffers reaching the appsink of `frames` frames, with and without the probe.
int count_buffers(const EncodedCase& c, int frames, bool probe, int* keyframes_seen) {
  const std::string description = "videotestsrc num-buffers=" + std::to_string(frames) +
                                  " ! video/x-raw,width=64,height=48,framerate=30/1 ! " +
                                  c.encoder + " ! " + c.parser +
                                  " name=buffer_src ! appsink name=sink sync=false max-buffers=0";
  GstElementPtr pipeline(
      GST_ELEMENT(gst_object_ref_sink(gst_parse_launch(description.c_str(), nullptr))));
  EXPECT_TRUE(pipeline);
  GstElementPtr parser(gst_bin_get_by_name(GST_BIN(pipeline.get()), kBufferSrcName));
  GstPadPtr pad(gst_element_get_static_pad(parser.get(), "src"));
  gulong id = probe ? gst_keyframe_probe().add_keyframes_only_probe(gst_buffer_src_pad(pad.get())) : 0;
  EXPECT_TRUE(!probe || id != 0);
  GstElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  int count = 0;
  *keyframes_seen = 0;
  while (GstSample* raw = gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 5 * GST_SECOND)) {
    GstSamplePtr sample(raw);
    ++count;
    if (!GST_BUFFER_FLAG_IS_SET(gst_sample_get_buffer(sample.get()), GST_BUFFER_FLAG_DELTA_UNIT)) {
      ++*keyframes_seen;
    }
  }
  if (probe) {
    gst_keyframe_probe().remove_probe(gst_buffer_src_pad(pad.get()), id);
    gst_keyframe_probe().remove_probe(gst_buffer_src_pad(pad.get()), id);  // gone already: ignored quietly
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return count;
}

TEST_P(EncodedStreamTest, PassesOnlyKeyframes) {
  int keyframes = 0;
  EXPECT_EQ(count_buffers(GetParam(), 60, false, &keyframes), 60);
  EXPECT_EQ(keyframes, 6);  // one every 10 frames
  EXPECT_EQ(count_buffers(GetParam(), 60, true, &keyframes), 6);
  EXPECT_EQ(keyframes, 6);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, EncodedStreamTest,
    ::testing::Values(EncodedCase{"H264",
                                  "x264enc key-int-max=10 tune=zerolatency speed-preset=ultrafast",
                                  "h264parse"},
                      EncodedCase{"H265",
                                  "x265enc key-int-max=10 tune=zerolatency speed-preset=ultrafast",
                                  "h265parse"}),
    [](const auto& info) { return std::string(info.param.name); });

// Buffers and buffer lists that reach a sink pad behind the probe: true for each keyframe.
std::vector<bool>* g_seen = nullptr;

GstFlowReturn record_buffer(GstPad*, GstObject*, GstBuffer* buffer) {
  g_seen->push_back(!GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT));
  gst_buffer_unref(buffer);
  return GST_FLOW_OK;
}

GstFlowReturn record_list(GstPad*, GstObject*, GstBufferList* list) {
  for (guint i = 0; i < gst_buffer_list_length(list); ++i) {
    g_seen->push_back(
        !GST_BUFFER_FLAG_IS_SET(gst_buffer_list_get(list, i), GST_BUFFER_FLAG_DELTA_UNIT));
  }
  gst_buffer_list_unref(list);
  return GST_FLOW_OK;
}

GstBuffer* buffer(bool keyframe) {
  GstBuffer* b = gst_buffer_new();
  if (!keyframe) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
  return b;
}

TEST_F(KeyframeProbeTest, FiltersBufferListsElementByElement) {
  std::vector<bool> seen;
  g_seen = &seen;
  GstPadPtr src(GST_PAD(gst_object_ref_sink(gst_pad_new("src", GST_PAD_SRC))));
  GstPadPtr sink(GST_PAD(gst_object_ref_sink(gst_pad_new("sink", GST_PAD_SINK))));
  gst_pad_set_chain_function(sink.get(), record_buffer);
  gst_pad_set_chain_list_function(sink.get(), record_list);
  ASSERT_EQ(gst_pad_link(src.get(), sink.get()), GST_PAD_LINK_OK);
  gst_pad_set_active(src.get(), TRUE);
  gst_pad_set_active(sink.get(), TRUE);
  gst_pad_push_event(src.get(), gst_event_new_stream_start("s"));
  GstCapsPtr caps(gst_caps_new_empty_simple("video/x-h264"));
  gst_pad_push_event(src.get(), gst_event_new_caps(caps.get()));
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  gst_pad_push_event(src.get(), gst_event_new_segment(&segment));
  gulong id = gst_keyframe_probe().add_keyframes_only_probe(gst_buffer_src_pad(src.get()));

  auto push_list = [&](std::vector<bool> keyframes) {
    GstBufferList* list = gst_buffer_list_new();
    for (bool k : keyframes) gst_buffer_list_add(list, buffer(k));
    EXPECT_EQ(gst_pad_push_list(src.get(), list), GST_FLOW_OK);
  };
  push_list({true, false, false, true});  // mixed: only the keyframes go on
  push_list({false, false});              // deltas only: dropped whole
  push_list({true});                      // keyframes only: as is
  EXPECT_EQ(gst_pad_push(src.get(), buffer(false)), GST_FLOW_OK);  // dropped, not an error
  EXPECT_EQ(gst_pad_push(src.get(), buffer(true)), GST_FLOW_OK);
  EXPECT_EQ(seen, (std::vector<bool>{true, true, true, true}));

  gst_keyframe_probe().remove_probe(gst_buffer_src_pad(src.get()), id);
  EXPECT_EQ(gst_pad_push(src.get(), buffer(false)), GST_FLOW_OK);
  EXPECT_EQ(seen.size(), 5u);
  gst_pad_set_active(src.get(), FALSE);
  gst_pad_set_active(sink.get(), FALSE);
  g_seen = nullptr;
}

}  // namespace
}  // namespace kelvo
