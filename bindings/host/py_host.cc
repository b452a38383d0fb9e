#include "py_host.h"

#include <pybind11/numpy.h>

#include <cxxabi.h>
#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
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

// Leaked: used until the process ends. Remade in the child of a fork(), where the threads that
// were inside (or held the mutex) do not exist.
alignas(PythonGate) unsigned char gate_storage[sizeof(PythonGate)];
PythonGate* gate_instance = new (gate_storage) PythonGate();

PythonGate& gate() { return *gate_instance; }

void remake_gate_in_child() {
  const bool gone = gate_instance->gone;
  gate_instance = new (gate_storage) PythonGate();
  gate_instance->gone = gone;
}

const bool fork_handler_installed = [] {
  pthread_atfork(nullptr, nullptr, remake_gate_in_child);
  return true;
}();

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

// The Python type and message for a core error; false for errors of other kinds. PythonError
// is handled by the callers.
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

const PythonError* as_python_error(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const PythonError& e) {
    return &e;  // the exception object lives as long as `error`
  } catch (...) {
    return nullptr;
  }
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
  // so that threading.enumerate() no longer lists it once join returns. In the child of a
  // fork() the thread is not there: nothing to wait for.
  void join() override {
    if (fork_guard_.inherited()) return;
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
    if (fork_guard_.inherited()) return true;
    std::lock_guard<std::mutex> lock(completion_->mutex);
    return completion_->done;
  }

  py::object object() const { return thread_->object(); }

 private:
  const ForkGuard fork_guard_;
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

// Sets `exception` as the error being handled, for the life of the object.
class HandledException {
 public:
  explicit HandledException(const py::object& exception) {
    PyErr_GetExcInfo(&type_, &value_, &traceback_);
    PyObject* tb = PyException_GetTraceback(exception.ptr());  // new reference or null
    PyErr_SetExcInfo(py::type::of(exception).inc_ref().ptr(), exception.inc_ref().ptr(), tb);
  }
  ~HandledException() { PyErr_SetExcInfo(type_, value_, traceback_); }
  HandledException(const HandledException&) = delete;
  HandledException& operator=(const HandledException&) = delete;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

}  // namespace

void install_exit_hook() {
  static const bool installed = [] {
    (void)fork_handler_installed;
    py::module_::import("atexit").attr("register")(py::cpp_function(&on_python_exit));
    return true;
  }();
  (void)installed;
}

bool set_python_error(std::exception_ptr error) {
  if (const PythonError* python_error = as_python_error(error)) {
    py::object value = python_error->value();
    PyObject* tb = PyException_GetTraceback(value.ptr());
    PyErr_Restore(py::type::of(value).inc_ref().ptr(), value.inc_ref().ptr(), tb);
    return true;
  }
  py::handle type;
  std::string message;
  if (!classify(error, &type, &message)) return false;
  PyErr_SetObject(type.ptr(), to_py_str(message).ptr());
  return true;
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
  if (!handle_) return;
  PythonCall call;
  if (!call.ok()) return;  // leaked: Python is exiting
  if (PyGILState_Check()) {
    handle_.dec_ref();
    return;
  }
  py::gil_scoped_acquire gil;
  handle_.dec_ref();
}

std::shared_ptr<void> to_host(py::object object) {
  if (object.is_none()) return nullptr;
  return std::make_shared<SharedPyObject>(std::move(object));
}

py::object from_host(const std::shared_ptr<void>& host) {
  if (!host) return py::none();
  return static_cast<SharedPyObject*>(host.get())->object();
}

PythonError::PythonError(py::error_already_set& error)
    : std::runtime_error([&] {
        // "TypeName: message", as describe_exception() writes core errors.
        py::object value = error.value();
        std::string text = py::str(py::type::of(value).attr("__name__"));
        std::string message = py::str(value);
        return message.empty() ? text : text + ": " + message;
      }()) {
  py::object value = error.value();
  if (error.trace() && !error.trace().is_none()) {
    PyException_SetTraceback(value.ptr(), error.trace().ptr());
  }
  value_ = std::make_shared<SharedPyObject>(std::move(value));
}

bool PythonError::is_instance(py::handle type) const {
  return PyObject_IsInstance(value_->get().ptr(), type.ptr()) == 1;
}

