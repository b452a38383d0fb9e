// Helpers shared by the parts of kelvo.stream_reader.gst.
#ifndef KELVO_BINDINGS_GST_COMMON_H_
#define KELVO_BINDINGS_GST_COMMON_H_

#include <pybind11/pybind11.h>

#include <functional>
#include <string>

#include "kelvo/status.h"

namespace kelvo::gst_module {

namespace py = pybind11;

// The seconds the module names `_STATE_CHANGE_TIMEOUT` and `_FRAME_TIMEOUT` (read at each use).
constexpr int kStateChangeTimeoutSeconds = 30;
constexpr int kFrameTimeoutSeconds = 120;

// Raises the type error of the argument checks: "Argument 'url' has incorrect type (expected
// str, got NoneType)".
[[noreturn]] void wrong_type(const char* argument, const char* expected, py::handle value);

// `value` as an int64 stream id; a TypeError naming `argument` for anything but an int.
int64_t to_id(py::handle value, const char* argument);

// `value` (an int or a float, or an object that converts to float, but no text) as seconds; a
// TypeError naming `argument` otherwise.
double to_seconds(py::handle value, const char* argument);

// A StreamStatus member; a ValueError for anything else (StreamStatus(5) included).
StreamStatus to_status(py::handle value);

// The module constant `name` (read now, so that a caller may change it), as seconds.
double module_seconds(const char* name);

// Waits, without the GIL, until `done()`; comes back for the GIL every 0.1 s so that the
// main thread sees signals (Ctrl-C) the way Python's own waits do.
void wait_interruptibly(const std::function<bool()>& done);

// The parts of the module.
void bind_engine(py::module_& m);
void bind_reader(py::module_& m);

}  // namespace kelvo::gst_module

#endif  // KELVO_BINDINGS_GST_COMMON_H_
