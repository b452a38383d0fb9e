// The reader's parts as Python classes backed by the core: _PipelineState, _PipelineRestarter
// and _KeyframeFilter. They work with kelvo's own pipelines and factories and with any Python
// object that has their members (see host/adapters.h); a member that holds a Python object gives
// back that same object. Every operation that may wait releases the GIL first.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "common.h"
#include "host/adapters.h"
#include "host/gi.h"
#include "host/py_host.h"
#include "host/self.h"
#include "kelvo/keyframe_filter.h"
#include "kelvo/pipeline_state.h"
#include "kelvo/restarter.h"

namespace kelvo::gst_module {

namespace {

using py_host::on;
using py_host::without_gil;

// Polls `try_lock` until it succeeds or `timeout` seconds pass (negative: no limit), without the
// GIL. For locks that have no timed wait of their own.
template <typename TryLock>
bool acquire_polling(TryLock try_lock, bool blocking, double timeout) {
  if (try_lock()) return true;
  if (!blocking) return false;
  return without_gil([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(
                                                                 timeout < 0 ? 1e9 : timeout);
    for (;;) {
      if (try_lock()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
}

// `_PipelineState._new_status_cond`: the state's condition over its re-entrant mutex, with the
// interface of threading.Condition (acquire, release, wait, notify_all, with).
class PyStatusCondition {
 public:
  explicit PyStatusCondition(std::shared_ptr<PipelineState> state) : state_(std::move(state)) {}

  bool acquire(bool blocking, double timeout) {
    StatusCondition& cond = state_->new_status_cond();
    return acquire_polling([&] { return cond.try_lock(); }, blocking, timeout);
  }

  void release() {
    if (cond().depth_held_by_current_thread() == 0) {
      throw py::value_error("cannot release un-acquired lock");  // as threading.Condition
    }
    cond().unlock();
  }

  bool wait(std::optional<double> timeout) {
    const int depth = cond().depth_held_by_current_thread();
    if (depth == 0) throw std::runtime_error("cannot wait on un-acquired lock");
    if (depth != 1) {
      throw std::runtime_error("cannot wait on a lock acquired more than once by this thread");
    }
    if (!timeout) {
      without_gil([&] { cond().wait(); });
      return true;
    }
    return without_gil([&] { return cond().wait_for(*timeout); });
  }

  void notify_all() {
    if (cond().depth_held_by_current_thread() == 0) {
      throw std::runtime_error("cannot notify on un-acquired lock");
    }
    cond().notify_all();
  }

 private:
  StatusCondition& cond() { return state_->new_status_cond(); }
  const std::shared_ptr<PipelineState> state_;
};

// `_PipelineState._restart_lock`: the process-wide restart lock, as a Python lock.
class PyRestartLock {
 public:
  bool acquire(bool blocking, double timeout) {
    std::mutex& lock = PipelineState::restart_lock();
    if (!acquire_polling([&] { return lock.try_lock(); }, blocking, timeout)) return false;
    owner_ = std::this_thread::get_id();
    return true;
  }
  void release() {
    if (owner_ != std::this_thread::get_id()) {
      throw std::runtime_error("release of a lock that this thread does not hold");
    }
    owner_ = std::thread::id();
    PipelineState::restart_lock().unlock();
  }
  bool locked() {
    std::mutex& lock = PipelineState::restart_lock();
    if (!lock.try_lock()) return true;
    lock.unlock();
    return false;
  }

 private:
  std::thread::id owner_;  // with the restart lock
};

std::shared_ptr<PipelineState> state_of(py::handle value, const char* argument) {
  if (!py::isinstance<PipelineState>(value)) wrong_type(argument, "_PipelineState", value);
  return value.cast<std::shared_ptr<PipelineState>>();
}

py::object optional_seconds(std::optional<double> value) {
  return value ? py::object(py::float_(*value)) : py::object(py::none());
}

void bind_pipeline_state(py::module_& m) {
  py::class_<PyStatusCondition>(m, "_StatusCondition",
                                "A condition variable over a re-entrant mutex (the status lock).")
      .def("acquire", &PyStatusCondition::acquire, py::arg("blocking") = true,
           py::arg("timeout") = -1.0)
      .def("release", &PyStatusCondition::release)
      .def("wait", &PyStatusCondition::wait, py::arg("timeout") = py::none(),
           "Waits until notified (True) or until `timeout` seconds pass (False).")
      .def("notify_all", &PyStatusCondition::notify_all)
      .def("__enter__", [](PyStatusCondition& c) { return c.acquire(true, -1); })
      .def("__exit__", [](PyStatusCondition& c, py::args) { c.release(); });

  py::class_<PyRestartLock>(m, "_RestartLock", "The process-wide lock held for a whole restart.")
      .def("acquire", &PyRestartLock::acquire, py::arg("blocking") = true,
           py::arg("timeout") = -1.0)
      .def("release", &PyRestartLock::release)
      .def("locked", &PyRestartLock::locked)
      .def("__enter__", [](PyRestartLock& l) { return l.acquire(true, -1); })
      .def("__exit__", [](PyRestartLock& l, py::args) { l.release(); });

  py::class_<PipelineState, std::shared_ptr<PipelineState>> cls(
      m, "_PipelineState", "Holds a pipeline object and state related to the pipeline");
  cls.attr("_restart_lock") = py::cast(new PyRestartLock(), py::return_value_policy::take_ownership);
  cls.def(py::init([](py::object id, py::object logger) {
            auto state = std::make_shared<PipelineState>(
                to_id(id, "id"), std::make_shared<py_host::PyLogger>(std::move(logger)),
                system_clock(), py_host::thread_launcher());
            state->set_state_change_timeout(module_seconds("_STATE_CHANGE_TIMEOUT"));
            return state;
          }),
          py::arg("id"), py::arg("logger"));
  cls.def_property_readonly("id", on<PipelineState>(&PipelineState::id));
  cls.def_property_readonly(
      "logger", on<PipelineState>([](PipelineState& s) { return py_host::logger_object(s.shared_logger()); }));
  cls.def_property(
      "pipeline", on<PipelineState>([](PipelineState& s) { return adapters::pipeline_to_python(s.pipeline()); }),
      on<PipelineState>([](PipelineState& s, py::object pipeline) {
        s.set_pipeline(pipeline.is_none() ? nullptr : adapters::pipeline_from_python(pipeline));
      }));
  cls.def_property(
      "factory", on<PipelineState>([](PipelineState& s) { return adapters::factory_to_python(s.factory()); }),
      on<PipelineState>([](PipelineState& s, py::object factory) {
        s.set_factory(adapters::factory_from_python(std::move(factory)));
      }));
  cls.def_property(
      "status", on<PipelineState>(&PipelineState::status),
      on<PipelineState>([](PipelineState& s, py::object status) {
        const StreamStatus value = to_status(status);
        without_gil([&] { s.set_status(value); });
      }));
  cls.def_property(
      "start_pipeline_timestamp", on<PipelineState>(&PipelineState::start_pipeline_timestamp),
      on<PipelineState>([](PipelineState& s, py::handle t) {
        s.set_start_pipeline_timestamp(to_seconds(t, "start_pipeline_timestamp"));
      }));
  cls.def_property(
      "last_frame_timestamp",
      on<PipelineState>([](PipelineState& s) { return optional_seconds(s.last_frame_timestamp()); }),
      on<PipelineState>([](PipelineState& s, py::handle t) {
        s.set_last_frame_timestamp(t.is_none() ? std::nullopt
                                               : std::optional<double>(
                                                     to_seconds(t, "last_frame_timestamp")));
      }));
  cls.def_property_readonly("new_status_event", on<PipelineState>(&PipelineState::new_status_event));
  cls.def_property_readonly(
      "_new_status_cond", [](py::handle self) {
        py_host::constructed<PipelineState>(self);
        return PyStatusCondition(self.cast<std::shared_ptr<PipelineState>>());
      });
  cls.def(
      "set_status",
      on<PipelineState>([](PipelineState& s, py::object status) {
        const StreamStatus value = to_status(status);
        without_gil([&] { s.set_status(value); });
      }),
      py::arg("status"));
  cls.def(
      "build",
      on<PipelineState>([](PipelineState& s, py::object must_play) {
        const bool play = PyObject_IsTrue(must_play.ptr()) == 1;
        without_gil([&] { s.build(play); });
      }),
      py::arg("must_play") = false);
  cls.def("close", on<PipelineState>([](PipelineState& s) { without_gil([&] { s.close(); }); }));
  cls.def("request_restart", on<PipelineState>([](PipelineState& s) { without_gil([&] { s.request_restart(); }); }));
  cls.def("restart", on<PipelineState>([](PipelineState& s) { without_gil([&] { s.restart(); }); }));
  cls.def("_shutdown", on<PipelineState>([](PipelineState& s) { without_gil([&] { s.shutdown_pipeline(); }); }));
  cls.def("shutdown", on<PipelineState>([](PipelineState& s) { without_gil([&] { s.shutdown(); }); }));
  cls.def("__repr__", on<PipelineState>([](PipelineState& s) {
    return "<_PipelineState id=" + std::to_string(s.id()) + " " + to_string(s.status()) + ">";
  }));
}

void bind_restarter(py::module_& m) {
  py::class_<PipelineRestarter, std::shared_ptr<PipelineRestarter>> cls(
      m, "_PipelineRestarter", "Monitors the health of the pipeline and rebuilds it if necessary");
  cls.def(py::init([](py::object id, py::object setup_timeout, py::object base_backoff_seconds,
                      py::object max_backoff_seconds, py::object backoff_randomness_seconds,
                      py::object pipeline_state, py::object logger) {
            BackoffSettings backoff;
            const int64_t stream_id = to_id(id, "id");
            const double setup = to_seconds(setup_timeout, "setup_timeout");
            backoff.base_seconds = to_seconds(base_backoff_seconds, "base_backoff_seconds");
            backoff.max_seconds = to_seconds(max_backoff_seconds, "max_backoff_seconds");
            backoff.randomness_seconds =
                to_seconds(backoff_randomness_seconds, "backoff_randomness_seconds");
            auto state = state_of(pipeline_state, "pipeline_state");
            auto restarter = std::make_shared<PipelineRestarter>(
                stream_id, setup, backoff, std::move(state),
                std::make_shared<py_host::PyLogger>(std::move(logger)), py_host::thread_launcher());
            restarter->set_frame_timeout(module_seconds("_FRAME_TIMEOUT"));
            return restarter;
          }),
          py::arg("id"), py::arg("setup_timeout"), py::arg("base_backoff_seconds"),
          py::arg("max_backoff_seconds"), py::arg("backoff_randomness_seconds"),
          py::arg("pipeline_state"), py::arg("logger"));
  cls.def_property_readonly("id", on<PipelineRestarter>(&PipelineRestarter::id));
  cls.def_property_readonly("_base_backoff_seconds",
                            on<PipelineRestarter>([](PipelineRestarter& r) { return r.backoff().base_seconds; }));
  cls.def_property_readonly("_max_backoff_seconds",
                            on<PipelineRestarter>([](PipelineRestarter& r) { return r.backoff().max_seconds; }));
  cls.def_property_readonly("_backoff_randomness_seconds",
                            on<PipelineRestarter>([](PipelineRestarter& r) { return r.backoff().randomness_seconds; }));
  cls.def_property_readonly("_pipeline_state", on<PipelineRestarter>(&PipelineRestarter::pipeline_state));
  cls.def_property_readonly(
      "_logger", on<PipelineRestarter>([](PipelineRestarter& r) { return py_host::logger_object(r.logger()); }));
  cls.def_property("_restart_count", on<PipelineRestarter>(&PipelineRestarter::restart_count),
                   on<PipelineRestarter>(&PipelineRestarter::set_restart_count));
  cls.def_property_readonly("_last_gst_state", on<PipelineRestarter>([](PipelineRestarter& r) -> py::object {
    const GstState state = r.last_gst_state();
    if (state == GST_STATE_VOID_PENDING) return py::none();
    return gi::gst_enum("State", state);
  }));
  cls.def_property_readonly("_pipeline_restarter_thread", on<PipelineRestarter>([](PipelineRestarter& r) {
    Thread* thread = without_gil([&] { return r.thread(); });
    return py_host::thread_object(thread);
  }));
  cls.def("start", on<PipelineRestarter>([](PipelineRestarter& r) { without_gil([&] { r.start(); }); }));
  cls.def("close", on<PipelineRestarter>([](PipelineRestarter& r) { without_gil([&] { r.close(); }); }));
  cls.def("wait_until_closed", on<PipelineRestarter>([](PipelineRestarter& r) {
    Thread* thread = without_gil([&] { return r.thread(); });
    if (thread == nullptr) return;
    wait_interruptibly([thread] { return thread->finished(); });
    without_gil([&] { r.wait_until_closed(); });
  }));
  cls.def("calc_backoff_seconds", on<PipelineRestarter>([](PipelineRestarter& r) {
    return without_gil([&] { return r.calc_backoff_seconds(); });
  }));
  cls.def(
      "notify_frame_received",
      on<PipelineRestarter>([](PipelineRestarter& r, py::object stream_id, py::handle timestamp) {
        r.notify_frame_received(to_id(stream_id, "stream_id"), to_seconds(timestamp, "timestamp"));
      }),
      py::arg("stream_id"), py::arg("timestamp"));
  cls.def(
      "notify_frame_error",
      on<PipelineRestarter>([](PipelineRestarter& r, py::object stream_id, py::handle timestamp) {
        const int64_t id = to_id(stream_id, "stream_id");
        const double t = to_seconds(timestamp, "timestamp");
        without_gil([&] { r.notify_frame_error(id, t); });
      }),
      py::arg("stream_id"), py::arg("timestamp"));
  cls.def(
      "watcher",
      on<PipelineRestarter>([](PipelineRestarter& r, py::object /*bus*/, py::object message, py::object /*pipeline*/) {
        const BusEvent event = adapters::bus_event_from_python(message);
        without_gil([&] { r.on_bus_event(event); });
        return true;
      }),
      py::arg("_bus"), py::arg("message"), py::arg("pipeline"), "Listens for events on the pipeline.");
  cls.def(
      "gst_state_playing",
      on<PipelineRestarter>([](PipelineRestarter& r, py::handle timestamp) {
        const double t = to_seconds(timestamp, "timestamp");
        const PlayingCheck check = without_gil([&] { return r.gst_state_playing(t); });
        return py::make_tuple(check.is_gst_playing, gi::gst_enum("State", check.gst_state),
                              optional_seconds(check.recent_frame));
      }),
      py::arg("timestamp"));
}

void bind_keyframe_filter(py::module_& m) {
  py::class_<KeyframeFilter, std::shared_ptr<KeyframeFilter>> cls(
      m, "_KeyframeFilter",
      "Implements configurable keyframe-only streaming by inserting a pad probe that drops "
      "non-keyframe buffers.");
  cls.def(py::init([](py::object keyframes_only, py::object pipeline_state, py::object logger) {
            const bool value = PyObject_IsTrue(keyframes_only.ptr()) == 1;
            return std::make_shared<KeyframeFilter>(
                value, state_of(pipeline_state, "pipeline_state"),
                std::make_shared<py_host::PyLogger>(std::move(logger)),
                adapters::reader_keyframe_probe());
          }),
          py::arg("keyframes_only"), py::arg("pipeline_state"), py::arg("logger"));
  cls.def_property(
      "keyframes_only", on<KeyframeFilter>(&KeyframeFilter::keyframes_only),
      on<KeyframeFilter>([](KeyframeFilter& f, py::object value) {
        const bool on = PyObject_IsTrue(value.ptr()) == 1;
        without_gil([&] { f.set_keyframes_only(on); });
      }));
  cls.def_property_readonly("_keyframes_only", on<KeyframeFilter>(&KeyframeFilter::keyframes_only));
  cls.def_property_readonly("_pipeline_state", on<KeyframeFilter>(&KeyframeFilter::pipeline_state));
  cls.def_property_readonly(
      "_logger", on<KeyframeFilter>([](KeyframeFilter& f) { return py_host::logger_object(f.logger()); }));
  cls.def_property_readonly("_pad_probe_id", on<KeyframeFilter>([](KeyframeFilter& f) -> py::object {
    const std::optional<gulong> id = f.pad_probe_id();
    return id ? py::object(py::int_(*id)) : py::object(py::none());
  }));
  cls.def("update_pad_probe", on<KeyframeFilter>([](KeyframeFilter& f) { without_gil([&] { f.update_pad_probe(); }); }));
  cls.def("_get_buffer_src_pad", on<KeyframeFilter>([](KeyframeFilter& f) {
    const BufferSrcPad pad = without_gil([&] { return f.buffer_src_pad(); });
    return pad ? adapters::pad_to_python(pad) : py::object(py::none());
  }));
}

}  // namespace

void bind_engine(py::module_& m) {
  bind_pipeline_state(m);
  bind_restarter(m);
  bind_keyframe_filter(m);
}

}  // namespace kelvo::gst_module
