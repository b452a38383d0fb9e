"""The reader's parts and collaborators as a Python caller sees them: every collaborator name of
kelvo.stream_reader.gst can be replaced, and the private classes work with Python stand-ins."""

import logging
import threading
import time
import types
from unittest import mock

import pytest

import kelvo.stream_reader.gst as gst
import kelvo.utils.gstcallbacks
from conftest import run_python
from servers import Gst
from kelvo.stream_reader.base import StreamStatus

COLLABORATORS = (
    "glib_runtime", "StreamSetupError", "get_stream_logger", "RTSPPipelineFactory",
    "HTTPPipelineFactory", "CustomPipelineFactory", "PipelineFactory", "BUFFER_SRC_NAME",
    "Pipeline", "sample_to_ndarray", "SampleConversionError", "gstcallbacks", "Timeout",
    "StreamReader", "StreamStatus", "FRAME", "check_runtime_options",
)
H264 = ("videotestsrc is-live=true ! video/x-raw,width=64,height=48,framerate=30/1 ! x264enc "
        "tune=zerolatency speed-preset=ultrafast key-int-max=5 ! h264parse ! identity name={} ! "
        "avdec_h264 ! videoconvert ! video/x-raw,format=BGR ! appsink name=sink")


class Recorder:
    """A stand-in that records every call made on it: (name, args, kwargs)."""

    def __init__(self, **answers):
        self.calls = []
        self._answers = answers

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            answer = self._answers.get(name)
            return answer(*args, **kwargs) if callable(answer) else answer
        return call

    def names(self):
        return [c[0] for c in self.calls]


class PyGObjectPipeline:
    """A caller's own pipeline: a Gst.Pipeline from Gst.parse_launch, with the members the reader
    calls on a pipeline."""

    def __init__(self, description):
        self._pipeline = Gst.parse_launch(description)
        self.appsink = self._pipeline.get_by_name("sink")
        self._destructors = []

    def __getattr__(self, name):
        return getattr(self._pipeline, name)

    def wait_until_playing(self, stream_id, timeout):
        self._pipeline.get_state(int(timeout * Gst.SECOND))

    def wait_until_null(self, stream_id, timeout):
        self._pipeline.get_state(int(timeout * Gst.SECOND))

    def release_resources(self):
        for destructor in self._destructors:
            destructor()
        self._pipeline.get_bus().remove_watch()

    def add_destructor(self, destructor):
        self._destructors.append(destructor)


class PyGObjectFactory:
    """A caller's own factory of PyGObjectPipelines."""

    made = []

    def __init__(self, description, url, pipeline_watcher, on_complete):
        PyGObjectFactory.made.append(dict(description=description, url=url))
        self._description, self._watcher, self._on_complete = description, pipeline_watcher, on_complete

    def build(self):
        pipeline = PyGObjectPipeline(self._description)
        pipeline.get_bus().add_watch(0, self._watcher, pipeline)
        self._on_complete(pipeline)
        pipeline.set_state(Gst.State.PLAYING)
        return pipeline


def test_module_binds_every_collaborator_name():
    import kelvo.glib_runtime
    import kelvo.utils.gstcallbacks

    assert all(hasattr(gst, name) for name in COLLABORATORS)
    assert gst.glib_runtime is kelvo.glib_runtime
    assert gst.gstcallbacks is kelvo.utils.gstcallbacks
    assert (gst._STATE_CHANGE_TIMEOUT, gst._FRAME_TIMEOUT) == (30, 120)


