"""How many readers of one 640x360@30 H.264 mount (a keyframe every 30 frames) one process
sustains at full rate on this machine.

    .venv/bin/python -P bench/scale_bench.py [--seconds 4]

A count is sustained when its slowest reader keeps 90% of the full rate (30 frames/s; 1 frame/s
with keyframes-only). Steps grow until a count fails. Also: resident memory and threads added
per stream, from the first two counts of each contender.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # -P leaves it out
from bench_util import machine, print_table, run_contender

# Counts tried per contender, growing until one fails; sized to finish within five minutes.
PLANS = {
    "kelvo": ([16, 48, 80], 30.0, False),
    "opencv-ffmpeg": ([16, 48, 80], 30.0, False),
    "pygobject": ([16, 48, 64], 30.0, False),
    "kelvo keyframes-only": ([128, 256, 320], 1.0, True),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=4.0)
    args = parser.parse_args()
    print(f"scale_bench | {machine()}")
    from kelvo.testing import RtspTestServer

    summary = []
    with RtspTestServer(mounts=["h264"], width=640, height=360, fps=30,
                        keyframe_interval=30) as server:
        for label, (counts, full_rate, keyframes_only) in PLANS.items():
            reader = label.split()[0]
            runs, sustained = [], 0
            for n in counts:
                row = run_contender(reader, server.url("h264"), seconds=args.seconds, readers=n,
                                    keyframes_only=keyframes_only, timeout=240)
                row["n"] = n
                runs.append(row)
                ok = "error" not in row and row["min_fps"] >= 0.9 * full_rate
                print(f"  {label:<22} {n:>3} readers: "
                      + (row.get("error") or f"slowest {row['min_fps']:.1f} f/s, "
                         f"CPU {row['cpu_s'] / row['wall_s']:.2f} cores, "
                         f"RSS {row['rss_mib']:.0f} MiB, {row['os_threads']} threads")
                      + ("" if ok else "  <- below 90%"), flush=True)
                if not ok:
                    break
                sustained = n
            good = [r for r in runs if "error" not in r]
            per_stream = {}
            if len(good) >= 2:
                a, b = good[0], good[1]
                per_stream = {
                    "rss": (b["rss_mib"] - a["rss_mib"]) / (b["n"] - a["n"]),
                    "threads": (b["os_threads"] - a["os_threads"]) / (b["n"] - a["n"]),
                }
            summary.append({"label": label, "sustained": sustained,
                            "tested": runs[-1]["n"] if runs else 0,
                            "rss": per_stream.get("rss"), "threads": per_stream.get("threads")})
    print_table("Readers sustained at full rate (one process, 2 cores)", summary,
                [("reader", "label", 0), ("sustained", "sustained", 0),
                 ("largest count tried", "tested", 0), ("RSS MiB per stream", "rss", 1),
                 ("threads per stream", "threads", 1)])
    best_full = max(s["sustained"] for s in summary if s["label"] in ("opencv-ffmpeg", "pygobject"))
    kf = next(s["sustained"] for s in summary if s["label"] == "kelvo keyframes-only")
    print(f"  kelvo keyframes-only vs best full-decode peer: {kf} vs {best_full} "
          f"({kf / best_full if best_full else float('nan'):.1f}x; target >= 4x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
