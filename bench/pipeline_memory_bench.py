"""Where a keyframes-only reader's memory goes: resident memory per pipeline of plain
GStreamer pipelines that do a growing part of what kelvo's RTSP pipeline does, with no reader.

    .venv/bin/python -P bench/pipeline_memory_bench.py [--pipelines 48]

Reads the 640x360@30 H.264 test stream (a keyframe every 30 frames). For each variant, in a
fresh process: --pipelines pipelines play for 5 s, delta frames dropped after the depayloader
(as keyframes-only does), then the process's resident memory (after malloc_trim) less what it
was before, per pipeline.
"""

import argparse
import ctypes
import os
import subprocess
import sys
import time

SOURCE = "rtspsrc location={url} latency=200 drop-on-latency=true nat-method=none ! rtph264depay name=depay"
VARIANTS = {
    "receive": "fakesink sync=false",
    "receive, parse": "h264parse ! fakesink sync=false",
    "decode (avdec_h264 max-threads=1)": "h264parse ! avdec_h264 max-threads=1 ! fakesink sync=false",
    "decode, no direct rendering": (
        "h264parse ! avdec_h264 max-threads=1 direct-rendering=false ! fakesink sync=false"),
    "decodebin, videoconvert, appsink": (
        "h264parse ! decodebin ! videoconvert ! appsink sync=false max-buffers=1 drop=true "
        "enable-last-sample=false"),
}


def rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS"):
                return int(line.split()[1]) / 1024
    return float("nan")


def child(url, variant, count):
    import gi
    gi.require_version("Gst", "1.0")
    from gi.repository import Gst
    Gst.init(None)

    def drop_delta(_pad, info):
        buffer = info.get_buffer()
        if buffer is not None and buffer.has_flags(Gst.BufferFlags.DELTA_UNIT):
            return Gst.PadProbeReturn.DROP
        return Gst.PadProbeReturn.OK

    libc = ctypes.CDLL("libc.so.6")
    libc.malloc_trim(0)
    before = rss_mib()
    pipelines = []
    for _ in range(count):
        pipeline = Gst.parse_launch(SOURCE.format(url=url) + " ! " + VARIANTS[variant])
        pad = pipeline.get_by_name("depay").get_static_pad("src")
        pad.add_probe(Gst.PadProbeType.BUFFER, drop_delta)
        pipeline.set_state(Gst.State.PLAYING)
        pipelines.append(pipeline)
    time.sleep(5)
    libc.malloc_trim(0)
    print(f"{(rss_mib() - before) / count:.2f}", flush=True)
    os._exit(0)  # the pipelines' teardown is not measured


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pipelines", type=int, default=48)
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], args.pipelines)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # -P leaves it out
    from bench_util import machine
    from kelvo.testing import RtspTestServer

    print(f"pipeline_memory_bench | {machine()}")
    print(f"RSS MiB per pipeline, {args.pipelines} pipelines of 640x360@30 H.264 over RTSP, "
          "delta frames dropped after the depayloader:")
    with RtspTestServer(mounts=["h264"], width=640, height=360, fps=30,
                        keyframe_interval=30) as server:
        for variant in VARIANTS:
            result = subprocess.run(
                [sys.executable, "-P", os.path.abspath(__file__), "--pipelines",
                 str(args.pipelines), "--child", server.url("h264"), variant],
                capture_output=True, text=True, timeout=120)
            figure = result.stdout.strip().splitlines()[-1] if result.stdout.strip() else "error"
            print(f"  {variant:<36} {figure}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
