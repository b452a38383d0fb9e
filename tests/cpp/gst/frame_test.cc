// sample_to_frame: layouts held as they are, YUV converted like videoconvert, bad samples.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "kelvo/errors.h"
#include "kelvo/frame.h"
#include "kelvo/gst_ptr.h"

namespace kelvo {
namespace {

constexpr int kPadding = 40;  // extra bytes at the end of every row of a padded sample

// A sample of `format`, `width`×`height`, its rows padded by kPadding bytes (described by a
// video meta) when `padded`. Luma and packed bytes carry a pattern; chroma is a slow gradient
// so that chroma upsampling filters agree to within rounding.
enum class Content {
  kSmooth,  // luma pattern, slow chroma gradient
  kWide,    // pseudo-random luma and chroma over the whole legal range
};

GstSamplePtr make_sample(const char* format, int width, int height, bool padded,
                         const char* colorimetry = nullptr, Content content = Content::kSmooth) {
  GstVideoInfo info;
  gst_video_info_set_format(&info, gst_video_format_from_string(format), width, height);
  if (colorimetry) gst_video_colorimetry_from_string(&info.colorimetry, colorimetry);
  gsize offset[GST_VIDEO_MAX_PLANES] = {};
  gint stride[GST_VIDEO_MAX_PLANES] = {};
  gsize size = 0;
  for (guint p = 0; p < GST_VIDEO_INFO_N_PLANES(&info); ++p) {
    stride[p] = GST_VIDEO_INFO_PLANE_STRIDE(&info, p) + (padded ? kPadding : 0);
    offset[p] = padded ? size : GST_VIDEO_INFO_PLANE_OFFSET(&info, p);
    size +=
        static_cast<gsize>(stride[p]) * GST_VIDEO_FORMAT_INFO_SCALE_HEIGHT(info.finfo, p, height);
  }
  if (!padded) size = GST_VIDEO_INFO_SIZE(&info);  // GStreamer's own layout, as the caps say
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  const bool yuv = GST_VIDEO_INFO_IS_YUV(&info);
  const bool packed_yuv = yuv && GST_VIDEO_INFO_N_PLANES(&info) == 1;
  const bool nv = yuv && GST_VIDEO_INFO_N_PLANES(&info) == 2;
  for (guint p = 0; p < GST_VIDEO_INFO_N_PLANES(&info); ++p) {
    const int rows = GST_VIDEO_FORMAT_INFO_SCALE_HEIGHT(info.finfo, p, height);
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < stride[p]; ++c) {
        // Luma: a busy pattern. Chroma: U rises along rows of samples, V falls down columns.
        uint8_t value = static_cast<uint8_t>((r * 7 + c * 13 + p * 50) % 200 + 28);
        const uint8_t u = static_cast<uint8_t>(40 + 2 * (packed_yuv ? c / 4 : nv ? c / 2 : c));
        const uint8_t v = static_cast<uint8_t>(200 - 3 * r);
        if (packed_yuv) {
          const int lane = c % 4;  // YUY2: Y U Y V; UYVY: U Y V Y
          const bool yuy2 = std::string(format) == "YUY2";
          if (lane == (yuy2 ? 1 : 0)) value = u;
          if (lane == (yuy2 ? 3 : 2)) value = v;
        } else if (nv && p == 1) {
          value = c % 2 == 0 ? u : v;
        } else if (yuv && p > 0) {
          value = p == 1 ? u : v;
        }
        if (content == Content::kWide) {
          const uint32_t hash =
              (static_cast<uint32_t>(r * 7919 + c * 104729 + p * 15485863) * 2654435761u) >> 24;
          value = static_cast<uint8_t>(16 + hash * 220 / 256);  // 16..235
        }
        map.data[offset[p] + static_cast<gsize>(r) * stride[p] + c] = value;
      }
    }
  }
  gst_buffer_unmap(buffer, &map);
  if (padded) {
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_INFO_FORMAT(&info),
                                   width, height, GST_VIDEO_INFO_N_PLANES(&info), offset, stride);
  }
  GstCapsPtr caps(gst_video_info_to_caps(&info));
  GstSamplePtr sample(gst_sample_new(buffer, caps.get(), nullptr, nullptr));
  gst_buffer_unref(buffer);
  return sample;
}

