"""The readers that the benchmarks compare, each measured in a process of its own.

Run one contender: ``python -P bench/contenders.py READER SOURCE [--seconds S] [--busy]
[--keyframes-only] [--readers N]`` prints one JSON line with its figures:

- ``frames``: frames published during the measurement window (after the first frame);
- ``cpu_ms_per_frame``: process CPU (user+sys) in the window divided by those frames;
- ``fps``: frames per second per reader; ``first_frame_s``: from opening to the first frame;
- ``loop_rate``: with --busy, iterations per second of the pure-Python loop on the main thread;
- ``host_cpu_s``: the main thread's own CPU in the window (the busy loop, or the polling), and
  ``cpu_ms_per_frame_without_host``: the process CPU less that, per frame;
- ``rss_mib``, ``os_threads``: peak resident memory and threads of the process at the end.

With --poll-hz N the main thread reads every reader's newest frame N times a second and sleeps
in between (as a host that shows or analyses frames does) instead of sleeping through the window.

READER: kelvo, pygobject, opencv-ffmpeg, opencv-gst, pyav; source (a ``gst:`` description with
its appsink replaced by fakesink, in this process: the source's own cost); floor (gst-launch-1.0
into fakesink).
SOURCE: an rtsp:// URL, or ``gst:DESCRIPTION`` ending in a BGR appsink (for the non-decoding
source; the floor replaces the appsink by fakesink).
"""

import argparse
import json
import os
import resource
import shlex
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def cpu_seconds(who=resource.RUSAGE_SELF):
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def context_switches():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_nvcsw + usage.ru_nivcsw


def thread_cpu():
    """CPU seconds of each thread of this process, by name (Python's name where it has one,
    else the name the thread gave itself: GStreamer names a streaming thread element:pad)."""
    names = {str(t.native_id): t.name for t in threading.enumerate()}
    cpu = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                comm = f.read().strip()
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                seconds = int(f.read().split()[0]) / 1e9
        except OSError:
            continue
        name = names.get(tid, comm)
        cpu[(tid, name)] = seconds
    return cpu


class KelvoReader:
    def __init__(self, source, index, keyframes_only=False):
        from kelvo import glib_runtime
        from kelvo.stream_reader.gst import GstStreamReader

        glib_runtime.start()
        options = {"keyframes_only": keyframes_only}
        if source.startswith("gst:"):
            self.reader = GstStreamReader(index, "bench://source", runtime_options=options,
                                          pipeline_str=source[4:])
        else:
            self.reader = GstStreamReader(index, source, runtime_options=options)

    @property
    def frames(self):
        return self.reader.stats["frames_published"]

    def poll(self):
        return self.reader.latest_frame

    def wait_first(self, timeout):
        return self.reader.latest_frame_event.wait(timeout)

    def close(self):
        self.reader.close()
        self.reader.wait_until_closed()


class PyGObjectReader:
    def __init__(self, source, index, keyframes_only=False):
        from pygobject_reader import PyGObjectReader as Reader, rtsp_description

        description = source[4:] if source.startswith("gst:") else rtsp_description(source)
        self.reader = Reader(description)

    @property
    def frames(self):
        return self.reader.frames

    def poll(self):
        return self.reader.latest

    def wait_first(self, timeout):
        return self.reader.event.wait(timeout)

    def close(self):
        self.reader.close()


class SourceOnly:
    """The description's source alone: its appsink replaced by fakesink, run in this process."""

    def __init__(self, source, index, keyframes_only=False):
        import gi

        gi.require_version("Gst", "1.0")
        from gi.repository import Gst

        Gst.init(None)
        if not source.startswith("gst:"):
            raise ValueError("the source contender needs a gst: description")
        description = source[4:].rsplit("!", 1)[0] + "! fakesink name=sink sync=false"
        self.pipeline = Gst.parse_launch(description)
        self.sink = self.pipeline.get_by_name("sink")
        self.pipeline.set_state(Gst.State.PLAYING)

    @property
    def frames(self):
        return self.sink.get_property("stats").get_value("rendered")

    def poll(self):
        return None

    def wait_first(self, timeout):
        deadline = time.monotonic() + timeout
        while self.frames == 0:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.01)
        return True

    def close(self):
        from gi.repository import Gst

        self.pipeline.set_state(Gst.State.NULL)


