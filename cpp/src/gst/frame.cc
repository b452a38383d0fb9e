// Samples to frames: packed RGB layouts are held as they are, YUV layouts become BGR through
// one libyuv pass.
#include "kelvo/frame.h"

#include <gst/video/video.h>
#include <libyuv.h>
#include <libyuv/row.h>

#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/errors.h"
#include "kelvo/gst_ptr.h"

namespace kelvo {

namespace {

// Where the planes of one image lie inside a mapped buffer.
struct Planes {
  int count = 0;
  std::array<gsize, GST_VIDEO_MAX_PLANES> offset{};
  std::array<int, GST_VIDEO_MAX_PLANES> stride{};
  std::array<gsize, GST_VIDEO_MAX_PLANES> row_bytes{};  // bytes of pixels in one row
  std::array<int, GST_VIDEO_MAX_PLANES> rows{};
};

// Whether nothing but the sample holds `buffer` and nothing but `buffer` holds its memory: no
// decoder that keeps it as a reference frame, no tee that handed it to another branch, no sink's
// last sample, no other buffer sharing the memory. `mapped` is the memory of our own mapping of
// the buffer, which holds a reference of its own. gst_buffer_is_all_memory_writable cannot tell:
// it also asks whether the sample that holds the buffer is writable, and an appsink keeps a
// reference to the sample it handed out (to reuse it on the next pull, when it finds it shared
// and makes another), though it never touches the buffer again.
bool held_by_sample_alone(GstBuffer* buffer, const GstMemory* mapped) {
  if (GST_MINI_OBJECT_REFCOUNT_VALUE(buffer) != 1) return false;
  const guint count = gst_buffer_n_memory(buffer);
  for (guint i = 0; i < count; ++i) {
    GstMemory* memory = gst_buffer_peek_memory(buffer, i);
    const int holders = memory == mapped ? 2 : 1;
    if (GST_MINI_OBJECT_REFCOUNT_VALUE(memory) != holders || memory->parent != nullptr ||
        GST_MEMORY_IS_READONLY(memory)) {
      return false;
    }
  }
  return count > 0;
}

// A sample whose buffer stays mapped for as long as a frame uses its pixels.
class MappedSample {
 public:
  explicit MappedSample(GstSample* sample)
      : sample_(GST_SAMPLE(gst_mini_object_ref(GST_MINI_OBJECT_CAST(sample)))) {
    mapped_ = gst_buffer_map(gst_sample_get_buffer(sample_.get()), &map_, GST_MAP_READ);
  }
  ~MappedSample() {
    if (mapped_) gst_buffer_unmap(gst_sample_get_buffer(sample_.get()), &map_);
  }
  MappedSample(const MappedSample&) = delete;
  MappedSample& operator=(const MappedSample&) = delete;

  bool mapped() const { return mapped_; }
  // See held_by_sample_alone.
  bool held_alone() const {
    return mapped_ && held_by_sample_alone(gst_sample_get_buffer(sample_.get()), map_.memory);
  }
  uint8_t* data() const { return map_.data; }
  gsize size() const { return map_.size; }

 private:
  GstSamplePtr sample_;
  GstMapInfo map_{};
  bool mapped_ = false;
};

// Recently freed BGR images, handed out again to frames of the same size. A new image of a
// large frame costs a page fault per 4 KiB when first written, as much as the conversion itself;
// a frame pulled every few milliseconds can reuse the memory of the one before. Bounded in
// images and bytes; an image that is not taken again within kKeptImages takes is freed.
//
// This class is thread-safe.
class ImagePool {
 public:
  std::shared_ptr<uint8_t> take(size_t size) {
    uint8_t* image = nullptr;
    std::vector<uint8_t*> stale;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++takes_;
      for (auto it = free_.begin(); it != free_.end();) {
        if (image == nullptr && it->size == size) {
          image = it->image;
        } else if (takes_ - it->given_back_at > kKeptImages) {
          stale.push_back(it->image);  // a size no longer pulled
        } else {
          ++it;
          continue;
        }
        bytes_ -= it->size;
        it = free_.erase(it);
      }
    }
    for (uint8_t* p : stale) delete[] p;
    if (image == nullptr) image = new uint8_t[size];
    return std::shared_ptr<uint8_t>(image, [this, size](uint8_t* p) { give_back(size, p); });
  }

  size_t bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }

 private:
  static constexpr size_t kKeptImages = 4;
  static constexpr size_t kKeptBytes = size_t{128} << 20;

  struct Entry {
    size_t size;
    uint8_t* image;
    uint64_t given_back_at;  // takes_ when it came back
  };