def test_replaced_collaborators_are_called_with_their_arguments(runtime):
    logger = Recorder()
    checks, images = [], []
    probe_pads = []

    def add_probe(pad):
        probe_pads.append(pad)
        return kelvo.utils.gstcallbacks.add_keyframes_only_probe(pad)

    def convert(sample):
        images.append(sample)
        return ("image", sample.get_caps().get_structure(0).get_value("width"))

    options = {"keyframes_only": True}
    with mock.patch.multiple(
            gst, get_stream_logger=lambda url: logger, CustomPipelineFactory=PyGObjectFactory,
            check_runtime_options=lambda o, s: checks.append((o, s)),
            glib_runtime=types.SimpleNamespace(assert_started=lambda: checks.append("started")),
            sample_to_ndarray=convert, BUFFER_SRC_NAME="mine",
            gstcallbacks=types.SimpleNamespace(add_keyframes_only_probe=add_probe)):
        reader = gst.GstStreamReader(3, "test://mine", runtime_options=options,
                                     pipeline_str=H264.format("mine"))
        try:
            assert reader.latest_frame_event.wait(10)
            assert reader.latest_frame[1] == ("image", 64)  # the converter's result, as it is
            assert isinstance(images[0], Gst.Sample)
            assert isinstance(probe_pads[0], Gst.Pad) and probe_pads[0].get_parent().name == "mine"
            assert isinstance(reader._pipeline_state.pipeline, PyGObjectPipeline)
            # A converter replaced while the stream runs takes over from the next frame.
            with mock.patch.object(gst, "sample_to_ndarray", lambda s: "later"):
                reader.latest_frame_event.clear()
                assert reader.latest_frame_event.wait(10)
                time.sleep(0.2)
                assert reader.latest_frame[1] == "later"
        finally:
            reader.wait_until_closed()
    assert checks == [(options, gst.GstStreamReader._SUPPORTED_RUNTIME_OPTIONS), "started"]
    assert PyGObjectFactory.made[-1] == dict(description=H264.format("mine"), url="test://mine")
    assert all(len(args) == 1 and not kwargs and isinstance(args[0], str)
               for _, args, kwargs in logger.calls)


@pytest.mark.parametrize("url, name, expected", [
    ("rtsp://cam/x", "RTSPPipelineFactory",
     dict(url="rtsp://cam/x", latency=350, force_tcp=True)),
    ("https://cam/x", "HTTPPipelineFactory", dict(url="https://cam/x")),
])
def test_url_factories_receive_their_arguments(runtime, url, name, expected):
    made = []

    def factory(**kwargs):
        made.append(kwargs)
        return Recorder(build=lambda: (_ for _ in ()).throw(RuntimeError("no camera")))

    with mock.patch.object(gst, name, factory), pytest.raises(RuntimeError, match="no camera"):
        gst.GstStreamReader(1, url, runtime_options={}, latency=350, proxied=True)
    kwargs = made[0]
    assert callable(kwargs.pop("pipeline_watcher")) and callable(kwargs.pop("on_complete"))
    assert kwargs == expected


def test_replaced_error_type_and_timeouts(runtime):
    class Refused(Exception):
        pass

    with mock.patch.object(gst, "StreamSetupError", Refused), pytest.raises(Refused):
        gst.GstStreamReader(1, "file:///x", runtime_options={})
    # A lowered frame time-out: a playing pipeline without frames is restarted in seconds.
    with mock.patch.object(gst, "_FRAME_TIMEOUT", 0.5):
        reader = gst.GstStreamReader(1, "test://x", runtime_options={},
                                     pipeline_str="videotestsrc is-live=true ! valve drop=true "
                                                  "! appsink", base_backoff_seconds=0)
    try:
        deadline = time.monotonic() + 15
        while reader.stats["restarts"] == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert reader.stats["last_error"].startswith("watchdog: gst_state ")
    finally:
        reader.wait_until_closed()


class StandInPipeline(Recorder):
    def __init__(self, name):
        pad = Recorder()
        element = Recorder(get_static_pad=lambda n: pad if n == "src" else None)
        super().__init__(get_by_name=lambda n: element if n == gst.BUFFER_SRC_NAME else None,
                         get_state=lambda t: (Gst.StateChangeReturn.SUCCESS, Gst.State.PLAYING,
                                              Gst.State.VOID_PENDING))
        self.name, self.pad = name, pad


