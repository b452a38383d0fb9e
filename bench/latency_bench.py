"""kelvo's own costs on the host side: latency to the host, latest_frame, time to first frame.

    .venv/bin/python -P bench/latency_bench.py [--seconds 10]

- latency: from the pull of a sample (the reader's timestamp, taken as the appsink hands the
  sample over) to the host holding the frame after ``latest_frame_event.wait``; median and p99.
- ``latest_frame`` cost: median time of one read on a running reader.
- time to first frame on the local RTSP server, kelvo against OpenCV (FFmpeg), fresh processes.
"""

import argparse
import statistics
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # -P leaves it out
from bench_util import machine, run_contender


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    print(f"latency_bench | {machine()}")

    from kelvo import glib_runtime
    from kelvo.stream_reader.gst import GstStreamReader
    from kelvo.testing import RtspTestServer

    with RtspTestServer(mounts=["h264"], width=640, height=360, fps=30,
                        keyframe_interval=30) as server:
        glib_runtime.start()
        reader = GstStreamReader(1, server.url("h264"), runtime_options={})
        reader.latest_frame_event.wait(30)
        reader.latest_frame
        latencies = []
        end = time.monotonic() + args.seconds
        while time.monotonic() < end:
            if not reader.latest_frame_event.wait(1):
                continue
            timestamp, frame = reader.latest_frame
            latencies.append(time.time() - timestamp)
        print(f"\nLatency, pull to host ({len(latencies)} frames, 640x360@30 H.264):")
        print(f"  median {1000 * statistics.median(latencies):.3f} ms, "
              f"p99 {1000 * percentile(latencies, 99):.3f} ms, "
              f"max {1000 * max(latencies):.3f} ms (target p99 <= 2 ms)")

        batch = 10000
        means = []
        for _ in range(30):
            start = time.perf_counter()
            for _ in range(batch):
                reader.latest_frame
            means.append((time.perf_counter() - start) / batch)
        print(f"\nlatest_frame: median {1e6 * statistics.median(means):.3f} us per read "
              f"(30 batches of {batch}; target <= 1 us)")
        reader.wait_until_closed()
        glib_runtime.close()

        print("\nTime to first frame (fresh process each, 5 opens):")
        for name in ("kelvo", "opencv-ffmpeg"):
            firsts = []
            for _ in range(5):
                row = run_contender(name, server.url("h264"), seconds=0.5)
                if "error" in row:
                    print(f"  {name}: {row['error']}")
                    break
                firsts.append(row["first_frame_s"])
            if firsts:
                print(f"  {name:<14} median {statistics.median(firsts):.3f} s, "
                      f"max {max(firsts):.3f} s (target for kelvo <= 0.5 s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