// What videoconvert makes of `sample` as BGR, row by row without padding.
std::vector<uint8_t> videoconvert_bgr(GstSample* sample, int width, int height) {
  GError* error = nullptr;
  GstElementPtr pipeline(
      gst_parse_launch("appsrc name=src format=time ! videoconvert ! video/x-raw,format=BGR ! "
                       "appsink name=sink sync=false",
                       &error));
  EXPECT_EQ(error, nullptr);
  GstElementPtr src(gst_bin_get_by_name(GST_BIN(pipeline.get()), "src"));
  GstElementPtr sink(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
  gst_app_src_set_caps(GST_APP_SRC(src.get()), gst_sample_get_caps(sample));
  gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
  gst_app_src_push_buffer(GST_APP_SRC(src.get()), gst_buffer_ref(gst_sample_get_buffer(sample)));
  gst_app_src_end_of_stream(GST_APP_SRC(src.get()));
  GstSamplePtr out(gst_app_sink_try_pull_sample(GST_APP_SINK(sink.get()), 5 * GST_SECOND));
  std::vector<uint8_t> pixels;
  if (out) {
    GstVideoInfo info;
    gst_video_info_from_caps(&info, gst_sample_get_caps(out.get()));
    GstVideoFrame frame;
    gst_video_frame_map(&frame, &info, gst_sample_get_buffer(out.get()), GST_MAP_READ);
    for (int r = 0; r < height; ++r) {
      const auto* row = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)) +
                        r * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
      pixels.insert(pixels.end(), row, row + width * 3);
    }
    gst_video_frame_unmap(&frame);
  }
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  return pixels;
}

// The exact conversion of the colorimetry's matrix and range, with each chroma sample covering
// its whole block (as libyuv does), rounded; row by row without padding.
std::vector<uint8_t> reference_bgr(GstSample* sample) {
  GstVideoInfo info;
  gst_video_info_from_caps(&info, gst_sample_get_caps(sample));
  GstVideoFrame frame;
  EXPECT_TRUE(gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ));
  const GstVideoColorimetry& colorimetry = GST_VIDEO_INFO_COLORIMETRY(&info);
  gdouble kr = 0;
  gdouble kb = 0;
  gst_video_color_matrix_get_Kr_Kb(colorimetry.matrix, &kr, &kb);
  const bool full = colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255;
  auto component = [&](int comp, int r, int c) {
    const int h_sub = GST_VIDEO_FORMAT_INFO_H_SUB(info.finfo, comp);
    const int w_sub = GST_VIDEO_FORMAT_INFO_W_SUB(info.finfo, comp);
    const auto* data = static_cast<const uint8_t*>(GST_VIDEO_FRAME_COMP_DATA(&frame, comp));
    return static_cast<double>(data[(r >> h_sub) * GST_VIDEO_FRAME_COMP_STRIDE(&frame, comp) +
                                    (c >> w_sub) * GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, comp)]);
  };
  std::vector<uint8_t> pixels;
  const int width = GST_VIDEO_INFO_WIDTH(&info);
  const int height = GST_VIDEO_INFO_HEIGHT(&info);
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) {
      double y = component(GST_VIDEO_COMP_Y, r, c);
      double u = component(GST_VIDEO_COMP_U, r, c) - 128;
      double v = component(GST_VIDEO_COMP_V, r, c) - 128;
      if (!full) {
        y = (y - 16) * 255 / 219;
        u = u * 255 / 224;
        v = v * 255 / 224;
      }
      const double red = y + 2 * (1 - kr) * v;
      const double blue = y + 2 * (1 - kb) * u;
      const double green = (y - kr * red - kb * blue) / (1 - kr - kb);
      for (double value : {blue, green, red}) {
        pixels.push_back(static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L)));
      }
    }
  }
  gst_video_frame_unmap(&frame);
  return pixels;
}

int max_difference(const Frame& frame, const std::vector<uint8_t>& expected) {
  int worst = 0;
  for (int r = 0; r < frame.height; ++r) {
    for (int c = 0; c < frame.width * 3; ++c) {
      const int ours = frame.data[r * frame.stride + c];
      const int theirs = expected[static_cast<size_t>(r) * frame.width * 3 + c];
      worst = std::max(worst, std::abs(ours - theirs));
    }
  }
  return worst;
}

class FrameTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

struct PackedCase {
  const char* format;
  int channels;
};

class PackedFrameTest : public FrameTest,
                        public ::testing::WithParamInterface<std::tuple<PackedCase, bool>> {};

