// GstStreamReader: reads a video stream with GStreamer and publishes its newest frame.
#ifndef KELVO_STREAM_READER_H_
#define KELVO_STREAM_READER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kelvo/frame.h"
#include "kelvo/host.h"
#include "kelvo/keyframe_filter.h"
#include "kelvo/latest_value.h"
#include "kelvo/pipeline.h"
#include "kelvo/pipeline_state.h"
#include "kelvo/restarter.h"
#include "kelvo/sync.h"
#include "kelvo/time.h"

namespace kelvo {

inline constexpr char kPullingThreadName[] = "SamplePullingThread";
inline constexpr char kCloseThreadName[] = "StreamReaderCloseThread";

// The pull time-out: one thirtieth of a second.
inline constexpr GstClockTime kPullTimeout = GST_SECOND / 30;

// The status poll before a pull while streaming, left out after a pass that pulled a sample or
// waited at least half the pull time-out for one.
inline constexpr double kStatusPollSeconds = 0.001;

class GstStreamReader;

// What the caller asked for.
struct ReaderSettings {
  int64_t id = 0;
  std::string url;
  int latency = 200;  // milliseconds, RTSP only
  bool keyframes_only = false;
  std::optional<std::string> pipeline_str;  // a custom pipeline description
  bool must_play = false;
  bool proxied = false;  // RTSP over TCP
  double setup_timeout = 30.0;
  BackoffSettings backoff;
  uint64_t max_frame_pixels = kDefaultMaxFramePixels;  // larger frames are conversion errors
};

// Which factory a reader wants, and the two callbacks that every factory takes.
struct FactoryRequest {
  enum class Kind { kRtsp, kHttp, kCustom };
  Kind kind = Kind::kCustom;
  std::string url;
  int latency = 200;
  bool force_tcp = false;
  std::string pipeline_str;
  uint64_t max_frame_pixels = kDefaultMaxFramePixels;  // of the built-in pipelines' guard
  PipelineWatcher watcher;
  PipelineCompleteCallback on_complete;
  Logger* logger = nullptr;  // the reader's; outlives the factory and its pipelines
  // The same two callbacks' targets, for a factory that wants them in another form.
  std::weak_ptr<PipelineRestarter> restarter;
  std::weak_ptr<GstStreamReader> reader;
};

using FactoryMaker = std::function<std::shared_ptr<PipelineFactory>(const FactoryRequest&)>;

// Turns a pulled sample into the frame to publish; null: nothing to publish. Throws
// SampleConversionError for a sample it cannot convert.
using FrameConverter = std::function<std::shared_ptr<Frame>(const PulledSample&)>;

// The GStreamer factories (RTSP, HTTP(S), custom).
std::shared_ptr<PipelineFactory> make_gst_factory(const FactoryRequest& request);

// kelvo's own converter: sample_to_frame() of the GStreamer sample.
std::shared_ptr<Frame> convert_gst_sample(const PulledSample& sample,
                                          uint64_t max_pixels = kDefaultMaxFramePixels);

// Which factory the settings ask for. Throws StreamSetupError for a URL whose scheme no
// factory reads (when no pipeline description is given).
FactoryRequest::Kind factory_kind(const ReaderSettings& settings);

// What the reader is built from besides the caller's settings. Lifetime of the launcher, the
// probe and the time sources must enclose the lifetime of the reader.
struct ReaderDeps {
  std::shared_ptr<Logger> logger;
  ThreadLauncher* launcher = &default_thread_launcher();
  TimeSources time;
  FactoryMaker make_factory = make_gst_factory;
  // Null: kelvo's own (convert_gst_sample), with the settings' frame size limit.
  FrameConverter convert;
  KeyframeProbe* probe = &gst_keyframe_probe();
  double state_change_timeout = kStateChangeTimeout;
  double frame_timeout = kFrameTimeout;
};

// One published frame: the time of its pull and the image, or no image.
struct PublishedFrame {
  double timestamp = 0;
  std::shared_ptr<Frame> frame;  // null: no frame (start, closed)
  uint64_t sequence = 0;         // grows with every publication
};

// Health figures of a reader; every field is read without a lock.
struct ReaderStats {
  uint64_t frames_published = 0;
  std::optional<uint64_t> frames_dropped;
  int64_t restarts = 0;
  double backoff_seconds = 0;
  std::optional<double> last_frame_age;
  std::optional<std::string> last_error;
  GstState gst_state = GST_STATE_NULL;
  bool keyframes_only = false;
  int width = 0;
  int height = 0;
  std::string format;
};

// The reader's core: its pipeline state, restarter and keyframe filter, the restarter thread
// and the pulling thread "SamplePullingThread", and the published frame.
//
// This class is thread-safe. Create it with `create`; the threads keep it alive while they run.
// Reading the status, the frame, the events and `stats()` never waits for a lock.
class GstStreamReader : public std::enable_shared_from_this<GstStreamReader> {
 public:
  // Builds the first pipeline on the calling thread, then starts the restarter thread and, last,
  // the pulling thread. Throws StreamSetupError for an unsupported URL scheme; errors of the
  // first build pass through. A failure after the first pipeline was built releases it: the
  // pipeline goes to NULL and is freed, and no thread is left running.
  static std::shared_ptr<GstStreamReader> create(ReaderSettings settings, ReaderDeps deps);

