"""Small hostile servers on 127.0.0.1: each answers a camera client with one misbehaviour.

A server runs in threads of the test process (so that its memory is not the reader's), one per
connection, until ``stop()``; use it as a context manager. Each behaviour is a function
``behaviour(conn, stop)`` of the accepted socket and a ``threading.Event``.
"""

import os
import socket
import struct
import threading
import time

# Junk that holds no multipart boundary (no '-') and, in practice, no start code.
CHUNK = os.urandom(1 << 20).replace(b"-", b"+")
BOUNDARY = b"kelvo-part-boundary"
PERIOD = 0.01  # one chunk every 10 ms: about 100 MB/s when the reader keeps up


class HostileServer:
    def __init__(self, behaviour):
        self._behaviour = behaviour
        self._stop = threading.Event()
        self._sock = socket.create_server(("127.0.0.1", 0))
        self.port = self._sock.getsockname()[1]
        self._conns = []
        self._threads = [threading.Thread(target=self._accept, daemon=True)]
        self._threads[0].start()

    def url(self, scheme, path="/x"):
        return f"{scheme}://127.0.0.1:{self.port}{path}"

    def _accept(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            self._conns.append(conn)
            thread = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self._threads.append(thread)
            thread.start()

    def _serve(self, conn):
        with conn:
            try:
                self._behaviour(conn, self._stop)
            except OSError:
                pass

    def stop(self):
        self._stop.set()
        # Shutting a socket down wakes a thread blocked on it.
        for sock in [self._sock] + self._conns:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._sock.close()
        for thread in self._threads:
            thread.join(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()


def _stream_junk(conn, stop):
    while not stop.is_set():
        conn.sendall(CHUNK)
        time.sleep(PERIOD)


def _read_request(conn):
    """One request's head: (first line, {lower-case header: value})."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            raise OSError("client went away")
        data += chunk
    lines = data.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return lines[0], headers


def http_part_without_boundary(conn, stop):
    """A multipart stream whose first part never ends."""
    _read_request(conn)
    conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=%s\r\n\r\n"
                 b"--%s\r\nContent-Type: image/jpeg\r\n\r\n" % (BOUNDARY, BOUNDARY))
    _stream_junk(conn, stop)


def http_endless_header(conn, stop):
    _read_request(conn)
    conn.sendall(b"HTTP/1.0 200 OK\r\nX-Never-Ends: ")
    while not stop.is_set():
        conn.sendall(b"a" * 65536)
        time.sleep(PERIOD)


def http_jpeg_parts(jpeg):
    """An MJPEG stream of `jpeg`, 25 parts a second."""

    def behaviour(conn, stop):
        _read_request(conn)
        conn.sendall(b"HTTP/1.0 200 OK\r\n"
                     b"Content-Type: multipart/x-mixed-replace; boundary=%s\r\n\r\n" % BOUNDARY)
        while not stop.is_set():
            conn.sendall(b"--%s\r\nContent-Type: image/jpeg\r\nContent-Length: %d\r\n\r\n%s\r\n"
                         % (BOUNDARY, len(jpeg), jpeg))
            time.sleep(0.04)

    return behaviour


def with_dimensions(jpeg, width, height):
    """`jpeg` with its frame header claiming `width`×`height`."""
    sof = jpeg.index(b"\xff\xc0")
    return jpeg[:sof + 5] + struct.pack(">HH", height, width) + jpeg[sof + 9:]


def _rtsp_reply(conn, headers, extra=b"", body=b""):
    conn.sendall(b"RTSP/1.0 200 OK\r\nCSeq: %s\r\n%s" % (headers.get("cseq", "0").encode(), extra)
                 + (b"Content-Length: %d\r\n\r\n%s" % (len(body), body) if body else b"\r\n"))


def rtsp_huge_content_length(conn, stop):
    """Answers the first request with a body that claims 2 GB and streams it."""
    _, headers = _read_request(conn)
    conn.sendall(b"RTSP/1.0 200 OK\r\nCSeq: %s\r\nContent-Type: application/sdp\r\n"
                 b"Content-Length: 2000000000\r\n\r\n" % headers.get("cseq", "0").encode())
    _stream_junk(conn, stop)


def rtsp_endless_headers(conn, stop):
    """Answers the first request with header lines that never end."""
    _, headers = _read_request(conn)
    conn.sendall(b"RTSP/1.0 200 OK\r\nCSeq: %s\r\n" % headers.get("cseq", "0").encode())
    line = b"X-More: " + b"a" * 1000 + b"\r\n"
    while not stop.is_set():
        conn.sendall(line * 1000)
        time.sleep(PERIOD)


def rtsp_jpeg_claiming(width, height):
    """An RTSP camera whose SDP claims `width`×`height` JPEG frames, sent over TCP."""
    sdp = (b"v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=x\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
           b"m=video 0 RTP/AVP 26\r\na=rtpmap:26 JPEG/90000\r\na=control:track1\r\n"
           b"a=x-dimensions:%d,%d\r\n" % (width, height))

    def behaviour(conn, stop):
        while not stop.is_set():
            line, headers = _read_request(conn)
            method = line.split(" ", 1)[0]
            if method == "OPTIONS":
                _rtsp_reply(conn, headers, b"Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN\r\n")
            elif method == "DESCRIBE":
                _rtsp_reply(conn, headers, b"Content-Type: application/sdp\r\n", sdp)
            elif method == "SETUP":
                _rtsp_reply(conn, headers, b"Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"
                            b"Session: 1234\r\n")
            elif method == "PLAY":
                _rtsp_reply(conn, headers, b"Session: 1234\r\n")
                break
            else:
                _rtsp_reply(conn, headers)
        sequence = 0
        while not stop.is_set():
            # RFC 2435 header: width and height 0 (taken from the SDP), Q 50, type 1.
            payload = struct.pack(">BBHBBBB", 0, 0, 0, 1, 50, 0, 0) + b"\x55" * 1000
            rtp = struct.pack(">BBHII", 0x80, 0x80 | 26, sequence & 0xFFFF, sequence * 3600,
                              0x1234) + payload
            conn.sendall(b"$\x00" + struct.pack(">H", len(rtp)) + rtp)
            sequence += 1
            time.sleep(0.04)

    return behaviour
