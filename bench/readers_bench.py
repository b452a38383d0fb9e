"""kelvo against the readers users would pick instead, on the same streams, in one run.

    .venv/bin/python -P bench/readers_bench.py [--seconds 5] [--only NAME ...]

Scenarios (each contender in a fresh process; CPU is the contender's process, user+sys):

- ``nondecode``: videotestsrc BGR 1280×720, not live: the readers' own overhead per frame and
  their top frame rate, with a quiet host and with a busy one (a pure-Python loop on the main
  thread). Contenders: kelvo, a PyGObject reader, OpenCV's GStreamer backend; the source alone
  into fakesink is the floor.
- ``rtsp``: 1280×720@30 H.264 from the local RTSP server: CPU per frame, frames per second with
  a busy host, time to the first frame. Contenders: kelvo, PyGObject, OpenCV (FFmpeg), PyAV; the
  floor is gst-launch decoding and converting to BGR into fakesink.
- ``keyframes``: kelvo on that stream (a keyframe every 30 frames) with keyframes-only off and on.
- ``four``: four 640×360@30 H.264 streams with a busy host: every stream should keep its rate.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # -P leaves it out
from bench_util import machine, print_table, ratio, run_contender

# pattern=black: the source reuses one rendered frame, so it costs almost nothing per frame.
NONDECODE = ("gst:videotestsrc pattern=black ! video/x-raw,format=BGR,width=1280,height=720 ! "
             "appsink name=sink max-buffers=1 drop=true sync=false")

FRAME_COLUMNS = [
    ("reader", "label", 0),
    ("CPU ms/frame", "cpu_ms_per_frame", 3),
    ("frames/s", "fps", 1),
    ("busy frames/s", "busy_fps", 1),
    ("busy/quiet", lambda r: ratio(r.get("busy_fps"), r.get("fps")), 2),
    ("first frame s", "first_frame_s", 2),
]


def quiet_and_busy(reader, source, seconds, **options):
    quiet = run_contender(reader, source, seconds=seconds, **options)
    if "error" in quiet:
        quiet["label"] = reader
        return quiet
    busy = run_contender(reader, source, seconds=seconds, busy=True, **options)
    quiet["label"] = reader
    quiet["busy_fps"] = busy.get("fps")
    quiet["busy_loop_rate"] = busy.get("loop_rate")
    return quiet


def nondecode(seconds):
    rows = [quiet_and_busy(r, NONDECODE, seconds) for r in ("kelvo", "pygobject", "opencv-gst")]
    floor = run_contender("floor", NONDECODE, frames_hint=20000)
    floor["label"] = "source alone (floor)"
    rows.append(floor)
    print_table("Non-decoding source: videotestsrc BGR 1280x720, not live", rows, FRAME_COLUMNS)
    by = {r["label"]: r for r in rows}
    k, p = by["kelvo"], by["pygobject"]
    print(f"  kelvo CPU/frame vs PyGObject: "
          f"{ratio(k.get('cpu_ms_per_frame'), p.get('cpu_ms_per_frame')) or float('nan'):.2f}x "
          f"(target <= 0.2); kelvo busy/quiet rate: "
          f"{ratio(k.get('busy_fps'), k.get('fps')) or float('nan'):.2f} (target >= 0.9)")
    return rows


def rtsp(seconds, server):
    url = server.url("h264")
    rows = [quiet_and_busy(r, url, seconds)
            for r in ("kelvo", "pygobject", "opencv-ffmpeg", "pyav")]
    floor = run_contender("floor", url, seconds=seconds, frames_hint=30)
    floor["label"] = "gst-launch decode+BGR (floor)"
    rows.append(floor)
    print_table("RTSP H.264 1280x720@30, one stream", rows, FRAME_COLUMNS)
    by = {r["label"]: r for r in rows}
    print(f"  kelvo CPU/frame vs OpenCV-FFmpeg: "
          f"{ratio(by['kelvo'].get('cpu_ms_per_frame'), by['opencv-ffmpeg'].get('cpu_ms_per_frame')) or float('nan'):.2f}x"
          f" (target <= 1); vs the floor: "
          f"{ratio(by['kelvo'].get('cpu_ms_per_frame'), floor.get('cpu_ms_per_frame')) or float('nan'):.2f}x")
    return rows


def keyframes(seconds, server):
    url = server.url("h264")
    off = run_contender("kelvo", url, seconds=seconds)
    on = run_contender("kelvo", url, seconds=seconds, keyframes_only=True)
    for row, label in ((off, "keyframes-only off"), (on, "keyframes-only on")):
        row["label"] = label
        row["cpu_per_s"] = row.get("cpu_s", 0) / row["wall_s"] if "wall_s" in row else None
    print_table("kelvo, RTSP H.264 1280x720@30, keyframe every 30 frames",
                [off, on], [("mode", "label", 0), ("CPU s per s", "cpu_per_s", 4),
                            ("frames/s", "fps", 2), ("CPU ms/frame", "cpu_ms_per_frame", 3)])
    print(f"  CPU on/off: {ratio(on.get('cpu_per_s'), off.get('cpu_per_s')) or float('nan'):.3f}"
          " (target <= 0.125)")
    return [off, on]


def four(seconds, server):
    url = server.url("h264")
    rows = []
    for reader in ("kelvo", "pygobject", "opencv-ffmpeg"):
        row = run_contender(reader, url, seconds=seconds, busy=True, readers=4)
        row["label"] = reader
        rows.append(row)
    print_table("Four readers of RTSP H.264 640x360@30 with a busy host", rows,
                [("reader", "label", 0), ("mean frames/s", "fps", 1),
                 ("slowest stream frames/s", "min_fps", 1), ("CPU ms/frame", "cpu_ms_per_frame", 3),
                 ("host loop /s", "loop_rate", 0)])
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--only", nargs="*", choices=["nondecode", "rtsp", "keyframes", "four"])
    args = parser.parse_args()
    wanted = set(args.only or ["nondecode", "rtsp", "keyframes", "four"])
    print(f"readers_bench | {machine()}")
    from kelvo.testing import RtspTestServer

    if "nondecode" in wanted:
        nondecode(args.seconds)
    if wanted & {"rtsp", "keyframes"}:
        with RtspTestServer(mounts=["h264"], width=1280, height=720, fps=30,
                            keyframe_interval=30) as server:
            if "rtsp" in wanted:
                rtsp(args.seconds, server)
            if "keyframes" in wanted:
                keyframes(args.seconds, server)
    if "four" in wanted:
        with RtspTestServer(mounts=["h264"], width=640, height=360, fps=30,
                            keyframe_interval=30) as server:
            four(args.seconds, server)
    return 0


if __name__ == "__main__":
    sys.exit(main())