class _ThreadReader:
    """A latest-frame thread around a blocking frame source (OpenCV, PyAV)."""

    def __init__(self):
        self.frames = 0
        self.latest = None
        self.event = threading.Event()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _publish(self, image):
        self.latest = (time.time(), image)
        self.frames += 1
        self.event.set()

    def poll(self):
        return self.latest

    def wait_first(self, timeout):
        return self.event.wait(timeout)

    def close(self):
        self.running = False
        self.thread.join(10)


class OpenCVReader(_ThreadReader):
    def __init__(self, source, index, keyframes_only=False, backend="ffmpeg"):
        import cv2

        if backend == "ffmpeg":
            os.environ.setdefault("OPENCV_FFMPEG_CAPTURE_OPTIONS", "rtsp_transport;udp")
            self.capture = cv2.VideoCapture(source, cv2.CAP_FFMPEG)
        else:
            description = source[4:] if source.startswith("gst:") else source
            # OpenCV finds an appsink by its default name only.
            self.capture = cv2.VideoCapture(description.replace("appsink name=sink", "appsink"),
                                            cv2.CAP_GSTREAMER)
        if not self.capture.isOpened():
            raise RuntimeError(f"OpenCV cannot open {source}")
        super().__init__()

    def _run(self):
        while self.running:
            ok, image = self.capture.read()
            if not ok:
                time.sleep(0.01)
                continue
            self._publish(image)
        self.capture.release()


class PyAVReader(_ThreadReader):
    def __init__(self, source, index, keyframes_only=False):
        import av

        self.container = av.open(source, options={"rtsp_transport": "udp", "fflags": "nobuffer"})
        super().__init__()

    def _run(self):
        stream = self.container.streams.video[0]
        stream.thread_type = "AUTO"
        for frame in self.container.decode(stream):
            if not self.running:
                break
            self._publish(frame.to_ndarray(format="bgr24"))
        self.container.close()


READERS = {
    "kelvo": KelvoReader,
    "pygobject": PyGObjectReader,
    "opencv-ffmpeg": lambda s, i, k=False: OpenCVReader(s, i, k, "ffmpeg"),
    "opencv-gst": lambda s, i, k=False: OpenCVReader(s, i, k, "gst"),
    "pyav": PyAVReader,
    "source": SourceOnly,
}


def busy_loop(seconds):
    """A pure-Python loop on the calling thread; returns its iterations per second."""
    count = 0
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        for _ in range(1000):
            count += 1
    return count / seconds


def poll_loop(contenders, seconds, hz):
    """Reads every contender's newest frame `hz` times a second, sleeping in between."""
    period = 1.0 / hz
    start = time.perf_counter()
    tick = start
    while True:
        for c in contenders:
            c.poll()
        tick += period
        now = time.perf_counter()
        if tick - start >= seconds:
            time.sleep(max(0.0, start + seconds - now))
            return
        if tick > now:
            time.sleep(tick - now)


def measure(reader_name, source, seconds, busy, keyframes_only, readers, poll_hz=None,
            close=True):
    opened = time.perf_counter()
    contenders = [READERS[reader_name](source, i + 1, keyframes_only) for i in range(readers)]
    first = None
    for c in contenders:
        if not c.wait_first(30):
            raise RuntimeError(f"{reader_name}: no frame within 30 s")
        if first is None:
            first = time.perf_counter() - opened
    time.sleep(1.0)  # settle: every reader past its start
    frames0 = [c.frames for c in contenders]
    threads0, switches0 = thread_cpu(), context_switches()
    cpu0, wall0, host0 = cpu_seconds(), time.perf_counter(), time.thread_time()
    loop_rate = None
    if busy:
        loop_rate = busy_loop(seconds)
    elif poll_hz:
        poll_loop(contenders, seconds, poll_hz)
    else:
        time.sleep(seconds)
    cpu1, wall1, host1 = cpu_seconds(), time.perf_counter(), time.thread_time()
    threads1, switches1 = thread_cpu(), context_switches()
    frames = [c.frames - f for c, f in zip(contenders, frames0)]
    rss_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    os_threads = len(os.listdir("/proc/self/task"))
    for c in contenders if close else ():
        c.close()
    wall = wall1 - wall0
    total = sum(frames)
    return {
        "reader": reader_name, "readers": readers, "busy": busy,
        "keyframes_only": keyframes_only, "frames": total,
        "fps": total / wall / readers, "min_fps": min(frames) / wall,
        "cpu_s": cpu1 - cpu0, "wall_s": wall,
        "cpu_ms_per_frame": 1000 * (cpu1 - cpu0) / total if total else None,
        "host_cpu_s": host1 - host0,
        "cpu_ms_per_frame_without_host":
            1000 * (cpu1 - cpu0 - (host1 - host0)) / total if total else None,
        "first_frame_s": first, "loop_rate": loop_rate,
        "rss_mib": rss_mib, "os_threads": os_threads,
        "context_switches_per_frame": (switches1 - switches0) / total if total else None,
        "thread_cpu_ms_per_frame": thread_shares(threads0, threads1, total),
    }


