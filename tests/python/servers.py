"""Fixtures with the local test servers and GStreamer, for the pipeline and frame tests."""

import warnings

import gi
import pytest

gi.require_version("Gst", "1.0")
gi.require_version("GLib", "2.0")
with warnings.catch_warnings():
    # PyGObject's importer draws an ImportWarning from newer Pythons.
    warnings.simplefilter("ignore", ImportWarning)
    from gi.repository import GLib, Gst

# Frames of the shared servers: small and slow, so that the encoders cost little. Keyframes
# every 5 frames, i.e. 3 a second.
SERVER_OPTIONS = dict(width=320, height=240, fps=15, keyframe_interval=5)


@pytest.fixture(scope="session")
def gst():
    """GStreamer, initialized (GStreamer stays initialized for the process)."""
    Gst.init(None)
    return Gst


@pytest.fixture(scope="session")
def rtsp_server():
    """One RTSP server with H.264, H.265 and MJPEG mounts for the whole session."""
    from kelvo.testing import RtspTestServer

    with RtspTestServer(mounts=["h264", "h265", "mjpeg"], **SERVER_OPTIONS) as server:
        yield server


@pytest.fixture(scope="session")
def http_server():
    """One HTTP server with MJPEG and MPEG-TS mounts for the whole session."""
    from kelvo.testing import HttpTestServer

    with HttpTestServer(mounts=["mjpeg", "ts"], **SERVER_OPTIONS) as server:
        yield server


def iterate_main_context(until, timeout=10.0):
    """Runs the default GLib main context (where bus watches are dispatched) until `until()`."""
    import time

    context = GLib.MainContext.default()
    deadline = time.monotonic() + timeout
    while not until():
        if time.monotonic() > deadline:
            return False
        if not context.iteration(False):
            time.sleep(0.005)
    return True