  void give_back(size_t size, uint8_t* image) {
    std::vector<uint8_t*> dropped;
    if (size > kKeptBytes) {
      dropped.push_back(image);
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back({size, image, takes_});
      bytes_ += size;
      // The oldest go first.
      while (free_.size() > kKeptImages || bytes_ > kKeptBytes) {
        dropped.push_back(free_.front().image);
        bytes_ -= free_.front().size;
        free_.erase(free_.begin());
      }
    }
    for (uint8_t* p : dropped) delete[] p;
  }

  std::mutex mutex_;
  std::vector<Entry> free_;  // with mutex_; oldest first
  size_t bytes_ = 0;         // with mutex_: the sizes in free_
  uint64_t takes_ = 0;       // with mutex_
};

ImagePool& image_pool() {
  static ImagePool* pool = new ImagePool();  // leaked: frames may be freed at exit
  return *pool;
}

std::string caps_text(GstCaps* caps) {
  GCharPtr text(gst_caps_to_string(caps));
  return text ? text.get() : "(none)";
}

// Packed layouts that the host receives without a copy, and their bytes per pixel.
int packed_channels(GstVideoFormat format) {
  switch (format) {
    case GST_VIDEO_FORMAT_BGR:
    case GST_VIDEO_FORMAT_RGB:
      return 3;
    case GST_VIDEO_FORMAT_BGRx:
    case GST_VIDEO_FORMAT_BGRA:
    case GST_VIDEO_FORMAT_RGBx:
    case GST_VIDEO_FORMAT_RGBA:
      return 4;
    case GST_VIDEO_FORMAT_GRAY8:
      return 1;
    default:
      return 0;
  }
}

bool is_converted(GstVideoFormat format) {
  switch (format) {
    case GST_VIDEO_FORMAT_I420:
    case GST_VIDEO_FORMAT_YV12:
    case GST_VIDEO_FORMAT_NV12:
    case GST_VIDEO_FORMAT_NV21:
    case GST_VIDEO_FORMAT_Y42B:
    case GST_VIDEO_FORMAT_Y444:
    case GST_VIDEO_FORMAT_YUY2:
    case GST_VIDEO_FORMAT_UYVY:
      return true;
    default:
      return false;
  }
}

// The plane geometry of `format`, with strides and offsets from the caps or, when the buffer
// carries one, from its video meta.
Planes plane_layout(const GstVideoInfo& info, GstBuffer* buffer) {
  const int width = GST_VIDEO_INFO_WIDTH(&info);
  const int height = GST_VIDEO_INFO_HEIGHT(&info);
  const int half_width = (width + 1) / 2;
  const int half_height = (height + 1) / 2;
  Planes planes;
  planes.count = GST_VIDEO_INFO_N_PLANES(&info);
  for (int p = 0; p < planes.count; ++p) {
    planes.offset[p] = GST_VIDEO_INFO_PLANE_OFFSET(&info, p);
    planes.stride[p] = GST_VIDEO_INFO_PLANE_STRIDE(&info, p);
  }
  if (GstVideoMeta* meta = gst_buffer_get_video_meta(buffer)) {
    for (int p = 0; p < planes.count; ++p) {
      planes.offset[p] = meta->offset[p];
      planes.stride[p] = meta->stride[p];
    }
  }
  const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
  const int channels = packed_channels(format);
  if (channels > 0) {
    planes.row_bytes[0] = static_cast<gsize>(width) * channels;
    planes.rows[0] = height;
    return planes;
  }
  switch (format) {
    case GST_VIDEO_FORMAT_I420:
    case GST_VIDEO_FORMAT_YV12:
      planes.row_bytes = {gsize(width), gsize(half_width), gsize(half_width)};
      planes.rows = {height, half_height, half_height};
      break;
    case GST_VIDEO_FORMAT_NV12:
    case GST_VIDEO_FORMAT_NV21:
      planes.row_bytes = {gsize(width), gsize(2 * half_width)};
      planes.rows = {height, half_height};
      break;
    case GST_VIDEO_FORMAT_Y42B:
      planes.row_bytes = {gsize(width), gsize(half_width), gsize(half_width)};
      planes.rows = {height, height, height};
      break;
    case GST_VIDEO_FORMAT_Y444:
      planes.row_bytes = {gsize(width), gsize(width), gsize(width)};
      planes.rows = {height, height, height};
      break;
    case GST_VIDEO_FORMAT_YUY2:
    case GST_VIDEO_FORMAT_UYVY:
      planes.row_bytes[0] = gsize(4 * half_width);
      planes.rows[0] = height;
      break;
    default:
      break;
  }
  return planes;
}

