// A decoded image as the host receives it, and its making from a GStreamer sample.
#ifndef KELVO_FRAME_H_
#define KELVO_FRAME_H_

#include <gst/gst.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kelvo {

// An image that owns its pixels. Immutable once published, except through `data` by the one
// host that received it when writable() was true.
struct Frame {
  int width = 0;
  int height = 0;
  int channels = 0;          // 3 for BGR/RGB, 4 for BGRx/BGRA/RGBx/RGBA, 1 for GRAY8
  std::ptrdiff_t stride = 0;  // bytes from the start of one row to the next
  std::string format;        // GStreamer's name of the pixel layout: "BGR", "RGBA", "GRAY8"...
  uint8_t* data = nullptr;   // first pixel of the first row
  // True for pixels that kelvo made itself (a converted image): no one else reads them.
  bool owned = false;
  // For pixels that a GStreamer buffer holds: whether nothing but this frame holds the buffer
  // now (called with `storage`). Asked when the host takes the frame rather than when it was
  // made: the element that pushed the buffer drops its own reference only after the appsink
  // queued it, and a pull that was waiting for it often sees that reference still there.
  bool (*held_alone)(const void* storage) = nullptr;
  std::shared_ptr<void> storage;  // owns `data`: a mapped sample or an image of our own

  // Whether the host may write into `data`: no one else reads that memory, now or later (a
  // buffer that nobody else holds cannot be handed to anybody else). When false, the Python
  // layer copies once before it hands the pixels out.
  bool writable() const { return owned || (held_alone != nullptr && held_alone(storage.get())); }
  // When the host's own converter made the image: the host's object, published as it is
  // (`data` is then null; width, height and channels describe it where the host could tell).
  std::shared_ptr<void> host_image;
};

// The largest frame, in pixels, that kelvo makes unless told otherwise: 8K video (8192×4320).
inline constexpr uint64_t kDefaultMaxFramePixels = uint64_t{8192} * 4320;

// The error text for a frame of `width`×`height` pixels, more than `max_pixels`.
std::string frame_too_large(int64_t width, int64_t height, uint64_t max_pixels);

// The sample as a frame: BGR and RGB (H×W×3), BGRx/BGRA/RGBx/RGBA (H×W×4) and GRAY8 (H×W)
// are held as they are (the sample and its mapped buffer, no pixel copied); the YUV formats are
// converted to BGR in one pass. Returns null when the sample has nothing to publish (no
// buffer). Throws SampleConversionError for an unsupported format, missing caps, a frame of
// more than `max_pixels` pixels (before anything is allocated) or a buffer shorter than its
// caps claim.
std::shared_ptr<Frame> sample_to_frame(GstSample* sample,
                                       uint64_t max_pixels = kDefaultMaxFramePixels);

// Bytes of freed BGR images that are kept for reuse by frames of the same size (for tests and
// diagnostics). At most 128 MiB and four images; an image that no frame has taken again
// within four conversions is freed, so the images of a size no longer pulled go back to the
// system after a few frames.
size_t pooled_image_bytes();

}  // namespace kelvo

#endif  // KELVO_FRAME_H_