class StandInFactory:
    def __init__(self):
        self.built = []

    def build(self):
        self.built.append(StandInPipeline(f"p{len(self.built) + 1}"))
        return self.built[-1]


class TestPrivateClasses:
    def test_pipeline_state(self):
        logger, factory = Recorder(), StandInFactory()
        state = gst._PipelineState(7, logger)
        state.factory = factory
        assert state.factory is factory and state.logger is logger and state.pipeline is None
        state.build()
        assert state.pipeline is factory.built[0] and state.status == StreamStatus.STREAMING
        assert logger.calls == [("info", ("last status StreamStatus.INITIALIZING, new status "
                                          "StreamStatus.STREAMING",), {})]
        woken = []
        waiter = threading.Thread(target=lambda: woken.append(self._wait(state)))
        waiter.start()
        time.sleep(0.1)
        state.request_restart()
        waiter.join(5)
        assert woken == [True]
        # A restart waits for the process-wide restart lock.
        with gst._PipelineState._restart_lock:
            restarting = threading.Thread(target=state.restart)
            restarting.start()
            time.sleep(0.2)
            assert len(factory.built) == 1
        restarting.join(5)
        first = factory.built[0]
        assert first.names()[-3:] == ["set_state", "wait_until_null", "release_resources"]
        assert first.calls[-3][1] == (Gst.State.NULL,) and first.calls[-2][1] == (7, 30.0)
        state.shutdown()
        assert state.pipeline is None and state.factory is None
        state.status = StreamStatus.CLOSED
        with pytest.raises(ValueError):
            state.status = StreamStatus(5)

    @staticmethod
    def _wait(state):
        with state._new_status_cond:
            return state._new_status_cond.wait(5)

    def test_restarter(self):
        logger, factory = Recorder(), StandInFactory()
        state = gst._PipelineState(7, logger)
        state.factory = factory
        state.build()
        restarter = gst._PipelineRestarter(7, 30.0, 12, 64, 0, state, logger)
        assert restarter._pipeline_state is state and restarter._logger is logger
        assert restarter.calc_backoff_seconds() == 13
        restarter._restart_count = 3
        assert restarter.calc_backoff_seconds() == 20
        assert restarter.gst_state_playing(100.0) == (False, Gst.State.PLAYING, None)
        restarter.notify_frame_received(7, 100.0)
        assert restarter.gst_state_playing(101.5) == (True, Gst.State.PLAYING, 1.5)
        assert restarter._last_gst_state == Gst.State.PLAYING and restarter._restart_count == 0
        error = types.SimpleNamespace(message="boom")
        stand_in = types.SimpleNamespace(type=Gst.MessageType.ERROR,
                                         parse_error=lambda: (error, None))
        assert restarter.watcher(None, stand_in, None) is True
        assert restarter.watcher(None, Gst.Message.new_eos(None), None) is True
        assert ("error", ("kelvo: watcher stream_id 7 pipeline error: boom (debug: None)",), {}) \
            in logger.calls
        assert state.status == StreamStatus.HALTED
        restarter.start()
        assert restarter._pipeline_restarter_thread.name == "PipelineRestarterThread"
        deadline = time.monotonic() + 10
        while len(factory.built) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        restarter.close()
        restarter.wait_until_closed()
        assert not restarter._pipeline_restarter_thread.is_alive()
        assert factory.built[1].names()[-1] == "release_resources" and state.pipeline is None

    def test_keyframe_filter(self):
        logger, factory = Recorder(), StandInFactory()
        state = gst._PipelineState(7, logger)
        state.factory = factory
        state.build()
        added = []
        probe = types.SimpleNamespace(add_keyframes_only_probe=lambda pad: added.append(pad) or 42)
        kf = gst._KeyframeFilter(False, state, logger)
        with mock.patch.object(gst, "gstcallbacks", probe):
            kf.keyframes_only = True
            pipeline = factory.built[0]
            assert added == [pipeline.pad] and kf._pad_probe_id == 42
            assert kf._get_buffer_src_pad() is pipeline.pad
            kf.keyframes_only = False
        assert pipeline.pad.calls == [("remove_probe", (42,), {})] and kf._pad_probe_id is None
        destructor = [c for c in pipeline.calls if c[0] == "add_destructor"][0][1][0]
        destructor()
        assert pipeline.pad.calls[-1] == ("remove_probe", (42,), {})


