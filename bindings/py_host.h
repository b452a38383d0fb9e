// The Python side of the core's host seam, shared by every extension module.
//
// Background threads touch Python only through the classes here. Each of them enters Python
// through `PythonCall`, which refuses once the interpreter has begun to exit: an atexit hook
// marks Python as gone and waits until every call already inside has left, so that no thread
// of ours is ever caught inside Python by finalization (which ends such threads in the middle
// of C++ code).
#ifndef KELVO_BINDINGS_PY_HOST_H_
#define KELVO_BINDINGS_PY_HOST_H_

#include <pybind11/pybind11.h>

#include <exception>
#include <memory>
#include <string>

#include "kelvo/frame.h"
#include "kelvo/host.h"

namespace kelvo::py_host {

namespace py = pybind11;

// Installs the atexit hook and the exception translators of the core's error types. Called
// once from each module's init function.
void init_module(py::module_& m);

// A permit to take the GIL from a thread of our own. `ok()` is false once the interpreter exits;
// the caller must then not touch Python at all.
class PythonCall {
 public:
  PythonCall();
  ~PythonCall();
  PythonCall(const PythonCall&) = delete;
  PythonCall& operator=(const PythonCall&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

// True once the interpreter has begun to exit.
bool python_gone();

// A strong reference to a Python object that may be dropped on any thread: the reference is
// released under the GIL, or leaked when Python is already gone.
class SharedPyObject {
 public:
  explicit SharedPyObject(py::object object);  // with the GIL
  ~SharedPyObject();
  SharedPyObject(const SharedPyObject&) = delete;
  SharedPyObject& operator=(const SharedPyObject&) = delete;
  // Borrowed; use with the GIL.
  py::handle get() const { return handle_; }

 private:
  py::handle handle_;
};

// A Logger on a Python `logging.Logger`-like object (methods info, warning, error). Texts that
// are not valid UTF-8 are written with backslash escapes.
class PyLogger final : public Logger {
 public:
  explicit PyLogger(py::object logger);  // with the GIL

  void log(LogLevel level, const std::string& text) override;
  void log_exception(const std::string& text, std::exception_ptr error) override;

  py::object object() const;  // with the GIL

 private:
  std::shared_ptr<SharedPyObject> logger_;
};

// Starts threads as Python `threading.Thread`s (daemon, named), so that the host lists them
// and reports an error that ends one through `threading.excepthook`. The bodies run without
// the GIL.
class PyThreadLauncher final : public ThreadLauncher {
 public:
  std::unique_ptr<Thread> start(const std::string& name, std::function<void()> body) override;
};

PyThreadLauncher& thread_launcher();

// Converts a core text to a Python str, escaping bytes that are not UTF-8.
py::str to_py_str(const std::string& text);

// The Python exception object for a core error (the translated type, message unchanged).
py::object to_py_exception(std::exception_ptr error);

// The frame as a numpy array (H×W×C, or H×W for one channel) over the frame's own memory, kept
// alive by the array's base; one copy when the memory is not exclusively ours, so that the host
// may write into what it gets. With the GIL.
py::object frame_to_ndarray(const std::shared_ptr<Frame>& frame);

}  // namespace kelvo::py_host

#endif  // KELVO_BINDINGS_PY_HOST_H_
