"""The baseline: a pure-Python reader of the same design, written with PyGObject.

A Python thread pulls samples from the appsink with a 1/30 s time-out, copies each frame into a
numpy array and publishes the newest one with its time. This is what a Python implementation of
kelvo's reader would cost; the benchmarks compare kelvo against it.
"""

import threading
import time
from typing import Optional, Tuple

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
gi.require_version("GstVideo", "1.0")
from gi.repository import Gst, GstApp, GstVideo  # noqa: E402,F401  (GstApp: the appsink's methods)

import numpy as np  # noqa: E402

Gst.init(None)

#: The appsink every built-in description of the benchmarks ends in.
APPSINK = "appsink name=sink max-buffers=1 drop=true sync=false"


def rtsp_description(url: str, latency: int = 200) -> str:
    return (
        f"rtspsrc location={url} latency={latency} ! decodebin ! videoconvert ! "
        f"video/x-raw,format=BGR ! {APPSINK}"
    )


class PyGObjectReader:
    def __init__(self, description: str) -> None:
        self.pipeline = Gst.parse_launch(description)
        self.sink = self.pipeline.get_by_name("sink")
        if self.sink is None:
            raise ValueError("the description needs an appsink named 'sink'")
        self.latest: Tuple[float, Optional[np.ndarray]] = (time.time(), None)
        self.frames = 0
        self.event = threading.Event()
        self._running = True
        self._thread = threading.Thread(target=self._pull, name="PyGObjectPull", daemon=True)
        self.pipeline.set_state(Gst.State.PLAYING)
        self._thread.start()

    def _pull(self) -> None:
        timeout = Gst.SECOND // 30
        while self._running:
            sample = self.sink.try_pull_sample(timeout)
            if sample is None:
                continue
            timestamp = time.time()
            info = GstVideo.VideoInfo.new_from_caps(sample.get_caps())
            buffer = sample.get_buffer()
            ok, mapped = buffer.map(Gst.MapFlags.READ)
            if not ok:
                continue
            try:
                stride = info.stride[0]
                rows = np.frombuffer(mapped.data, np.uint8, count=stride * info.height)
                image = rows.reshape(info.height, stride)[:, : info.width * 3]
                image = image.reshape(info.height, info.width, 3).copy()
            finally:
                buffer.unmap(mapped)
            self.latest = (timestamp, image)
            self.frames += 1
            self.event.set()

    def close(self) -> None:
        self._running = False
        self._thread.join(5)
        self.pipeline.set_state(Gst.State.NULL)
