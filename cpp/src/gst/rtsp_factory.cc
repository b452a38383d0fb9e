// RTSP: rtspsrc, then a depayloader and parser chosen from the stream's RTP caps.
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "builtin_pipeline.h"
#include "kelvo/errors.h"
#include "kelvo/factories.h"
#include "kelvo/rtp_reorder.h"
#include "kelvo/url.h"

namespace kelvo {

namespace {

struct RtpCodec {
  const char* encoding;  // RTP encoding-name
  const char* depayloader;
  const char* parser;
};

constexpr RtpCodec kRtpCodecs[] = {
    {"H264", "rtph264depay", "h264parse"},
    {"H265", "rtph265depay", "h265parse"},
    {"JPEG", "rtpjpegdepay", "jpegparse"},
};

// The codec of an RTP video stream, or null for any other stream.
const RtpCodec* rtp_codec(const GstCaps* caps) {
  if (caps == nullptr || gst_caps_is_empty(caps)) return nullptr;
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  const char* media = gst_structure_get_string(s, "media");
  const char* encoding = gst_structure_get_string(s, "encoding-name");
  if (media == nullptr || encoding == nullptr || std::strcmp(media, "video") != 0) return nullptr;
  for (const RtpCodec& codec : kRtpCodecs) {
    if (g_ascii_strcasecmp(codec.encoding, encoding) == 0) return &codec;
  }
  return nullptr;
}

// Sets up only the first video stream kelvo can decode: no bandwidth for audio or for a second
// video stream nobody shows.
gboolean on_select_stream(GstElement* /*src*/, guint num, GstCaps* caps, gpointer data) {
  auto& context = *static_cast<std::shared_ptr<builtin::Context>*>(data);
  gboolean select = FALSE;
  run_guarded(context->logger, "RTSP stream selection", [&] {
    if (rtp_codec(caps) == nullptr) return;
    int expected = -1;
    const int stream = static_cast<int>(num);
    select =
        context->selected_stream.compare_exchange_strong(expected, stream) || expected == stream;
  });
  return select;
}

void on_pad_added(GstElement* /*src*/, GstPad* pad, gpointer data) {
  auto& context = *static_cast<std::shared_ptr<builtin::Context>*>(data);
  run_guarded(context->logger, "RTSP pad handler", [&] {
    GstCapsPtr caps = builtin::pad_caps(pad);
    const RtpCodec* codec = rtp_codec(caps.get());
    if (codec == nullptr) return;
    context->guard->count_bytes(pad);
    builtin::attach_encoded(context, pad, codec->depayloader, codec->parser);
  });
}

// Runs on the source's own thread before each request, right after it connected: the socket it
// connected is the one that carries requests and responses.
gboolean on_before_send(GstElement* /*src*/, gpointer /*message*/, gpointer data) {
  auto& context = *static_cast<std::shared_ptr<builtin::Context>*>(data);
  run_guarded(context->logger, "RTSP request handler", [&] {
    if (GObjectPtr<GSocket> socket = FlowGuard::last_connected_socket()) {
      context->guard->set_control_socket(socket.get());
    }
  });
  return TRUE;  // send it
}

// The RTP bin asks for the element that orders each stream's packets: kelvo's, in place of the
// jitter buffer (two threads and a hand-over per packet, for pacing nobody here needs). The bin
// sets its latency from rtspsrc's.
GstElement* on_request_jitterbuffer(GstElement* /*manager*/, guint /*session*/,
                                    gpointer /*data*/) {
  return make_rtp_reorder(0);
}

void on_new_manager(GstElement* /*src*/, GstElement* manager, gpointer data) {
  auto& context = *static_cast<std::shared_ptr<builtin::Context>*>(data);
  run_guarded(context->logger, "RTSP session manager handler", [&] {
    if (g_signal_lookup("request-jitterbuffer", G_OBJECT_TYPE(manager)) != 0) {
      g_signal_connect(manager, "request-jitterbuffer", G_CALLBACK(on_request_jitterbuffer),
                       nullptr);
    }
  });
}

}  // namespace

RtspPipelineFactory::RtspPipelineFactory(std::string url, int latency_ms, PipelineWatcher watcher,
                                         bool force_tcp, PipelineCompleteCallback on_complete,
                                         Logger* logger, uint64_t max_frame_pixels)
    : url_(std::move(url)),
      latency_ms_(latency_ms),
      watcher_(std::move(watcher)),
      force_tcp_(force_tcp),
      on_complete_(std::move(on_complete)),
      logger_(logger),
      max_frame_pixels_(max_frame_pixels) {
  if (latency_ms_ < 0) {
    throw std::invalid_argument("RTSP latency must be 0 or more milliseconds, not " +
                                std::to_string(latency_ms_));
  }
}

std::shared_ptr<Pipeline> RtspPipelineFactory::build() {
  auto context = std::make_shared<builtin::Context>();
  context->on_complete = on_complete_;
  context->logger = logger_;
  context->guard = std::make_shared<FlowGuard>(max_frame_pixels_);
  FlowGuard::watch_socket_connections();
  GstElementPtr pipeline;
  GstElementPtr appsink = builtin::make_tail(&pipeline, context);
  GstElement* src = gst_element_factory_make("rtspsrc", "source");
  if (src == nullptr) throw StreamSetupError("GStreamer element 'rtspsrc' is missing");
  const ParsedUrl parsed = parse_url(url_);  // the credentials go to the source alone
  g_object_set(src, "location", parsed.location.c_str(), "latency",
               static_cast<guint>(latency_ms_), "drop-on-latency", TRUE, nullptr);
  if (parsed.has_user) g_object_set(src, "user-id", parsed.user.c_str(), nullptr);
  if (parsed.has_password) g_object_set(src, "user-pw", parsed.password.c_str(), nullptr);
  if (force_tcp_) gst_util_set_object_arg(G_OBJECT(src), "protocols", "tcp");
  // No dummy packets through a NAT before PLAY: they cost a streaming thread per reader for
  // its whole life. A server whose UDP packets a NAT keeps out is read over TCP instead, which
  // rtspsrc falls back to when no UDP packet arrives.
  gst_util_set_object_arg(G_OBJECT(src), "nat-method", "none");
  gst_bin_add(GST_BIN(pipeline.get()), src);
  builtin::connect(src, "new-manager", G_CALLBACK(on_new_manager), context);
  builtin::connect(src, "select-stream", G_CALLBACK(on_select_stream), context);
  builtin::connect(src, "pad-added", G_CALLBACK(on_pad_added), context);
  builtin::connect(src, "before-send", G_CALLBACK(on_before_send), context);
  return builtin::start(std::move(pipeline), std::move(appsink), context, watcher_);
}

}  // namespace kelvo
