#include "kelvo/flow_guard.h"

#include <sys/socket.h>
#if defined(__linux__)
#include <linux/tcp.h>
#include <netinet/in.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "kelvo/frame.h"
#include "kelvo/host.h"

namespace kelvo {

namespace {

using GuardRef = std::shared_ptr<FlowGuard>;

// The socket most recently connected on this thread, held weakly.
class LastConnected {
 public:
  LastConnected() { g_weak_ref_init(&ref_, nullptr); }
  ~LastConnected() { g_weak_ref_clear(&ref_); }
  LastConnected(const LastConnected&) = delete;
  LastConnected& operator=(const LastConnected&) = delete;

  void set(GSocket* socket) { g_weak_ref_set(&ref_, socket); }
  GObjectPtr<GSocket> get() {
    return GObjectPtr<GSocket>(static_cast<GSocket*>(g_weak_ref_get(&ref_)));
  }

 private:
  GWeakRef ref_;
};

LastConnected& last_connected() {
  thread_local LastConnected last;
  return last;
}

// Emission hook of GSocketClient::event (client, event, connectable, connection).
gboolean on_socket_client_event(GSignalInvocationHint* /*hint*/, guint n_values,
                                const GValue* values, gpointer /*data*/) {
  if (n_values < 4 || g_value_get_enum(&values[1]) != G_SOCKET_CLIENT_CONNECTED) return TRUE;
  gpointer stream = g_value_get_object(&values[3]);
  if (stream != nullptr && G_IS_SOCKET_CONNECTION(stream)) {
    last_connected().set(g_socket_connection_get_socket(G_SOCKET_CONNECTION(stream)));
  }
  return TRUE;  // keep the hook
}

// Bytes the socket has received since it was connected; none when the system cannot tell.
std::optional<uint64_t> bytes_received(GSocket* socket) {
#if defined(__linux__)
  if (g_socket_is_closed(socket)) return std::nullopt;
  struct tcp_info info = {};
  socklen_t length = sizeof info;
  if (getsockopt(g_socket_get_fd(socket), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
    return std::nullopt;
  }
  if (length < offsetof(struct tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
    return std::nullopt;  // a kernel older than 4.1
  }
  return info.tcpi_bytes_received;
#else
  (void)socket;
  return std::nullopt;
#endif
}

uint64_t data_bytes(GstPadProbeInfo* info) {
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    return gst_buffer_list_calculate_size(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
  }
  return gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info));
}

// Drops the buffer and answers FLUSHING: the source's task pauses, without an error of its own.
GstPadProbeReturn refuse(GstPadProbeInfo* info) {
  gst_mini_object_unref(GST_MINI_OBJECT_CAST(GST_PAD_PROBE_INFO_DATA(info)));
  GST_PAD_PROBE_INFO_DATA(info) = nullptr;
  GST_PAD_PROBE_INFO_FLOW_RETURN(info) = GST_FLOW_FLUSHING;
  return GST_PAD_PROBE_HANDLED;
}

// Polls every guard that watches a socket, every kFlowPollMilliseconds, on a thread of its own
// (started with the first such guard, kept until the process ends): the main loop that
// dispatches bus watches may be held up, and a hostile source goes on sending meanwhile.
class SocketPoller {
 public:
  static SocketPoller& instance() {
    static SocketPoller* poller = new SocketPoller();  // leaked: its thread never ends
    return *poller;
  }

  void add(std::weak_ptr<FlowGuard> guard) {
    std::lock_guard<std::mutex> lock(mutex_);
    guards_.push_back(std::move(guard));
    if (!started_) {
      started_ = true;
      std::thread([this] {
        set_os_thread_name("FlowGuardPoller");
        run();
      }).detach();
    }
    cond_.notify_all();
  }

 private:
  void run() {
    for (;;) {
      std::vector<std::shared_ptr<FlowGuard>> alive;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait(lock, [this] { return !guards_.empty(); });
        for (auto it = guards_.begin(); it != guards_.end();) {
          if (auto guard = it->lock()) {
            alive.push_back(std::move(guard));
            ++it;
          } else {
            it = guards_.erase(it);
          }
        }
      }
      for (const auto& guard : alive) guard->poll();
      alive.clear();  // a guard goes with its pipeline, not with the poller
      std::this_thread::sleep_for(std::chrono::milliseconds(kFlowPollMilliseconds));
    }
  }

  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<std::weak_ptr<FlowGuard>> guards_;  // with mutex_
  bool started_ = false;                          // with mutex_
};

constexpr char kRestartDetail[] =
    "kelvo stops a source whose data does not become frames; the stream is restarted";

}  // namespace

FlowGuard::FlowGuard(uint64_t max_frame_pixels)
    : max_frame_pixels_(max_frame_pixels),
      byte_limit_(kFlowLimitFrames * max_frame_pixels * 3) {}

FlowGuard::~FlowGuard() = default;

void FlowGuard::attach(GstBus* bus) {
  std::lock_guard<std::mutex> lock(mutex_);
  bus_ = ref_object(bus);
}

void FlowGuard::add_probe(GstPad* pad, GstPadProbeType type, GstPadProbeCallback callback) {
  gst_pad_add_probe(pad, type, callback, new GuardRef(shared_from_this()),
                    [](gpointer data) { delete static_cast<GuardRef*>(data); });
}