void with_gil(const std::function<void()>& call) {
  PythonCall permit;
  if (!permit.ok()) throw std::runtime_error("Python is exiting");
  py::gil_scoped_acquire gil;
  try {
    call();
  } catch (py::error_already_set& error) {
    throw PythonError(error);
  }
}

PyLogger::PyLogger(py::object logger)
    : logger_(std::make_shared<SharedPyObject>(std::move(logger))) {}

py::object PyLogger::object() const { return logger_->object(); }

void PyLogger::log(LogLevel level, const std::string& text) {
  PythonCall call;
  if (!call.ok()) return;
  py::gil_scoped_acquire gil;
  const char* method = level == LogLevel::kInfo      ? "info"
                       : level == LogLevel::kWarning ? "warning"
                                                     : "error";
  try {
    logger_->get().attr(method)(to_py_str(text));
  } catch (py::error_already_set& error) {
    error.discard_as_unraisable(py::str("kelvo logger"));
  }
}

void PyLogger::log_exception(const std::string& text, std::exception_ptr error) {
  PythonCall call;
  if (!call.ok()) return;
  py::gil_scoped_acquire gil;
  try {
    py::handle logger = logger_->get();
    if (!py::hasattr(logger, "exception")) {
      logger.attr("error")(to_py_str(text));
      return;
    }
    HandledException handled(to_py_exception(error));
    logger.attr("exception")(to_py_str(text));
  } catch (py::error_already_set& failure) {
    failure.discard_as_unraisable(py::str("kelvo logger"));
  }
}

py::object logger_object(const std::shared_ptr<Logger>& logger) {
  if (auto* python = dynamic_cast<PyLogger*>(logger.get())) return python->object();
  return py::none();
}

std::unique_ptr<Thread> PyThreadLauncher::start(const std::string& name,
                                                std::function<void()> body) {
  PythonCall call;
  if (!call.ok()) throw std::runtime_error("Python is exiting: no thread can be started");
  py::gil_scoped_acquire gil;
  auto completion = std::make_shared<Completion>();
  py::cpp_function target([name, body = std::move(body), completion] {
    set_os_thread_name(name);  // Python names the thread for itself only
    run_without_gil(body, *completion);
  });
  try {
    py::object thread = py::module_::import("threading")
                            .attr("Thread")(py::arg("target") = target, py::arg("name") = name,
                                            py::arg("daemon") = true);
    thread.attr("start")();
    return std::make_unique<PyThread>(std::move(thread), std::move(completion));
  } catch (py::error_already_set& error) {
    throw PythonError(error);
  }
}

PyThreadLauncher& thread_launcher() {
  static PyThreadLauncher* launcher = new PyThreadLauncher();
  return *launcher;
}

py::object thread_object(const Thread* thread) {
  if (auto* python = dynamic_cast<const PyThread*>(thread)) return python->object();
  return py::none();
}

py::str to_py_str(const std::string& text) {
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                       "backslashreplace");
  if (str == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(str);
}

py::object to_py_exception(std::exception_ptr error) {
  if (const PythonError* python_error = as_python_error(error)) return python_error->value();
  py::handle type;
  std::string message;
  if (!classify(error, &type, &message)) {
    type = PyExc_RuntimeError;
    message = describe_exception(error);
  }
  return type(to_py_str(message));
}

py::object frame_to_python(const std::shared_ptr<Frame>& frame) {
  if (frame->host_image) return from_host(frame->host_image);
  std::vector<py::ssize_t> shape = {frame->height, frame->width};
  std::vector<py::ssize_t> strides = {frame->stride, frame->channels};
  if (frame->channels > 1) {
    shape.push_back(frame->channels);
    strides.push_back(1);
  }
  if (!frame->writable()) {
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

std::shared_ptr<Frame> frame_from_python(py::object image) {
  auto frame = std::make_shared<Frame>();
  if (py::hasattr(image, "shape")) {
    try {
      py::tuple shape = py::tuple(image.attr("shape"));
      if (shape.size() >= 2) {
        frame->height = shape[0].cast<int>();
        frame->width = shape[1].cast<int>();
        frame->channels = shape.size() >= 3 ? shape[2].cast<int>() : 1;
      }
    } catch (py::error_already_set&) {
      // Not a shape we understand: the figures stay 0.
    } catch (py::cast_error&) {
    }
  }
  frame->host_image = to_host(std::move(image));
  return frame;
}

}  // namespace kelvo::py_host
