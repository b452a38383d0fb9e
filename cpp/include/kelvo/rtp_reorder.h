// RTP packets back in sequence order, on the thread that receives them.
//
// rtspsrc's RTP bin puts a jitter buffer behind every stream: a queue with a streaming task and a
// timer thread of its own, that hands every packet from the socket's thread to its task and
// paces the output by the packets' timestamps. A reader that shows the newest frame needs none
// of the pacing; what it needs is the order. `kelvortpreorder` keeps that part: a packet in
// sequence goes on at once, on the thread that brought it; the packets behind a gap wait for the
// missing one at most `latency` milliseconds (measured when later packets arrive; no timer) and
// then go on without it, as the depayloader expects of a lost packet. Two threads fewer per
// stream, and no hand-over per packet.
#ifndef KELVO_RTP_REORDER_H_
#define KELVO_RTP_REORDER_H_

#include <gst/gst.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace kelvo {

// The element's factory name, usable in pipeline descriptions once registered.
inline constexpr char kRtpReorderFactory[] = "kelvortpreorder";

// Registers the element (rank none: never plugged automatically). Idempotent; the first RTSP
// pipeline does it. Not done when the runtime starts: a process that only reads custom
// pipelines then keeps GStreamer's registry as it was, and a child it forks hung more often
// at exit (in GLib's slice allocator) when it was done there.
void register_rtp_reorder();

// A new, floating `kelvortpreorder` with `latency` milliseconds of waiting for a missing packet
// (registers the element first).
GstElement* make_rtp_reorder(unsigned latency_ms);

// The ordering itself, free of GStreamer so that it can be tested with any packet type. Not
// thread-safe: one streaming thread feeds it.
template <typename Packet>
class RtpReorderWindow {
 public:
  // A packet older than this many sequence numbers behind the next expected one, or further
  // ahead than kMaxDropout, means the sender started a new sequence (a server restarting its
  // stream): the window starts over at it instead of dropping or holding the new stream.
  static constexpr int kMaxMisorder = 100;
  static constexpr int kMaxDropout = 3000;

  // `hold_ns`: how long the packets behind a gap wait for the missing one (0: not at all, the
  // gap is given up at once).
  // `max_held`: most packets kept while waiting; one more gives up the oldest gap.
  RtpReorderWindow(uint64_t hold_ns, size_t max_held) : hold_ns_(hold_ns), max_held_(max_held) {}

  void set_hold_ns(uint64_t hold_ns) { hold_ns_ = hold_ns; }
  uint64_t hold_ns() const { return hold_ns_; }

  // Takes the packet numbered `seq` that arrived at `now_ns` (any monotonic clock). Appends to
  // `out`, in sequence order, every packet that can go on now; a duplicate or a packet that comes
  // after its place was given up goes to `dropped`.
  void push(uint16_t seq, Packet packet, uint64_t now_ns, std::vector<Packet>* out,
            std::vector<Packet>* dropped) {
    if (!started_) {
      started_ = true;
      next_ = seq;
    }
    const int distance = static_cast<int16_t>(static_cast<uint16_t>(seq - next_));
    if (distance < -kMaxMisorder || distance > kMaxDropout) {
      flush(out);  // a new sequence: what was held belongs to the old one and goes first
      started_ = true;
      next_ = seq;
    } else if (distance < 0) {
      dropped->push_back(std::move(packet));
      return;
    }
    if (seq == next_) {
      out->push_back(std::move(packet));
      ++next_;
      drain(out);
    } else if (!hold(seq, std::move(packet), now_ns, dropped)) {
      return;
    }
    while (!held_.empty() && (held_.size() > max_held_ || now_ns - oldest_ns_ >= hold_ns_)) {
      next_ = held_.front().seq;  // give up the gap before the oldest packet held
      drain(out);
    }
  }

  // Everything held, in order (end of stream): the gaps are given up.
  void flush(std::vector<Packet>* out) {
    for (Held& h : held_) out->push_back(std::move(h.packet));
    if (!held_.empty()) next_ = static_cast<uint16_t>(held_.back().seq + 1);
    held_.clear();
  }

  // Forgets the sequence (after a flush or a stop); what was held goes to `dropped`.
  void reset(std::vector<Packet>* dropped) {
    for (Held& h : held_) dropped->push_back(std::move(h.packet));
    held_.clear();
    started_ = false;
  }

  size_t held() const { return held_.size(); }

 private:
  struct Held {
    uint16_t seq;
    uint64_t arrived_ns;
    Packet packet;
  };

  int ahead(uint16_t seq) const { return static_cast<uint16_t>(seq - next_); }

  // Keeps `packet` in order behind the gap; false when it is a duplicate of one held.
  bool hold(uint16_t seq, Packet packet, uint64_t now_ns, std::vector<Packet>* dropped) {
    auto it = held_.end();
    while (it != held_.begin() && ahead(std::prev(it)->seq) > ahead(seq)) --it;
    if (it != held_.begin() && std::prev(it)->seq == seq) {
      dropped->push_back(std::move(packet));
      return false;
    }
    if (held_.empty()) oldest_ns_ = now_ns;
    held_.insert(it, Held{seq, now_ns, std::move(packet)});
    return true;
  }

  // Moves the held packets that follow `next_` without a gap to `out`.
  void drain(std::vector<Packet>* out) {
    bool moved = false;
    while (!held_.empty() && held_.front().seq == next_) {
      out->push_back(std::move(held_.front().packet));
      held_.pop_front();
      ++next_;
      moved = true;
    }
    if (moved && !held_.empty()) {
      oldest_ns_ = held_.front().arrived_ns;
      for (const Held& h : held_) oldest_ns_ = std::min(oldest_ns_, h.arrived_ns);
    }
  }

  uint64_t hold_ns_;
  size_t max_held_;
  bool started_ = false;
  uint16_t next_ = 0;         // the sequence number that goes on next
  std::deque<Held> held_;     // ahead of next_, in sequence order, no duplicates
  uint64_t oldest_ns_ = 0;    // the earliest arrival among held_
};

}  // namespace kelvo

#endif  // KELVO_RTP_REORDER_H_