TEST_P(PackedFrameTest, HeldWithoutCopyHonouringStride) {
  const auto [packed, padded] = GetParam();
  GstSamplePtr sample = make_sample(packed.format, 33, 17, padded);
  GstBuffer* buffer = gst_sample_get_buffer(sample.get());
  std::shared_ptr<Frame> frame = sample_to_frame(sample.get());
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->format, packed.format);
  EXPECT_EQ(frame->width, 33);
  EXPECT_EQ(frame->height, 17);
  EXPECT_EQ(frame->channels, packed.channels);
  GstVideoMeta* meta = gst_buffer_get_video_meta(buffer);
  GstVideoInfo info;
  gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get()));
  const int stride = meta ? meta->stride[0] : GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
  EXPECT_EQ(frame->stride, stride);
  EXPECT_TRUE(frame->writable());  // only the sample holds the buffer

  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_READ);
  EXPECT_EQ(frame->data, map.data);  // the buffer's own memory: no copy
  for (int r = 0; r < 17; r += 4) {
    for (int c = 0; c < 33 * packed.channels; c += 5) {
      EXPECT_EQ(frame->data[r * frame->stride + c], map.data[r * stride + c]);
    }
  }
  gst_buffer_unmap(buffer, &map);

  // The frame keeps the pixels alive after everyone else let go.
  uint8_t* data = frame->data;
  const uint8_t first = data[0];
  sample.reset();
  EXPECT_EQ(frame->data[0], first);
}

TEST_P(PackedFrameTest, SharedBufferIsNotWritable) {
  const auto [packed, padded] = GetParam();
  GstSamplePtr sample = make_sample(packed.format, 8, 4, padded);
  GstBufferPtr other_holder(gst_buffer_ref(gst_sample_get_buffer(sample.get())));
  std::shared_ptr<Frame> frame = sample_to_frame(sample.get());
  ASSERT_TRUE(frame);
  EXPECT_FALSE(frame->writable());
  // Whoever held it too has let go before the host asks (as the element that pushed it does):
  // the host may have it.
  other_holder.reset();
  EXPECT_TRUE(frame->writable());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PackedFrameTest,
    ::testing::Combine(::testing::Values(PackedCase{"BGR", 3}, PackedCase{"RGB", 3},
                                         PackedCase{"BGRx", 4}, PackedCase{"BGRA", 4},
                                         PackedCase{"RGBx", 4}, PackedCase{"RGBA", 4},
                                         PackedCase{"GRAY8", 1}),
                       ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).format) +
             (std::get<1>(info.param) ? "_padded" : "_tight");
    });

class YuvFrameTest
    : public FrameTest,
      public ::testing::WithParamInterface<std::tuple<const char*, const char*, bool>> {};

TEST_P(YuvFrameTest, ConvertedToBgrLikeVideoconvert) {
  const auto [format, colorimetry, padded] = GetParam();
  // Odd sizes exercise the last half-filled chroma column and row.
  const int width = 67;
  const int height = 35;
  GstSamplePtr sample = make_sample(format, width, height, padded, colorimetry);
  std::shared_ptr<Frame> frame = sample_to_frame(sample.get());
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->format, "BGR");
  EXPECT_EQ(frame->channels, 3);
  EXPECT_EQ(frame->width, width);
  EXPECT_EQ(frame->height, height);
  EXPECT_EQ(frame->stride, width * 3);
  EXPECT_TRUE(frame->writable());
  const std::vector<uint8_t> expected = videoconvert_bgr(sample.get(), width, height);
  ASSERT_EQ(expected.size(), static_cast<size_t>(width * height * 3));
  // videoconvert's 8-bit path itself runs up to 3 levels dark on limited-range input (Y=235
  // becomes 253, not 255) and interpolates chroma where we repeat it, while ours is within 2 of
  // the exact formulas (next test). Measured together: at most 7 (limited) and 4 (full range).
  // A wrong matrix, range or chroma plane is off by far more on this content.
  const bool full = std::string(colorimetry).rfind("1:", 0) == 0;
  EXPECT_LE(max_difference(*frame, expected), full ? 4 : 7);
}

TEST_P(YuvFrameTest, ExactOverTheWholeLegalRange) {
  const auto [format, colorimetry, padded] = GetParam();
  GstSamplePtr sample = make_sample(format, 67, 35, padded, colorimetry, Content::kWide);
  std::shared_ptr<Frame> frame = sample_to_frame(sample.get());
  ASSERT_TRUE(frame);
  EXPECT_LE(max_difference(*frame, reference_bgr(sample.get())), 2);
}

