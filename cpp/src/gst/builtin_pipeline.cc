// The parts that the RTSP and HTTP pipelines share: the decoding tail and the encoded branch.
#include "builtin_pipeline.h"

#include <gst/app/gstappsink.h>

#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "kelvo/errors.h"
#include "kelvo/factories.h"

namespace kelvo::builtin {

namespace {

// Serialises the branch building of all pipelines: pad-added of two streams of one source may
// run on two streaming threads at once, and only one of them may create the buffer_src.
std::mutex& attach_mutex() {
  static std::mutex* mutex = new std::mutex();  // leaked: used until the process ends
  return *mutex;
}

// decodebin exposed its decoded pad: on to videoconvert.
void on_decoded_pad(GstElement* /*decodebin*/, GstPad* pad, gpointer data) {
  auto& context = *static_cast<std::shared_ptr<Context>*>(data);
  run_guarded(context->logger, "decoder pad handler", [&] {
    GstElementPtr convert(gst_bin_get_by_name(GST_BIN(context->pipeline), "convert"));
    if (!convert) return;
    GstPadPtr sink(gst_element_get_static_pad(convert.get(), "sink"));
    if (gst_pad_is_linked(sink.get())) return;  // only the first video stream is shown
    GstCapsPtr caps = pad_caps(pad);
    const GstStructure* s =
        caps && !gst_caps_is_empty(caps.get()) ? gst_caps_get_structure(caps.get(), 0) : nullptr;
    if (s == nullptr || !gst_structure_has_name(s, "video/x-raw")) return;
    const GstPadLinkReturn linked = gst_pad_link(pad, sink.get());
    if (GST_PAD_LINK_FAILED(linked)) {
      GCharPtr text(gst_caps_to_string(caps.get()));
      post_error(context->decoder, std::string("Cannot link the decoder output (") + text.get() +
                                       ") to videoconvert: " + gst_pad_link_get_name(linked));
    }
  });
}

// decodebin's answers to "autoplug-select" (its GstAutoplugSelectResult).
constexpr int kAutoplugTry = 0;
constexpr int kAutoplugSkip = 2;

bool has_klass(GstElementFactory* factory, const char* word) {
  const gchar* klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
  return klass != nullptr && std::strstr(klass, word) != nullptr;
}

// decodebin is about to plug `factory` for `caps`. The stream comes parsed from kelvo's parser:
// a second parser would only parse every frame again. Before a decoder, notes the frame size.
int on_autoplug_select(GstElement* /*decodebin*/, GstPad* /*pad*/, GstCaps* caps,
                       GstElementFactory* factory, gpointer data) {
  auto& context = *static_cast<std::shared_ptr<Context>*>(data);
  int result = kAutoplugTry;
  run_guarded(context->logger, "decoder selection", [&] {
    const GstStructure* s =
        caps && !gst_caps_is_empty(caps) ? gst_caps_get_structure(caps, 0) : nullptr;
    gboolean parsed = FALSE;
    if (s != nullptr && gst_structure_get_boolean(s, "parsed", &parsed) && parsed &&
        has_klass(factory, "Parser")) {
      result = kAutoplugSkip;
      return;
    }
    int width = 0;
    int height = 0;
    if (s != nullptr && gst_structure_get_int(s, "width", &width) &&
        gst_structure_get_int(s, "height", &height) && width > 0 && height > 0) {
      context->decoded_pixels.store(int64_t{width} * height);
    }
  });
  return result;
}

// decodebin added an element: a software decoder of a small stream gets one thread.
void on_decoder_element_added(GstBin* /*decodebin*/, GstElement* element, gpointer data) {
  auto& context = *static_cast<std::shared_ptr<Context>*>(data);
  run_guarded(context->logger, "decoder set-up", [&] {
    GParamSpec* threads =
        g_object_class_find_property(G_OBJECT_GET_CLASS(element), "max-threads");
    if (threads == nullptr || threads->value_type != G_TYPE_INT) return;
    const int64_t pixels = context->decoded_pixels.load();
    if (pixels > 0 && pixels <= kSingleThreadDecodePixels) {
      g_object_set(element, "max-threads", 1, nullptr);
    }
  });
}

void free_context(gpointer data, GClosure* /*closure*/) {
  delete static_cast<std::shared_ptr<Context>*>(data);
}

}  // namespace

GstCapsPtr pad_caps(GstPad* pad) {
  GstCapsPtr caps(gst_pad_get_current_caps(pad));
  if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
  return caps;
}

void post_error(GstElement* source, const std::string& text) {
  GError* error =
      g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_CODEC_NOT_FOUND, text.c_str());
  gst_element_post_message(source, gst_message_new_error(GST_OBJECT(source), error, text.c_str()));
  g_error_free(error);
}

GstElement* make_element(Context& context, const char* factory, const char* name) {
  GstElement* element = gst_element_factory_make(factory, name);
  if (element == nullptr) {
    post_error(context.pipeline, std::string("GStreamer element '") + factory +
                                     "' is missing (plugin not installed)");
  }
  return element;
}

