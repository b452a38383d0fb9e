"""A password in a URL, whatever characters it holds, never shows in anything kelvo writes; and
it reaches the camera whole."""

import logging
import subprocess
import sys
import time

import pytest

from kelvo.errors import StreamSetupError
from kelvo.logger import get_stream_logger, mask_password
from kelvo.stream_reader.gst import GstStreamReader
from kelvo.testing import HttpTestServer, RtspTestServer

MARK = "S3kr1t"  # in every password, and nowhere else
ODD = [chr(c) for c in range(0x20, 0x7F)] + ["ä", "密", "🔑"]
# One password per character, and passwords of eight characters each that hold them all.
SINGLE = [f"p{c}{MARK}{c}" for c in ODD]
PACKED = [MARK + "".join(ODD[i:i + 8]) for i in range(0, len(ODD), 8)]
UNREACHABLE = "127.0.0.1:1/cam"  # nothing listens on port 1: refused at once
QUICK = dict(runtime_options={}, base_backoff_seconds=0.2, max_backoff_seconds=0.5,
             backoff_randomness_seconds=0.0)


def url_with(scheme, password, rest=UNREACHABLE):
    # A '/' is the one character a password cannot hold raw.
    return f"{scheme}://viewer:{password.replace('/', '%2F')}@{rest}"


def description_with(url):
    quoted = url.replace("\\", "\\\\").replace('"', '\\"')
    return f'souphttpsrc location="{quoted}" ! appsink'


def test_masks_and_logger_names():
    for password in SINGLE + PACKED:
        for rest in (UNREACHABLE, "cam", "cam?x=1"):
            url = url_with("rtsp", password, rest)
            for text in (mask_password(url), get_stream_logger(url).name,
                         mask_password(f"Could not open ({url}), giving up")):
                assert MARK not in text and "viewer:***@" in text, text
    assert mask_password(f"souphttpsrc user-pw={MARK} proxy-pw='{MARK} x' ! appsink") == (
        "souphttpsrc user-pw=*** proxy-pw='***' ! appsink")


def test_nothing_a_reader_writes_shows_a_password(runtime, caplog):
    caplog.set_level(logging.DEBUG, logger="kelvo")
    texts, readers = [], []
    for i, password in enumerate(PACKED):
        scheme = ("http", "rtsp")[i % 2]
        refused = [url_with("ftp", password), url_with(scheme, password, "/x"),
                   url_with(scheme, password, "cam:-5/x")]
        for url in refused:
            with pytest.raises(StreamSetupError) as raised:
                GstStreamReader(i, url, runtime_options={})
            texts.append(str(raised.value))
        with pytest.raises(StreamSetupError) as raised:
            GstStreamReader(i, url_with(scheme, password), runtime_options={}, must_play=True)
        texts.append(str(raised.value))
        with pytest.raises(StreamSetupError) as raised:
            GstStreamReader(i, "custom", runtime_options={},
                            pipeline_str=f"souphttpsrc user-pw={password} ! ! appsink")
        texts.append(str(raised.value))
        # The source's own errors, and those of a source that is given the whole URL.
        readers.append(GstStreamReader(i, url_with(scheme, password), **QUICK))
        url = url_with("http", password)
        readers.append(GstStreamReader(i, url, pipeline_str=description_with(url), **QUICK))
    deadline = time.monotonic() + 30
    while not all(r.stats["last_error"] for r in readers):
        assert time.monotonic() < deadline, [r.stats for r in readers]
        time.sleep(0.05)
    texts += [r.stats["last_error"] for r in readers] + [repr(r) for r in readers]
    for r in readers:
        r.wait_until_closed()
    texts += [record.name for record in caplog.records]
    texts += [record.getMessage() for record in caplog.records]
    assert len(caplog.records) > len(readers)
    leaks = [text for text in texts if MARK in text]
    assert not leaks


def test_watch_shows_no_password(http_server, rtsp_server):
    # Three passwords that hold every character between them, on live streams.
    passwords = [MARK + "".join(ODD[i::3]) for i in range(3)]
    rests = [server.url("mjpeg").split("://", 1)[1] for server in (http_server, rtsp_server)]
    urls = [url_with(scheme, p, rest)
            for p in passwords for scheme, rest in zip(("http", "rtsp"), rests)]
    result = subprocess.run([sys.executable, "-P", "-m", "kelvo", "watch", "--duration", "5.5",
                             *urls], capture_output=True, text=True, timeout=120, cwd="/")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert sum("STREAMING" in line and "viewer:***@" in line for line in lines) >= len(urls)
    assert sum(" frames, " in line and "viewer:***@" in line for line in lines) == len(urls)
    assert MARK not in result.stdout + result.stderr


@pytest.mark.parametrize("server_class, options", [(HttpTestServer, {}),
                                                   (RtspTestServer, {"proxied": True})])
@pytest.mark.parametrize("password", [f"p#s?s w)'d\"<>]@:x{MARK}", f"pässwörd%zz/{MARK}"])
def test_credentials_reach_the_camera_whole(runtime, server_class, options, password):
    with server_class(mounts=["mjpeg"], fps=10, user="viewer", password=password) as server:
        rest = server.url("mjpeg").split("://", 1)[1]
        good = GstStreamReader(1, url_with(server._scheme, password, rest), **QUICK, **options)
        wrong = GstStreamReader(2, url_with(server._scheme, password + "x", rest), **QUICK,
                                **options)
        try:
            assert good.latest_frame_event.wait(15), good.stats
            deadline = time.monotonic() + 15
            while "Unauthorized" not in (wrong.stats["last_error"] or ""):
                assert time.monotonic() < deadline, wrong.stats
                time.sleep(0.05)
            assert wrong.stats["frames_published"] == 0
        finally:
            good.wait_until_closed()
            wrong.wait_until_closed()
