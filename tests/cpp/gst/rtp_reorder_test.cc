// Packets back in order: the window against random networks, the element in a pipeline.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "kelvo/gst_ptr.h"
#include "kelvo/rtp_reorder.h"

namespace kelvo {
namespace {

constexpr uint64_t kMs = 1000000;
using Window = RtpReorderWindow<int64_t>;  // a packet is its number in the whole stream

// A network that loses, repeats and shuffles packets (each no further than `spread` places from
// its own), one packet a millisecond, starting near the 16-bit wrap. Whatever it does, what goes
// on is in order, every packet ends out, dropped or held exactly once, and a shuffle within the
// hold time costs no packet.
TEST(RtpReorderWindowTest, OrderedWithoutLossAgainstRandomNetworks) {
  for (unsigned run = 0; run < 200; ++run) {
    std::mt19937 random(run);
    const int count = 3000;
    const int spread = 1 + static_cast<int>(random() % 8);
    const int64_t first = 65536 - 500 + static_cast<int64_t>(random() % 1000);
    std::vector<int64_t> sent;
    std::set<int64_t> lost;
    for (int64_t n = first; n < first + count; ++n) {
      if (random() % 50 == 0) {
        lost.insert(n);
        continue;
      }
      sent.push_back(n);
      if (random() % 80 == 0) sent.push_back(n);  // repeated
    }
    for (size_t i = spread; i + spread < sent.size(); i += spread) {  // the first one starts
      std::shuffle(sent.begin() + i, sent.begin() + i + spread, random);
    }
    Window window(20 * kMs, 1024);
    std::vector<int64_t> out;
    std::vector<int64_t> dropped;
    for (size_t i = 0; i < sent.size(); ++i) {
      window.push(static_cast<uint16_t>(sent[i]), sent[i], i * kMs, &out, &dropped);
      ASSERT_LE(window.held(), 20u) << "run " << run;  // those of the last 20 ms at most
    }
    const size_t held = window.held();
    window.flush(&out);
    ASSERT_EQ(out.size() + dropped.size(), sent.size()) << "run " << run << ", held " << held;
    ASSERT_TRUE(std::is_sorted(out.begin(), out.end())) << "run " << run;
    ASSERT_EQ(std::adjacent_find(out.begin(), out.end()), out.end()) << "run " << run;
    std::set<int64_t> expected(sent.begin(), sent.end());
    ASSERT_EQ(std::set<int64_t>(out.begin(), out.end()), expected) << "run " << run;
  }
}

// A lost packet holds the ones behind it for the hold time at most (measured as they arrive),
// and never more than the most the window keeps.
TEST(RtpReorderWindowTest, GivesUpAGapAfterTheHoldTimeOrWhenFull) {
  Window window(50 * kMs, 4);
  std::vector<int64_t> out;
  std::vector<int64_t> dropped;
  window.push(10, 10, 0, &out, &dropped);
  window.push(12, 12, 1 * kMs, &out, &dropped);  // 11 is missing
  window.push(13, 13, 49 * kMs, &out, &dropped);
  EXPECT_EQ(out, (std::vector<int64_t>{10}));
  window.push(14, 14, 51 * kMs, &out, &dropped);  // 12 has waited 50 ms
  EXPECT_EQ(out, (std::vector<int64_t>{10, 12, 13, 14}));
  window.push(11, 11, 52 * kMs, &out, &dropped);  // too late now
  EXPECT_EQ(dropped, (std::vector<int64_t>{11}));

  out.clear();
  for (int64_t n = 16; n <= 24; n += 2) {
    window.push(static_cast<uint16_t>(n), n, 53 * kMs, &out, &dropped);
  }
  EXPECT_EQ(out, (std::vector<int64_t>{16})) << "15 missing, five held: one over the bound";
  EXPECT_EQ(window.held(), 4u);
}

// A server that restarts its stream starts a new sequence anywhere: the window follows it at
// once, after what it held of the old one, instead of dropping the new packets as late.
TEST(RtpReorderWindowTest, FollowsANewSequenceAndNoHoldGivesUpAtOnce) {
  Window window(50 * kMs, 64);
  std::vector<int64_t> out;
  std::vector<int64_t> dropped;
  for (int64_t n : {1000, 1002, 40000, 40001, 900}) {  // 900 is 100+ behind 40002: new again
    window.push(static_cast<uint16_t>(n), n, 0, &out, &dropped);
  }
  EXPECT_EQ(out, (std::vector<int64_t>{1000, 1002, 40000, 40001, 900}));
  EXPECT_TRUE(dropped.empty());

  Window no_hold(0, 64);
  out.clear();
  for (int64_t n : {5, 7, 6, 8}) no_hold.push(static_cast<uint16_t>(n), n, 0, &out, &dropped);
  EXPECT_EQ(out, (std::vector<int64_t>{5, 7, 8}));
  EXPECT_EQ(dropped, (std::vector<int64_t>{6}));
}

GstBuffer* rtp_packet(uint16_t seq) {
  guint8 header[12] = {0x80, 96, static_cast<guint8>(seq >> 8), static_cast<guint8>(seq & 0xff)};
  return gst_buffer_new_memdup(header, sizeof header);
}

// In a pipeline: shuffled packets come out in order, and end of stream lets the held ones go
// before it, gap or not.
TEST(RtpReorderElementTest, OrdersPacketsAndFlushesAtEndOfStream) {
  gst_init(nullptr, nullptr);
  register_rtp_reorder();
  GstElementPtr pipeline(GST_ELEMENT(gst_object_ref_sink(gst_parse_launch(
      "appsrc name=src caps=application/x-rtp,media=video,clock-rate=90000 format=time ! "
      "kelvortpreorder latency=5000 ! appsink name=sink sync=false max-buffers=0",
      nullptr))));
  ASSERT_TRUE(pipeline);
  GstElementPtr src(gst_bin_get_by_name(GST_BIN(pipeline.get()), "src"));
  GstElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  ASSERT_EQ(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_ASYNC);
  for (uint16_t seq : {65534, 0, 65535, 1, 3, 1}) {  // 2 never comes
    ASSERT_EQ(gst_app_src_push_buffer(GST_APP_SRC(src.get()), rtp_packet(seq)), GST_FLOW_OK);
  }
  gst_app_src_end_of_stream(GST_APP_SRC(src.get()));
  std::vector<int> seqs;
  while (GstSample* raw = gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 5 * GST_SECOND)) {
    GstSamplePtr sample(raw);
    guint8 header[4];
    gst_buffer_extract(gst_sample_get_buffer(sample.get()), 0, header, sizeof header);
    seqs.push_back(header[2] << 8 | header[3]);
  }
  EXPECT_EQ(seqs, (std::vector<int>{65534, 65535, 0, 1, 3}));
  EXPECT_TRUE(gst_app_sink_is_eos(GST_APP_SINK(sink.get())));
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
}

}  // namespace
}  // namespace kelvo
