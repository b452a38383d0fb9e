"""What the page of ``watch --http`` costs: JPEG tiles per second, and the host's Python thread.

For each frame size: the time to make one tile JPEG (the same steps as a page request: keep
every n-th row, then GStreamer scales and encodes), the CPU time of the calling thread
per tile (the most it can have held Python's lock; the rest runs on GStreamer's thread), and
how fast a pure-Python counting thread runs while another thread makes tiles back to back,
against the same thread alone (on 2 cores this also counts plain CPU contention).

    .venv/bin/python -P bench/watch_page_bench.py
"""

import threading
import time

import numpy as np

from kelvo.web import _JpegEncoder

SIZES = [(640, 360), (1920, 1080)]
SECONDS = 3.0


def count_for(seconds: float) -> float:
    """Loop iterations per second of a pure-Python loop."""
    n = 0
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        n += 1
    return n / seconds


def main() -> None:
    rng = np.random.default_rng(1)
    print(f"{'frame':>10} {'tile ms':>8} {'tiles/s':>8} {'caller CPU ms':>14} "
          f"{'python loop, encoding / alone':>30}")
    for width, height in SIZES:
        frame = rng.integers(0, 256, (height, width, 3), np.uint8)
        encoder = _JpegEncoder(width, height)
        assert encoder.encode(frame) is not None  # warm up

        count = 0
        start, start_cpu = time.perf_counter(), time.thread_time()
        while time.perf_counter() - start < SECONDS:
            assert encoder.encode(frame) is not None
            count += 1
        per_tile = (time.perf_counter() - start) / count
        # The most this thread can have held Python's lock: its own CPU time.
        caller_cpu = (time.thread_time() - start_cpu) / count

        alone = count_for(SECONDS)
        stop = threading.Event()

        def encode_forever():
            while not stop.is_set():
                encoder.encode(frame)

        thread = threading.Thread(target=encode_forever)
        thread.start()
        beside = count_for(SECONDS)
        stop.set()
        thread.join()
        encoder.close()
        print(f"{width:>5}x{height:<4} {per_tile * 1e3:8.2f} {1 / per_tile:8.0f} "
              f"{caller_cpu * 1e3:14.2f} {beside / alone:30.2f}")


if __name__ == "__main__":
    main()
