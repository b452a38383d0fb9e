// The restarter's view of the GStreamer side: the bus watch and the playing check.
#include <cxxabi.h>

#include <exception>
#include <string>

#include "kelvo/gst_ptr.h"
#include "kelvo/restarter.h"
#include "kelvo/url.h"

namespace kelvo {

BusEvent PipelineRestarter::parse_message(GstMessage* message) {
  BusEvent event;
  if (message == nullptr) return event;
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
    event.kind = BusEvent::Kind::kEos;
  } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    event.kind = BusEvent::Kind::kError;
    GError* raw_error = nullptr;
    gchar* raw_debug = nullptr;
    gst_message_parse_error(message, &raw_error, &raw_debug);
    const GErrorPtr error(raw_error);
    const GCharPtr debug(raw_debug);
    // GStreamer elements print their URLs, credentials included.
    event.error = mask_password(error && error->message ? error->message : "None");
    if (debug) event.debug = mask_password(debug.get());
  }
  return event;
}

gboolean PipelineRestarter::on_bus_event(const BusEvent& event) {
  if (event.kind == BusEvent::Kind::kOther) return TRUE;
  const std::string prefix = "kelvo: watcher stream_id " + std::to_string(id_) + " ";
  // The message that halts the stream is the reason; what a halted pipeline posts after it
  // (a source error is followed by "Internal data stream error", ...) is its consequence.
  const bool first = pipeline_state_->status() != StreamStatus::kHalted;
  if (event.kind == BusEvent::Kind::kEos) {
    logger_->warning(prefix + "EOS received, restarting pipeline");
    if (first) record_error("EOS received");
  } else {
    const std::string reason =
        mask_password(event.error) + " (debug: " + mask_password(event.debug.value_or("None")) + ")";
    logger_->error(prefix + "pipeline error: " + reason);
    if (first) record_error(reason);
  }
  pipeline_state_->request_restart();
  return TRUE;
}

// Runs on the thread that dispatches the bus watch (the GLib main-loop thread). Nothing may be
// thrown into GLib's C frames: every error is reported through the logger and the watch stays.
gboolean PipelineRestarter::watcher(GstBus* /*bus*/, GstMessage* message, gpointer /*pipeline*/) {
  try {
    on_bus_event(parse_message(message));
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    try {
      logger_->exception("kelvo: watcher stream_id " + std::to_string(id_) +
                             " failed to handle a bus message",
                         std::current_exception());
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      // The logger itself failed: there is nowhere left to report to.
    }
  }
  return TRUE;
}

PipelineWatcher PipelineRestarter::bus_watcher() {
  std::weak_ptr<PipelineRestarter> weak = weak_from_this();
  return [weak](GstBus* bus, GstMessage* message, gpointer pipeline) -> gboolean {
    const std::shared_ptr<PipelineRestarter> self = weak.lock();
    if (!self) return FALSE;  // the reader is gone: remove the watch
    return self->watcher(bus, message, pipeline);
  };
}

PlayingCheck PipelineRestarter::gst_state_playing(double timestamp) {
  PlayingCheck check;
  // After shutdown there is no pipeline: not playing, state NULL, so the pulling thread can
  // still publish its last frame.
  const std::shared_ptr<Pipeline> pipeline = pipeline_state_->pipeline();
  check.gst_state = pipeline ? pipeline->get_state(0).current : GST_STATE_NULL;
  // One read: a restart may clear the timestamp at any moment.
  const std::optional<double> last_frame = pipeline_state_->last_frame_timestamp();
  if (last_frame) check.recent_frame = timestamp - *last_frame;
  if (check.gst_state != GST_STATE_PLAYING) {
    check.is_gst_playing = false;
  } else if (!check.recent_frame || *check.recent_frame > frame_timeout_) {
    check.is_gst_playing = false;
  } else {
    check.is_gst_playing = true;
  }
  last_gst_state_.store(check.gst_state);
  return check;
}

}  // namespace kelvo
