// The Pipeline that owns a real GstPipeline: bus watch, waits, teardown.
#include "kelvo/gst_pipeline.h"

#include <cxxabi.h>
#include <gst/app/gstappsink.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

#include "kelvo/errors.h"
#include "kelvo/url.h"

namespace kelvo {

namespace {

// The bus watch's user data; freed by GLib when the watch goes.
struct WatchData {
  PipelineWatcher watcher;
  GstElementPtr pipeline;  // the watcher's third argument, alive as long as the watch
  Logger* logger;          // Not owned.
};

gboolean dispatch_watch(GstBus* bus, GstMessage* message, gpointer user_data) {
  auto* data = static_cast<WatchData*>(user_data);
  gboolean keep = TRUE;
  run_guarded(data->logger, "bus watcher",
              [&] { keep = data->watcher(bus, message, data->pipeline.get()); });
  return keep;
}

void free_watch(gpointer user_data) { delete static_cast<WatchData*>(user_data); }

// What the bus sync handler needs: the record, and the guard whose error ends the pipeline.
struct SyncData {
  std::shared_ptr<BusRecord> record;
  std::shared_ptr<FlowGuard> guard;  // may be null
};

GstBusSyncReply record_message(GstBus* /*bus*/, GstMessage* message, gpointer user_data) {
  auto* data = static_cast<SyncData*>(user_data);
  const GstMessageType type = GST_MESSAGE_TYPE(message);
  // Once the guard has stopped the source, the errors and the end of stream that follow are
  // its consequences: its own error stays the reason.
  if (data->guard && data->guard->tripped() && !data->guard->is_own_message(message) &&
      (type == GST_MESSAGE_ERROR || type == GST_MESSAGE_EOS || type == GST_MESSAGE_WARNING)) {
    return GST_BUS_DROP;
  }
  data->record->on_message(message, GST_MESSAGE_SRC(message));
  return GST_BUS_PASS;
}

void free_sync_data(gpointer user_data) { delete static_cast<SyncData*>(user_data); }

// Shuts the guard's sockets unless dismissed (destroyed) within `milliseconds`. On a thread of
// its own: the main loop that dispatches bus watches may be held up.
class StopDeadline {
 public:
  StopDeadline(std::shared_ptr<FlowGuard> guard, guint milliseconds)
      : thread_([this, guard = std::move(guard), milliseconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!cond_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                              [this] { return dismissed_; })) {
            guard->shutdown_sockets();
          }
        }) {}
  ~StopDeadline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      dismissed_ = true;
    }
    cond_.notify_all();
    thread_.join();
  }
  StopDeadline(const StopDeadline&) = delete;
  StopDeadline& operator=(const StopDeadline&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  bool dismissed_ = false;  // with mutex_
  std::thread thread_;      // last: starts once the rest exists
};

std::string describe_state(GstElement* pipeline) {
  GstState current = GST_STATE_VOID_PENDING;
  GstState pending = GST_STATE_VOID_PENDING;
  gst_element_get_state(pipeline, &current, &pending, 0);
  std::string text = std::string("state ") + gst_element_state_get_name(current);
  if (pending != GST_STATE_VOID_PENDING) {
    text += std::string(", pending ") + gst_element_state_get_name(pending);
  }
  return text;
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds);
  return text;
}

gint64 deadline_after(double seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds > 1e9) seconds = 1e9;
  return g_get_monotonic_time() + static_cast<gint64>(seconds * G_USEC_PER_SEC);
}

}  // namespace

void run_guarded(Logger* logger, const char* what, const std::function<void()>& body) {
  try {
    body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    const std::string text = mask_password(
        std::string("kelvo: ") + what + " failed: " + describe_exception(std::current_exception()));
    if (logger != nullptr) {
      try {
        logger->exception(text, std::current_exception());
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        std::fprintf(stderr, "%s\n", text.c_str());
      }
    } else {
      std::fprintf(stderr, "%s\n", text.c_str());
    }
  }
}

void BusRecord::on_message(GstMessage* message, GstObject* pipeline) {
  const GstMessageType type = GST_MESSAGE_TYPE(message);
  if (type == GST_MESSAGE_STATE_CHANGED && GST_MESSAGE_SRC(message) == pipeline) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++sequence_;
    cond_.notify_all();
  } else if (type == GST_MESSAGE_ERROR) {
    GError* raw_error = nullptr;
    gchar* raw_debug = nullptr;
    gst_message_parse_error(message, &raw_error, &raw_debug);
    GErrorPtr error(raw_error);
    GCharPtr debug(raw_debug);
    std::string text = error ? error->message : "unknown error";
    if (debug) text += std::string(" (debug: ") + debug.get() + ")";
    text = mask_password(text);
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_.empty()) error_ = std::move(text);
    ++sequence_;
    cond_.notify_all();
  }
}

