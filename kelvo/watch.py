"""``python -m kelvo watch``: read streams and show how each one is doing.

With no URL it serves two live test streams of its own (H.264 and MJPEG over RTSP, on
127.0.0.1) and reads them, so kelvo can be seen at work with nothing else installed.
"""

import collections
import json
import math
import os
import signal
import sys
import threading
import time
from typing import IO, Deque, List, Optional, Sequence, Tuple

import numpy as np

from kelvo.logger import mask_password
from kelvo.web import tile_state

__all__ = ["watch", "write_contact_sheet"]

_DEMO_MOUNTS = ("h264", "mjpeg")


class _Stream:
    """One reader and what the displays need to remember about it. ``sample()`` may be called
    from several threads (the terminal and the page's requests)."""

    RATE_WINDOW = 2.0  # seconds: the frame rate is measured over at least this long

    def __init__(self, reader, label: str) -> None:
        self.reader = reader
        self.label = label
        self._lock = threading.Lock()
        self._counts: Deque[Tuple[float, int]] = collections.deque(
            [(time.monotonic(), 0)], maxlen=512)
        self._fps = 0.0
        self._restarts = 0
        self._restarted_at: Optional[float] = None

    def sample(self) -> dict:
        stats = self.reader.stats
        status = self.reader.status.name
        now = time.monotonic()
        count = stats["frames_published"]
        with self._lock:
            counts = self._counts
            while len(counts) > 1 and now - counts[1][0] >= self.RATE_WINDOW:
                counts.popleft()
            start, start_count = counts[0]
            if now - start > 0.2:
                self._fps = (count - start_count) / (now - start)
            counts.append((now, count))
            if stats["restarts"] != self._restarts:
                self._restarts, self._restarted_at = stats["restarts"], now
            restarted_ago = None if self._restarted_at is None else now - self._restarted_at
            fps = self._fps
        last_error = stats["last_error"]
        return {
            "id": self.reader.id,
            "url": self.label,
            "status": status,
            "state": tile_state(status, stats, restarted_ago),
            "fps": round(fps, 1),
            "frame_age": None if stats["last_frame_age"] is None
            else round(stats["last_frame_age"], 3),
            "frames": count,
            "restarts": stats["restarts"],
            "keyframes_only": stats["keyframes_only"],
            "width": stats["width"],
            "height": stats["height"],
            "gst_state": stats["gst_state"],
            "last_error": None if last_error is None else mask_password(last_error),
        }


def _line(s: dict) -> str:
    age = "-" if s["frame_age"] is None else f"{s['frame_age']:.2f}s"
    size = f"{s['width']}x{s['height']}" if s["width"] else "-"
    return (
        f"#{s['id']:<3} {s['status']:<12} {s['fps']:6.1f} fps  age {age:>7}  "
        f"restarts {s['restarts']:<3} keyframes-only {'on ' if s['keyframes_only'] else 'off'}  "
        f"{size:>9}  {s['url']}"
    )


class _Display:
    """Live lines redrawn in place on a terminal; plain or JSON lines elsewhere."""

    def __init__(self, out: IO[str], as_json: bool) -> None:
        self.out = out
        self.as_json = as_json
        self.live = not as_json and out.isatty()
        self.drawn = 0

    @property
    def interval(self) -> float:
        return 1.0 if self.live or self.as_json else 5.0

    def show(self, samples: List[dict]) -> None:
        if self.as_json:
            now = time.time()
            for s in samples:
                self.out.write(json.dumps(dict(s, time=round(now, 3))) + "\n")
        elif self.live:
            if self.drawn:
                self.out.write(f"\x1b[{self.drawn}F")
            for s in samples:
                self.out.write("\x1b[2K" + _line(s) + "\n")
            self.drawn = len(samples)
        else:
            stamp = time.strftime("%H:%M:%S")
            for s in samples:
                self.out.write(f"{stamp} {_line(s)}\n")
        self.out.flush()


