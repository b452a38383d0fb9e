"""Hostile servers cannot push a reader's process past a memory ceiling, get it restarted as
stalls or oversized frames, and cannot hold up its close."""

import json

import pytest

import hostile_servers as hostile
from conftest import run_python

CEILING_MB = 1024  # generous: a reader alone needs about 60 MB, the byte bound adds 200-450 MB

CHILD = """
import json, time
from kelvo import glib_runtime
from kelvo.stream_reader.gst import GstStreamReader

def rss_mb():
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) // 1024 for l in status if l.startswith("VmRSS"))

glib_runtime.start()
reader = GstStreamReader(1, {url!r}, runtime_options={{}}, proxied=True,
                         base_backoff_seconds=0.2, max_backoff_seconds=0.5,
                         backoff_randomness_seconds=0.1)
start = time.monotonic()
peak = rss_mb()
while time.monotonic() - start < {seconds} or (
        reader.stats["restarts"] < {restarts} and time.monotonic() - start < 60):
    time.sleep(0.05)
    peak = max(peak, rss_mb())
stats = reader.stats
began = time.monotonic()
reader.wait_until_closed()
print(json.dumps(dict(peak_mb=peak, stats=stats, closing=time.monotonic() - began)))
glib_runtime.close()
"""


@pytest.fixture(scope="module")
def jpeg(gst):
    pipeline = gst.parse_launch("videotestsrc num-buffers=1 ! video/x-raw,width=64,height=48 ! "
                                "jpegenc ! appsink name=sink")
    pipeline.set_state(gst.State.PLAYING)
    sample = pipeline.get_by_name("sink").emit("try-pull-sample", 5 * gst.SECOND)
    pipeline.set_state(gst.State.NULL)
    buffer = sample.get_buffer()
    return buffer.extract_dup(0, buffer.get_size())


STALL = "The source sent more than 212336640 bytes without a frame"
HUGE = "Frame of 16000x16000 pixels is larger than the limit of 35389440 pixels"


@pytest.mark.parametrize(
    "scheme, behaviour, seconds, restarts, error",
    [
        ("http", lambda jpeg: hostile.http_part_without_boundary, 4, 2, STALL),
        ("rtsp", lambda jpeg: hostile.rtsp_huge_content_length, 4, 2, STALL),
        ("http", lambda jpeg: hostile.http_jpeg_parts(hostile.with_dimensions(jpeg, 16000, 16000)),
         3, 2, HUGE),
        ("rtsp", lambda jpeg: hostile.rtsp_jpeg_claiming(16000, 16000), 3, 2, HUGE),
        ("http", lambda jpeg: hostile.http_endless_header, 3, 1, None),
        # Read one byte at a time and never complete: only the stop deadline ends the read.
        ("rtsp", lambda jpeg: hostile.rtsp_endless_headers, 3, 0, None),
    ],
    ids=["part-without-boundary", "huge-content-length", "jpeg-16000x16000", "sdp-16000x16000",
         "endless-http-header", "endless-rtsp-headers"],
)
def test_hostile_server(jpeg, scheme, behaviour, seconds, restarts, error):
    with hostile.HostileServer(behaviour(jpeg)) as server:
        result = run_python(CHILD.format(url=server.url(scheme), seconds=seconds,
                                         restarts=restarts))
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout.splitlines()[-1])
    stats = report["stats"]
    assert report["peak_mb"] < CEILING_MB, report
    assert stats["frames_published"] == 0 and stats["restarts"] >= restarts, report
    if error is not None:
        assert stats["last_error"].startswith(error), report
    assert report["closing"] < 10, report  # a stuck source is cut off after 3 s
