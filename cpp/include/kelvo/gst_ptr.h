// RAII owners for GStreamer and GLib handles.
//
// A function that returns a new reference returns one of these owners ("transfer full"); a
// function that returns a raw pointer lends it ("transfer none").
#ifndef KELVO_GST_PTR_H_
#define KELVO_GST_PTR_H_

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <memory>

namespace kelvo {

struct GstObjectUnref {
  void operator()(gpointer object) const { gst_object_unref(object); }
};
struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct GstMiniObjectUnref {
  void operator()(gpointer object) const { gst_mini_object_unref(GST_MINI_OBJECT_CAST(object)); }
};
struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
struct GMainLoopUnref {
  void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};
struct GMainContextUnref {
  void operator()(GMainContext* context) const { g_main_context_unref(context); }
};
struct GSourceUnref {
  void operator()(GSource* source) const { g_source_unref(source); }
};

// Owners of one reference to a GstObject subclass.
template <typename T>
using GstObjectPtr = std::unique_ptr<T, GstObjectUnref>;

using GstElementPtr = GstObjectPtr<GstElement>;
using GstPadPtr = GstObjectPtr<GstPad>;
using GstBusPtr = GstObjectPtr<GstBus>;
using GstPluginFeaturePtr = GstObjectPtr<GstPluginFeature>;

// Owners of one reference to a plain GObject (GSocket...).
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Owners of one reference to a GstMiniObject subclass.
using GstSamplePtr = std::unique_ptr<GstSample, GstMiniObjectUnref>;
using GstBufferPtr = std::unique_ptr<GstBuffer, GstMiniObjectUnref>;
using GstCapsPtr = std::unique_ptr<GstCaps, GstMiniObjectUnref>;
using GstMessagePtr = std::unique_ptr<GstMessage, GstMiniObjectUnref>;

using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
using GCharPtr = std::unique_ptr<gchar, GFree>;
using GMainLoopPtr = std::unique_ptr<GMainLoop, GMainLoopUnref>;
using GMainContextPtr = std::unique_ptr<GMainContext, GMainContextUnref>;
using GSourcePtr = std::unique_ptr<GSource, GSourceUnref>;

// Takes a new reference to a borrowed GstObject.
template <typename T>
GstObjectPtr<T> ref_object(T* object) {
  return GstObjectPtr<T>(object ? static_cast<T*>(gst_object_ref(object)) : nullptr);
}

}  // namespace kelvo

#endif  // KELVO_GST_PTR_H_
