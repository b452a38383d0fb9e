// kelvortpreorder: the element around RtpReorderWindow. One sink pad, one source pad, both
// application/x-rtp; no thread, no clock wait. rtspsrc's RTP bin takes it in place of its jitter
// buffer (see rtsp_factory.cc); the bin sets its "latency" property.
#include "kelvo/rtp_reorder.h"

#include <mutex>
#include <vector>

#include "kelvo/gst_ptr.h"

GST_DEBUG_CATEGORY_STATIC(kelvo_rtp_reorder_debug);
#define GST_CAT_DEFAULT kelvo_rtp_reorder_debug

namespace kelvo {

namespace {

constexpr unsigned kDefaultLatencyMs = 200;
// Enough for 200 ms of a 40 Mbit/s stream in 1400-byte packets; one more gives up a gap early.
constexpr size_t kMaxHeld = 1024;

enum { PROP_0, PROP_LATENCY };

struct Reorder {
  GstElement parent;
  GstPad* sinkpad;
  GstPad* srcpad;
  // Not the GObject kind: made in instance_init, deleted in finalize.
  struct State {
    std::mutex mutex;  // the streaming thread against property and state changes
    RtpReorderWindow<GstBufferPtr> window{kDefaultLatencyMs * GST_MSECOND, kMaxHeld};
    // What goes on next: the streaming thread's alone (chain and serialized events hold the
    // stream lock), kept so that a packet costs no allocation.
    std::vector<GstBufferPtr> out;
  }* state;
};

struct ReorderClass {
  GstElementClass parent_class;
};

GstElementClass* parent_class = nullptr;

Reorder* self_of(gpointer object) { return static_cast<Reorder*>(object); }

GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("application/x-rtp"));
GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("application/x-rtp"));

// Pushes `buffers` in order; stops at the first flow that is not OK and returns it.
GstFlowReturn push_all(Reorder* self, std::vector<GstBufferPtr>* buffers) {
  GstFlowReturn flow = GST_FLOW_OK;
  for (GstBufferPtr& buffer : *buffers) {
    if (flow != GST_FLOW_OK) break;  // the rest are released by the vector
    flow = gst_pad_push(self->srcpad, buffer.release());
  }
  buffers->clear();
  return flow;
}

GstFlowReturn chain(GstPad* /*pad*/, GstObject* parent, GstBuffer* buffer) {
  Reorder* self = self_of(parent);
  guint8 header[4];
  if (gst_buffer_extract(buffer, 0, header, sizeof header) != sizeof header ||
      (header[0] >> 6) != 2) {
    // Not RTP: the session before this element lets none through; pass it on for the
    // depayloader to judge.
    return gst_pad_push(self->srcpad, buffer);
  }
  const uint16_t seq = static_cast<uint16_t>(header[2] << 8 | header[3]);
  std::vector<GstBufferPtr> dropped;
  {
    std::lock_guard<std::mutex> lock(self->state->mutex);
    self->state->window.push(seq, GstBufferPtr(buffer), g_get_monotonic_time() * 1000,
                             &self->state->out, &dropped);
  }
  if (!dropped.empty()) {
    GST_LOG_OBJECT(self, "dropped packet %u: late or a duplicate", seq);
  }
  return push_all(self, &self->state->out);
}

gboolean sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  Reorder* self = self_of(parent);
  std::vector<GstBufferPtr> dropped;
  if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) {
    std::lock_guard<std::mutex> lock(self->state->mutex);
    self->state->window.reset(&dropped);
  } else if (GST_EVENT_IS_SERIALIZED(event) && GST_EVENT_TYPE(event) != GST_EVENT_CAPS &&
             GST_EVENT_TYPE(event) != GST_EVENT_SEGMENT &&
             GST_EVENT_TYPE(event) != GST_EVENT_STREAM_START) {
    // End of stream, gaps and custom events stay behind the packets that came before them.
    {
      std::lock_guard<std::mutex> lock(self->state->mutex);
      self->state->window.flush(&self->state->out);
    }
    push_all(self, &self->state->out);
  }
  return gst_pad_event_default(pad, parent, event);
}

GstStateChangeReturn change_state(GstElement* element, GstStateChange transition) {
  GstStateChangeReturn result = parent_class->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    Reorder* self = self_of(element);
    std::vector<GstBufferPtr> dropped;
    std::lock_guard<std::mutex> lock(self->state->mutex);
    self->state->window.reset(&dropped);
  }
  return result;
}

void set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  Reorder* self = self_of(object);
  if (id != PROP_LATENCY) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    return;
  }
  std::lock_guard<std::mutex> lock(self->state->mutex);
  self->state->window.set_hold_ns(uint64_t{g_value_get_uint(value)} * GST_MSECOND);
}

void get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  Reorder* self = self_of(object);
  if (id != PROP_LATENCY) {
    G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    return;
  }
  std::lock_guard<std::mutex> lock(self->state->mutex);
  g_value_set_uint(value, static_cast<guint>(self->state->window.hold_ns() / GST_MSECOND));
}

void finalize(GObject* object) {
  delete self_of(object)->state;
  G_OBJECT_CLASS(parent_class)->finalize(object);
}

void class_init(gpointer klass, gpointer /*data*/) {
  parent_class = GST_ELEMENT_CLASS(g_type_class_peek_parent(klass));
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  object_class->set_property = set_property;
  object_class->get_property = get_property;
  object_class->finalize = finalize;
  g_object_class_install_property(
      object_class, PROP_LATENCY,
      g_param_spec_uint("latency", "Latency",
                        "Most milliseconds the packets behind a missing one wait for it", 0,
                        G_MAXUINT, kDefaultLatencyMs,
                        GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  element_class->change_state = change_state;
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(
      element_class, "RTP reorder", "Filter/Network/RTP",
      "Puts RTP packets in sequence order on the receiving thread, without pacing", "kelvo");
}

void instance_init(GTypeInstance* instance, gpointer /*klass*/) {
  Reorder* self = self_of(instance);
  self->state = new Reorder::State();
  self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_chain_function(self->sinkpad, chain);
  gst_pad_set_event_function(self->sinkpad, sink_event);
  GST_PAD_SET_PROXY_CAPS(self->sinkpad);
  GST_PAD_SET_PROXY_ALLOCATION(self->sinkpad);
  gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);
  self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
  GST_PAD_SET_PROXY_CAPS(self->srcpad);
  GST_PAD_SET_PROXY_ALLOCATION(self->srcpad);
  gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
}

GType register_type() {
  GST_DEBUG_CATEGORY_INIT(kelvo_rtp_reorder_debug, kRtpReorderFactory, 0,
                          "RTP packets in order without a jitter buffer");
  const GType type = g_type_register_static_simple(
      GST_TYPE_ELEMENT, "KelvoRtpReorder", sizeof(ReorderClass), class_init, sizeof(Reorder),
      instance_init, GTypeFlags(0));
  gst_element_register(nullptr, kRtpReorderFactory, GST_RANK_NONE, type);
  return type;
}

GType rtp_reorder_type() {
  static const GType type = register_type();
  return type;
}

}  // namespace

void register_rtp_reorder() { rtp_reorder_type(); }

GstElement* make_rtp_reorder(unsigned latency_ms) {
  return GST_ELEMENT(g_object_new(rtp_reorder_type(), "latency", latency_ms, nullptr));
}

}  // namespace kelvo
