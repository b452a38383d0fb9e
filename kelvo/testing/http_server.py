"""A live HTTP test server for MJPEG and MPEG-TS, run as its own process.

    python -m kelvo.testing.http_server --port 0 --mount mjpeg --mount ts

Serves ``http://127.0.0.1:PORT/mjpeg`` (JPEG frames as ``multipart/x-mixed-replace``) and
``http://127.0.0.1:PORT/ts`` (H.264 in MPEG-TS, ``video/mp2t``), each from one shared GStreamer
encoder, prints ``PORT <number>`` once it listens, and runs until SIGTERM, SIGINT or the end of
its standard input. With ``--user`` and ``--password`` a client must log in (HTTP basic
authentication) or gets 401. Use :class:`kelvo.testing.HttpTestServer` rather than running it by hand.
"""

import base64
import signal
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import gi

from kelvo.testing._stream_options import parse_arguments, test_source

gi.require_version("Gst", "1.0")
gi.require_version("GstApp", "1.0")
from gi.repository import Gst, GstApp  # noqa: E402,F401

BOUNDARY = "kelvoframe"

ENCODERS = {
    "mjpeg": "jpegenc quality=85",
    "ts": (
        "x264enc tune=zerolatency speed-preset=ultrafast threads=1 key-int-max={interval} "
        "bitrate={bitrate} ! h264parse config-interval=-1 ! mpegtsmux alignment=7"
    ),
}

CONTENT_TYPES = {
    "mjpeg": f"multipart/x-mixed-replace; boundary={BOUNDARY}",
    "ts": "video/mp2t",
}


class Broadcast:
    """The newest chunk of one encoder, handed to every client that waits for it."""

    def __init__(self, name: str, description: str):
        self.name = name
        self._cond = threading.Condition()
        self._chunk = b""
        self._sequence = 0
        self._closed = False
        self._pipeline = Gst.parse_launch(description + " ! appsink name=out sync=false")
        sink = self._pipeline.get_by_name("out")
        sink.set_property("emit-signals", True)
        sink.connect("new-sample", self._on_sample)

    def start(self):
        self._pipeline.set_state(Gst.State.PLAYING)

    def stop(self):
        with self._cond:
            self._closed = True
            self._cond.notify_all()
        self._pipeline.set_state(Gst.State.NULL)

    def _on_sample(self, sink):
        sample = sink.emit("pull-sample")
        buffer = sample.get_buffer()
        data = buffer.extract_dup(0, buffer.get_size())
        with self._cond:
            self._chunk = data
            self._sequence += 1
            self._cond.notify_all()
        return Gst.FlowReturn.OK

    def next_chunk(self, after: int):
        """(sequence, chunk) of the first chunk newer than `after`; None once stopped."""
        with self._cond:
            while self._sequence == after and not self._closed:
                self._cond.wait(1.0)
            if self._closed:
                return None
            return self._sequence, self._chunk


def make_handler(broadcasts, credentials=None):
    expected = set()
    if credentials is not None:
        # Clients encode a non-ASCII password in UTF-8 or, as libsoup does, in ISO-8859-1.
        for encoding in ("utf-8", "iso-8859-1"):
            try:
                user_pass = ":".join(credentials).encode(encoding)
            except UnicodeEncodeError:
                continue
            expected.add("Basic " + base64.b64encode(user_pass).decode())

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def log_message(self, format, *args):  # noqa: A002 - quiet
            pass

        def do_GET(self):  # noqa: N802 - http.server's name
            if credentials is not None and self.headers.get("Authorization") not in expected:
                self.send_response(401)
                self.send_header("WWW-Authenticate", 'Basic realm="kelvo"')
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            name = self.path.strip("/").split("?")[0]
            broadcast = broadcasts.get(name)
            if broadcast is None:
                self.send_error(404)
                return
            self.send_response(200)
            self.send_header("Content-Type", CONTENT_TYPES[name])
            self.send_header("Cache-Control", "no-cache")
            self.end_headers()
            sequence = 0
            try:
                while True:
                    item = broadcast.next_chunk(sequence)
                    if item is None:
                        return
                    sequence, chunk = item
                    if name == "mjpeg":
                        self.wfile.write(
                            f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\n"
                            f"Content-Length: {len(chunk)}\r\n\r\n".encode()
                        )
                        self.wfile.write(chunk)
                        self.wfile.write(b"\r\n")
                    else:
                        self.wfile.write(chunk)
                    self.wfile.flush()
            except (BrokenPipeError, ConnectionResetError):
                return

    return Handler


def main(argv=None) -> int:
    args = parse_arguments("Live HTTP test streams on 127.0.0.1", ENCODERS, argv)

    Gst.init(None)
    broadcasts = {}
    for name in args.mount or ["mjpeg"]:
        source = test_source(args.pattern, args.width, args.height, args.fps)
        encoder = ENCODERS[name].format(interval=args.keyframe_interval, bitrate=args.bitrate)
        broadcasts[name] = Broadcast(name, source + encoder)
    ThreadingHTTPServer.allow_reuse_address = True
    ThreadingHTTPServer.daemon_threads = True
    credentials = (args.user, args.password) if args.user is not None else None
    server = ThreadingHTTPServer(("127.0.0.1", args.port), make_handler(broadcasts, credentials))
    for broadcast in broadcasts.values():
        broadcast.start()

    stop = threading.Event()

    def request_stop(*_):
        stop.set()

    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, request_stop)

    def watch_stdin():
        sys.stdin.read()
        stop.set()

    threading.Thread(target=watch_stdin, name="stdin-watch", daemon=True).start()
    threading.Thread(target=server.serve_forever, name="http", daemon=True).start()
    print(f"PORT {server.server_address[1]}", flush=True)
    while not stop.wait(0.2):
        pass
    server.shutdown()
    for broadcast in broadcasts.values():
        broadcast.stop()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
