// kelvo.stream_reader.gst: the GStreamer stream reader.
#include <pybind11/pybind11.h>

#include "py_host.h"

namespace py = pybind11;

PYBIND11_MODULE(gst, m) {
  m.doc() = "The GStreamer stream reader.";
  kelvo::py_host::init_module(m);
}
