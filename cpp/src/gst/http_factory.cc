// HTTP(S): souphttpsrc, then a demuxer chosen from the stream's content: MJPEG over
// multipart/x-mixed-replace, or H.264/H.265 in MPEG-TS.
#include <memory>
#include <string>
#include <utility>

#include "builtin_pipeline.h"
#include "kelvo/errors.h"
#include "kelvo/factories.h"

namespace kelvo {

namespace {

// The parser for an elementary stream that a demuxer exposed, or null.
const char* parser_for(const GstCaps* caps) {
  if (caps == nullptr || gst_caps_is_empty(caps)) return nullptr;
  const GstStructure* s = gst_caps_get_structure(caps, 0);
  if (gst_structure_has_name(s, "image/jpeg")) return "jpegparse";
  if (gst_structure_has_name(s, "video/x-h264")) return "h264parse";
  if (gst_structure_has_name(s, "video/x-h265")) return "h265parse";
  return nullptr;
}

void on_demuxed_pad(GstElement* /*demuxer*/, GstPad* pad, gpointer data) {
  auto& context = *static_cast<std::shared_ptr<builtin::Context>*>(data);
  run_guarded(context->logger, "HTTP demuxer pad handler", [&] {
    GstCapsPtr caps = builtin::pad_caps(pad);
    const char* parser = parser_for(caps.get());
    if (parser == nullptr) return;  // audio, metadata: left unlinked
    builtin::attach_encoded(context, pad, nullptr, parser);
  });
}

// typefind named the stream's content: add the matching demuxer.
void on_have_type(GstElement* typefind, guint /*probability*/, GstCaps* caps, gpointer data) {
  auto& context = *static_cast<std::shared_ptr<builtin::Context>*>(data);
  run_guarded(context->logger, "HTTP content handler", [&] {
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    const char* demuxer = nullptr;
    if (gst_structure_has_name(s, "multipart/x-mixed-replace")) {
      demuxer = "multipartdemux";
    } else if (gst_structure_has_name(s, "video/mpegts")) {
      demuxer = "tsdemux";
    } else {
      GCharPtr text(gst_caps_to_string(caps));
      builtin::post_error(typefind, std::string("Unsupported HTTP stream content: ") + text.get() +
                                        " (MJPEG over multipart/x-mixed-replace or MPEG-TS "
                                        "expected)");
      return;
    }
    GstElement* demux = builtin::make_element(*context, demuxer);
    if (demux == nullptr) return;
    if (gst_structure_has_name(s, "multipart/x-mixed-replace")) {
      g_object_set(demux, "single-stream", TRUE, nullptr);
    }
    builtin::connect(demux, "pad-added", G_CALLBACK(on_demuxed_pad), context);
    gst_bin_add(GST_BIN(context->pipeline), demux);
    gst_element_sync_state_with_parent(demux);
    if (!gst_element_link(typefind, demux)) {
      builtin::post_error(typefind, std::string("Cannot link the HTTP stream to ") + demuxer);
    }
  });
}

}  // namespace

HttpPipelineFactory::HttpPipelineFactory(std::string url, PipelineWatcher watcher,
                                         PipelineCompleteCallback on_complete, Logger* logger,
                                         uint64_t max_frame_pixels)
    : url_(std::move(url)),
      watcher_(std::move(watcher)),
      on_complete_(std::move(on_complete)),
      logger_(logger),
      max_frame_pixels_(max_frame_pixels) {}

std::shared_ptr<Pipeline> HttpPipelineFactory::build() {
  auto context = std::make_shared<builtin::Context>();
  context->on_complete = on_complete_;
  context->logger = logger_;
  context->guard = std::make_shared<FlowGuard>(max_frame_pixels_);
  GstElementPtr pipeline;
  GstElementPtr appsink = builtin::make_tail(&pipeline, context);
  GstElement* src = gst_element_factory_make("souphttpsrc", "source");
  GstElement* typefind = gst_element_factory_make("typefind", "typefind");
  if (src == nullptr || typefind == nullptr) {
    for (GstElement* e : {src, typefind}) {
      if (e != nullptr) gst_object_unref(gst_object_ref_sink(e));
    }
    throw StreamSetupError("GStreamer elements 'souphttpsrc' and 'typefind' are required");
  }
  const ParsedUrl parsed = parse_url(url_);  // the credentials go to the source alone
  g_object_set(src, "location", parsed.location.c_str(), "is-live", TRUE, nullptr);
  if (parsed.has_user) g_object_set(src, "user-id", parsed.user.c_str(), nullptr);
  if (parsed.has_password) g_object_set(src, "user-pw", parsed.password.c_str(), nullptr);
  GstPadPtr src_pad(gst_element_get_static_pad(src, "src"));
  context->guard->count_bytes(src_pad.get());
  gst_bin_add_many(GST_BIN(pipeline.get()), src, typefind, nullptr);
  if (!gst_element_link(src, typefind))
    throw StreamSetupError("Cannot link souphttpsrc to typefind");
  builtin::connect(typefind, "have-type", G_CALLBACK(on_have_type), context);
  return builtin::start(std::move(pipeline), std::move(appsink), context, watcher_);
}

}  // namespace kelvo
