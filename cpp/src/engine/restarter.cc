#include "kelvo/restarter.h"

#include <cxxabi.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "kelvo/url.h"

namespace kelvo {

namespace {

// The delay before a reader's first restart.
constexpr double kFirstRestartTimeout = 0.01;

// 2^1023 is the largest power of two a double holds; beyond it the power is infinite.
constexpr int64_t kLargestFinitePower = 1023;

}  // namespace

std::string shortest_double(double value) {
  // Shortest round-trip form: 24 characters hold any double ("-2.2250738585072014e-308").
  char buffer[32];
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  if (result.ec != std::errc()) return "nan";  // cannot happen with this buffer size
  return std::string(buffer, result.ptr);
}

double compute_backoff_seconds(int64_t count, const BackoffSettings& settings, double uniform01) {
  const double max_secs = settings.max_seconds;
  const double power = count > kLargestFinitePower ? std::numeric_limits<double>::infinity()
                                                   : std::ldexp(1.0, static_cast<int>(count));
  // Each minimum takes max_secs only when it is strictly smaller than the other operand.
  const double exponential_backoff = max_secs < power ? max_secs : power;
  const double random_offset = uniform01 * settings.randomness_seconds;
  const double backoff_seconds = settings.base_seconds + exponential_backoff + random_offset;
  return max_secs < backoff_seconds ? max_secs : backoff_seconds;
}

PipelineRestarter::PipelineRestarter(int64_t id, double /*setup_timeout*/, BackoffSettings backoff,
                                     std::shared_ptr<PipelineState> pipeline_state,
                                     std::shared_ptr<Logger> logger, ThreadLauncher& launcher,
                                     TimeSources time)
    : id_(id),
      backoff_(backoff),
      log_prefix_("kelvo: _pipeline_restarter stream_id " + std::to_string(id) + " "),
      pipeline_state_(std::move(pipeline_state)),
      logger_(std::move(logger)),
      launcher_(launcher),
      time_(time) {
  if (!pipeline_state_) throw std::invalid_argument("PipelineRestarter needs a pipeline state");
  if (!logger_) throw std::invalid_argument("PipelineRestarter needs a logger");
}

void PipelineRestarter::start() {
  std::lock_guard<std::mutex> lock(thread_mutex_);
  if (thread_) throw std::logic_error("The pipeline restarter thread was already started");
  // The thread keeps the restarter alive until its body has returned.
  std::shared_ptr<PipelineRestarter> self = shared_from_this();
  thread_ = launcher_.start(kRestarterThreadName, [self] { self->run(); });
}

Thread* PipelineRestarter::thread() {
  std::lock_guard<std::mutex> lock(thread_mutex_);
  return thread_.get();
}

void PipelineRestarter::close() { pipeline_state_->close(); }

void PipelineRestarter::wait_until_closed() {
  Thread* thread = nullptr;
  {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    thread = thread_.get();  // once set, kept for the life of the restarter
  }
  if (thread) thread->join();
}

double PipelineRestarter::calc_backoff_seconds() {
  const int64_t count = restart_count_.load();
  return compute_backoff_seconds(count, backoff_, time_.random->uniform01());
}

void PipelineRestarter::notify_frame_received(int64_t /*stream_id*/, double timestamp) {
  restart_count_.store(0);
  pipeline_state_->set_last_frame_timestamp(timestamp);
}

void PipelineRestarter::notify_frame_error(int64_t /*stream_id*/, double /*timestamp*/) {
  pipeline_state_->request_restart();
}

std::optional<std::string> PipelineRestarter::last_error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_error_;
}

void PipelineRestarter::record_error(const std::string& reason) {
  std::string masked = mask_password(reason);
  std::lock_guard<std::mutex> lock(mutex_);
  last_error_ = std::move(masked);
}

void PipelineRestarter::wait_for_change() {
  StatusCondition& cond = pipeline_state_->new_status_cond();
  waiting_.store(true);
  cond.wait();  // ends only on a real notification
  waiting_.store(false);
}

bool PipelineRestarter::restart_once(double restart_timeout) {
  PipelineState& state = *pipeline_state_;
  try {
    state.restart();
    return true;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    const std::exception_ptr error = std::current_exception();
    failed_restarts_.fetch_add(1);
    record_error("restart failed: " + describe_exception(error));
    logger_->exception(log_prefix_ + "restart failed after a back-off of " +
                           shortest_double(restart_timeout) + " s; trying again",
                       error);
    // The stream is not back: wait for the next back-off, then try again.
    state.set_status(StreamStatus::kHalted);
    return false;
  }
}

// The status condition is held for the whole loop, back-off sleeps and restarts included, and
// released only inside the waits: a close() can never fall between the check for CLOSED and
// the restart. A failed restart is retried after the next back-off. An error escaping the loop
// (the logger, say) releases the condition on the way out, skips the final shutdown and ends
// the thread; the launcher reports it.
void PipelineRestarter::run() {
  const std::string& prefix = log_prefix_;
  PipelineState& state = *pipeline_state_;
  double restart_timeout = kFirstRestartTimeout;
  backoff_seconds_.store(restart_timeout);
  {
    std::unique_lock<StatusCondition> lock(state.new_status_cond());
    for (;;) {
      if (state.status() == StreamStatus::kInitializing) {
        wait_for_change();
        logger_->info(prefix + to_string(state.status()) + " Continue wait " +
                      shortest_double(restart_timeout));
        // Goes on with the STREAMING test below, not back to the top.
      }
      if (state.status() == StreamStatus::kStreaming) {
        wait_for_change();
        logger_->info(prefix + to_string(state.status()) + " pipeline state changed");
        continue;
      }
      if (state.status() == StreamStatus::kClosed) break;

      // HALTED, or INITIALIZING again after the first wait.
      time_.sleeper->sleep_for(restart_timeout);
      if (state.close_requested()) {
        // Closed without waiting while this thread slept: no restart for a closed reader.
        state.close();
        continue;
      }
      logger_->info(std::string(to_string(state.status())) + " " +
                    shortest_double(restart_timeout) + " Shutting the pipeline down...");
      restart_once(restart_timeout);
      restart_count_.fetch_add(1);
      total_restarts_.fetch_add(1);
      restart_timeout = calc_backoff_seconds();
      backoff_seconds_.store(restart_timeout);
    }
  }
  state.shutdown();
}

}  // namespace kelvo
