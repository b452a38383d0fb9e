"""Soak: the RTSP server stopped and started every few seconds, with several readers.

    .venv/bin/python -P bench/soak_bench.py [--minutes 3] [--readers 4] [--period 10]
        [--plot docs/soak.png]

Each cycle the server is down for a third of the period. Every second the program records
threads, file descriptors and resident memory of this process, and every reader's restarts and
frames; it prints whether frames resumed after each outage and how the counts moved after the
first cycles, and draws them as a PNG (matplotlib).
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # -P leaves it out
from bench_util import machine


def rss_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def census():
    return {"threads": len(os.listdir("/proc/self/task")), "fds": len(os.listdir("/proc/self/fd")),
            "rss": rss_mib()}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=3.0)
    parser.add_argument("--readers", type=int, default=4)
    parser.add_argument("--period", type=float, default=10.0)
    parser.add_argument("--plot", default=None)
    args = parser.parse_args()
    print(f"soak_bench | {machine()}")

    import logging

    # The readers log every outage; keep this program's output to its figures.
    logging.getLogger("kelvo").addHandler(logging.NullHandler())
    logging.getLogger("kelvo").propagate = False
    from kelvo import glib_runtime
    from kelvo.stream_reader.gst import GstStreamReader
    from kelvo.testing import RtspTestServer

    server = RtspTestServer(mounts=["h264", "mjpeg"], width=320, height=240, fps=15,
                            keyframe_interval=15).start()
    glib_runtime.start()
    mounts = ["h264", "mjpeg"]
    readers = [GstStreamReader(i + 1, server.url(mounts[i % 2]), runtime_options={},
                               base_backoff_seconds=0.5, max_backoff_seconds=2.0,
                               backoff_randomness_seconds=0.5)
               for i in range(args.readers)]
    samples, outages = [], []
    start = time.monotonic()
    end = start + 60 * args.minutes
    next_cycle = start + args.period
    down = False
    while time.monotonic() < end:
        now = time.monotonic()
        if not down and now >= next_cycle - args.period / 3:
            server.stop()
            down = True
            outages.append({"down_at": now - start,
                            "frames": [r.stats["frames_published"] for r in readers]})
        elif down and now >= next_cycle:
            server.start()
            down = False
            outages[-1]["up_at"] = time.monotonic() - start
            next_cycle += args.period
        stats = [r.stats for r in readers]
        samples.append(dict(census(), t=now - start, down=down,
                            restarts=sum(s["restarts"] for s in stats),
                            frames=sum(s["frames_published"] for s in stats)))
        time.sleep(1.0 if not down else 0.5)
    # Did every reader publish again after each outage?
    resumed = 0
    for i, outage in enumerate(outages[:-1]):
        nxt = outages[i + 1]["frames"]
        resumed += all(b > a for a, b in zip(outage["frames"], nxt))
    for r in readers:
        r.close()
    for r in readers:
        r.wait_until_closed()
    glib_runtime.close()
    server.stop()

    settle = [s for s in samples if s["t"] >= 2 * args.period]
    first, last = settle[0], settle[-1]
    print(f"\n{len(outages)} outages over {args.minutes:g} min, {args.readers} readers; "
          f"frames resumed after {resumed} of {len(outages) - 1} complete outages; "
          f"{samples[-1]['restarts']} restarts, {samples[-1]['frames']} frames")
    for key, unit in (("threads", ""), ("fds", ""), ("rss", " MiB")):
        values = [s[key] for s in settle]
        print(f"  {key:<8} after two cycles: first {first[key]:.1f}{unit}, last {last[key]:.1f}"
              f"{unit}, min {min(values):.1f}, max {max(values):.1f}")
    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, axes = plt.subplots(4, 1, figsize=(9, 9), sharex=True)
        t = [s["t"] for s in samples]
        for ax, key, label in zip(axes, ("threads", "fds", "rss", "restarts"),
                                  ("threads", "file descriptors", "RSS (MiB)", "restarts")):
            ax.plot(t, [s[key] for s in samples], lw=1.2)
            ax.set_ylabel(label)
            for o in outages:
                ax.axvspan(o["down_at"], o.get("up_at", t[-1]), color="0.9")
        axes[-1].set_xlabel("seconds (grey: server down)")
        fig.suptitle(f"kelvo soak: {args.readers} readers, RTSP server down every "
                     f"{args.period:g} s")
        fig.tight_layout()
        fig.savefig(args.plot, dpi=90)
        print(f"  plot: {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
