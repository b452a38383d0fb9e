#include "py_host.h"

#include <pybind11/numpy.h>

#include <cxxabi.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "kelvo/errors.h"

namespace kelvo::py_host {

namespace {

// Calls inside Python from our threads, and whether Python has begun to exit.
struct PythonGate {
  std::mutex mutex;
  std::condition_variable cond;
  int inside = 0;     // with mutex
  bool gone = false;  // with mutex
};

PythonGate& gate() {
  static PythonGate* g = new PythonGate();  // leaked: used until the process ends
  return *g;
}

// Registered with atexit: from now on no thread of ours enters Python; wait for those inside.
void on_python_exit() {
  PythonGate& g = gate();
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    g.gone = true;
  }
  py::gil_scoped_release release;
  std::unique_lock<std::mutex> lock(g.mutex);
  g.cond.wait(lock, [&] { return g.inside == 0; });
}

// A Python exception type, imported once and kept for the life of the process.
py::handle python_type(const char* module, const char* name) {
  return py::object(py::module_::import(module).attr(name)).release();
}

py::handle stream_setup_error_type() {
  static py::handle type = python_type("kelvo.errors", "StreamSetupError");
  return type;
}

py::handle sample_conversion_error_type() {
  static py::handle type = python_type("kelvo.errors", "SampleConversionError");
  return type;
}

// The Python type and message for a core error; false for errors of other kinds.
bool classify(std::exception_ptr error, py::handle* type, std::string* message) {
  try {
    std::rethrow_exception(error);
  } catch (const StreamSetupError& e) {
    *type = stream_setup_error_type();
    *message = e.what();
  } catch (const SampleConversionError& e) {
    *type = sample_conversion_error_type();
    *message = e.what();
  } catch (const ArgumentTypeError& e) {
    *type = PyExc_TypeError;
    *message = e.what();
  } catch (const std::invalid_argument& e) {
    *type = PyExc_ValueError;
    *message = e.what();
  } catch (const std::exception& e) {
    *type = PyExc_RuntimeError;
    *message = e.what();
  } catch (...) {
    return false;
  }
  return true;
}

// Completion of a thread body, shared by the thread and its handle.
struct Completion {
  std::mutex mutex;
  std::condition_variable cond;
  bool done = false;  // with mutex

  void finish() {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    cond.notify_all();
  }
};

class PyThread final : public Thread {
 public:
  PyThread(py::object thread, std::shared_ptr<Completion> completion)
      : thread_(std::make_shared<SharedPyObject>(std::move(thread))),
        completion_(std::move(completion)) {}

  // Waits for the body without the GIL, then lets Python finish the thread's own bookkeeping,
  // so that threading.enumerate() no longer lists it once join returns.
  void join() override {
    {
      std::unique_lock<std::mutex> lock(completion_->mutex);
      completion_->cond.wait(lock, [this] { return completion_->done; });
    }
    PythonCall call;
    if (!call.ok()) return;
    py::gil_scoped_acquire gil;
    thread_->get().attr("join")();
  }

  bool finished() const override {
    std::lock_guard<std::mutex> lock(completion_->mutex);
    return completion_->done;
  }

