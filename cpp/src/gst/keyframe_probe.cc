// The keyframe-only buffer probe.
#include <gst/gst.h>

#include <stdexcept>

#include "kelvo/pipeline.h"

namespace kelvo {

namespace {

bool is_delta(GstBuffer* buffer) {
  return GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
}

gboolean drop_delta_unit(GstBuffer** buffer, guint /*index*/, gpointer /*data*/) {
  if (is_delta(*buffer)) {
    gst_buffer_unref(*buffer);
    *buffer = nullptr;  // removes it from the list
  }
  return TRUE;
}

// Passes keyframes, drops delta units; a buffer list keeps only its keyframes.
GstPadProbeReturn keyframes_only(GstPad* /*pad*/, GstPadProbeInfo* info, gpointer /*data*/) {
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
    return is_delta(GST_PAD_PROBE_INFO_BUFFER(info)) ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
  }
  if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
    const guint length = gst_buffer_list_length(list);
    guint deltas = 0;
    for (guint i = 0; i < length; ++i) deltas += is_delta(gst_buffer_list_get(list, i)) ? 1 : 0;
    if (deltas == 0) return GST_PAD_PROBE_OK;
    if (deltas == length) return GST_PAD_PROBE_DROP;
    list = gst_buffer_list_make_writable(list);
    gst_buffer_list_foreach(list, drop_delta_unit, nullptr);
    GST_PAD_PROBE_INFO_DATA(info) = list;
    return GST_PAD_PROBE_OK;
  }
  return GST_PAD_PROBE_OK;
}

GstPad* gst_pad_of(const BufferSrcPad& target) {
  if (!target.gst) throw std::invalid_argument("The keyframe probe needs a Gst.Pad");
  return target.gst.get();
}

class GstKeyframeProbe final : public KeyframeProbe {
 public:
  gulong add_keyframes_only_probe(const BufferSrcPad& target) override {
    GstPad* pad = gst_pad_of(target);
    return gst_pad_add_probe(
        pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        keyframes_only, nullptr, nullptr);
  }

  void remove_probe(const BufferSrcPad& target, gulong id) override {
    // gst_pad_remove_probe warns about ids the pad does not have; a probe that is already
    // gone is normal here (a pipeline's destructor removes the probe once more).
    GstPad* pad = gst_pad_of(target);
    if (id == 0) return;
    GST_OBJECT_LOCK(pad);
    const bool known = g_hook_get(&pad->probes, id) != nullptr;
    GST_OBJECT_UNLOCK(pad);
    if (known) gst_pad_remove_probe(pad, id);
  }
};

}  // namespace

KeyframeProbe& gst_keyframe_probe() {
  static KeyframeProbe* probe = new GstKeyframeProbe();
  return *probe;
}

}  // namespace kelvo
