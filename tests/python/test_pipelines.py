"""Factories and pipelines against real GStreamer and the local test servers."""

import os
import threading
import time

import pytest
from servers import iterate_main_context

from kelvo.errors import StreamSetupError
from kelvo.pipeline_factories import (
    BUFFER_SRC_NAME,
    CustomPipelineFactory,
    HTTPPipelineFactory,
    PipelineFactory,
    RTSPPipelineFactory,
)
from kelvo.utils.gstcallbacks import add_keyframes_only_probe
from kelvo.utils.gstreamer import Pipeline, sample_to_ndarray

KELVO_FORMATS = {"I420", "NV12", "YV12", "NV21", "Y42B", "Y444", "YUY2", "UYVY", "BGR"}


def make_factory(kind, url, **callbacks):
    if kind == "rtsp":
        return RTSPPipelineFactory(url=url, latency=100, force_tcp=False, **callbacks)
    if kind == "rtsp-tcp":
        return RTSPPipelineFactory(url=url, latency=100, force_tcp=True, **callbacks)
    return HTTPPipelineFactory(url=url, **callbacks)


def pull_frames(gst, pipeline, count, timeout=10.0):
    frames = []
    deadline = time.monotonic() + timeout
    while len(frames) < count and time.monotonic() < deadline:
        sample = pipeline.try_pull_sample(gst.SECOND // 10)
        if sample is not None:
            frames.append((sample, sample_to_ndarray(sample)))
    return frames


@pytest.mark.parametrize(
    "kind, mount",
    [("rtsp", "h264"), ("rtsp-tcp", "h264"), ("rtsp", "h265"), ("rtsp", "mjpeg"),
     ("http", "mjpeg"), ("http", "ts")],
)
def test_factory_delivers_frames(gst, rtsp_server, http_server, kind, mount):
    server = http_server if kind == "http" else rtsp_server
    completed = []
    watched = []
    factory = make_factory(
        kind, server.url(mount),
        pipeline_watcher=lambda bus, message, pipeline: watched.append((bus, message, pipeline))
        or True,
        on_complete=completed.append,
    )
    assert isinstance(factory, PipelineFactory)
    pipeline = factory.build()
    try:
        assert isinstance(pipeline, Pipeline)
        pipeline.wait_until_playing(1, 15)
        frames = pull_frames(gst, pipeline, 3)
        assert len(frames) == 3
        for sample, image in frames:
            # The decoder's own output reaches the appsink; kelvo makes the BGR image.
            assert sample.get_caps().get_structure(0).get_value("format") in KELVO_FORMATS
            assert image.shape == (240, 320, 3) and image.dtype.name == "uint8"
            assert image.flags.writeable
        # Complete once, reported with this very pipeline, which has its buffer_src.
        assert completed == [pipeline]
        element = pipeline.get_by_name(BUFFER_SRC_NAME)
        assert element is not None and element.get_static_pad("src") is not None
        appsink = pipeline.appsink
        assert appsink.get_property("max-buffers") == 1
        assert appsink.get_property("drop") is True
        assert appsink.get_property("sync") is False
        assert appsink.get_property("enable-last-sample") is False
        # The watch delivers PyGObject's own objects, the pipeline's bus and the pipeline.
        assert iterate_main_context(lambda: watched)
        bus, message, gst_pipeline = watched[0]
        assert isinstance(bus, gst.Bus) and isinstance(message, gst.Message)
        assert gst_pipeline == pipeline.gst_pipeline
    finally:
        pipeline.set_state(gst.State.NULL)
        pipeline.wait_until_null(1, 10)
        pipeline.release_resources()
    assert pipeline.gst_pipeline is None
    assert pipeline.try_pull_sample(0) is None


def test_keyframes_only_probe_passes_only_keyframes(gst, rtsp_server):
    """The server sends a keyframe every 5 frames at 15 fps: 3 a second get through."""
    probes = []

    def on_complete(pipeline):
        pad = pipeline.get_by_name(BUFFER_SRC_NAME).get_static_pad("src")
        probes.append(add_keyframes_only_probe(pad))

    pipeline = make_factory("rtsp", rtsp_server.url("h264"), on_complete=on_complete).build()
    try:
        pipeline.wait_until_playing(1, 15)
        assert len(probes) == 1 and probes[0] > 0
        pull_frames(gst, pipeline, 1)  # the first keyframe: the clock starts now
        start = time.monotonic()
        frames = pull_frames(gst, pipeline, 1000, timeout=3.0)
        rate = len(frames) / (time.monotonic() - start)
        assert 1.5 < rate < 5, f"{len(frames)} frames"
    finally:
        pipeline.release_resources()


def test_watcher_hears_when_the_server_goes_away(gst):
    from kelvo.testing import RtspTestServer

    messages = []
    with RtspTestServer(mounts=["mjpeg"], fps=10) as server:
        factory = make_factory(
            "rtsp-tcp", server.url("mjpeg"),
            pipeline_watcher=lambda bus, message, pipeline: messages.append(message.type) or True)
        pipeline = factory.build()
        try:
            pipeline.wait_until_playing(1, 15)
            assert pull_frames(gst, pipeline, 1)
            server.stop()
            assert iterate_main_context(
                lambda: {gst.MessageType.EOS, gst.MessageType.ERROR} & set(messages), timeout=15)
            # The same factory builds a working pipeline once the server is back.
            server.start()
        finally:
            pipeline.release_resources()
        pipeline = factory.build()
        try:
            pipeline.wait_until_playing(1, 15)
            assert pull_frames(gst, pipeline, 1)
        finally:
            pipeline.release_resources()


@pytest.mark.parametrize("kind", ["rtsp", "http"])
def test_unreachable_camera_fails_fast(gst, kind):
    scheme = "http" if kind == "http" else "rtsp"
    factory = make_factory(kind, f"{scheme}://admin:hunter2@127.0.0.1:1/stream")
    pipeline = factory.build()
    start = time.monotonic()
    try:
        with pytest.raises(StreamSetupError) as raised:
            pipeline.wait_until_playing(17, 30)
    finally:
        pipeline.release_resources()
    assert time.monotonic() - start < 5
    assert "Stream 17" in str(raised.value)
    assert "hunter2" not in str(raised.value)


@pytest.mark.parametrize("kind, mount", [("rtsp", "h264"), ("http", "mjpeg")])
def test_a_frame_over_the_size_limit_stops_the_pipeline_before_decoding(
        gst, rtsp_server, http_server, monkeypatch, kind, mount):
    import kelvo.utils.gstreamer

    server = http_server if kind == "http" else rtsp_server
    monkeypatch.setattr(kelvo.utils.gstreamer, "MAX_FRAME_PIXELS", 320 * 240 - 1)
    errors = []

    def watch(bus, message, pipeline):
        if message.type == gst.MessageType.ERROR:
            errors.append(message.parse_error()[0].message)
        return True

    pipeline = make_factory(kind, server.url(mount), pipeline_watcher=watch).build()
    try:
        assert iterate_main_context(lambda: errors, timeout=15)
        assert errors == ["Frame of 320x240 pixels is larger than the limit of 76799 pixels"]
        assert pipeline.try_pull_sample(gst.SECOND // 2) is None
    finally:
        pipeline.release_resources()


@pytest.mark.parametrize(
    "description, words",
    [
        ("videotestsrc ! fakesink", "exactly one appsink, not 0"),
        ("videotestsrc ! tee name=t t. ! queue ! appsink t. ! queue ! appsink",
         "exactly one appsink, not 2"),
        ("videotestsrc ! kelvonosuchelement ! appsink", 'no element "kelvonosuchelement"'),
        ("videotestsrc ! ! appsink", "Cannot parse"),
    ],
)
def test_bad_description_is_refused(gst, description, words):
    with pytest.raises(StreamSetupError, match=words):
        CustomPipelineFactory(description, url="custom").build()


def test_custom_pipeline_is_complete_inside_build_and_keeps_caller_caps(gst):
    completed = []
    factory = CustomPipelineFactory(
        "videotestsrc is-live=true ! video/x-raw,format=RGBA,width=32,height=16 ! "
        "appsink name=mine max-buffers=4",
        url="custom", on_complete=completed.append)
    pipeline = factory.build()
    try:
        assert completed == [pipeline]
        pipeline.wait_until_playing(1, 5)
        sample = pipeline.try_pull_sample(gst.SECOND)
        assert sample_to_ndarray(sample).shape == (16, 32, 4)
        assert pipeline.appsink.get_property("name") == "mine"
        assert pipeline.appsink.get_property("max-buffers") == 4
        assert pipeline.appsink.get_property("drop") is True
    finally:
        pipeline.release_resources()


def test_destructors_run_once_on_release(gst):
    pipeline = CustomPipelineFactory("videotestsrc ! appsink", url="custom").build()
    calls = []
    pipeline.add_destructor(lambda: calls.append("first"))
    pipeline.add_destructor(lambda: calls.append("second"))
    pipeline.release_resources()
    pipeline.release_resources()
    assert calls == ["first", "second"]
    pipeline.add_destructor(lambda: calls.append("late"))
    assert calls[-1] == "late"
    assert pipeline.get_state(0)[1] == gst.State.NULL


def _process_usage():
    with open("/proc/self/status") as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd")), rss


@pytest.mark.parametrize("mount", ["h264", "mjpeg"])
def test_build_teardown_cycles_leak_nothing(gst, rtsp_server, mount):
    def cycle():
        pipeline = make_factory("rtsp-tcp", rtsp_server.url(mount)).build()
        pipeline.wait_until_playing(1, 15)
        pipeline.set_state(gst.State.NULL)
        pipeline.wait_until_null(1, 10)
        pipeline.release_resources()

    for _ in range(10):  # warm-up: plugins, thread pools, caches
        cycle()
    threads, fds, rss = _process_usage()
    for _ in range(60):
        cycle()
    time.sleep(0.2)  # threads that are ending
    threads_after, fds_after, rss_after = _process_usage()
    assert threads_after <= threads + 1
    assert fds_after <= fds
    assert rss_after - rss < 8 * 1024, f"RSS grew from {rss} to {rss_after} KiB"
    assert threading.active_count() >= 1