def test_reader_members_and_runtime_state(runtime):
    reader = gst.GstStreamReader(4, "test://x", runtime_options={},
                                 pipeline_str="videotestsrc num-buffers=2 ! appsink",
                                 base_backoff_seconds=0, max_backoff_seconds=0)
    try:
        assert reader._url == "test://x" and reader._logger.name == "kelvo.stream.test://x"
        assert reader._pipeline_restarter._pipeline_state is reader._pipeline_state
        assert reader._keyframe_filter._pipeline_state is reader._pipeline_state
        assert isinstance(reader._sample_pulling_thread, threading.Thread)
        assert reader._latest_frame_event is reader.latest_frame_event
        reader.id = 9
        assert reader.id == 9 and repr(reader).startswith("<GstStreamReader id=9 ")
    finally:
        reader.wait_until_closed()
    with runtime._lock:
        assert runtime._running and runtime._glib_main_loop_thread.name == "GlibRuntimeThread"
        assert runtime._glib_main_loop.is_running()


def test_errors_reach_the_logger_with_their_traceback(runtime, caplog):
    def broken(sample):
        raise ValueError("cannot read this")

    class OneArgument:  # a logger without exception(), whose error() takes the text only
        def __init__(self):
            self.calls = []

        def info(self, text):
            pass

        warning = info

        def error(self, text):
            self.calls.append(("error", (text,), {}))

    plain = OneArgument()
    for logger in (None, plain):
        patches = {"sample_to_ndarray": broken}
        if logger is not None:
            patches["get_stream_logger"] = lambda url: logger
        with mock.patch.multiple(gst, **patches):
            reader = gst.GstStreamReader(1, "test://x", runtime_options={}, base_backoff_seconds=5,
                                         pipeline_str="videotestsrc is-live=true ! appsink")
            time.sleep(0.5)
            reader.close(block=False)
    records = [r for r in caplog.records if "unexpected error converting sample" in r.getMessage()]
    assert records and records[0].exc_info[0] is ValueError
    assert "broken" in caplog.text  # the traceback names the function that raised
    assert any(name == "error" and "unexpected error" in args[0] for name, args, _ in plain.calls)


def test_replaced_conversion_error_is_logged_by_its_message(runtime, caplog):
    class Unreadable(Exception):
        pass

    def refuse(sample):
        raise Unreadable("no picture in this sample")

    with mock.patch.multiple(gst, SampleConversionError=Unreadable, sample_to_ndarray=refuse):
        reader = gst.GstStreamReader(1, "test://x", runtime_options={}, base_backoff_seconds=5,
                                     pipeline_str="videotestsrc is-live=true ! appsink")
        try:
            deadline = time.monotonic() + 10
            while reader.status != StreamStatus.HALTED and time.monotonic() < deadline:
                time.sleep(0.02)
        finally:
            reader.close(block=False)
    line = [r for r in caplog.records if r.getMessage() == "no picture in this sample"]
    assert line and line[0].exc_info is None  # its own message, no traceback


def test_one_core_per_process():
    result = run_python(
        """
        import kelvo._kelvo, kelvo._pipelines, kelvo.glib_runtime, kelvo.stream_reader.gst
        libs = {line.split()[-1] for line in open("/proc/self/maps") if "libkelvo_" in line}
        print(sorted(l.rsplit("/", 1)[1] for l in libs))
        """
    )
    assert result.stdout.strip() == "['libkelvo_core.so', 'libkelvo_python.so']", result.stderr
