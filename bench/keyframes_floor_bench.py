"""What keyframes-only can save at best: the cost of receiving an RTSP stream against that of
decoding it, with plain GStreamer pipelines and no reader.

    .venv/bin/python -P bench/keyframes_floor_bench.py [--seconds 6] [--rounds 2]

On the 1280x720@30 H.264 test stream (a keyframe every 30 frames), in this process, each
pipeline for --seconds after a 2 s start, in turns per round, CPU seconds per second:

- receive, jitter buffer: ``rtspsrc ! rtph264depay ! fakesink`` (the RTP stack: UDP sources,
  RTP session, rtpbin's jitter buffer, depayloader);
- receive: the same with kelvo's ``kelvortpreorder`` in place of the jitter buffer, as kelvo's
  RTSP pipelines have it (and so have the two below);
- keyframes decoded (and the keyframes' share of the stream's bytes): the same with delta frames dropped after the depayloader, then
  ``h264parse ! avdec_h264 max-threads=1`` (what kelvo's keyframes-only pipeline does, without
  the conversion to BGR and the pulling);
- all frames decoded: the same without dropping.

Keyframes-only cannot cost less than receiving, so receive / (kelvo with keyframes-only off) is
the smallest on/off ratio any reader of this stream can reach.
"""

import argparse
import resource
import statistics
import sys
import time

import gi

gi.require_version("Gst", "1.0")
from gi.repository import Gst  # noqa: E402

TAIL = {
    "receive, jitter buffer": "fakesink",
    "receive": "fakesink",
    "keyframes decoded": "h264parse ! avdec_h264 max-threads=1 ! fakesink",
    "all frames decoded": "h264parse ! avdec_h264 max-threads=1 ! fakesink",
}


STREAM_BYTES = {"keyframes": 0, "all": 0}  # what the depayloader put out, while dropping


def drop_delta(_pad, info):
    buffer = info.get_buffer()
    if buffer is None:
        return Gst.PadProbeReturn.OK
    STREAM_BYTES["all"] += buffer.get_size()
    if buffer.has_flags(Gst.BufferFlags.DELTA_UNIT):
        return Gst.PadProbeReturn.DROP
    STREAM_BYTES["keyframes"] += buffer.get_size()
    return Gst.PadProbeReturn.OK


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def use_reorder(_src, manager):
    manager.connect("request-jitterbuffer",
                    lambda *_: Gst.ElementFactory.make("kelvortpreorder"))


def measure(url, name, seconds):
    pipeline = Gst.parse_launch(
        f"rtspsrc name=src location={url} nat-method=none ! rtph264depay name=depay ! "
        f"{TAIL[name]}")
    if name != "receive, jitter buffer":
        pipeline.get_by_name("src").connect("new-manager", use_reorder)
    if name == "keyframes decoded":
        pad = pipeline.get_by_name("depay").get_static_pad("src")
        pad.add_probe(Gst.PadProbeType.BUFFER, drop_delta)
    pipeline.set_state(Gst.State.PLAYING)
    try:
        time.sleep(2.0)
        cpu, wall = cpu_seconds(), time.monotonic()
        time.sleep(seconds)
        return (cpu_seconds() - cpu) / (time.monotonic() - wall)
    finally:
        pipeline.set_state(Gst.State.NULL)
        pipeline.get_state(Gst.CLOCK_TIME_NONE)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    Gst.init(None)
    sys.path.insert(0, __file__.rsplit("/", 1)[0])  # -P leaves it out
    from bench_util import machine
    from kelvo import glib_runtime
    from kelvo.stream_reader.gst import GstStreamReader
    from kelvo.testing import RtspTestServer

    print(f"keyframes_floor_bench | {machine()}")
    figures = {name: [] for name in TAIL}
    with RtspTestServer(mounts=["h264"], width=1280, height=720, fps=30,
                        keyframe_interval=30) as server:
        # kelvo's first RTSP pipeline registers kelvortpreorder in this process.
        glib_runtime.start()
        reader = GstStreamReader(0, server.url("h264"), runtime_options={}, must_play=True)
        reader.close()
        reader.wait_until_closed()
        for _ in range(args.rounds):
            for name in TAIL:
                figures[name].append(measure(server.url("h264"), name, args.seconds))
    print(f"1280x720@30 H.264 over RTSP, a keyframe every 30 frames; CPU s per s, median of "
          f"{args.rounds} rounds of {args.seconds:g} s:")
    for name, values in figures.items():
        print(f"  {name:<20} {statistics.median(values):.4f}  "
              f"(min {min(values):.4f}, max {max(values):.4f})")
    if STREAM_BYTES["all"]:
        kbits = STREAM_BYTES["all"] * 8 / 1000 / (args.rounds * (args.seconds + 2.0))
        print(f"keyframes carry {STREAM_BYTES['keyframes'] / STREAM_BYTES['all']:.2f} of the "
              f"stream's bytes ({kbits:.0f} kbit/s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
