#include "gi.h"

#include <pygobject.h>

namespace kelvo::gi {

namespace {

py::handle gst_module;  // gi.repository.Gst, kept for the life of the process

gpointer boxed_of(py::handle value, GType type) {
  if (value.ptr() == nullptr || !PyObject_TypeCheck(value.ptr(), &PyGBoxed_Type)) return nullptr;
  if (reinterpret_cast<PyGBoxed*>(value.ptr())->gtype != type) return nullptr;
  return pyg_boxed_get_ptr(value.ptr());
}

gpointer object_of(py::handle value, GType type) {
  if (value.ptr() == nullptr || !PyObject_TypeCheck(value.ptr(), &PyGObject_Type)) return nullptr;
  GObject* object = pygobject_get(value.ptr());
  if (object == nullptr || !G_TYPE_CHECK_INSTANCE_TYPE(object, type)) return nullptr;
  return object;
}

py::object wrap_boxed(GType type, gpointer object) {
  if (object == nullptr) return py::none();
  PyObject* wrapped = pyg_boxed_new(type, object, TRUE, TRUE);
  if (wrapped == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(wrapped);
}

}  // namespace

void init() {
  if (gst_module) return;
  if (pygobject_init(3, 0, 0) == nullptr) throw py::error_already_set();
  py::object warnings = py::module_::import("warnings");
  py::object quiet = warnings.attr("catch_warnings")();
  quiet.attr("__enter__")();
  try {
    warnings.attr("simplefilter")("ignore", py::handle(PyExc_ImportWarning));
    py::object gi = py::module_::import("gi");
    gi.attr("require_version")("Gst", "1.0");
    gi.attr("require_version")("GstApp", "1.0");
    gi.attr("require_version")("GLib", "2.0");
    py::module_::import("gi.repository.GLib");
    py::object gst = py::module_::import("gi.repository.Gst");
    // The appsink then comes out as a GstApp.AppSink, with try_pull_sample and the rest.
    py::module_::import("gi.repository.GstApp");
    gst_module = gst.release();
  } catch (...) {
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
  quiet.attr("__exit__")(py::none(), py::none(), py::none());
}

py::object gst() {
  init();
  return py::reinterpret_borrow<py::object>(gst_module);
}

py::object wrap_object(gpointer object) {
  if (object == nullptr) return py::none();
  return py::reinterpret_steal<py::object>(pygobject_new(G_OBJECT(object)));
}

py::object wrap_sample(GstSample* sample) { return wrap_boxed(GST_TYPE_SAMPLE, sample); }

py::object wrap_message(GstMessage* message) { return wrap_boxed(GST_TYPE_MESSAGE, message); }

py::object wrap_main_loop(GMainLoop* loop) { return wrap_boxed(G_TYPE_MAIN_LOOP, loop); }

GstPad* pad_of(py::handle value) { return static_cast<GstPad*>(object_of(value, GST_TYPE_PAD)); }

GstSample* sample_of(py::handle value) {
  return static_cast<GstSample*>(boxed_of(value, GST_TYPE_SAMPLE));
}

GstMessage* message_of(py::handle value) {
  return static_cast<GstMessage*>(boxed_of(value, GST_TYPE_MESSAGE));
}

GstBus* bus_of(py::handle value) { return static_cast<GstBus*>(object_of(value, GST_TYPE_BUS)); }

GObject* gobject_of(py::handle value) {
  return static_cast<GObject*>(object_of(value, G_TYPE_OBJECT));
}

py::object gst_enum(const char* type, int value) { return gst().attr(type)(value); }

}  // namespace kelvo::gi