INSTANTIATE_TEST_SUITE_P(Formats, YuvFrameTest,
                         ::testing::Combine(::testing::Values("I420", "YV12", "NV12", "NV21",
                                                              "Y42B", "Y444", "YUY2", "UYVY"),
                                            ::testing::Values("bt601", "bt709", "1:4:0:0",
                                                              "1:3:5:1"),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           std::string name = std::string(std::get<0>(info.param)) + "_" +
                                              std::get<1>(info.param) +
                                              (std::get<2>(info.param) ? "_padded" : "_tight");
                           for (char& c : name) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

TEST_F(FrameTest, SampleWithoutBufferIsNothingToPublish) {
  GstCapsPtr caps(gst_caps_from_string("video/x-raw,format=BGR,width=4,height=4"));
  GstSamplePtr sample(gst_sample_new(nullptr, caps.get(), nullptr, nullptr));
  EXPECT_EQ(sample_to_frame(sample.get()), nullptr);
  EXPECT_EQ(sample_to_frame(nullptr), nullptr);
}

struct BadSample {
  const char* name;
  const char* caps;  // null: no caps at all
  gsize buffer_size;
  const char* message_part;
};

class BadSampleTest : public FrameTest, public ::testing::WithParamInterface<BadSample> {};

TEST_P(BadSampleTest, RaisesReadableError) {
  const BadSample& bad = GetParam();
  GstCapsPtr caps(bad.caps ? gst_caps_from_string(bad.caps) : nullptr);
  GstBufferPtr buffer(gst_buffer_new_allocate(nullptr, bad.buffer_size, nullptr));
  GstSamplePtr sample(gst_sample_new(buffer.get(), caps.get(), nullptr, nullptr));
  try {
    sample_to_frame(sample.get());
    FAIL() << "no error";
  } catch (const SampleConversionError& e) {
    EXPECT_NE(std::string(e.what()).find(bad.message_part), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadSampleTest,
    ::testing::Values(
        BadSample{"NoCaps", nullptr, 48, "no caps"},
        BadSample{"NotVideo", "audio/x-raw,format=S16LE,rate=8000,channels=1,layout=interleaved",
                  48, "not raw video"},
        BadSample{"UnsupportedFormat", "video/x-raw,format=RGB16,width=4,height=4", 32,
                  "Unsupported pixel format RGB16"},
        BadSample{"ShortBgr", "video/x-raw,format=BGR,width=4,height=4", 47, "holds 47 bytes"},
        BadSample{"ShortI420", "video/x-raw,format=I420,width=4,height=4", 23, "holds 23 bytes"},
        BadSample{"EmptyBuffer", "video/x-raw,format=NV12,width=2,height=2", 0, "holds 0 bytes"},
        BadSample{"LargerThanTheLimit", "video/x-raw,format=I420,width=16000,height=16000", 64,
                  "Frame of 16000x16000 pixels is larger than the limit of 35389440 pixels"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrameTest, TheCallersLimitHolds) {
  GstSamplePtr sample = make_sample("I420", 8, 4, false);
  EXPECT_THROW(sample_to_frame(sample.get(), 31), SampleConversionError);
  EXPECT_NE(sample_to_frame(sample.get(), 32), nullptr);
}

// The pool keeps a few images of the size being pulled, and lets those of an old size go.
TEST_F(FrameTest, ImagePoolIsBoundedAndFollowsTheFrameSize) {
  auto pull = [](int width, int height, int count) {
    GstSamplePtr sample = make_sample("I420", width, height, false);
    std::vector<std::shared_ptr<Frame>> held;
    for (int i = 0; i < count; ++i) held.push_back(sample_to_frame(sample.get()));
  };
  const size_t large = 1280 * 720 * 3 + 1;
  const size_t small = 320 * 240 * 3 + 1;
  pull(1280, 720, 8);
  EXPECT_EQ(pooled_image_bytes(), 4 * large);
  pull(7680, 4320, 2);  // 95 MiB each: two would pass the byte bound
  EXPECT_EQ(pooled_image_bytes(), 7680u * 4320 * 3 + 1);
  for (int i = 0; i < 6; ++i) pull(320, 240, 1);
  EXPECT_EQ(pooled_image_bytes(), small);
}

TEST_F(FrameTest, VideoMetaStrideShorterThanRowIsRejected) {
  GstSamplePtr good = make_sample("BGR", 8, 4, false);
  GstBuffer* buffer = gst_buffer_copy(gst_sample_get_buffer(good.get()));
  gsize offset[GST_VIDEO_MAX_PLANES] = {0};
  gint stride[GST_VIDEO_MAX_PLANES] = {8};  // 8 bytes for 8 BGR pixels
  gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_BGR, 8, 4, 1,
                                 offset, stride);
  GstSamplePtr sample(gst_sample_new(buffer, gst_sample_get_caps(good.get()), nullptr, nullptr));
  gst_buffer_unref(buffer);
  EXPECT_THROW(sample_to_frame(sample.get()), SampleConversionError);
}

}  // namespace
}  // namespace kelvo
