"""Local live test streams for tests, benchmarks and the demo: RTSP and HTTP, on 127.0.0.1.

Each server runs in a process of its own and is driven through a class here::

    from kelvo.testing import RtspTestServer, HttpTestServer

    with RtspTestServer(mounts=["h264", "h265", "mjpeg"], width=320, height=240, fps=15,
                        keyframe_interval=15) as rtsp:
        url = rtsp.url("h264")          # rtsp://127.0.0.1:PORT/h264
        rtsp.stop()                     # the stream goes away...
        rtsp.start()                    # ...and comes back on the same port

    with HttpTestServer(mounts=["mjpeg", "ts"]) as http:
        http.url("mjpeg")               # MJPEG, multipart/x-mixed-replace
        http.url("ts")                  # H.264 in MPEG-TS

API of both classes:

- ``__init__(mounts=..., width=320, height=240, fps=15, keyframe_interval=15, pattern="ball",
  port=0, user=None, password=None, bitrate=800)``: nothing starts yet. ``bitrate`` is the
  H.264/H.265 encoders' kbit/s. RTSP mounts: ``"h264"``, ``"h265"``,
  ``"mjpeg"``; HTTP mounts: ``"mjpeg"``, ``"ts"``. Every mount has one shared encoder, whatever
  the number of clients. ``keyframe_interval`` is in frames (exact: no scene-cut keyframes).
  ``pattern`` is a ``videotestsrc`` pattern name. With ``user`` and ``password`` clients must log
  in (basic authentication); ``url(mount)`` stays without credentials.
- ``start()``: starts the server process and waits until it listens; the first start binds the
  given port (0: a free one, read back from the process), later starts bind the same port
  again. Returns the server. Raises ``RuntimeError`` with the process's error output when it
  does not come up.
- ``stop()``: ends the process (SIGTERM, then SIGKILL after 5 s) and waits for it. Idempotent.
- ``restart()``: ``stop()`` then ``start()``.
- ``port``, ``running``, ``url(mount)``; context manager: ``start()`` on enter, ``stop()`` on
  exit.

The processes also end when the process that started them ends (they watch their standard
input), so no server outlives its test run.
"""

import os
import select
import subprocess
import sys
import tempfile
import time
from typing import Iterable, List, Optional

__all__ = ["RtspTestServer", "HttpTestServer"]

_HERE = os.path.dirname(os.path.abspath(__file__))
_START_TIMEOUT = 30.0
_STOP_TIMEOUT = 5.0


class _ServerProcess:
    """A test server in its own process, found again on the same port after a restart."""

    _script = ""
    _scheme = ""
    _mount_names: tuple = ()

    def __init__(self, mounts: Iterable[str], width: int = 320, height: int = 240, fps: int = 15,
                 keyframe_interval: int = 15, pattern: str = "ball", port: int = 0,
                 user: Optional[str] = None, password: Optional[str] = None,
                 bitrate: int = 800):
        self.mounts: List[str] = list(mounts)
        for mount in self.mounts:
            if mount not in self._mount_names:
                raise ValueError(f"unknown mount {mount!r}; expected one of {self._mount_names}")
        self.width = width
        self.height = height
        self.fps = fps
        self.keyframe_interval = keyframe_interval
        self.pattern = pattern
        self.bitrate = bitrate
        self.port: int = port
        self.user = user
        self.password = password
        self._process: Optional[subprocess.Popen] = None
        self._errors = None

    @property
    def running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    def url(self, mount: str) -> str:
        if mount not in self.mounts:
            raise ValueError(f"{mount!r} is not served; mounts: {self.mounts}")
        return f"{self._scheme}://127.0.0.1:{self.port}/{mount}"

    def start(self):
        if self.running:
            return self
        command = [sys.executable, os.path.join(_HERE, self._script), "--port", str(self.port),
                   "--width", str(self.width), "--height", str(self.height),
                   "--fps", str(self.fps), "--keyframe-interval", str(self.keyframe_interval),
                   "--pattern", self.pattern, "--bitrate", str(self.bitrate)]
        for mount in self.mounts:
            command += ["--mount", mount]
        if self.user is not None:
            command += [f"--user={self.user}", f"--password={self.password or ''}"]
        self._errors = tempfile.TemporaryFile()
        deadline = time.monotonic() + _START_TIMEOUT
        while True:
            self._process = subprocess.Popen(
                command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._errors,
                cwd=_HERE)
            port = self._read_port(deadline)
            if port is not None:
                self.port = port
                return self
            self._end_process()
            # The port of a stopped server may still be held for a moment: try again.
            if self.port == 0 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self._errors.seek(0)
        errors = self._errors.read().decode(errors="replace")[-2000:]
        raise RuntimeError(f"{type(self).__name__} did not start: {errors}")

    def _read_port(self, deadline: float) -> Optional[int]:
        stdout = self._process.stdout
        line = b""
        while time.monotonic() < deadline:
            ready, _, _ = select.select([stdout], [], [], 0.1)
            if ready:
                chunk = os.read(stdout.fileno(), 256)
                if not chunk:
                    return None  # the process ended
                line += chunk
                if b"\n" in line:
                    first = line.split(b"\n", 1)[0].decode()
                    if first.startswith("PORT "):
                        return int(first.split()[1])
                    return None
            elif self._process.poll() is not None:
                return None
        return None

    def _end_process(self):
        process, self._process = self._process, None
        if process is None:
            return
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(_STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for stream in (process.stdin, process.stdout):
            if stream is not None:
                stream.close()

    def stop(self):
        self._end_process()
        if self._errors is not None:
            self._errors.close()
            self._errors = None

    def restart(self):
        self.stop()
        return self.start()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()

    def __del__(self):
        try:
            self.stop()
        except Exception:  # noqa: BLE001 - interpreter shutdown
            pass


class RtspTestServer(_ServerProcess):
    """Live RTSP streams (gst-rtsp-server): mounts ``h264``, ``h265``, ``mjpeg``."""

    _script = "rtsp_server.py"
    _scheme = "rtsp"
    _mount_names = ("h264", "h265", "mjpeg")

    def __init__(self, mounts: Iterable[str] = ("h264",), **options):
        super().__init__(mounts, **options)


class HttpTestServer(_ServerProcess):
    """Live HTTP streams: ``mjpeg`` (multipart/x-mixed-replace) and ``ts`` (H.264 in MPEG-TS)."""

    _script = "http_server.py"
    _scheme = "http"
    _mount_names = ("mjpeg", "ts")

    def __init__(self, mounts: Iterable[str] = ("mjpeg",), **options):
        super().__init__(mounts, **options)