void connect(gpointer instance, const char* signal, GCallback callback,
             const std::shared_ptr<Context>& context) {
  g_signal_connect_data(instance, signal, callback, new std::shared_ptr<Context>(context),
                        free_context, GConnectFlags(0));
}

GstElementPtr make_tail(GstElementPtr* pipeline, const std::shared_ptr<Context>& context) {
  pipeline->reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
  context->pipeline = pipeline->get();
  GstElement* decoder = gst_element_factory_make("decodebin", "decoder");
  GstElement* convert = gst_element_factory_make("videoconvert", "convert");
  GstElement* appsink = gst_element_factory_make("appsink", "appsink");
  if (decoder == nullptr || convert == nullptr || appsink == nullptr) {
    for (GstElement* e : {decoder, convert, appsink}) {
      if (e != nullptr) gst_object_unref(gst_object_ref_sink(e));
    }
    throw StreamSetupError("GStreamer elements decodebin, videoconvert and appsink are required");
  }
  context->decoder = decoder;
  GstCapsPtr caps(gst_caps_from_string(kBuiltinAppsinkCaps));
  // One sample at most, the newest; no clock; and no extra reference to the last buffer, so
  // that a buffer the appsink hands out is ours alone.
  g_object_set(appsink, "caps", caps.get(), "max-buffers", 1u, "drop", TRUE, "sync", FALSE,
               "enable-last-sample", FALSE, "qos", FALSE, nullptr);
  GstElementPtr appsink_ref = ref_object(appsink);
  if (context->guard) {
    GstPadPtr sink(gst_element_get_static_pad(appsink, "sink"));
    context->guard->check_frame_size(sink.get());
  }
  gst_bin_add_many(GST_BIN(pipeline->get()), decoder, convert, appsink, nullptr);
  if (!gst_element_link(convert, appsink)) {
    throw StreamSetupError("Cannot link videoconvert to the appsink");
  }
  connect(decoder, "pad-added", G_CALLBACK(on_decoded_pad), context);
  connect(decoder, "autoplug-select", G_CALLBACK(on_autoplug_select), context);
  connect(decoder, "element-added", G_CALLBACK(on_decoder_element_added), context);
  return appsink_ref;
}

bool attach_encoded(const std::shared_ptr<Context>& context, GstPad* src, const char* depayloader,
                    const char* parser) {
  {
    std::lock_guard<std::mutex> lock(attach_mutex());
    GstBin* bin = GST_BIN(context->pipeline);
    GstElementPtr existing(gst_bin_get_by_name(bin, kBufferSrcName));
    if (existing) return true;
    // The first of them whose output carries the keyframe flag is the buffer_src (see
    // factories.h): the depayloader when there is one.
    GstElement* depay = depayloader ? make_element(*context, depayloader, kBufferSrcName) : nullptr;
    GstElement* parse = make_element(*context, parser, depayloader ? "parser" : kBufferSrcName);
    if ((depayloader && depay == nullptr) || parse == nullptr) {
      for (GstElement* e : {depay, parse}) {
        if (e != nullptr) gst_object_unref(gst_object_ref_sink(e));
      }
      return false;
    }
    if (context->guard) {
      GstPadPtr parsed(gst_element_get_static_pad(parse, "src"));
      context->guard->check_frame_size(parsed.get());
    }
    gst_bin_add(bin, parse);
    if (depay != nullptr) gst_bin_add(bin, depay);
    bool linked = gst_element_link(parse, context->decoder);
    if (depay != nullptr) linked = linked && gst_element_link(depay, parse);
    gst_element_sync_state_with_parent(parse);
    if (depay != nullptr) gst_element_sync_state_with_parent(depay);
    GstPadPtr sink(gst_element_get_static_pad(depay ? depay : parse, "sink"));
    const GstPadLinkReturn pad_linked = gst_pad_link(src, sink.get());
    if (!linked || GST_PAD_LINK_FAILED(pad_linked)) {
      post_error(context->pipeline, std::string("Cannot link the stream to ") +
                                        (depayloader ? depayloader : parser) + " and " + parser);
      return false;
    }
  }
  if (auto wrapper = context->wrapper.lock()) wrapper->report_complete(context->on_complete);
  return true;
}

std::shared_ptr<GstPipelineWrapper> start(GstElementPtr pipeline, GstElementPtr appsink,
                                          const std::shared_ptr<Context>& context,
                                          const PipelineWatcher& watcher) {
  GstElement* element = pipeline.get();
  auto wrapper = GstPipelineWrapper::create(std::move(pipeline), std::move(appsink), watcher,
                                            context->logger, context->guard);
  context->wrapper = wrapper;
  // A failure shows on the bus as an error, where the watcher and wait_until_playing see it.
  gst_element_set_state(element, GST_STATE_PLAYING);
  return wrapper;
}

}  // namespace kelvo::builtin