void FlowGuard::count_bytes(GstPad* pad) {
  add_probe(pad,
            static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                         GST_PAD_PROBE_TYPE_BUFFER_LIST),
            on_bytes);
}

void FlowGuard::check_frame_size(GstPad* pad) {
  add_probe(pad,
            static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                         GST_PAD_PROBE_TYPE_BUFFER |
                                         GST_PAD_PROBE_TYPE_BUFFER_LIST),
            on_caps);
}

GstPadProbeReturn FlowGuard::on_bytes(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  FlowGuard& guard = **static_cast<GuardRef*>(data);
  if (guard.tripped()) return refuse(info);
  const uint64_t bytes = guard.bytes_.fetch_add(data_bytes(info)) + data_bytes(info);
  // A frame on another thread may have moved the base past this count.
  const uint64_t base = guard.bytes_at_frame_.load();
  if (bytes <= base || bytes - base <= guard.byte_limit_) return GST_PAD_PROBE_OK;
  GstObjectPtr<GstObject> parent(gst_pad_get_parent(pad));
  guard.trip(parent.get(),
             "The source sent more than " + std::to_string(guard.byte_limit_) +
                 " bytes without a frame",
             kRestartDetail);
  return refuse(info);
}

GstPadProbeReturn FlowGuard::on_caps(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
  FlowGuard& guard = **static_cast<GuardRef*>(data);
  if (!(GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM)) {
    return guard.tripped() ? refuse(info) : GST_PAD_PROBE_OK;
  }
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_CAPS) return GST_PAD_PROBE_OK;
  GstCaps* caps = nullptr;
  gst_event_parse_caps(event, &caps);
  for (guint i = 0; caps != nullptr && i < gst_caps_get_size(caps); ++i) {
    const GstStructure* s = gst_caps_get_structure(caps, i);
    gint width = 0;
    gint height = 0;
    if (!gst_structure_get_int(s, "width", &width) || !gst_structure_get_int(s, "height", &height) ||
        width <= 0 || height <= 0 ||
        uint64_t(width) * uint64_t(height) <= guard.max_frame_pixels_) {
      continue;
    }
    // Refused before the decoder sees the caps, and so before it allocates a single frame.
    GstObjectPtr<GstObject> parent(gst_pad_get_parent(pad));
    guard.trip(parent.get(), frame_too_large(width, height, guard.max_frame_pixels_),
               kRestartDetail);
    return GST_PAD_PROBE_DROP;
  }
  return GST_PAD_PROBE_OK;
}

void FlowGuard::on_frame() {
  bytes_at_frame_.store(bytes_.load());
  frames_.fetch_add(1);
}

void FlowGuard::set_control_socket(GSocket* socket) {
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket == socket_.get()) return;
    first = socket_generation_ == 0;
    socket_.reset(socket ? G_SOCKET(g_object_ref(socket)) : nullptr);
    ++socket_generation_;
  }
  if (first) SocketPoller::instance().add(weak_from_this());
}

void FlowGuard::poll() {
  std::lock_guard<std::mutex> poll_lock(poll_mutex_);
  GObjectPtr<GSocket> socket;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket_) socket.reset(G_SOCKET(g_object_ref(socket_.get())));
    generation = socket_generation_;
  }
  if (!socket || tripped()) return;
  const std::optional<uint64_t> received = bytes_received(socket.get());
  if (!received) return;
  const uint64_t frames = frames_.load();
  if (generation != polled_generation_) {
    polled_generation_ = generation;
    socket_bytes_at_frame_ = 0;  // a new connection: everything it received counts
    polled_frames_ = frames;
  }
  if (frames != polled_frames_) {
    polled_frames_ = frames;
    socket_bytes_at_frame_ = *received;
  }
  if (*received > socket_bytes_at_frame_ && *received - socket_bytes_at_frame_ > byte_limit_) {
    trip(nullptr,
         "The source sent more than " + std::to_string(byte_limit_) + " bytes without a frame",
         kRestartDetail);
  }
}

void FlowGuard::shutdown_sockets() {
  GObjectPtr<GSocket> socket;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket_) socket.reset(G_SOCKET(g_object_ref(socket_.get())));
  }
  if (socket && !g_socket_is_closed(socket.get())) {
    g_socket_shutdown(socket.get(), TRUE, TRUE, nullptr);
  }
}

void FlowGuard::trip(GstObject* source, const std::string& text, const std::string& detail) {
  bool expected = false;
  if (!tripped_.compare_exchange_strong(expected, true)) return;
  GstBusPtr bus;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bus = ref_object(bus_.get());
  }
  if (bus) {
    GError* error = g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, text.c_str());
    GstMessage* message = gst_message_new_error(source, error, detail.c_str());
    g_error_free(error);
    own_message_.store(message);
    gst_bus_post(bus.get(), message);
  }
  shutdown_sockets();
}

GObjectPtr<GSocket> FlowGuard::last_connected_socket() { return last_connected().get(); }

void FlowGuard::watch_socket_connections() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The class stays referenced for as long as the hook may run: for the life of the process.
    g_type_class_ref(G_TYPE_SOCKET_CLIENT);
    const guint signal = g_signal_lookup("event", G_TYPE_SOCKET_CLIENT);
    if (signal != 0) {
      g_signal_add_emission_hook(signal, 0, on_socket_client_event, nullptr, nullptr);
    }
  });
}

}  // namespace kelvo
