// Pieces shared by the built-in pipelines (RTSP and HTTP).
#ifndef KELVO_SRC_GST_BUILTIN_PIPELINE_H_
#define KELVO_SRC_GST_BUILTIN_PIPELINE_H_

#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "kelvo/gst_pipeline.h"
#include "kelvo/gst_ptr.h"
#include "kelvo/host.h"
#include "kelvo/pipeline.h"

namespace kelvo::builtin {

// What the run-time signal handlers of one pipeline need. Shared by every handler of that
// pipeline; the handlers hold it through their closures, so it lives as long as the elements.
struct Context {
  std::weak_ptr<GstPipelineWrapper> wrapper;
  PipelineCompleteCallback on_complete;
  Logger* logger = nullptr;              // Not owned.
  GstElement* pipeline = nullptr;        // Not owned: the bin the handlers add to.
  GstElement* decoder = nullptr;         // Not owned: the decodebin the parser feeds.
  std::atomic<int> selected_stream{-1};  // RTSP: the one stream set up, -1 before the choice
  std::atomic<int64_t> decoded_pixels{0};  // the frame size decodebin plugs a decoder for
  std::shared_ptr<FlowGuard> guard;      // counts the source's bytes, checks frame sizes
};

// A new pipeline with its fixed tail, decodebin ─► videoconvert ─► appsink, added and linked
// (decodebin's output is linked when it appears; it plugs no parser, and a software decoder of
// small frames gets one thread). `context` receives the pipeline and the decodebin; its guard
// checks the frame size of what reaches the appsink. Returns the appsink ("transfer full") and
// the pipeline through `pipeline`.
GstElementPtr make_tail(GstElementPtr* pipeline, const std::shared_ptr<Context>& context);

// An element from `factory`, or null after posting an error on the pipeline's bus.
GstElement* make_element(Context& context, const char* factory, const char* name = nullptr);

// Links `src` (a pad of the source or of a demuxer) through `depayloader` (may be null) to a new
// parser and on to the decodebin, the parser's output under the guard's frame size check; the
// depayloader, or the parser when there is none, is named kBufferSrcName. Then reports the
// pipeline complete.
// Returns false (after posting an error) when an element is missing or a link fails. Does
// nothing and returns true when the pipeline already has its buffer_src.
bool attach_encoded(const std::shared_ptr<Context>& context, GstPad* src, const char* depayloader,
                    const char* parser);

// Posts an ERROR message from `source` on the pipeline's bus.
void post_error(GstElement* source, const std::string& text);

// Connects `callback` to `signal` of `instance`, with a reference to `context` that lives as
// long as the connection.
void connect(gpointer instance, const char* signal, GCallback callback,
             const std::shared_ptr<Context>& context);

// The creating logic of a factory: wraps `pipeline` with the context's guard, starts it and
// returns it.
std::shared_ptr<GstPipelineWrapper> start(GstElementPtr pipeline, GstElementPtr appsink,
                                          const std::shared_ptr<Context>& context,
                                          const PipelineWatcher& watcher);

// The caps of a pad: its current caps, or what it can produce.
GstCapsPtr pad_caps(GstPad* pad);

}  // namespace kelvo::builtin

#endif  // KELVO_SRC_GST_BUILTIN_PIPELINE_H_