  GstStreamReader(const GstStreamReader&) = delete;
  GstStreamReader& operator=(const GstStreamReader&) = delete;
  ~GstStreamReader();

  int64_t id() const { return id_.load(); }
  // The id written into the pulling thread's log lines and restarter calls from now on.
  void set_id(int64_t id) { id_.store(id); }
  const std::string& url() const { return settings_.url; }
  const ReaderSettings& settings() const { return settings_; }
  const std::shared_ptr<Logger>& logger() const { return deps_.logger; }

  StreamStatus status() const { return state_->status(); }
  // The status write of the host: set_status, refused once CLOSED; a value that is not a
  // member throws std::invalid_argument.
  void set_status(StreamStatus status) { state_->set_status(checked_status(status)); }

  const std::shared_ptr<Event>& latest_frame_event() const { return latest_frame_event_; }
  const std::shared_ptr<Event>& new_frame_event() const { return new_frame_event_; }
  const std::shared_ptr<Event>& new_status_event() const { return state_->new_status_event(); }

  // The newest pair; never blocks. Does not clear latest_frame_event (the caller does, after).
  std::shared_ptr<const PublishedFrame> latest_frame() const { return latest_.load(); }

  bool keyframes_only() const { return filter_->keyframes_only(); }
  void set_keyframes_only(bool value) { filter_->set_keyframes_only(value); }

  // Sends a request to stop: status CLOSED, then latest_frame_event set. Does not wait for the
  // threads; may wait while the restarter thread backs off or restarts.
  void close();
  // The same without ever waiting: when the restarter thread holds the status, the close is
  // left to a thread of its own ("StreamReaderCloseThread"), and no new restart begins.
  void close_without_waiting();
  // close(), then waits for the restarter thread (not the pulling thread).
  void wait_until_closed();
  // True once the pulling thread has ended.
  bool pulling_finished() const;

  ReaderStats stats() const;

  // The body of the pulling thread; runs until the stream is closed. At most one runs at a
  // time: a second call while one runs throws std::logic_error.
  void pull_samples();

  // The factory's completion callback: brings the keyframe probe of `pipeline` in line.
  void on_pipeline_complete(const std::shared_ptr<Pipeline>& pipeline);

  // True in the child of a fork() made after this reader: its threads are not there, so its
  // operations must not wait for them.
  bool inherited_by_fork() const { return fork_guard_.inherited(); }

  // Readers of the process that are not CLOSED.
  static int64_t open_readers();

  const std::shared_ptr<PipelineState>& shared_pipeline_state() const { return state_; }
  const std::shared_ptr<PipelineRestarter>& shared_restarter() const { return restarter_; }
  const std::shared_ptr<KeyframeFilter>& shared_keyframe_filter() const { return filter_; }
  // The pulling thread, once started.
  Thread* pulling_thread() const { return pulling_thread_.get(); }

  PipelineState& pipeline_state() { return *state_; }
  PipelineRestarter& restarter() { return *restarter_; }
  KeyframeFilter& keyframe_filter() { return *filter_; }

 private:
  GstStreamReader(ReaderSettings settings, ReaderDeps deps);

  void publish(double timestamp, std::shared_ptr<Frame> frame);
  // One pass of the pulling loop; false when the stream is closed.
  bool pull_once();
  void watchdog(double timestamp);

  const ReaderSettings settings_;
  const ReaderDeps deps_;
  const ForkGuard fork_guard_;
  std::atomic<int64_t> id_;
  std::atomic<bool> pulling_{false};  // a pulling loop runs
  // True while the reader counts in open_readers(); shared with the pipeline state's hook.
  const std::shared_ptr<std::atomic<bool>> open_ = std::make_shared<std::atomic<bool>>(false);
  const std::shared_ptr<Event> latest_frame_event_ = std::make_shared<Event>();
  const std::shared_ptr<Event> new_frame_event_ = std::make_shared<Event>();
  std::shared_ptr<PipelineState> state_;
  std::shared_ptr<PipelineRestarter> restarter_;
  std::shared_ptr<KeyframeFilter> filter_;

  LatestValue<PublishedFrame> latest_;
  uint64_t sequence_ = 0;  // pulling thread only
  bool pull_waited_last_pass_ = false;  // pulling thread only
  // Counts what the appsinks dropped: samples that arrived and were never pulled.
  void count_drops(const std::shared_ptr<Pipeline>& pipeline, bool pulled);

  std::atomic<uint64_t> frames_published_{0};
  std::shared_ptr<Pipeline> counted_pipeline_;  // pulling thread only
  uint64_t pulled_from_counted_ = 0;            // pulling thread only
  std::atomic<uint64_t> dropped_before_{0};     // by the pipelines before the counted one
  std::atomic<uint64_t> dropped_counted_{0};    // by the counted pipeline
  std::atomic<bool> drops_known_{false};
  std::atomic<double> last_published_timestamp_{0};

  std::unique_ptr<Thread> pulling_thread_;  // set once by create()
};

}  // namespace kelvo

#endif  // KELVO_STREAM_READER_H_