def thread_shares(before, after, frames):
    """CPU ms per frame of each kind of thread (numbers in GStreamer's names folded: udpsrc3:src
    and udpsrc5:src are one kind), largest first."""
    import re

    shares = {}
    for key, seconds in after.items():
        name = re.sub(r"\d+", "", key[1])
        shares[name] = shares.get(name, 0.0) + seconds - before.get(key, 0.0)
    if not frames:
        return {}
    return {name: round(1000 * cpu / frames, 4)
            for name, cpu in sorted(shares.items(), key=lambda item: -item[1]) if cpu > 0}


def floor(source, seconds, frames_hint=None):
    """GStreamer alone: the same decode into fakesink, run by gst-launch-1.0."""
    if source.startswith("gst:"):
        description = source[4:].rsplit("!", 1)[0] + "! fakesink sync=false"
        count = frames_hint or 20000
        description = description.replace("videotestsrc", f"videotestsrc num-buffers={count}", 1)
        cpu0, wall0 = cpu_seconds(resource.RUSAGE_CHILDREN), time.perf_counter()
        subprocess.run(["gst-launch-1.0", "-q", *shlex.split(description)], check=True)
        wall = time.perf_counter() - wall0
        cpu = cpu_seconds(resource.RUSAGE_CHILDREN) - cpu0
        return {"reader": "floor", "frames": count, "fps": count / wall, "cpu_s": cpu,
                "wall_s": wall, "cpu_ms_per_frame": 1000 * cpu / count}
    description = (f"rtspsrc location={source} latency=200 ! decodebin ! videoconvert ! "
                   "video/x-raw,format=BGR ! fakesink sync=false")
    cpu0, wall0 = cpu_seconds(resource.RUSAGE_CHILDREN), time.perf_counter()
    process = subprocess.Popen(["gst-launch-1.0", "-q", *shlex.split(description)])
    time.sleep(seconds + 1.0)
    process.terminate()
    process.wait(10)
    wall = time.perf_counter() - wall0
    cpu = cpu_seconds(resource.RUSAGE_CHILDREN) - cpu0
    fps = frames_hint or 30
    frames = fps * (wall - 1.0)  # a live stream at its full rate, after a second of start-up
    return {"reader": "floor", "frames": frames, "fps": fps, "cpu_s": cpu, "wall_s": wall,
            "cpu_ms_per_frame": 1000 * cpu / frames}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("reader", choices=sorted(READERS) + ["floor"])
    parser.add_argument("source")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--busy", action="store_true")
    parser.add_argument("--keyframes-only", action="store_true")
    parser.add_argument("--readers", type=int, default=1)
    parser.add_argument("--frames-hint", type=int)
    parser.add_argument("--poll-hz", type=float)
    parser.add_argument("--no-close", action="store_true",
                        help="leave the readers open: the process ends right after the figures")
    args = parser.parse_args()
    if args.reader == "floor":
        result = floor(args.source, args.seconds, args.frames_hint)
    else:
        result = measure(args.reader, args.source, args.seconds, args.busy,
                         args.keyframes_only, args.readers, args.poll_hz,
                         close=not args.no_close)
    print(json.dumps(result))
    sys.stdout.flush()
    os._exit(0)  # readers of other libraries may hang at interpreter exit; the figures are out


if __name__ == "__main__":
    main()
