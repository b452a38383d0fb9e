"""kelvo of this tree against another install of kelvo, alternating on the same stream.

    .venv/bin/python -P bench/ab_bench.py --other /path/to/other/.venv/bin/python \
        [--rounds 5] [--seconds 8] [--keyframes-only | --keyframes-ratio]

The two builds read the same 1280×720@30 H.264 stream of one local RTSP server in turns (A, B,
A, B, ...), each in a fresh process, so that the drift of a shared machine falls on both alike;
the medians and the spread of each side's CPU per frame are printed. For "before and after"
figures of a change: install the earlier commit into a second virtual environment and name its
Python with --other.

With --keyframes-ratio each side runs twice per round, keyframes-only off and on, and the CPU
seconds per second of each are printed with their ratio (on/off): what keyframes-only saves.
"""

import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # -P leaves it out
from bench_util import machine, run_contender  # noqa: E402


def run(python, url, seconds, keyframes_only):
    row = run_contender("kelvo", url, timeout=seconds * 10 + 60, python=python,
                        seconds=seconds, keyframes_only=keyframes_only)
    if "error" in row:
        raise RuntimeError(row["error"])
    return row


def summary(values):
    return (f"median {statistics.median(values):.4f}  min {min(values):.4f}  "
            f"max {max(values):.4f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--other", required=True, help="the Python of the other install")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=8.0)
    modes = parser.add_mutually_exclusive_group()
    modes.add_argument("--keyframes-only", action="store_true")
    modes.add_argument("--keyframes-ratio", action="store_true")
    args = parser.parse_args()
    print(f"ab_bench | {machine()}")
    from kelvo.testing import RtspTestServer

    sides = {"this": sys.executable, "other": args.other}
    settings = [False, True] if args.keyframes_ratio else [args.keyframes_only]
    figures = {(name, k): [] for name in sides for k in settings}
    with RtspTestServer(mounts=["h264"], width=1280, height=720, fps=30,
                        keyframe_interval=30) as server:
        for _ in range(args.rounds):
            for name, python in sides.items():
                for k in settings:
                    figures[(name, k)].append(run(python, server.url("h264"), args.seconds, k))
    if args.keyframes_ratio:
        print(f"kelvo CPU seconds per second, 1280x720@30 H.264 over RTSP, a keyframe every 30 "
              f"frames, {args.rounds} rounds of {args.seconds:g} s, keyframes-only off and on:")
        for name in sides:
            off = [f["cpu_s"] / f["wall_s"] for f in figures[(name, False)]]
            on = [f["cpu_s"] / f["wall_s"] for f in figures[(name, True)]]
            print(f"  {name:<6} off {summary(off)}  ({sides[name]})")
            print(f"  {'':<6} on  {summary(on)}")
            print(f"  {'':<6} on/off {statistics.median(on) / statistics.median(off):.3f}")
        return 0
    print(f"kelvo CPU ms per frame, 1280x720@30 H.264 over RTSP, {args.rounds} rounds of "
          f"{args.seconds:g} s{' (keyframes only)' if args.keyframes_only else ''}:")
    medians = {}
    for name in sides:
        values = [f["cpu_ms_per_frame"] for f in figures[(name, settings[0])]]
        medians[name] = statistics.median(values)
        print(f"  {name:<6} {summary(values)}  ({sides[name]})")
    print(f"  this / other: {medians['this'] / medians['other']:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
