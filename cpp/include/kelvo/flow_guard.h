// FlowGuard: keeps a misbehaving network source from making a built-in pipeline grow without
// bound.
//
// A camera, or whatever answers in its place, may send data that never becomes a frame: a
// multipart part without a boundary, an RTSP response that claims two gigabytes, a header that
// claims a frame of 16000×16000 pixels. GStreamer keeps all of it, waiting for the frame to be
// complete. The guard counts the bytes that enter the pipeline (on the source's pads, and for
// RTSP on the socket that carries requests and responses) against the frames that reach the
// appsink; after more than byte_limit() bytes without a frame, or on caps that announce a
// frame of more than max_frame_pixels(), it posts an ERROR on the pipeline's bus (the reader
// restarts the pipeline, as on any pipeline error) and stops the source: the guarded pads then
// return FLUSHING, which pauses the source's task without an error of its own, and the socket
// is shut down. Errors and end of stream that the pipeline posts after that are only
// consequences: the wrapper drops them, so that the guard's reason stays the last error.
//
// The socket of an RTSP source is also what a source blocks on while it reads a response that
// never ends, which no GStreamer flush interrupts; shutdown_sockets() ends such a read, so that
// the pipeline can stop.
//
// This class is thread-safe: the probes run on streaming threads, poll() on the socket poller's
// thread (one per process, started with the first guard that gets a socket), the rest anywhere.
#ifndef KELVO_FLOW_GUARD_H_
#define KELVO_FLOW_GUARD_H_

#include <gio/gio.h>
#include <gst/gst.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "kelvo/gst_ptr.h"

namespace kelvo {

// The byte bound in BGR frames of the largest size: a source may send this many largest frames'
// worth of bytes before its first frame, or between two frames.
inline constexpr uint64_t kFlowLimitFrames = 2;

// How often the socket poller runs poll(), in milliseconds.
inline constexpr guint kFlowPollMilliseconds = 200;

class FlowGuard : public std::enable_shared_from_this<FlowGuard> {
 public:
  explicit FlowGuard(uint64_t max_frame_pixels);
  ~FlowGuard();
  FlowGuard(const FlowGuard&) = delete;
  FlowGuard& operator=(const FlowGuard&) = delete;

  uint64_t max_frame_pixels() const { return max_frame_pixels_; }
  uint64_t byte_limit() const { return byte_limit_; }

  // The bus the guard posts its error on; set once by the pipeline wrapper.
  void attach(GstBus* bus);

  // Counts every buffer that leaves `pad`, a pad of the source.
  void count_bytes(GstPad* pad);
  // Refuses caps on `pad` that announce a frame larger than the limit.
  void check_frame_size(GstPad* pad);
  // A frame reached the appsink: the byte count starts again.
  void on_frame();

  // The socket that carries an RTSP source's requests and responses. The guard holds it until
  // it is replaced or the guard goes; from the first socket on, the socket poller calls poll().
  void set_control_socket(GSocket* socket);
  // Checks what the control socket received since the last frame.
  void poll();
  // Shuts the control socket down: a source blocked on it returns at once.
  void shutdown_sockets();

  bool tripped() const { return tripped_.load(); }
  // Whether `message` is the error the guard posted.
  bool is_own_message(const GstMessage* message) const { return message == own_message_.load(); }

  // The socket most recently connected by a GSocketClient on the calling thread, or null. RTSP
  // sources connect and then send their first request on one thread, so a handler of that
  // request finds the source's socket here. The hook that records it is installed by the
  // first call of watch_socket_connections().
  static GObjectPtr<GSocket> last_connected_socket();
  static void watch_socket_connections();

 private:
  // Posts the error (once) and stops the source.
  void trip(GstObject* source, const std::string& text, const std::string& detail);

  static GstPadProbeReturn on_bytes(GstPad* pad, GstPadProbeInfo* info, gpointer data);
  static GstPadProbeReturn on_caps(GstPad* pad, GstPadProbeInfo* info, gpointer data);
  void add_probe(GstPad* pad, GstPadProbeType type, GstPadProbeCallback callback);

  const uint64_t max_frame_pixels_;
  const uint64_t byte_limit_;
  std::atomic<uint64_t> bytes_{0};           // through the counted pads
  std::atomic<uint64_t> bytes_at_frame_{0};  // bytes_ at the last frame
  std::atomic<uint64_t> frames_{0};
  std::atomic<bool> tripped_{false};
  std::atomic<const GstMessage*> own_message_{nullptr};

  std::mutex mutex_;
  GstBusPtr bus_;                       // with mutex_
  GObjectPtr<GSocket> socket_;          // with mutex_
  uint64_t socket_generation_ = 0;      // with mutex_: grows with every new socket_
  std::mutex poll_mutex_;               // taken before mutex_
  uint64_t polled_generation_ = 0;      // with poll_mutex_: the socket of socket_bytes_at_frame_
  uint64_t socket_bytes_at_frame_ = 0;  // with poll_mutex_
  uint64_t polled_frames_ = 0;          // with poll_mutex_
};

}  // namespace kelvo

#endif  // KELVO_FLOW_GUARD_H_
