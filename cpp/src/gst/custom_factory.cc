// The caller's own pipeline description.
#include <gst/app/gstappsink.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/errors.h"
#include "kelvo/factories.h"
#include "kelvo/gst_pipeline.h"
#include "kelvo/url.h"

namespace kelvo {

namespace {

// Every appsink inside `bin`, at any depth ("transfer full").
std::vector<GstElementPtr> find_appsinks(GstBin* bin) {
  std::vector<GstElementPtr> found;
  GstIterator* it = gst_bin_iterate_recurse(bin);
  GValue item = G_VALUE_INIT;
  bool done = false;
  while (!done) {
    switch (gst_iterator_next(it, &item)) {
      case GST_ITERATOR_OK: {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        if (GST_IS_APP_SINK(element)) found.push_back(ref_object(element));
        g_value_reset(&item);
        break;
      }
      case GST_ITERATOR_RESYNC:
        found.clear();
        gst_iterator_resync(it);
        break;
      default:
        done = true;
        break;
    }
  }
  g_value_unset(&item);
  gst_iterator_free(it);
  return found;
}

}  // namespace

std::string make_appsink_nonblocking(GstElement* appsink) {
  gboolean drop = FALSE;
  guint max_buffers = 0;
  g_object_get(appsink, "drop", &drop, "max-buffers", &max_buffers, nullptr);
  // Full with drop=false, the appsink blocks its streaming thread (and with it the source);
  // with max-buffers=0 its queue grows without bound. Both happen whenever the host reads
  // slower than the stream runs.
  std::string changed;
  if (!drop) {
    g_object_set(appsink, "drop", TRUE, nullptr);
    changed = "drop=true";
  }
  if (max_buffers == 0) {
    g_object_set(appsink, "max-buffers", 1u, nullptr);
    changed += changed.empty() ? "max-buffers=1" : " max-buffers=1";
  }
  // A last sample would hold a second reference to every buffer handed out, and the host would
  // then get a copy of each frame instead of the frame itself. Nobody can read it here.
  g_object_set(appsink, "enable-last-sample", FALSE, nullptr);
  GstCaps* raw_caps = nullptr;
  g_object_get(appsink, "caps", &raw_caps, nullptr);
  GstCapsPtr caps(raw_caps);
  if (!caps) {
    GstCapsPtr supported(gst_caps_from_string(kCustomAppsinkCaps));
    g_object_set(appsink, "caps", supported.get(), nullptr);
    changed += changed.empty() ? "caps=" : " caps=";
    changed += "<formats kelvo converts>";
  }
  return changed;
}

CustomPipelineFactory::CustomPipelineFactory(std::string description, std::string url,
                                             PipelineWatcher watcher,
                                             PipelineCompleteCallback on_complete, Logger* logger)
    : description_(std::move(description)),
      url_(std::move(url)),
      watcher_(std::move(watcher)),
      on_complete_(std::move(on_complete)),
      logger_(logger) {}

std::shared_ptr<Pipeline> CustomPipelineFactory::build() {
  GError* raw_error = nullptr;
  GstElement* parsed =
      gst_parse_launch_full(description_.c_str(), nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &raw_error);
  GErrorPtr error(raw_error);
  GstElementPtr element(parsed ? GST_ELEMENT(gst_object_ref_sink(parsed)) : nullptr);
  if (error || !element) {
    throw StreamSetupError(
        mask_password("Cannot parse the pipeline description \"" + description_ +
                      "\": " + (error ? error->message : "GStreamer returned no pipeline")));
  }
  GstElementPtr pipeline;
  if (GST_IS_PIPELINE(element.get())) {
    pipeline = std::move(element);
  } else {
    // A single element or a bin: put it into a pipeline of its own.
    pipeline.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
    gst_bin_add(GST_BIN(pipeline.get()), element.release());
  }
  std::vector<GstElementPtr> appsinks = find_appsinks(GST_BIN(pipeline.get()));
  if (appsinks.size() != 1) {
    throw StreamSetupError(mask_password("The pipeline description \"" + description_ +
                                         "\" must hold exactly one appsink, not " +
                                         std::to_string(appsinks.size())));
  }
  const std::string changed = make_appsink_nonblocking(appsinks[0].get());
  if (!changed.empty() && logger_ != nullptr) {
    GCharPtr name(gst_element_get_name(appsinks[0].get()));
    logger_->info(mask_password("kelvo: appsink '" + std::string(name.get()) + "' of " + url_ +
                                " set to " + changed + " so that it never blocks the pipeline"));
  }
  GstElement* raw_pipeline = pipeline.get();
  auto wrapper =
      GstPipelineWrapper::create(std::move(pipeline), std::move(appsinks[0]), watcher_, logger_);
  // Complete as parsed; reported before the first buffer flows, so a probe added by the
  // callback sees every buffer.
  wrapper->report_complete(on_complete_);
  gst_element_set_state(raw_pipeline, GST_STATE_PLAYING);
  return wrapper;
}

}  // namespace kelvo
