#include "kelvo/stream_reader.h"

#include <cxxabi.h>
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "kelvo/errors.h"
#include "kelvo/settings_check.h"
#include "kelvo/url.h"

namespace kelvo {

namespace {

constexpr char kOtherContextWarning[] =
    "A GStreamer pipeline is being created on a MainContext other than the global default. If "
    "this is a MainContext created by a QThread, asynchronous messages may not be sent properly.";

std::string prefix(const char* place, int64_t id) {
  return std::string("kelvo: ") + place + " stream_id " + std::to_string(id) + " ";
}

std::string one_decimal(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::atomic<int64_t> g_open_readers{0};

}  // namespace

FactoryRequest::Kind factory_kind(const ReaderSettings& settings) {
  if (settings.pipeline_str) return FactoryRequest::Kind::kCustom;
  const std::string scheme = url_scheme(settings.url);
  if (scheme == "rtsp") return FactoryRequest::Kind::kRtsp;
  if (scheme == "http" || scheme == "https") return FactoryRequest::Kind::kHttp;
  throw StreamSetupError("Unsupported scheme '" + scheme +
                         "'. Is the provided URL in a valid HTTP or RTSP format? Stream URL: " +
                         mask_password(settings.url));
}

std::shared_ptr<Frame> convert_gst_sample(const PulledSample& sample, uint64_t max_pixels) {
  if (!sample.gst) throw SampleConversionError("The sample is not a GStreamer sample");
  return sample_to_frame(sample.gst.get(), max_pixels);
}

int64_t GstStreamReader::open_readers() { return g_open_readers.load(); }

GstStreamReader::GstStreamReader(ReaderSettings settings, ReaderDeps deps)
    : settings_(std::move(settings)),
      deps_(std::move(deps)),
      id_(settings_.id),
      latest_(std::make_shared<PublishedFrame>(PublishedFrame{deps_.time.clock->now(), nullptr, 0})) {}

std::shared_ptr<GstStreamReader> GstStreamReader::create(ReaderSettings settings,
                                                         ReaderDeps deps) {
  validate_reader_settings(settings);
  if (!deps.convert) {
    deps.convert = [max_pixels = settings.max_frame_pixels](const PulledSample& sample) {
      return convert_gst_sample(sample, max_pixels);
    };
  }
  Logger& logger = *deps.logger;
  if (g_main_context_get_thread_default() != nullptr) logger.warning(kOtherContextWarning);

  std::shared_ptr<GstStreamReader> reader(new GstStreamReader(std::move(settings), std::move(deps)));
  const ReaderSettings& s = reader->settings_;
  const ReaderDeps& d = reader->deps_;

  reader->state_ = std::make_shared<PipelineState>(s.id, d.logger, *d.time.clock, *d.launcher);
  reader->state_->set_state_change_timeout(d.state_change_timeout);
  // Closed by any path (close, a status write, the pipeline state itself): the host's frame
  // wait ends, and the reader no longer counts as open.
  // The hook holds only what may outlive the reader: the state can.
  reader->state_->set_on_closed([event = reader->latest_frame_event_, open = reader->open_] {
    event->set();
    if (open->exchange(false)) g_open_readers.fetch_sub(1);
  });
  reader->restarter_ = std::make_shared<PipelineRestarter>(s.id, s.setup_timeout, s.backoff,
                                                           reader->state_, d.logger,
                                                           *d.launcher, d.time);
  reader->restarter_->set_frame_timeout(d.frame_timeout);
  reader->filter_ = std::make_shared<KeyframeFilter>(s.keyframes_only, reader->state_, d.logger,
                                                     *d.probe);

  FactoryRequest request;
  request.kind = factory_kind(s);
  request.url = s.url;
  request.latency = s.latency;
  request.force_tcp = s.proxied;
  request.pipeline_str = s.pipeline_str.value_or("");
  request.max_frame_pixels = s.max_frame_pixels;
  request.watcher = reader->restarter_->bus_watcher();
  request.restarter = reader->restarter_;
  request.reader = reader;
  request.logger = d.logger.get();
  // The factory may report a pipeline complete from a streaming thread at any time, even after
  // the reader is gone: it holds the reader weakly.
  request.on_complete = [weak = std::weak_ptr<GstStreamReader>(reader)](
                            const std::shared_ptr<Pipeline>& pipeline) {
    if (auto self = weak.lock()) self->on_pipeline_complete(pipeline);
  };
  reader->state_->set_factory(d.make_factory(request));
  reader->open_->store(true);
  g_open_readers.fetch_add(1);

  try {
    reader->state_->build(s.must_play);
    reader->restarter_->start();
    reader->pulling_thread_ =
        d.launcher->start(kPullingThreadName, [self = reader] { self->pull_samples(); });
  } catch (...) {
    // Release what was built: no pipeline playing on, no thread left behind.
    reader->state_->close();
    reader->restarter_->wait_until_closed();
    try {
      reader->state_->shutdown();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      logger.exception(prefix("_pipeline_restarter", s.id) +
                               "could not release the pipeline of a failed construction",
                           std::current_exception());
    }
    throw;
  }
  return reader;
}

GstStreamReader::~GstStreamReader() {
  if (open_->exchange(false)) g_open_readers.fetch_sub(1);
}

void GstStreamReader::on_pipeline_complete(const std::shared_ptr<Pipeline>& pipeline) {
  filter_->update_pad_probe(pipeline);
}

void GstStreamReader::close() {
  restarter_->close();
  latest_frame_event_->set();
}

void GstStreamReader::close_without_waiting() {
  latest_frame_event_->set();
  std::weak_ptr<GstStreamReader> weak = weak_from_this();
  state_->close_without_waiting([this, weak] {
    try {
      deps_.launcher->start(kCloseThreadName, [weak] {
        if (auto self = weak.lock()) self->close();
      });
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      // No thread to be had (the host is exiting): the restarter closes the reader after its
      // back-off instead of restarting it.
    }
  });
}

void GstStreamReader::wait_until_closed() {
  close();
  restarter_->wait_until_closed();
}

bool GstStreamReader::pulling_finished() const {
  return !pulling_thread_ || pulling_thread_->finished();
}

void GstStreamReader::publish(double timestamp, std::shared_ptr<Frame> frame) {
  latest_.publish(std::make_shared<PublishedFrame>(
      PublishedFrame{timestamp, std::move(frame), ++sequence_}));
}

void GstStreamReader::pull_samples() {
  if (pulling_.exchange(true)) {
    throw std::logic_error("The reader's pulling loop is already running");
  }
  struct Done {
    std::atomic<bool>& flag;
    ~Done() { flag.store(false); }
  } done{pulling_};
  Clock& clock = *deps_.time.clock;
  publish(clock.now(), nullptr);
  try {
    while (pull_once()) {
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    // Nothing kelvo controls ends this thread; should something else, the host must not be
    // left looking at a stale frame while the status says STREAMING.
    publish(clock.now(), nullptr);
    latest_frame_event_->set();
    deps_.logger->exception(
        prefix("_pull_samples", id()) + "pulling thread ended on an unexpected error",
        std::current_exception());
    throw;
  }
}

bool GstStreamReader::pull_once() {
  Clock& clock = *deps_.time.clock;
  std::shared_ptr<Pipeline> pipeline;
  {
    DeferLogs defer;  // declared first: a line logged here is written after the unlock
    std::unique_lock<StatusCondition> lock(state_->new_status_cond());
    const StreamStatus status = state_->status();
    if (status == StreamStatus::kClosed) {
      publish(clock.now(), nullptr);
      return false;
    }
    if (status == StreamStatus::kInitializing || status == StreamStatus::kHalted) {
      if (!state_->new_status_cond().wait_for(deps_.state_change_timeout)) {
        deps_.logger->warning(prefix("_pull_sample", id()) +
                              to_string(state_->status()) + " pipeline timeout");
      }
      return true;
    }
    // The poll gives a status change a moment to land before the next pull, and keeps a pass
    // whose pull returns at once with nothing (no pipeline, an appsink at its end) from
    // spinning. After a pass that pulled a sample or waited out the pull's time-out it is left
    // out: the status was just read, and the pull waits itself. It would otherwise be a second
    // wake-up of this thread per frame (or per time-out, between the keyframes of a
    // keyframes-only stream), and would cap a fast source at a thousand frames a second.
    if (!pull_waited_last_pass_) state_->new_status_cond().wait_for(kStatusPollSeconds);
    pipeline = state_->pipeline();
  }

  const auto pull_started = std::chrono::steady_clock::now();
  PulledSample sample = pipeline ? pipeline->pull_sample(kPullTimeout) : PulledSample{};
  pull_waited_last_pass_ =
      static_cast<bool>(sample) ||
      std::chrono::steady_clock::now() - pull_started >= std::chrono::nanoseconds(kPullTimeout / 2);
  const double timestamp = clock.now();
  const int64_t id = this->id();
  count_drops(pipeline, static_cast<bool>(sample));
  if (sample) {
    std::shared_ptr<Frame> frame;
    bool failed = false;
    try {
      frame = deps_.convert(sample);
    } catch (const SampleConversionError& e) {
      deps_.logger->error(e.what());
      restarter_->record_error(e.what());
      failed = true;
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      deps_.logger->exception(prefix("_pull_samples", id) +
                                      "unexpected error converting sample, requesting pipeline "
                                      "restart",
                                  std::current_exception());
      restarter_->record_error("unexpected error converting sample: " +
                               describe_exception(std::current_exception()));
      failed = true;
    }
    sample = PulledSample{};
    if (failed) {
      restarter_->notify_frame_error(id, timestamp);
    } else if (!frame) {
      return true;
    } else {
      publish(timestamp, std::move(frame));
      last_published_timestamp_.store(timestamp, std::memory_order_relaxed);
      frames_published_.fetch_add(1, std::memory_order_relaxed);
      latest_frame_event_->set();
      new_frame_event_->set();
      restarter_->notify_frame_received(id, timestamp);
    }
  }
  watchdog(timestamp);
  return true;
}

void GstStreamReader::count_drops(const std::shared_ptr<Pipeline>& pipeline, bool pulled) {
  if (!pipeline) return;
  if (pipeline != counted_pipeline_) {
    dropped_before_.fetch_add(dropped_counted_.exchange(0));
    counted_pipeline_ = pipeline;
    pulled_from_counted_ = 0;
  }
  pulled_from_counted_ += pulled ? 1 : 0;
  const std::optional<uint64_t> arrived = pipeline->samples_arrived();
  if (!arrived) return;
  // One sample may wait in the appsink to be pulled next: it is not dropped (yet).
  const uint64_t accounted = pulled_from_counted_ + 1;
  dropped_counted_.store(*arrived > accounted ? *arrived - accounted : 0);
  drops_known_.store(true);
}

void GstStreamReader::watchdog(double timestamp) {
  const PlayingCheck check = restarter_->gst_state_playing(timestamp);
  if (check.is_gst_playing) return;
  if (state_->status() != StreamStatus::kStreaming) return;
  const double stalled_for =
      check.recent_frame ? *check.recent_frame : timestamp - state_->start_pipeline_timestamp();
  if (stalled_for > restarter_->frame_timeout()) {
    const std::string reason = std::string("gst_state ") +
                               gst_element_state_get_name(check.gst_state) + " no frame for " +
                               one_decimal(stalled_for) + "s";
    deps_.logger->error(prefix("watchdog", id()) + reason + ", restarting pipeline");
    restarter_->record_error("watchdog: " + reason);
    restarter_->notify_frame_error(id(), timestamp);
  }
}

ReaderStats GstStreamReader::stats() const {
  ReaderStats stats;
  stats.frames_published = frames_published_.load(std::memory_order_relaxed);
  stats.restarts = restarter_->total_restarts();
  stats.backoff_seconds = restarter_->backoff_seconds();
  stats.last_error = restarter_->last_error();
  stats.keyframes_only = filter_->keyframes_only();
  if (drops_known_.load()) stats.frames_dropped = dropped_before_.load() + dropped_counted_.load();
  // After a fork() the pipeline's locks may be held by threads the child does not have.
  if (std::shared_ptr<Pipeline> pipeline = inherited_by_fork() ? nullptr : state_->pipeline()) {
    stats.gst_state = pipeline->get_state(0).current;
  }
  std::shared_ptr<const PublishedFrame> latest = latest_.load();
  if (latest->frame) {
    stats.width = latest->frame->width;
    stats.height = latest->frame->height;
    stats.format = latest->frame->format;
  }
  if (stats.frames_published > 0) {
    stats.last_frame_age =
        deps_.time.clock->now() - last_published_timestamp_.load(std::memory_order_relaxed);
  }
  return stats;
}

}  // namespace kelvo