std::string BusRecord::error() {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

uint64_t BusRecord::sequence() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sequence_;
}

void BusRecord::wait_after(uint64_t sequence, gint64 max_us) {
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait_for(lock, std::chrono::microseconds(max_us), [&] { return sequence_ != sequence; });
}

std::shared_ptr<GstPipelineWrapper> GstPipelineWrapper::create(GstElementPtr pipeline,
                                                               GstElementPtr appsink,
                                                               PipelineWatcher watcher,
                                                               Logger* logger,
                                                               std::shared_ptr<FlowGuard> guard) {
  std::shared_ptr<GstPipelineWrapper> wrapper(new GstPipelineWrapper(
      std::move(pipeline), std::move(appsink), logger, std::move(guard)));
  wrapper->install_bus_handlers(std::move(watcher));
  return wrapper;
}

namespace {

// The arrival counter and the guard, shared with the appsink's probe.
struct Arrivals {
  std::shared_ptr<std::atomic<uint64_t>> counter;
  std::shared_ptr<FlowGuard> guard;  // may be null
};

GstPadProbeReturn count_arrivals(GstPad* /*pad*/, GstPadProbeInfo* info, gpointer data) {
  auto& arrivals = *static_cast<Arrivals*>(data);
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    arrivals.counter->fetch_add(gst_buffer_list_length(GST_PAD_PROBE_INFO_BUFFER_LIST(info)),
                                std::memory_order_relaxed);
  } else {
    arrivals.counter->fetch_add(1, std::memory_order_relaxed);
  }
  if (arrivals.guard) arrivals.guard->on_frame();
  return GST_PAD_PROBE_OK;
}

}  // namespace

GstPipelineWrapper::GstPipelineWrapper(GstElementPtr pipeline, GstElementPtr appsink,
                                       Logger* logger, std::shared_ptr<FlowGuard> guard)
    : logger_(logger),
      appsink_(std::move(appsink)),
      guard_(std::move(guard)),
      pipeline_(std::move(pipeline)),
      bus_(gst_element_get_bus(pipeline_.get())) {
  // Counts what reaches the appsink, so that frames it drops unread can be told.
  if (GstPadPtr pad{gst_element_get_static_pad(appsink_.get(), "sink")}) {
    gst_pad_add_probe(
        pad.get(),
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        count_arrivals, new Arrivals{arrived_, guard_},
        [](gpointer data) { delete static_cast<Arrivals*>(data); });
  }
}

void GstPipelineWrapper::install_bus_handlers(PipelineWatcher watcher) {
  gst_bus_set_sync_handler(bus_.get(), record_message, new SyncData{bus_record_, guard_},
                           free_sync_data);
  if (guard_) guard_->attach(bus_.get());
  if (!watcher) return;
  auto* data = new WatchData{std::move(watcher), ref_object(pipeline_.get()), logger_};
  // Attaches to the thread-default main context, or the global default when there is none.
  gst_bus_add_watch_full(bus_.get(), G_PRIORITY_DEFAULT, dispatch_watch, data, free_watch);
}

GstElementPtr GstPipelineWrapper::detach_for_release() {
  std::vector<std::function<void()>> destructors;
  GstElementPtr pipeline;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (released_) return nullptr;
    released_ = true;
    destructors.swap(destructors_);
    pipeline = std::move(pipeline_);
  }
  for (auto& destructor : destructors) run_guarded(logger_, "pipeline destructor", destructor);
  gst_bus_remove_watch(bus_.get());
  gst_bus_set_sync_handler(bus_.get(), nullptr, nullptr, nullptr);
  return pipeline;
}

GstPipelineWrapper::~GstPipelineWrapper() {
  GstElementPtr pipeline = detach_for_release();
  if (!pipeline) return;
  if (guard_ && guard_->tripped()) guard_->shutdown_sockets();
  // Dropped without release_resources(), perhaps on a streaming thread of this very pipeline
  // or on a thread that callbacks of it wait for: stop it from GStreamer's own thread pool,
  // which holds a reference until the state change is done.
  gst_element_call_async(
      pipeline.get(),
      [](GstElement* element, gpointer) { gst_element_set_state(element, GST_STATE_NULL); },
      nullptr, nullptr);
}

GstElementPtr GstPipelineWrapper::gst_pipeline() {
  std::lock_guard<std::mutex> lock(mutex_);
  return ref_object(pipeline_.get());
}

GstStateChangeReturn GstPipelineWrapper::set_state(GstState state) {
  GstElementPtr pipeline = gst_pipeline();
  if (!pipeline)
    return state == GST_STATE_NULL ? GST_STATE_CHANGE_SUCCESS : GST_STATE_CHANGE_FAILURE;
  if (state == GST_STATE_NULL) return stop(pipeline.get());
  return gst_element_set_state(pipeline.get(), state);
}

