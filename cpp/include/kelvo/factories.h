// The pipeline factories: RTSP and HTTP(S) URLs, and pipeline descriptions of the caller.
//
// Every factory builds pipelines that end in one appsink and reports each of them complete
// (through the PipelineCompleteCallback) once the element named kBufferSrcName exists. The
// built-in pipelines are
//
//   rtspsrc ─► depayloader "buffer_src" ─► parser ─► decodebin ─► videoconvert ─► appsink
//   souphttpsrc ─► typefind ─► demuxer ─► parser "buffer_src" ─► decodebin ─► videoconvert ─► appsink
//
// where the middle part is chosen at run time from the stream's caps, the decoder by
// GStreamer's ranks, and videoconvert passes through every format that kelvo converts itself
// (see kConvertedFormats); it converts only what kelvo does not know, to BGR. "buffer_src" is
// the first element whose output carries the keyframe flag: the RTP depayloaders mark every
// frame but a keyframe as a delta unit, so the keyframe filter drops delta frames before they
// are parsed; a demuxer does not mark them, so over HTTP it is the parser.
//
// decodebin plugs no second parser (the stream is parsed already), and a software decoder of
// frames up to kSingleThreadDecodePixels gets one thread.
#ifndef KELVO_FACTORIES_H_
#define KELVO_FACTORIES_H_

#include <memory>
#include <string>

#include "kelvo/frame.h"
#include "kelvo/host.h"
#include "kelvo/pipeline.h"
#include "kelvo/url.h"

namespace kelvo {

// Frames up to this size (1920×1088) are decoded on the streaming thread alone: one core decodes
// 30 such frames a second with room to spare, and a decoder thread of its own would only add a
// hand-over per frame and a thread per reader.
inline constexpr int64_t kSingleThreadDecodePixels = int64_t{1920} * 1088;

// The appsink caps of the built-in pipelines: the decoders' own formats first, BGR last.
inline constexpr char kBuiltinAppsinkCaps[] =
    "video/x-raw, format=(string){ I420, NV12, YV12, NV21, Y42B, Y444, YUY2, UYVY, BGR }";

// The caps given to a custom pipeline's appsink that has none of its own: every raw format that
// kelvo makes a frame of. Without them a bare "... ! appsink" may negotiate a format that no
// frame can be made of (a test source offers 64-bit ARGB first), while a format that the
// caller fixed upstream must still pass.
inline constexpr char kCustomAppsinkCaps[] =
    "video/x-raw, format=(string){ I420, NV12, YV12, NV21, Y42B, Y444, YUY2, UYVY, BGR, RGB, "
    "BGRx, BGRA, RGBx, RGBA, GRAY8 }";

// How the appsink of a custom pipeline is changed so that it never blocks the pipeline while
// the host does not read: it drops old samples, and an unlimited queue becomes one sample. An
// appsink without caps gets kCustomAppsinkCaps. Returns a description of what changed ("" when
// nothing did). Besides, and not reported: the appsink keeps no last sample, so that a buffer it
// hands out is held by that sample alone and its frame goes to the host without a copy.
std::string make_appsink_nonblocking(GstElement* appsink);

// The built-in pipelines (RTSP and HTTP) run under a FlowGuard: a source that sends more than
// kFlowLimitFrames frames of `max_frame_pixels` in BGR without a frame, or announces a frame of
// more than `max_frame_pixels`, is stopped with an error on the bus (see flow_guard.h).

// rtspsrc with `latency` milliseconds (TCP only when `force_tcp`), for H.264, H.265 and MJPEG.
//
// This class is thread-safe. Lifetime of `logger` (not owned, may be null) must enclose the
// lifetime of the factory and of every pipeline it builds.
class RtspPipelineFactory final : public PipelineFactory {
 public:
  RtspPipelineFactory(std::string url, int latency_ms, PipelineWatcher watcher, bool force_tcp,
                      PipelineCompleteCallback on_complete, Logger* logger = nullptr,
                      uint64_t max_frame_pixels = kDefaultMaxFramePixels);
  std::shared_ptr<Pipeline> build() override;

 private:
  const std::string url_;
  const int latency_ms_;
  const PipelineWatcher watcher_;
  const bool force_tcp_;
  const PipelineCompleteCallback on_complete_;
  Logger* const logger_;  // Not owned.
  const uint64_t max_frame_pixels_;
};

// souphttpsrc, for MJPEG over multipart/x-mixed-replace and H.264 or H.265 in MPEG-TS, told
// apart by the stream's content at run time.
//
// This class is thread-safe. Lifetime of `logger` as for RtspPipelineFactory.
class HttpPipelineFactory final : public PipelineFactory {
 public:
  HttpPipelineFactory(std::string url, PipelineWatcher watcher,
                      PipelineCompleteCallback on_complete, Logger* logger = nullptr,
                      uint64_t max_frame_pixels = kDefaultMaxFramePixels);
  std::shared_ptr<Pipeline> build() override;

 private:
  const std::string url_;
  const PipelineWatcher watcher_;
  const PipelineCompleteCallback on_complete_;
  Logger* const logger_;  // Not owned.
  const uint64_t max_frame_pixels_;
};

// The caller's pipeline description, parsed by GStreamer. It must hold exactly one appsink
// (any name), which make_appsink_nonblocking() adjusts; `url` is only for messages. build()
// throws StreamSetupError, with GStreamer's own words, for a description that does not parse
// and for a pipeline without exactly one appsink. The pipeline is reported complete inside
// build(), before it is set to PLAYING.
//
// This class is thread-safe. Lifetime of `logger` as for RtspPipelineFactory.
class CustomPipelineFactory final : public PipelineFactory {
 public:
  CustomPipelineFactory(std::string description, std::string url, PipelineWatcher watcher,
                        PipelineCompleteCallback on_complete, Logger* logger = nullptr);
  std::shared_ptr<Pipeline> build() override;

 private:
  const std::string description_;
  const std::string url_;
  const PipelineWatcher watcher_;
  const PipelineCompleteCallback on_complete_;
  Logger* const logger_;  // Not owned.
};

}  // namespace kelvo

#endif  // KELVO_FACTORIES_H_
