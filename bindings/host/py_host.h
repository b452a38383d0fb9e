// The Python side of the core's host seam: one shared library (libkelvo_python) that every
// extension module of kelvo links, so that what must exist once per process does.
//
// The GIL rule, enforced here and in every binding:
//   1. No thread waits for a core lock or a core thread while it holds the GIL. Every binding
//      that may wait releases the GIL first (`py::gil_scoped_release`, or `without_gil`).
//   2. A core thread takes the GIL only for one call into Python (a log line, a collaborator
//      the caller replaced), through `PythonCall`, and lines logged under a core lock are
//      written after the lock is released (kelvo::DeferLogs).
// Together they make a freeze impossible: whoever holds the GIL never waits for a core lock,
// so a core thread that waits for the GIL always gets it.
//
// Background threads enter Python only through `PythonCall`, which refuses once the
// interpreter has begun to exit: an atexit hook marks Python as gone and waits until every call
// already inside has left, so that no thread of ours is ever caught inside Python by
// finalization (which ends such threads in the middle of C++ code). In the child of a fork()
// the calls that were inside in the parent are forgotten.
#ifndef KELVO_BINDINGS_HOST_PY_HOST_H_
#define KELVO_BINDINGS_HOST_PY_HOST_H_

#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "kelvo/frame.h"
#include "kelvo/host.h"

namespace kelvo::py_host {

namespace py = pybind11;

// Installs the atexit hook, once per process.
void install_exit_hook();

// Sets the Python error for a core error; false when the error is of no kind we translate.
bool set_python_error(std::exception_ptr error);

// Called from each module's init function: the exit hook, and the translator of the core's
// error types. Inline, so that the translator lands in the calling module's own pybind11
// context (each module has its own list of local translators).
inline void init_module(py::module_& /*m*/) {
  install_exit_hook();
  py::register_local_exception_translator([](std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const py::error_already_set&) {
      throw;
    } catch (const py::builtin_exception&) {
      throw;
    } catch (...) {
    }
    if (!set_python_error(error)) std::rethrow_exception(error);
  });
}

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
  py::object object() const { return py::reinterpret_borrow<py::object>(handle_); }

 private:
  py::handle handle_;
};

// `object` as the void-typed host handle that the core carries around (PulledSample::host,
// Frame::host_image, BufferSrcPad::host); with the GIL.
std::shared_ptr<void> to_host(py::object object);
// The Python object behind such a handle (null handle: None); with the GIL.
py::object from_host(const std::shared_ptr<void>& host);

// A Python error caught on one of our threads or in a call into a collaborator, carried through
// the core as a C++ exception. Translated back into the very same Python exception object
// (traceback included) when it reaches Python again, and attached as such to log lines.
class PythonError : public std::runtime_error {
 public:
  // Takes the error from a caught error_already_set; with the GIL.
  explicit PythonError(py::error_already_set& error);
  // The exception object; with the GIL.
  py::object value() const { return value_->object(); }
  // True when the exception is an instance of `type`; with the GIL.
  bool is_instance(py::handle type) const;

 private:
  std::shared_ptr<SharedPyObject> value_;
};

// Runs `call` (which talks to Python) with the GIL, from a thread of ours that does not hold it.
// A Python error comes out as PythonError. Throws std::runtime_error when Python is gone.
void with_gil(const std::function<void()>& call);

// Releases the GIL around `body` with the GIL given back in plain code, not in a destructor:
// should Python exit meanwhile, taking the GIL back may end this thread, and a thread must not
// end inside a destructor.
template <typename F>
auto without_gil(F&& body) -> decltype(body());

// A Logger on a Python `logging.Logger`-like object. Every call passes one text and nothing
// else: `info(text)`, `warning(text)`, `error(text)`, and `exception(text)` while the error is
// the one being handled in Python (so a standard logger records its traceback; a logger
// without `exception` gets `error(text)`). A logger that raises does not stop the caller: its
// error is reported the way Python reports errors nobody can catch. Texts that are not valid
// UTF-8 are written with backslash escapes.
class PyLogger final : public Logger {
 public:
  explicit PyLogger(py::object logger);  // with the GIL

  void log(LogLevel level, const std::string& text) override;
  void log_exception(const std::string& text, std::exception_ptr error) override;

  py::object object() const;  // with the GIL

 private:
  std::shared_ptr<SharedPyObject> logger_;
};

// The Python logger object behind a core logger made by PyLogger; None otherwise.
py::object logger_object(const std::shared_ptr<Logger>& logger);

// Starts threads as Python `threading.Thread`s (daemon, named), so that the host lists them
// and reports an error that ends one through `threading.excepthook`. The bodies run without
// the GIL.
class PyThreadLauncher final : public ThreadLauncher {
 public:
  std::unique_ptr<Thread> start(const std::string& name, std::function<void()> body) override;
};

PyThreadLauncher& thread_launcher();

// The threading.Thread of a thread that PyThreadLauncher started; None for any other.
py::object thread_object(const Thread* thread);

// Converts a core text to a Python str, escaping bytes that are not UTF-8.
py::str to_py_str(const std::string& text);

// The Python exception object for a core error (the translated type, message unchanged; the
// original object for a PythonError). With the GIL.
py::object to_py_exception(std::exception_ptr error);

// The frame as Python sees it: the host's own image when the host's converter made it, else a
// numpy array (H×W×C, or H×W for one channel) over the frame's own memory, kept alive by the
// array's base; one copy when the memory is not exclusively ours, so that the host may write
// into what it gets. With the GIL.
py::object frame_to_python(const std::shared_ptr<Frame>& frame);

// A Frame that publishes `image` (the result of a host converter) as it is; with the GIL.
// Width, height and channels come from the image's shape when it has one.
std::shared_ptr<Frame> frame_from_python(py::object image);

// ---- templates -------------------------------------------------------------------------------

template <typename F>
auto without_gil(F&& body) -> decltype(body()) {
  using Result = decltype(body());
  if constexpr (std::is_void_v<Result>) {
    without_gil([&body] {
      body();
      return true;
    });
  } else {
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr error;
    std::optional<Result> result;
    try {
      result.emplace(body());
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
}

}  // namespace kelvo::py_host

#endif  // KELVO_BINDINGS_HOST_PY_HOST_H_
