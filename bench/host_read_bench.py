"""What a reader costs a host that reads its newest frames: two scenarios, contenders in turns.

    .venv/bin/python -P bench/host_read_bench.py [--only live e2e] [--rounds 5] [--seconds 7]
        [--other /path/to/other/.venv/bin/python]

Each round runs every contender once, in a fresh process each, one after the other, so that the
drift of a shared machine falls on all of them alike; medians and the spread (min-max) over the
rounds are printed. With --other, kelvo of another install (an earlier commit) runs too.

- ``live``: four live raw sources, ``videotestsrc is-live=true ! video/x-raw,format=BGR,
  width=1280,height=720,framerate=120/1``, one reader each, and a host that reads every
  reader's newest frame 100 times a second and sleeps in between. A reader's overhead per frame
  is its process CPU per frame less that of the same four sources into fakesink (the source's
  own cost), measured in the same round. Contenders: kelvo, the PyGObject reader.
- ``e2e``: the 1280x720@30 H.264 test stream over RTSP (a moving ball, 2 Mbit/s, a keyframe
  every 30 frames), one reader, process CPU per frame in two host windows: ``poll``, the host
  reads the newest frame 100 times a second and sleeps in between (its CPU counted); ``busy``,
  the host runs a pure-Python loop (the main thread's own CPU left out). Contenders: kelvo,
  OpenCV (FFmpeg backend).
"""

import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # -P leaves it out
from bench_util import machine, run_contender  # noqa: E402

LIVE = ("gst:videotestsrc is-live=true ! video/x-raw,format=BGR,width=1280,height=720,"
        "framerate=120/1 ! appsink name=sink max-buffers=1 drop=true sync=false")


def contender(python, reader, source, seconds, **options):
    row = run_contender(reader, source, timeout=seconds * 10 + 60, python=python,
                        seconds=seconds, **options)
    if "error" in row:
        raise RuntimeError(f"{reader}: {row['error']}")
    return row


def spread(values):
    return (f"median {statistics.median(values):.3f}  (min {min(values):.3f}, "
            f"max {max(values):.3f})")


def live(rounds, seconds, sides):
    names = ["source"] + [name for name in sides] + ["pygobject"]
    cpu = {name: [] for name in names}
    overhead = {name: [] for name in names if name != "source"}
    for _ in range(rounds):
        row = {}
        for name in names:
            python = sides.get(name, sys.executable)
            reader = "kelvo" if name in sides else name
            row[name] = contender(python, reader, LIVE, seconds, readers=4, poll_hz=100)
            cpu[name].append(row[name]["cpu_ms_per_frame"])
        for name in overhead:
            overhead[name].append(cpu[name][-1] - cpu["source"][-1])
    print(f"\nlive: 4 x BGR 1280x720@120 (videotestsrc is-live=true), host reads 100/s; "
          f"{rounds} rounds of {seconds:g} s; CPU ms per frame")
    for name in names:
        print(f"  {name:<14} {spread(cpu[name])}")
    print("  overhead per frame above the source (same round):")
    for name, values in overhead.items():
        print(f"  {name:<14} {spread(values)}")
    pyg = statistics.median(overhead["pygobject"])
    for name in sides:
        print(f"  {name} / pygobject overhead: {statistics.median(overhead[name]) / pyg:.2f} "
              "(target <= 0.2)")


def e2e(rounds, seconds, sides):
    from kelvo.testing import RtspTestServer

    names = list(sides) + ["opencv-ffmpeg"]
    figures = {(name, mode): [] for name in names for mode in ("poll", "busy")}
    with RtspTestServer(mounts=["h264"], width=1280, height=720, fps=30, keyframe_interval=30,
                        bitrate=2000) as server:
        url = server.url("h264")
        for _ in range(rounds):
            for mode in ("poll", "busy"):
                for name in names:
                    python = sides.get(name, sys.executable)
                    reader = "kelvo" if name in sides else name
                    if mode == "poll":
                        row = contender(python, reader, url, seconds, poll_hz=100)
                        figures[(name, mode)].append(row["cpu_ms_per_frame"])
                    else:
                        row = contender(python, reader, url, seconds, busy=True)
                        figures[(name, mode)].append(row["cpu_ms_per_frame_without_host"])
    print(f"\ne2e: RTSP H.264 1280x720@30, 2 Mbit/s, GOP 30; {rounds} rounds of {seconds:g} s; "
          "process CPU ms per frame")
    for mode, title in (("poll", "host reads 100/s, sleeps in between (its CPU counted)"),
                        ("busy", "host busy in a pure-Python loop (its own CPU left out)")):
        print(f"  {title}:")
        for name in names:
            print(f"    {name:<14} {spread(figures[(name, mode)])}")
        cv = statistics.median(figures[("opencv-ffmpeg", mode)])
        for name in sides:
            print(f"    {name} / opencv-ffmpeg: "
                  f"{statistics.median(figures[(name, mode)]) / cv:.3f} (target <= 1)")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", nargs="*", choices=["live", "e2e"])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=7.0)
    parser.add_argument("--other", help="the Python of another kelvo install, run beside this one")
    args = parser.parse_args()
    print(f"host_read_bench | {machine()}")
    sides = {"kelvo": sys.executable}
    if args.other:
        sides["kelvo (other)"] = args.other
    wanted = set(args.only or ["live", "e2e"])
    if "live" in wanted:
        live(args.rounds, args.seconds, sides)
    if "e2e" in wanted:
        e2e(args.rounds, args.seconds, sides)
    return 0


if __name__ == "__main__":
    sys.exit(main())
