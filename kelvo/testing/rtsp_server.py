"""A live RTSP test server (gst-rtsp-server), run as its own process.

    python -m kelvo.testing.rtsp_server --port 0 --mount h264 --mount mjpeg \\
        --width 320 --height 240 --fps 15 --keyframe-interval 15

Serves each mount at ``rtsp://127.0.0.1:PORT/NAME`` (``h264``, ``h265`` or ``mjpeg``) from one
shared encoder per mount, prints ``PORT <number>`` on standard output once it listens, and runs
until SIGTERM, SIGINT or the end of its standard input (so it ends with the process that
started it). With ``--user`` and ``--password`` a client must log in (basic authentication).
Use :class:`kelvo.testing.RtspTestServer` rather than running it by hand.
"""

import signal
import sys
import threading

import gi

from kelvo.testing._stream_options import parse_arguments, test_source

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

# Encoders tuned for low CPU: one thread, fastest preset, no scene-cut keyframes, so that
# keyframes come exactly every `keyframe_interval` frames.
ENCODERS = {
    "h264": (
        "x264enc tune=zerolatency speed-preset=ultrafast threads=1 key-int-max={interval} "
        "bitrate={bitrate} option-string=scenecut=0 ! video/x-h264,profile=constrained-baseline ! "
        "rtph264pay name=pay0 pt=96 config-interval=-1"
    ),
    "h265": (
        "x265enc tune=zerolatency speed-preset=ultrafast key-int-max={interval} bitrate={bitrate} "
        'option-string="scenecut=0:frame-threads=1:pools=1" ! '
        "rtph265pay name=pay0 pt=96 config-interval=-1"
    ),
    "mjpeg": "jpegenc quality=85 ! rtpjpegpay name=pay0 pt=26",
}


def launch_description(codec: str, width: int, height: int, fps: int, interval: int,
                       pattern: str, bitrate: int = 800) -> str:
    return ("( " + test_source(pattern, width, height, fps)
            + ENCODERS[codec].format(interval=interval, bitrate=bitrate) + " )")


def main(argv=None) -> int:
    args = parse_arguments("Live RTSP test streams on 127.0.0.1", ENCODERS, argv)

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    mounts = server.get_mount_points()
    if args.user is not None:
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string(GstRtspServer.RTSP_TOKEN_MEDIA_FACTORY_ROLE, "viewer")
        auth.add_basic(GstRtspServer.RTSPAuth.make_basic(args.user, args.password), token)
        server.set_auth(auth)
    for codec in args.mount or ["h264"]:
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch_description(codec, args.width, args.height, args.fps,
                                              args.keyframe_interval, args.pattern,
                                              args.bitrate))
        factory.set_shared(True)
        if args.user is not None:
            factory.add_role_from_structure(Gst.Structure.new_from_string(
                "viewer, media.factory.access=(boolean)true, "
                "media.factory.construct=(boolean)true"))
        mounts.add_factory("/" + codec, factory)
    if server.attach(None) == 0:
        print(f"cannot listen on 127.0.0.1:{args.port}", file=sys.stderr)
        return 1

    loop = GLib.MainLoop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)

    def watch_stdin():
        sys.stdin.read()
        GLib.idle_add(loop.quit)

    threading.Thread(target=watch_stdin, name="stdin-watch", daemon=True).start()
    print(f"PORT {server.get_bound_port()}", flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
