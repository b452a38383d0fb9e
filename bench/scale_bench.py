"""How many readers of one 640x360@30 H.264 mount (a keyframe every 30 frames) one process
sustains at full rate, with the RTSP server on one core and the readers on the other.

    .venv/bin/python -P bench/scale_bench.py [--seconds 4] [--only LABEL ...]
        [--python /path/to/other/.venv/bin/python]

The server process runs pinned to core 0, every reader process to core 1 (so a reader process
has one core to itself, and the server's encoder and its sending to hundreds of clients do not
count against it). A count is sustained when its slowest reader keeps 90% of the full rate (30
frames/s; 1 frame/s with keyframes-only) and the readers get no more than 1.5 times that on
average: more keyframes than one a second mean that readers joined the server again (it makes
a keyframe for every client that joins), which an overloaded reader does when its source falls
back to TCP. Counts grow until one fails. Also: resident memory
and threads added per reader (from the first two counts), and the CPU per reader at the largest
count sustained. With --python, the readers run under another install's Python (an earlier
commit of kelvo); the peers are the same whichever.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # -P leaves it out
from bench_util import machine, print_table, run_contender  # noqa: E402

SERVER_CORE = {0}
READER_CORE = {1}

# Counts tried per contender, growing until one fails.
PLANS = {
    "kelvo": ([16, 32, 48, 64, 80, 96, 112, 128], 30.0, False),
    "opencv-ffmpeg": ([16, 32, 48, 64, 80, 96, 112, 128], 30.0, False),
    "pygobject": ([16, 32, 48, 64], 30.0, False),
    "kelvo keyframes-only": ([128, 256, 320, 384, 512, 768, 1024], 1.0, True),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--only", nargs="*", choices=sorted(PLANS))
    parser.add_argument("--python", help="the Python of another kelvo install, for kelvo's rows")
    args = parser.parse_args()
    print(f"scale_bench | {machine()}")
    if len(os.sched_getaffinity(0)) < 2:
        print("scale_bench needs two cores")
        return 1
    from kelvo.testing import RtspTestServer

    summary = []
    plans = {label: plan for label, plan in PLANS.items() if not args.only or label in args.only}
    os.sched_setaffinity(0, SERVER_CORE)  # the server process inherits it
    with RtspTestServer(mounts=["h264"], width=640, height=360, fps=30,
                        keyframe_interval=30) as server:
        for label, (counts, full_rate, keyframes_only) in plans.items():
            reader = label.split()[0]
            python = args.python if reader == "kelvo" else None
            runs, sustained = [], None
            for n in counts:
                row = run_contender(reader, server.url("h264"), seconds=args.seconds, readers=n,
                                    keyframes_only=keyframes_only, timeout=300, python=python,
                                    cpus=READER_CORE, no_close=True)
                row["n"] = n
                runs.append(row)
                ok = ("error" not in row and row["min_fps"] >= 0.9 * full_rate
                      and row["fps"] <= 1.5 * full_rate)
                print(f"  {label:<22} {n:>4} readers: "
                      + (row.get("error") or f"slowest {row['min_fps']:.1f} f/s, "
                         f"mean {row['fps']:.1f} f/s, "
                         f"CPU {row['cpu_s'] / row['wall_s']:.2f} cores, "
                         f"RSS {row['rss_mib']:.0f} MiB, {row['os_threads']} threads")
                      + ("" if ok else "  <- not sustained"), flush=True)
                if not ok:
                    break
                sustained = row
            good = [r for r in runs if "error" not in r]
            per_reader = {}
            if len(good) >= 2:
                a, b = good[0], good[1]
                per_reader = {
                    "rss": (b["rss_mib"] - a["rss_mib"]) / (b["n"] - a["n"]),
                    "threads": (b["os_threads"] - a["os_threads"]) / (b["n"] - a["n"]),
                }
            summary.append({
                "label": label, "sustained": sustained["n"] if sustained else 0,
                "tested": runs[-1]["n"] if runs else 0,
                "rss": per_reader.get("rss"), "threads": per_reader.get("threads"),
                "cpu": (1000 * sustained["cpu_s"] / sustained["wall_s"] / sustained["n"]
                        if sustained else None),
            })
    print_table("Readers sustained at full rate (server on core 0, readers on core 1)", summary,
                [("reader", "label", 0), ("sustained", "sustained", 0),
                 ("largest count tried", "tested", 0), ("RSS MiB per reader", "rss", 2),
                 ("threads per reader", "threads", 1),
                 ("CPU ms/s per reader at the largest sustained", "cpu", 2)])
    by = {s["label"]: s["sustained"] for s in summary}
    peers = [by[p] for p in ("opencv-ffmpeg", "pygobject") if p in by]
    if peers and "kelvo keyframes-only" in by:
        best = max(peers)
        kf = by["kelvo keyframes-only"]
        print(f"  kelvo keyframes-only vs best full-decode peer: {kf} vs {best} "
              f"({kf / best if best else float('nan'):.1f}x; target >= 4x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
