// The Pipeline that owns a real GstPipeline.
#ifndef KELVO_GST_PIPELINE_H_
#define KELVO_GST_PIPELINE_H_

#include <gst/gst.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kelvo/flow_guard.h"
#include "kelvo/gst_ptr.h"
#include "kelvo/host.h"
#include "kelvo/pipeline.h"

namespace kelvo {

// What the bus tells about a pipeline while one waits for it to play: its latest state and the
// first error it posted. Filled by a bus sync handler on the posting thread, so that waiting
// never takes messages away from the bus watch.
//
// This class is thread-safe.
class BusRecord {
 public:
  void on_message(GstMessage* message, GstObject* pipeline);
  // The first error the pipeline posted, or an empty text.
  std::string error();
  // A number that grows with every recorded message.
  uint64_t sequence();
  // Waits at most `max_us` microseconds for a message recorded after `sequence`.
  void wait_after(uint64_t sequence, gint64 max_us);

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  uint64_t sequence_ = 0;  // with mutex_
  std::string error_;      // with mutex_; empty until the first error
};

// How long a pipeline may take to stop before the sockets of its guarded source are shut down
// (a source may be stuck reading a message that never ends).
inline constexpr guint kStopDeadlineMilliseconds = 3000;

// A GstPipeline and its appsink, as the engine uses them.
//
// This class is thread-safe. The GstPipeline is dropped by release_resources(); the appsink
// reference lives until the object itself goes, because the pulling thread may be inside
// try_pull_sample() while a restart releases the pipeline.
//
// Create it with `create()` (it hands itself to callbacks as a shared_ptr). The owner should
// call release_resources() before dropping the last reference; the destructor does it
// otherwise, which must then not happen on one of the pipeline's own streaming threads.
class GstPipelineWrapper final : public Pipeline,
                                 public std::enable_shared_from_this<GstPipelineWrapper> {
 public:
  // Takes `pipeline` (a GstPipeline) and a reference to its `appsink`. Installs `watcher` as the
  // bus watch on the calling thread's thread-default main context (the global default when the
  // thread has none). `logger` (not owned, may be null) receives errors that callbacks throw;
  // its lifetime must enclose this object's. With a `guard`, frames that reach the appsink are
  // reported to it, messages that follow its error are dropped, and a stop that takes longer
  // than kStopDeadlineMilliseconds (or any stop once the guard has tripped) shuts its sockets
  // down.
  static std::shared_ptr<GstPipelineWrapper> create(GstElementPtr pipeline, GstElementPtr appsink,
                                                    PipelineWatcher watcher, Logger* logger,
                                                    std::shared_ptr<FlowGuard> guard = nullptr);
  ~GstPipelineWrapper() override;
  GstPipelineWrapper(const GstPipelineWrapper&) = delete;
  GstPipelineWrapper& operator=(const GstPipelineWrapper&) = delete;

  GstStateChangeReturn set_state(GstState state) override;
  PipelineStateQuery get_state(GstClockTime timeout) override;
  void wait_until_playing(int64_t stream_id, double timeout_seconds) override;
  void wait_until_null(int64_t stream_id, double timeout_seconds) override;
  void release_resources() override;
  void add_destructor(std::function<void()> destructor) override;
  GstElement* appsink() const override { return appsink_.get(); }
  GstSamplePtr try_pull_sample(GstClockTime timeout) override;
  GstElementPtr get_by_name(const char* name) override;
  GstPadPtr buffer_src_pad() override;
  std::optional<uint64_t> samples_arrived() const override { return arrived_->load(); }

  // The GstPipeline, or null once released ("transfer full").
  GstElementPtr gst_pipeline();

  // Reports the pipeline complete: calls `on_complete(this)` unless it was reported before or
  // the pipeline has been released. Safe on any thread, streaming threads included; the call
  // runs under a lock that release_resources() waits for, so it never overlaps the release.
  // Errors that `on_complete` throws are logged, never passed on.
  void report_complete(const PipelineCompleteCallback& on_complete);

  Logger* logger() const { return logger_; }

 private:
  GstPipelineWrapper(GstElementPtr pipeline, GstElementPtr appsink, Logger* logger,
                     std::shared_ptr<FlowGuard> guard);
  void install_bus_handlers(PipelineWatcher watcher);
  // Sets `pipeline` to NULL; with a guard, under the stop deadline.
  GstStateChangeReturn stop(GstElement* pipeline);
  // Marks the pipeline released, runs the destructors and takes the bus handlers off; returns
  // the GstPipeline to stop, or null when it was released before.
  GstElementPtr detach_for_release();

  Logger* const logger_;         // Not owned; may be null.
  const GstElementPtr appsink_;  // kept until destruction
  const std::shared_ptr<FlowGuard> guard_;  // null: not guarded
  const std::shared_ptr<BusRecord> bus_record_ = std::make_shared<BusRecord>();
  // Buffers that reached the appsink, counted by a probe on its sink pad, which shares it.
  const std::shared_ptr<std::atomic<uint64_t>> arrived_ =
      std::make_shared<std::atomic<uint64_t>>(0);

  // Held while the completion callback runs; taken first by release_resources().
  std::mutex complete_mutex_;
  bool complete_closed_ = false;  // with complete_mutex_: reported, or released

  std::mutex mutex_;
  // with mutex_
  GstElementPtr pipeline_;
  GstBusPtr bus_;
  bool released_ = false;
  std::vector<std::function<void()>> destructors_;
};

// Runs `body`, logging what it throws instead of passing it on (for code that GLib or
// GStreamer calls). The forced unwind of a thread that is being cancelled passes through.
void run_guarded(Logger* logger, const char* what, const std::function<void()>& body);

}  // namespace kelvo

#endif  // KELVO_GST_PIPELINE_H_