def _nearest_resize(image: np.ndarray, width: int) -> np.ndarray:
    height = max(1, round(image.shape[0] * width / image.shape[1]))
    rows = (np.arange(height) * image.shape[0] // height).clip(0, image.shape[0] - 1)
    cols = (np.arange(width) * image.shape[1] // width).clip(0, image.shape[1] - 1)
    return image[rows][:, cols]


def _gst():
    import warnings

    import gi

    gi.require_version("Gst", "1.0")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ImportWarning)
        from gi.repository import Gst
    Gst.init(None)
    return Gst


def _run_to_sample(Gst, description: str, image: np.ndarray):
    """Pushes one BGR image through `description` (appsrc name=src ... appsink name=sink)."""
    pipeline = Gst.parse_launch(description)
    src, sink = pipeline.get_by_name("src"), pipeline.get_by_name("sink")
    height, width = image.shape[:2]
    src.set_property("caps", Gst.Caps.from_string(
        f"video/x-raw,format=BGR,width={width},height={height},framerate=0/1"))
    src.set_property("format", Gst.Format.TIME)
    pipeline.set_state(Gst.State.PLAYING)
    buffer = Gst.Buffer.new_wrapped(np.ascontiguousarray(image).tobytes())
    buffer.pts, buffer.duration = 0, Gst.SECOND  # the overlay wants timed buffers
    src.emit("push-buffer", buffer)
    src.emit("end-of-stream")
    sample = sink.emit("try-pull-sample", 10 * Gst.SECOND) if sink is not None else None
    bus = pipeline.get_bus()
    bus.timed_pop_filtered(10 * Gst.SECOND, Gst.MessageType.EOS | Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    return sample


def _label(Gst, image: np.ndarray, text: str) -> np.ndarray:
    """The image with `text` drawn in its top-left corner (GStreamer's text overlay)."""
    if Gst.ElementFactory.find("textoverlay") is None:
        return image
    escaped = text.replace('"', "'")
    sample = _run_to_sample(
        Gst,
        "appsrc name=src ! videoconvert ! "
        f'textoverlay text="{escaped}" valignment=top halignment=left font-desc="Sans 11" '
        "shaded-background=true ! videoconvert ! video/x-raw,format=BGR ! appsink name=sink",
        image,
    )
    if sample is None:
        return image
    buffer = sample.get_buffer()
    data = buffer.extract_dup(0, buffer.get_size())
    height, width = image.shape[:2]
    stride = len(data) // height
    return np.frombuffer(data, np.uint8).reshape(height, stride)[:, : width * 3].reshape(
        height, width, 3)


def write_contact_sheet(path: str, frames: Sequence[Tuple[int, float, Optional[np.ndarray]]],
                        cell_width: int = 320) -> None:
    """Writes a PNG of the frames side by side, each labelled with its stream id and time.

    ``frames``: (stream id, timestamp, BGR image or None). Encoded by GStreamer's pngenc.
    """
    Gst = _gst()
    cells = []
    for stream_id, timestamp, image in frames:
        if image is None:
            cell = np.full((cell_width * 9 // 16, cell_width, 3), 64, np.uint8)
            caption = f"#{stream_id}  no frame"
        else:
            cell = _nearest_resize(image[..., :3] if image.ndim == 3 else
                                   np.repeat(image[..., None], 3, axis=2), cell_width)
            clock = time.strftime("%H:%M:%S", time.localtime(timestamp))
            caption = f"#{stream_id}  {clock}.{int(timestamp * 1000) % 1000:03d}"
        cells.append(_label(Gst, cell, caption))
    if not cells:
        raise ValueError("no frames to write")
    columns = math.ceil(math.sqrt(len(cells)))
    rows = math.ceil(len(cells) / columns)
    cell_height = max(c.shape[0] for c in cells)
    sheet = np.zeros((rows * cell_height, columns * cell_width, 3), np.uint8)
    for i, cell in enumerate(cells):
        r, c = divmod(i, columns)
        sheet[r * cell_height: r * cell_height + cell.shape[0],
              c * cell_width: (c + 1) * cell_width] = cell
    location = os.path.abspath(path).replace("\\", "\\\\").replace('"', '\\"')
    _run_to_sample(Gst, f'appsrc name=src ! videoconvert ! pngenc ! filesink location="{location}"',
                   sheet)
    if not os.path.exists(path):
        raise RuntimeError(f"GStreamer wrote no PNG to {path}")


def _close_readers(streams: Sequence[_Stream], budget: float = 0.5) -> bool:
    """Closes every reader without waiting for one that backs off or restarts.

    Readers that stream stop within ``budget`` seconds; one that backs off closes once its
    back-off is over (and restarts no more), on its own threads, while the process exits.
    Returns True when every reader has stopped.
    """
    for s in streams:
        s.reader.close(block=False)
    deadline = time.monotonic() + budget
    pending = list(streams)
    while pending and time.monotonic() < deadline:
        pending = [s for s in pending if not _stopped(s.reader)]
        if pending:
            time.sleep(0.02)
    return not pending


def _stopped(reader) -> bool:
    thread = reader._pipeline_restarter._pipeline_restarter_thread
    return thread is None or not thread.is_alive()


def watch(urls: Sequence[str], pipelines: Sequence[str] = (), duration: Optional[float] = None,
          keyframes_only: bool = False, latency: Optional[int] = None, tcp: bool = False,
          as_json: bool = False, snapshot: Optional[str] = None,
          http: Optional[Tuple[str, int]] = None, out: IO[str] = sys.stdout) -> int:
    """Reads the streams and shows them until ``duration`` runs out, Ctrl-C or SIGTERM.

    ``http``: (host, port) of a live page with every stream, ``/metrics`` and ``/api/streams``
    (port 0: any free port; the address is printed). Raises ``kelvo.web.PageAddressError``
    when it cannot listen there.
    """
    from kelvo import glib_runtime
    from kelvo.stream_reader.gst import GstStreamReader

    streams: List[_Stream] = []
    page = registry = collector = None
    if http is not None:
        # Listen before anything starts, so that a port in use fails at once.
        from prometheus_client import CollectorRegistry

        from kelvo.prometheus import ReaderCollector
        from kelvo.web import WatchPage

        registry = CollectorRegistry()
        collector = ReaderCollector(registry)
        page = WatchPage(streams, registry, *http)

    server = None
    labels: List[Tuple[str, Optional[str]]] = [(u, None) for u in urls]
    labels += [(f"pipeline-{i + 1}", p) for i, p in enumerate(pipelines)]
    notes = sys.stderr if as_json else out
    if not labels:
        from kelvo.testing import RtspTestServer

        try:
            server = RtspTestServer(mounts=list(_DEMO_MOUNTS), width=640, height=360, fps=15,
                                    keyframe_interval=15).start()
        except BaseException:
            if page is not None:
                page.close()
            raise
        labels = [(server.url(m), None) for m in _DEMO_MOUNTS]
        notes.write(f"kelvo watch: serving test streams on rtsp://127.0.0.1:{server.port}/ "
                    f"({', '.join(_DEMO_MOUNTS)})\n")

    stop = threading.Event()
    previous_handler = signal.getsignal(signal.SIGTERM)
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
    glib_runtime.start()
    interrupted = False
    try:
        for url, description in labels:
            kwargs = dict(runtime_options={"keyframes_only": keyframes_only}, proxied=tcp,
                          pipeline_str=description)
            if latency is not None:
                kwargs["latency"] = latency
            reader = GstStreamReader(len(streams) + 1, url, **kwargs)
            streams.append(_Stream(reader, mask_password(url) if description is None
                                   else f"{url}: {mask_password(description)}"))
            if collector is not None:
                collector.register(reader, streams[-1].label)
        if page is not None:
            page.start()
            notes.write(f"kelvo watch: page on {page.url} (metrics: {page.url}metrics)\n")
            notes.flush()
        display = _Display(out, as_json)
        deadline = None if duration is None else time.monotonic() + duration
        while not stop.is_set():
            wait = display.interval
            if deadline is not None:
                wait = min(wait, deadline - time.monotonic())
                if wait <= 0:
                    break
            stop.wait(wait)
            display.show([s.sample() for s in streams])
    except KeyboardInterrupt:
        interrupted = True
    finally:
        all_stopped = False
        try:
            if page is not None:
                page.close()
            if snapshot and streams:
                frames = [(s.reader.id, *s.reader.latest_frame) for s in streams]
                write_contact_sheet(snapshot, frames)
                if not as_json:
                    out.write(f"kelvo watch: wrote {snapshot}\n")
        finally:
            all_stopped = _close_readers(streams)
            if not as_json:
                for s in streams:
                    stats = s.reader.stats
                    out.write(f"#{s.reader.id} {s.label}: {stats['frames_published']} frames, "
                              f"{stats['restarts']} restarts\n")
            # A reader still backing off needs the main loop until it has closed; the process
            # is about to end either way.
            if all_stopped:
                glib_runtime.close()
            if server is not None:
                server.stop()
            if threading.current_thread() is threading.main_thread():
                signal.signal(signal.SIGTERM, previous_handler)
    return 130 if interrupted else 0