GstStateChangeReturn GstPipelineWrapper::stop(GstElement* pipeline) {
  if (!guard_) return gst_element_set_state(pipeline, GST_STATE_NULL);
  // A source that has sent junk gets no chance to send more while it says goodbye.
  if (guard_->tripped()) guard_->shutdown_sockets();
  StopDeadline deadline(guard_, kStopDeadlineMilliseconds);
  return gst_element_set_state(pipeline, GST_STATE_NULL);
}

PipelineStateQuery GstPipelineWrapper::get_state(GstClockTime timeout) {
  PipelineStateQuery query;
  GstElementPtr pipeline = gst_pipeline();
  if (!pipeline) {
    query.result = GST_STATE_CHANGE_SUCCESS;
    query.current = GST_STATE_NULL;
    return query;
  }
  query.result = gst_element_get_state(pipeline.get(), &query.current, &query.pending, timeout);
  return query;
}

void GstPipelineWrapper::wait_until_playing(int64_t stream_id, double timeout_seconds) {
  const std::string prefix = "Stream " + std::to_string(stream_id) + " did not start playing: ";
  const gint64 deadline = deadline_after(timeout_seconds);
  for (;;) {
    const uint64_t sequence = bus_record_->sequence();
    const std::string error = bus_record_->error();
    if (!error.empty()) throw StreamSetupError(prefix + error);
    GstElementPtr pipeline = gst_pipeline();
    if (!pipeline) throw StreamSetupError(prefix + "the pipeline has been released");
    GstState current = GST_STATE_VOID_PENDING;
    gst_element_get_state(pipeline.get(), &current, nullptr, 0);
    if (current == GST_STATE_PLAYING) return;
    const gint64 left = deadline - g_get_monotonic_time();
    if (left <= 0) {
      throw StreamSetupError(prefix + "not PLAYING after " + seconds_text(timeout_seconds) +
                             " s (" + describe_state(pipeline.get()) + ")");
    }
    // State changes and errors wake the wait; the poll catches a change the record missed.
    bus_record_->wait_after(sequence, std::min<gint64>(left, 100000));
  }
}

void GstPipelineWrapper::wait_until_null(int64_t stream_id, double timeout_seconds) {
  const gint64 deadline = deadline_after(timeout_seconds);
  for (;;) {
    GstElementPtr pipeline = gst_pipeline();
    if (!pipeline) return;
    GstState current = GST_STATE_VOID_PENDING;
    gst_element_get_state(pipeline.get(), &current, nullptr, 20 * GST_MSECOND);
    if (current == GST_STATE_NULL) return;
    if (g_get_monotonic_time() >= deadline) {
      throw StreamSetupError("Stream " + std::to_string(stream_id) + " did not reach NULL after " +
                             seconds_text(timeout_seconds) + " s (" +
                             describe_state(pipeline.get()) + ")");
    }
  }
}

void GstPipelineWrapper::release_resources() {
  {
    // Waits for a completion callback that is running; none starts after this.
    std::lock_guard<std::mutex> lock(complete_mutex_);
    complete_closed_ = true;
  }
  GstElementPtr pipeline = detach_for_release();
  if (!pipeline) return;
  stop(pipeline.get());
  gst_bus_set_flushing(bus_.get(), TRUE);
}

void GstPipelineWrapper::add_destructor(std::function<void()> destructor) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!released_) {
      destructors_.push_back(std::move(destructor));
      return;
    }
  }
  run_guarded(logger_, "pipeline destructor", destructor);
}

GstSamplePtr GstPipelineWrapper::try_pull_sample(GstClockTime timeout) {
  // No lock: a release stops the appsink, which ends the wait at once.
  return GstSamplePtr(gst_app_sink_try_pull_sample(GST_APP_SINK(appsink_.get()), timeout));
}

GstElementPtr GstPipelineWrapper::get_by_name(const char* name) {
  GstElementPtr pipeline = gst_pipeline();
  if (!pipeline || name == nullptr) return nullptr;
  return GstElementPtr(gst_bin_get_by_name(GST_BIN(pipeline.get()), name));
}

GstPadPtr GstPipelineWrapper::buffer_src_pad() {
  GstElementPtr element = get_by_name(kBufferSrcName);
  if (!element) return nullptr;
  return GstPadPtr(gst_element_get_static_pad(element.get(), "src"));
}

void GstPipelineWrapper::report_complete(const PipelineCompleteCallback& on_complete) {
  std::shared_ptr<GstPipelineWrapper> self = shared_from_this();  // outlives the lock
  DeferLogs defer;  // lines of the callback are written once the lock is released
  std::lock_guard<std::mutex> lock(complete_mutex_);
  if (complete_closed_) return;
  complete_closed_ = true;
  if (on_complete) run_guarded(logger_, "pipeline complete callback", [&] { on_complete(self); });
}

}  // namespace kelvo
