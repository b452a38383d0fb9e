"""The host's own Python: the rate of a pure-Python loop on the main thread while 16 streams run.

    .venv/bin/python -P bench/hostloop_bench.py [--seconds 5] [--streams 16]

Compared with the same loop in a process that reads nothing; for kelvo and the PyGObject reader.
"""

import argparse
import json
import subprocess
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # -P leaves it out
from bench_util import machine, print_table, ratio, run_contender

IDLE = """
import json, sys
sys.path.insert(0, {here!r})
from contenders import busy_loop
print(json.dumps({{"loop_rate": busy_loop({seconds})}}))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--streams", type=int, default=16)
    args = parser.parse_args()
    print(f"hostloop_bench | {machine()}")
    from bench_util import HERE
    from kelvo.testing import RtspTestServer

    idle = json.loads(subprocess.run(
        [sys.executable, "-P", "-c", IDLE.format(here=HERE, seconds=args.seconds)],
        capture_output=True, text=True, check=True).stdout)["loop_rate"]
    rows = [{"label": "no reader", "loop_rate": idle, "fps": None}]
    with RtspTestServer(mounts=["h264"], width=640, height=360, fps=30,
                        keyframe_interval=30) as server:
        for reader in ("kelvo", "pygobject"):
            row = run_contender(reader, server.url("h264"), seconds=args.seconds, busy=True,
                                readers=args.streams, timeout=180)
            row["label"] = f"{reader}, {args.streams} streams"
            rows.append(row)
    print_table(f"Pure-Python loop on the host's main thread, {args.streams} x 640x360@30 H.264",
                rows, [("host", "label", 0), ("loop iterations/s", "loop_rate", 0),
                       ("vs idle", lambda r: ratio(r.get("loop_rate"), idle), 2),
                       ("frames/s per stream", "fps", 1),
                       ("slowest stream", "min_fps", 1)])
    return 0


if __name__ == "__main__":
    sys.exit(main())