 private:
  std::shared_ptr<SharedPyObject> thread_;
  std::shared_ptr<Completion> completion_;
};

// Runs a thread body with the GIL released. The GIL is given back in plain code, never in a
// destructor: should Python be exiting, taking it would end the thread, and a thread must not
// end inside a destructor.
void run_without_gil(const std::function<void()>& body, Completion& completion) {
  PyThreadState* state = PyEval_SaveThread();
  std::exception_ptr error;
  try {
    body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    error = std::current_exception();
  }
  completion.finish();
  PythonGate& g = gate();
  {
    std::unique_lock<std::mutex> lock(g.mutex);
    if (g.gone) {
      // The interpreter is exiting and will not let this thread back in: stay out for good.
      lock.unlock();
      for (;;) pause();
    }
    ++g.inside;
  }
  PyEval_RestoreThread(state);
  {
    std::lock_guard<std::mutex> lock(g.mutex);
    --g.inside;
    g.cond.notify_all();
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace

void init_module(py::module_& m) {
  py::module_::import("atexit").attr("register")(py::cpp_function(&on_python_exit));
  py::register_local_exception_translator([](std::exception_ptr error) {
    py::handle type;
    std::string message;
    try {
      std::rethrow_exception(error);
    } catch (const py::error_already_set&) {
      throw;
    } catch (const py::builtin_exception&) {
      throw;
    } catch (...) {
    }
    if (!classify(error, &type, &message)) std::rethrow_exception(error);
    PyErr_SetString(type.ptr(), message.c_str());
  });
  (void)m;
}

PythonCall::PythonCall() {
  PythonGate& g = gate();
  std::lock_guard<std::mutex> lock(g.mutex);
  ok_ = !g.gone;
  if (ok_) ++g.inside;
}

PythonCall::~PythonCall() {
  if (!ok_) return;
  PythonGate& g = gate();
  std::lock_guard<std::mutex> lock(g.mutex);
  --g.inside;
  g.cond.notify_all();
}

bool python_gone() {
  PythonGate& g = gate();
  std::lock_guard<std::mutex> lock(g.mutex);
  return g.gone;
}

SharedPyObject::SharedPyObject(py::object object) : handle_(object.release()) {}

SharedPyObject::~SharedPyObject() {
  PythonCall call;
  if (!call.ok()) return;  // leaked: Python is exiting
  if (PyGILState_Check()) {
    handle_.dec_ref();
    return;
  }
  py::gil_scoped_acquire gil;
  handle_.dec_ref();
}

PyLogger::PyLogger(py::object logger)
    : logger_(std::make_shared<SharedPyObject>(std::move(logger))) {}

py::object PyLogger::object() const { return py::reinterpret_borrow<py::object>(logger_->get()); }

void PyLogger::log(LogLevel level, const std::string& text) {
  PythonCall call;
  if (!call.ok()) return;
  py::gil_scoped_acquire gil;
  const char* method = level == LogLevel::kInfo      ? "info"
                       : level == LogLevel::kWarning ? "warning"
                                                     : "error";
  logger_->get().attr(method)(to_py_str(text));
}

void PyLogger::log_exception(const std::string& text, std::exception_ptr error) {
  PythonCall call;
  if (!call.ok()) return;
  py::gil_scoped_acquire gil;
  py::object exception = to_py_exception(error);
  py::tuple exc_info = py::make_tuple(py::type::of(exception), exception, py::none());
  logger_->get().attr("error")(to_py_str(text), py::arg("exc_info") = exc_info);
}

std::unique_ptr<Thread> PyThreadLauncher::start(const std::string& name,
                                                std::function<void()> body) {
  PythonCall call;
  if (!call.ok()) throw std::runtime_error("Python is exiting: no thread can be started");
  py::gil_scoped_acquire gil;
  auto completion = std::make_shared<Completion>();
  py::cpp_function target([body = std::move(body), completion] {
    run_without_gil(body, *completion);
  });
  py::object thread = py::module_::import("threading")
                          .attr("Thread")(py::arg("target") = target, py::arg("name") = name,
                                          py::arg("daemon") = true);
  thread.attr("start")();
  return std::make_unique<PyThread>(std::move(thread), std::move(completion));
}

PyThreadLauncher& thread_launcher() {
  static PyThreadLauncher* launcher = new PyThreadLauncher();
  return *launcher;
}

py::str to_py_str(const std::string& text) {
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                       "backslashreplace");
  if (str == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(str);
}

py::object to_py_exception(std::exception_ptr error) {
  py::handle type;
  std::string message;
  if (!classify(error, &type, &message)) {
    type = PyExc_RuntimeError;
    message = describe_exception(error);
  }
  return type(to_py_str(message));
}

py::object frame_to_ndarray(const std::shared_ptr<Frame>& frame) {
  std::vector<py::ssize_t> shape = {frame->height, frame->width};
  std::vector<py::ssize_t> strides = {frame->stride, frame->channels};
  if (frame->channels > 1) {
    shape.push_back(frame->channels);
    strides.push_back(1);
  }
  if (!frame->writable) {
    py::array_t<uint8_t> copy(shape);
    const size_t row = static_cast<size_t>(frame->width) * frame->channels;
    for (int r = 0; r < frame->height; ++r) {
      std::memcpy(copy.mutable_data(r), frame->data + r * frame->stride, row);
    }
    return std::move(copy);
  }
  py::capsule owner(new std::shared_ptr<Frame>(frame),
                    [](void* p) { delete static_cast<std::shared_ptr<Frame>*>(p); });
  return py::array(py::dtype::of<uint8_t>(), shape, strides, frame->data, owner);
}

}  // namespace kelvo::py_host
