"""The live page of ``python -m kelvo watch --http``: every stream as a tile, and its metrics.

Paths (GET only; the page changes nothing):

- ``/``: the page. It polls ``/api/streams`` a few times a second and reloads the tile images.
- ``/api/streams``: JSON, ``{"time": ..., "streams": [...]}``, one object per stream (the
  fields of ``watch --json`` plus ``tile``, ``state``, ``image``, ``black``, ``frozen``).
- ``/frame/N.jpg``: the newest frame of tile N, scaled down to at most 320 pixels wide.
- ``/metrics``: the Prometheus text form of the readers' collector.

The server is the standard library's, on daemon threads of its own. Requests only read
``stats``, ``status`` and ``latest_frame`` of the readers, none of which waits on a reader. A
frame is encoded only when a browser asks for it, at most five times a second per stream, by a
GStreamer pipeline (``appsrc ! videoscale ! jpegenc ! appsink``): the scaling and encoding run
on GStreamer's thread while the request's thread waits without Python's lock. A slow or
vanished browser holds up only its own request thread, which gives up after 10 s of silence.
"""

import json
import re
import socket
import threading
import time
import warnings
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import List, Optional, Sequence, Tuple
from urllib.parse import urlsplit

import numpy as np

from kelvo.logger import logger

__all__ = ["WatchPage", "PageAddressError", "parse_address", "tile_state"]

#: A stream whose newest frame is older than this is "stale".
STALE_SECONDS = 3.0
#: A stream that restarted less than this long ago is still shown "restarting".
RESTART_MEMORY_SECONDS = 5.0
#: A stream whose picture has not changed for this long, while frames come, is "frozen".
FROZEN_SECONDS = 3.0
TILE_WIDTH = 320
ENCODE_INTERVAL = 0.2  # seconds: at most five JPEGs a second per stream
_ENCODE_TIMEOUT = 2.0


def tile_state(status: str, stats: dict, restarted_ago: Optional[float]) -> str:
    """What a tile shows: "live", "starting", "stale", "restarting" or "closed".

    ``restarted_ago``: seconds since the reader's restart count last grew (None: never).
    """
    if status == "CLOSED":
        return "closed"
    age = stats["last_frame_age"]
    if status == "HALTED" or (restarted_ago is not None and restarted_ago < RESTART_MEMORY_SECONDS):
        return "restarting"
    if age is None or status == "INITIALIZING":
        return "restarting" if stats["restarts"] else "starting"
    return "stale" if age > STALE_SECONDS else "live"


def _gst():
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstApp", "1.0")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ImportWarning)
        from gi.repository import Gst, GstApp
    Gst.init(None)
    return Gst, GstApp


def _as_bgr(image: np.ndarray) -> np.ndarray:
    if image.ndim == 2:
        image = image[..., None]
    if image.shape[2] >= 3:
        return image[..., :3]
    return np.repeat(image[..., :1], 3, axis=2)