// Throws unless every plane lies inside `size` bytes.
void check_planes(const Planes& planes, gsize size, GstCaps* caps) {
  for (int p = 0; p < planes.count; ++p) {
    if (planes.stride[p] < 0 || static_cast<gsize>(planes.stride[p]) < planes.row_bytes[p]) {
      throw SampleConversionError("Sample plane " + std::to_string(p) + " has a row stride of " +
                                  std::to_string(planes.stride[p]) + " bytes, less than the " +
                                  std::to_string(planes.row_bytes[p]) +
                                  " bytes of one row, for caps " + caps_text(caps));
    }
    const gsize needed = planes.offset[p] +
                         static_cast<gsize>(planes.stride[p]) * (planes.rows[p] - 1) +
                         planes.row_bytes[p];
    if (planes.rows[p] > 0 && needed > size) {
      throw SampleConversionError("Sample buffer holds " + std::to_string(size) +
                                  " bytes, but its caps need " + std::to_string(needed) +
                                  " bytes: " + caps_text(caps));
    }
  }
}

// libyuv's limited-range tables cap the U-to-blue factor at 2.0 (128/64) so that data outside
// the legal range cannot overflow; BT.709 needs 2.112, which leaves saturated blues up to 12
// levels short. Decoded video is legal-range data, and the x86 kernels add with saturation, so
// a copy with the exact factor is safe there. Elsewhere the stock table stays.
libyuv::YuvConstants exact_limited(const libyuv::YuvConstants& stock, double kb) {
  libyuv::YuvConstants exact = stock;
#if !defined(__aarch64__) && !defined(__arm__)
  const int ub = static_cast<int>(2.0 * (1.0 - kb) * 255.0 / 224.0 * 64.0 + 0.5);
  if (stock.kUVToB[0] == 128 && stock.kUVToB[1] == 0 && ub > 128 && ub < 256) {
    for (size_t i = 0; i < sizeof exact.kUVToB; i += 2) exact.kUVToB[i] = static_cast<uint8_t>(ub);
  }
#else
  (void)kb;
#endif
  return exact;
}

// libyuv's coefficients for the caps' colorimetry. When the caps say nothing, GStreamer has
// already filled in its own defaults (BT.601 for SD sizes, BT.709 above), as videoconvert does.
const libyuv::YuvConstants* yuv_constants(const GstVideoInfo& info) {
  static const libyuv::YuvConstants k601 = exact_limited(libyuv::kYuvI601Constants, 0.114);
  static const libyuv::YuvConstants k709 = exact_limited(libyuv::kYuvH709Constants, 0.0722);
  static const libyuv::YuvConstants k2020 = exact_limited(libyuv::kYuv2020Constants, 0.0593);
  const GstVideoColorimetry& c = GST_VIDEO_INFO_COLORIMETRY(&info);
  const bool full = c.range == GST_VIDEO_COLOR_RANGE_0_255;
  switch (c.matrix) {
    case GST_VIDEO_COLOR_MATRIX_BT709:
      return full ? &libyuv::kYuvF709Constants : &k709;
    case GST_VIDEO_COLOR_MATRIX_BT2020:
      return full ? &libyuv::kYuvV2020Constants : &k2020;
    default:
      return full ? &libyuv::kYuvJPEGConstants : &k601;
  }
}

// Converts the image at `src` to BGR at `dst` (libyuv's "RGB24" is B, G, R in memory). Returns
// libyuv's result: 0 on success.
int convert_to_bgr(const GstVideoInfo& info, const uint8_t* src, const Planes& planes, uint8_t* dst,
                   int dst_stride) {
  const int width = GST_VIDEO_INFO_WIDTH(&info);
  const int height = GST_VIDEO_INFO_HEIGHT(&info);
  const libyuv::YuvConstants* matrix = yuv_constants(info);
  auto plane = [&](int p) { return src + planes.offset[p]; };
  const auto& s = planes.stride;
  switch (GST_VIDEO_INFO_FORMAT(&info)) {
    case GST_VIDEO_FORMAT_I420:
      return libyuv::I420ToRGB24Matrix(plane(0), s[0], plane(1), s[1], plane(2), s[2], dst,
                                       dst_stride, matrix, width, height);
    case GST_VIDEO_FORMAT_YV12:
      return libyuv::I420ToRGB24Matrix(plane(0), s[0], plane(2), s[2], plane(1), s[1], dst,
                                       dst_stride, matrix, width, height);
    case GST_VIDEO_FORMAT_NV12:
      return libyuv::NV12ToRGB24Matrix(plane(0), s[0], plane(1), s[1], dst, dst_stride, matrix,
                                       width, height);
    case GST_VIDEO_FORMAT_NV21:
      return libyuv::NV21ToRGB24Matrix(plane(0), s[0], plane(1), s[1], dst, dst_stride, matrix,
                                       width, height);
    case GST_VIDEO_FORMAT_Y42B:
      return libyuv::I422ToRGB24Matrix(plane(0), s[0], plane(1), s[1], plane(2), s[2], dst,
                                       dst_stride, matrix, width, height);
    case GST_VIDEO_FORMAT_Y444:
      return libyuv::I444ToRGB24Matrix(plane(0), s[0], plane(1), s[1], plane(2), s[2], dst,
                                       dst_stride, matrix, width, height);
    case GST_VIDEO_FORMAT_YUY2:
    case GST_VIDEO_FORMAT_UYVY: {
      // libyuv has no packed 4:2:2 to RGB24 with a chosen matrix: split into planes first.
      const int half_width = (width + 1) / 2;
      std::unique_ptr<uint8_t[]> yuv(
          new uint8_t[static_cast<size_t>(width + 2 * half_width) * height]);
      uint8_t* y = yuv.get();
      uint8_t* u = y + static_cast<size_t>(width) * height;
      uint8_t* v = u + static_cast<size_t>(half_width) * height;
      const bool yuy2 = GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_YUY2;
      const int split = yuy2 ? libyuv::YUY2ToI422(plane(0), s[0], y, width, u, half_width, v,
                                                  half_width, width, height)
                             : libyuv::UYVYToI422(plane(0), s[0], y, width, u, half_width, v,
                                                  half_width, width, height);
      if (split != 0) return split;
      return libyuv::I422ToRGB24Matrix(y, width, u, half_width, v, half_width, dst, dst_stride,
                                       matrix, width, height);
    }
    default:
      return -1;
  }
}

}  // namespace

