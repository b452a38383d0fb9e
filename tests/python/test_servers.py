"""The local test servers: ports, content, restarts on the same port, no process left."""

import os
import urllib.error
import urllib.request

import pytest

from kelvo.testing import HttpTestServer, RtspTestServer


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie would still answer: the servers reap their processes.
    with open(f"/proc/{pid}/stat") as stat:
        return stat.read().split()[2] != "Z"


@pytest.mark.parametrize("server_class, mount", [(RtspTestServer, "mjpeg"), (HttpTestServer, "mjpeg")])
def test_restarts_on_the_same_port_and_leaves_no_process(server_class, mount):
    server = server_class(mounts=[mount], fps=5)
    with server:
        port = server.port
        pid = server._process.pid
        assert port > 0 and server.running
        assert server.url(mount) == f"{server._scheme}://127.0.0.1:{port}/{mount}"
        server.restart()
        assert server.port == port
        assert not process_alive(pid)
        pid = server._process.pid
    assert not server.running and not process_alive(pid)
    server.stop()  # idempotent


@pytest.mark.parametrize("mount, content_type", [
    ("mjpeg", "multipart/x-mixed-replace; boundary=kelvoframe"),
    ("ts", "video/mp2t"),
])
def test_http_content(http_server, mount, content_type):
    with urllib.request.urlopen(http_server.url(mount), timeout=10) as response:
        assert response.headers["Content-Type"] == content_type
        data = response.read(4096)
    if mount == "mjpeg":
        assert data.startswith(b"--kelvoframe\r\nContent-Type: image/jpeg\r\n")
    else:
        assert data[0] == 0x47  # MPEG-TS sync byte
    with pytest.raises(urllib.error.HTTPError):
        urllib.request.urlopen(http_server.url(mount).rsplit("/", 1)[0] + "/nothing", timeout=10)


def test_unknown_mounts_are_refused():
    with pytest.raises(ValueError, match="unknown mount"):
        RtspTestServer(mounts=["vp8"])
    with pytest.raises(ValueError, match="not served"):
        HttpTestServer(mounts=["ts"]).url("mjpeg")