class _JpegEncoder:
    """BGR images of one size to JPEGs of at most TILE_WIDTH pixels wide, by a pipeline that
    stays up between frames. GStreamer scales and encodes on its own thread; PyGObject releases
    Python's lock around its calls into GStreamer, so the waiting thread does not hold it."""

    def __init__(self, width: int, height: int) -> None:
        self.Gst, GstApp = _gst()
        self.size = (width, height)
        out_width = min(width, TILE_WIDTH)
        out_height = max(2, round(height * out_width / width) // 2 * 2)
        # Python keeps every step-th pixel of every step-th row, about twice the tile's size;
        # GStreamer filters the rest of the way.
        self.step = max(1, width // (2 * out_width))
        rows, columns = -(-height // self.step), -(-width // self.step)
        # GStreamer's BGR rows start every 4 bytes. Reused: no large allocation per tile.
        self._rows = np.zeros((rows, (columns * 3 + 3) // 4 * 4), np.uint8)
        self._pixels = self._rows[:, : columns * 3].view("V3")
        self.pipeline = self.Gst.parse_launch(
            "appsrc name=src format=time "
            f"caps=video/x-raw,format=BGR,width={columns},height={rows},framerate=0/1 ! "
            "videoscale ! videoconvert ! "
            # Full-range YUV: what JPEG decoders expect (limited range would grey the blacks).
            f"video/x-raw,format=I420,width={out_width},height={out_height},"
            "colorimetry=1:4:0:0,pixel-aspect-ratio=1/1 ! jpegenc quality=75 ! "
            "appsink name=sink sync=false")
        self.src = self.pipeline.get_by_name("src")
        self.sink = self.pipeline.get_by_name("sink")
        self.bus = self.pipeline.get_bus()
        self.pipeline.set_state(self.Gst.State.PLAYING)

    def encode(self, image: np.ndarray) -> Optional[bytes]:
        """The JPEG of ``image`` (``size`` pixels, BGR); None when GStreamer fails."""
        Gst = self.Gst
        # One 3-byte item per pixel: numpy copies those far faster than single bytes.
        pixels = np.ascontiguousarray(image).view("V3")[:, :, 0]
        np.copyto(self._pixels, pixels[:: self.step, :: self.step])
        self.src.push_buffer(Gst.Buffer.new_wrapped(self._rows.tobytes()))
        sample = self.sink.try_pull_sample(int(_ENCODE_TIMEOUT * Gst.SECOND))
        failed = sample is None
        while True:  # nobody watches this bus: empty it, or its messages pile up
            message = self.bus.pop()
            if message is None:
                break
            if message.type == Gst.MessageType.ERROR:
                failed = True
                logger.warning("watch page: JPEG encoding failed: %s", message.parse_error()[0])
        if failed or sample is None:
            return None
        buffer = sample.get_buffer()
        return buffer.extract_dup(0, buffer.get_size())

    def close(self) -> None:
        self.pipeline.set_state(self.Gst.State.NULL)


class _Tile:
    """The JPEG of one stream's newest frame, made when asked, cached, and what it shows."""

    def __init__(self, stream) -> None:
        self.stream = stream
        self._lock = threading.Lock()  # among request threads only; readers never take it
        self._encoder: Optional[_JpegEncoder] = None
        self._closed = False
        self._jpeg: Optional[bytes] = None
        self._stamp: Optional[float] = None
        self._encoded_at = -1e9
        self._probe: Optional[np.ndarray] = None
        self._same_since: Optional[float] = None
        self.black: Optional[bool] = None
        self.frozen: Optional[bool] = None

    def jpeg(self) -> Optional[bytes]:
        with self._lock:
            now = time.monotonic()
            if self._closed or now - self._encoded_at < ENCODE_INTERVAL:
                return self._jpeg
            self._encoded_at = now
            timestamp, frame = self.stream.reader.latest_frame
            if frame is None or timestamp == self._stamp:
                return self._jpeg
            image = _as_bgr(frame)
            self._look_at(image, timestamp, now)
            size = (image.shape[1], image.shape[0])
            if self._encoder is not None and self._encoder.size != size:
                self._encoder.close()
                self._encoder = None
            if self._encoder is None:
                self._encoder = _JpegEncoder(*size)
            jpeg = self._encoder.encode(image)
            if jpeg is None:  # rebuilt at the next request
                self._encoder.close()
                self._encoder = None
                return self._jpeg
            self._jpeg, self._stamp = jpeg, timestamp
            return jpeg

    def _look_at(self, image: np.ndarray, timestamp: float, now: float) -> None:
        """Black: every sampled pixel dark. Frozen: new frames, the same (not black) picture for a
        while."""
        probe = image[:: max(1, image.shape[0] // 36), :: max(1, image.shape[1] // 64)]
        self.black = int(probe.max()) <= 40
        if self._probe is not None and self._probe.shape == probe.shape and \
                np.array_equal(self._probe, probe):
            if self._same_since is None:
                self._same_since = now
        else:
            self._same_since = None
        self._probe = probe.copy()
        self.frozen = not self.black and self._same_since is not None and \
            now - self._same_since >= FROZEN_SECONDS

    def close(self) -> None:
        with self._lock:
            self._closed = True
            if self._encoder is not None:
                self._encoder.close()
                self._encoder = None


class _Server(ThreadingHTTPServer):
    daemon_threads = True  # request threads never hold up the host's exit
    block_on_close = False
    allow_reuse_address = True

    def handle_error(self, request, client_address) -> None:
        # A browser that went away is not worth a traceback.
        logger.debug("watch page: request from %s failed", client_address, exc_info=True)


class _IPv6Server(_Server):
    address_family = socket.AF_INET6


def _handler(page: "WatchPage"):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "kelvo-watch"
        timeout = 10.0  # a client silent for this long loses its connection

        def log_message(self, format, *args) -> None:  # noqa: A002 - http.server's name
            pass

        def _send(self, code: int, body: bytes, content_type: str) -> None:
            self.send_response(code)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Cache-Control", "no-store")
            self.send_header("X-Content-Type-Options", "nosniff")
            self.end_headers()
            self.wfile.write(body)

        def do_GET(self) -> None:  # noqa: N802 - http.server's name
            path = urlsplit(self.path).path
            match = re.fullmatch(r"/frame/(\d{1,6})\.jpg", path)
            if path == "/":
                self._send(200, _PAGE, "text/html; charset=utf-8")
            elif path == "/api/streams":
                body = json.dumps({"time": round(time.time(), 3), "streams": page.streams_json()})
                self._send(200, body.encode(), "application/json")
            elif path == "/metrics":
                from prometheus_client.exposition import CONTENT_TYPE_LATEST, generate_latest

                self._send(200, generate_latest(page.registry), CONTENT_TYPE_LATEST)
            elif match and int(match.group(1)) < len(page.tiles):
                jpeg = page.tiles[int(match.group(1))].jpeg()
                if jpeg is None:
                    self._send(404, b"no frame yet\n", "text/plain")
                else:
                    self._send(200, jpeg, "image/jpeg")
            else:
                self._send(404, b"not found\n", "text/plain")

    return Handler


def parse_address(text: str) -> Tuple[str, int]:
    """``[HOST:]PORT`` (an IPv6 host in brackets) to (host, port); host 127.0.0.1 by default.

    Raises ``ValueError`` for anything else.
    """
    host, sep, port = text.rpartition(":")
    if not sep:
        host = "127.0.0.1"
    elif host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not host or not re.fullmatch(r"[0-9]{1,5}", port) or int(port) > 65535:
        raise ValueError(f"expected [HOST:]PORT with a port from 0 to 65535, got {text!r}")
    return host, int(port)


class PageAddressError(OSError):
    """The page cannot listen on the address asked for (in use, not this machine's, ...)."""


class WatchPage:
    """The page's HTTP server. It binds at construction and serves from ``start()`` on.

    ``streams``: objects with ``reader``, ``label`` (password already masked) and ``sample()``
    (the dict of ``watch --json``); the list may grow until ``start()``. ``registry``: the
    ``prometheus_client`` registry that ``/metrics`` shows.
    """

    def __init__(self, streams: List, registry, host: str = "127.0.0.1", port: int = 0) -> None:
        self.streams = streams
        self.registry = registry
        self.tiles: Sequence[_Tile] = ()
        server_class = _IPv6Server if ":" in host else _Server
        try:
            self._server = server_class((host, port), _handler(self))
        except OSError as error:
            raise PageAddressError(
                f"cannot serve on {host}:{port}: {error.strerror or error}") from None
        self._thread: Optional[threading.Thread] = None

    @property
    def url(self) -> str:
        host, port = self._server.server_address[:2]
        return f"http://[{host}]:{port}/" if ":" in host else f"http://{host}:{port}/"

    def start(self) -> "WatchPage":
        self.tiles = tuple(_Tile(s) for s in self.streams)
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.25,),
                                        name="kelvo-watch-http", daemon=True)
        self._thread.start()
        return self

    def streams_json(self) -> List[dict]:
        out = []
        for n, tile in enumerate(self.tiles):
            sample = tile.stream.sample()
            sample.update(tile=n, image=f"/frame/{n}.jpg", black=tile.black, frozen=tile.frozen)
            out.append(sample)
        return out

    def close(self) -> None:
        """Stops serving (requests under way end on their own daemon threads)."""
        if self._thread is not None:
            self._server.shutdown()
            self._thread = None
        self._server.server_close()
        for tile in self.tiles:
            tile.close()


_PAGE = r"""<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>kelvo watch</title>
<style>
[hidden] { display: none !important; }
body { margin: 0; font: 14px/1.35 system-ui, sans-serif; background: #15181c; color: #dde1e6; }
header { padding: 10px 16px; display: flex; gap: 18px; align-items: baseline; flex-wrap: wrap; }
header h1 { font-size: 18px; margin: 0; }
#summary span { margin-right: 12px; }
#lost { color: #ff8a80; display: none; }
body.lost #lost { display: inline; }
#grid { display: grid; gap: 12px; padding: 0 16px 16px;
        grid-template-columns: repeat(auto-fill, minmax(320px, 1fr)); }
.tile { background: #1f2329; border-radius: 6px; overflow: hidden; border: 2px solid #2c323a; }
.tile[data-state=live] { border-color: #2e7d32; }
.tile[data-state=stale] { border-color: #f9a825; }
.tile[data-state=restarting] { border-color: #e65100; }
.tile[data-state=closed] { border-color: #555; opacity: .6; }
.picture { position: relative; aspect-ratio: 16 / 9; background: #000; }
.picture img { width: 100%; height: 100%; object-fit: contain; display: block; }
.picture .none { position: absolute; inset: 0; display: flex; align-items: center;
                 justify-content: center; color: #888; }
.tile:not([data-state=live]) img { filter: grayscale(.8) brightness(.7); }
.badges { position: absolute; top: 6px; left: 6px; display: flex; gap: 4px; }
.badge { padding: 1px 7px; border-radius: 9px; font-size: 12px; font-weight: 600;
         background: #444; color: #fff; }
.state.live { background: #2e7d32; } .state.stale { background: #f9a825; color: #000; }
.state.restarting { background: #e65100; } .state.closed { background: #555; }
.flag { background: #6a1b9a; }
.info { padding: 6px 10px; }
.name { font-weight: 600; white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
.figures { color: #aab2bd; font-variant-numeric: tabular-nums; }
.figures { display: flex; flex-wrap: wrap; column-gap: 10px; }
.figures span { white-space: nowrap; }
.error { color: #ff8a80; font-size: 12px; max-height: 3.9em; overflow: hidden;
         word-break: break-all; }
</style></head>
<body>
<header><h1>kelvo watch</h1><div id="summary"></div>
<span id="lost">no answer from kelvo: the figures below are old</span></header>
<main id="grid"></main>
<script>
"use strict";
const POLL_MS = 330;
const tiles = new Map();

function el(parent, tag, cls) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  parent.appendChild(e);
  return e;
}

function makeTile(s) {
  const t = {};
  t.root = el(document.getElementById("grid"), "section", "tile");
  t.root.id = "tile-" + s.tile;
  const picture = el(t.root, "div", "picture");
  t.img = el(picture, "img");
  t.img.alt = "stream " + s.id;
  t.img.hidden = true;
  t.none = el(picture, "div", "none");
  t.none.textContent = "no frame yet";
  const badges = el(picture, "div", "badges");
  t.state = el(badges, "span", "badge state");
  t.flags = el(badges, "span", "badge flag");
  const info = el(t.root, "div", "info");
  t.name = el(info, "div", "name");
  const figures = el(info, "div", "figures");
  t.status = el(figures, "span", "status");
  t.fps = el(figures, "span", "fps");
  t.age = el(figures, "span", "age");
  t.restarts = el(figures, "span", "restarts");
  t.size = el(figures, "span", "size");
  t.error = el(info, "div", "error");
  t.loading = false;
  t.shown = -1;
  t.img.onload = () => { t.loading = false; t.img.hidden = false; t.none.hidden = true; };
  t.img.onerror = () => { t.loading = false; };
  tiles.set(s.tile, t);
  return t;
}

function show(s) {
  const t = tiles.get(s.tile) || makeTile(s);
  t.root.dataset.state = s.state;
  t.state.textContent = s.state;
  t.state.className = "badge state " + s.state;
  const flags = [s.black ? "black" : "", s.frozen ? "frozen" : ""].filter(Boolean).join(" ");
  t.flags.textContent = flags;
  t.flags.hidden = !flags;
  t.root.dataset.flags = flags;
  t.name.textContent = "#" + s.id + "  " + s.url;
  t.name.title = s.url;
  t.status.textContent = s.status;
  t.fps.textContent = s.fps.toFixed(1) + " fps";
  t.age.textContent = "age " + (s.frame_age === null ? "-" : s.frame_age.toFixed(1) + " s");
  t.restarts.textContent = s.restarts + (s.restarts === 1 ? " restart" : " restarts");
  t.size.textContent = s.width ? s.width + "\u00d7" + s.height : "";
  t.error.textContent = s.last_error || "";
  if (s.frames > 0 && s.frames !== t.shown && !t.loading && s.state !== "closed") {
    t.loading = true;
    t.shown = s.frames;
    t.img.src = s.image + "?n=" + s.frames;
  }
}

async function poll() {
  try {
    const response = await fetch("/api/streams", {cache: "no-store"});
    const data = await response.json();
    const counts = {};
    for (const s of data.streams) {
      show(s);
      counts[s.state] = (counts[s.state] || 0) + 1;
    }
    const summary = document.getElementById("summary");
    summary.textContent = "";
    el(summary, "span").textContent = data.streams.length + " streams";
    for (const state of ["live", "starting", "stale", "restarting", "closed"]) {
      if (counts[state]) el(summary, "span", "count").textContent = counts[state] + " " + state;
    }
    document.body.classList.remove("lost");
  } catch (e) {
    document.body.classList.add("lost");
  }
  setTimeout(poll, POLL_MS);
}
poll();
</script>
</body></html>
""".encode()
