// GStreamer objects as PyGObject's own Python objects (Gst.Sample, Gst.Pad, Gst.Message, ...),
// in both directions. Every function needs the GIL; `init()` first.
#ifndef KELVO_BINDINGS_HOST_GI_H_
#define KELVO_BINDINGS_HOST_GI_H_

#include <gst/gst.h>
#include <pybind11/pybind11.h>

namespace kelvo::gi {

namespace py = pybind11;

// Imports PyGObject, Gst and GstApp (quietly: PyGObject's importer draws an ImportWarning
// from newer Pythons). Idempotent.
void init();

// gi.repository.Gst.
py::object gst();

// A Python wrapper of a GObject (PyGObject takes its own reference); None for null.
py::object wrap_object(gpointer object);
// A Python wrapper of a mini object (Gst.Sample, Gst.Message) with its own reference.
py::object wrap_sample(GstSample* sample);
py::object wrap_message(GstMessage* message);
// A GLib.MainLoop for `loop`, with its own reference.
py::object wrap_main_loop(GMainLoop* loop);

// What a PyGObject wrapper holds (borrowed), or null when `value` is something else.
GstPad* pad_of(py::handle value);
GstSample* sample_of(py::handle value);
GstMessage* message_of(py::handle value);
GstBus* bus_of(py::handle value);
GObject* gobject_of(py::handle value);

// Gst.<type>(value): Gst.State, Gst.StateChangeReturn.
py::object gst_enum(const char* type, int value);

}  // namespace kelvo::gi

#endif  // KELVO_BINDINGS_HOST_GI_H_