std::string frame_too_large(int64_t width, int64_t height, uint64_t max_pixels) {
  return "Frame of " + std::to_string(width) + "x" + std::to_string(height) +
         " pixels is larger than the limit of " + std::to_string(max_pixels) + " pixels";
}

size_t pooled_image_bytes() { return image_pool().bytes(); }

std::shared_ptr<Frame> sample_to_frame(GstSample* sample, uint64_t max_pixels) {
  if (sample == nullptr) return nullptr;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (buffer == nullptr) return nullptr;
  GstCaps* caps = gst_sample_get_caps(sample);
  if (caps == nullptr) throw SampleConversionError("Sample has no caps: cannot tell its format");
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps)) {
    throw SampleConversionError("Sample caps are not raw video: " + caps_text(caps));
  }
  if (uint64_t(GST_VIDEO_INFO_WIDTH(&info)) * uint64_t(GST_VIDEO_INFO_HEIGHT(&info)) >
      max_pixels) {
    throw SampleConversionError(frame_too_large(GST_VIDEO_INFO_WIDTH(&info),
                                                GST_VIDEO_INFO_HEIGHT(&info), max_pixels));
  }
  const GstVideoFormat format = GST_VIDEO_INFO_FORMAT(&info);
  const int channels = packed_channels(format);
  if (channels == 0 && !is_converted(format)) {
    throw SampleConversionError(std::string("Unsupported pixel format ") +
                                gst_video_format_to_string(format) + " in caps " + caps_text(caps));
  }
  const Planes planes = plane_layout(info, buffer);

  auto frame = std::make_shared<Frame>();
  frame->width = GST_VIDEO_INFO_WIDTH(&info);
  frame->height = GST_VIDEO_INFO_HEIGHT(&info);

  if (channels > 0) {
    // The host may write into it when it is ours alone (see held_by_sample_alone). The mapping
    // is a read mapping all the same, since GStreamer counts the caller's reference to the
    // sample against a write mapping.
    auto mapped = std::make_shared<MappedSample>(sample);
    if (!mapped->mapped()) {
      throw SampleConversionError("Sample buffer cannot be mapped for reading: " + caps_text(caps));
    }
    check_planes(planes, mapped->size(), caps);
    frame->channels = channels;
    frame->stride = planes.stride[0];
    frame->format = gst_video_format_to_string(format);
    frame->data = mapped->data() + planes.offset[0];
    frame->held_alone = [](const void* storage) {
      return static_cast<const MappedSample*>(storage)->held_alone();
    };
    frame->storage = std::move(mapped);
    return frame;
  }

  MappedSample mapped(sample);
  if (!mapped.mapped()) {
    throw SampleConversionError("Sample buffer cannot be mapped for reading: " + caps_text(caps));
  }
  check_planes(planes, mapped.size(), caps);
  const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(frame->width) * 3;
  std::shared_ptr<uint8_t> pixels =
      image_pool().take(static_cast<size_t>(stride) * frame->height + 1);
  if (convert_to_bgr(info, mapped.data(), planes, pixels.get(), static_cast<int>(stride)) != 0) {
    throw SampleConversionError("Conversion to BGR failed for caps " + caps_text(caps));
  }
  frame->channels = 3;
  frame->stride = stride;
  frame->format = "BGR";
  frame->data = pixels.get();
  frame->owned = true;
  frame->storage = std::move(pixels);
  return frame;
}

}  // namespace kelvo
