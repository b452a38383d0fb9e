"""Cost of turning a decoded frame into the host's image: kelvo against videoconvert.

For each size and pixel format, prints the CPU time per frame of

- kelvo: ``sample_to_ndarray`` (libyuv to BGR for YUV formats, a view for BGR), and
- videoconvert: ``appsrc ! videoconvert ! video/x-raw,format=BGR ! fakesink`` on the same frame,

both measured in this run as process CPU time over many frames, and their ratio.

    python bench/convert_bench.py [--frames 200]
"""

import argparse
import time
import warnings

import gi

gi.require_version("Gst", "1.0")
with warnings.catch_warnings():
    warnings.simplefilter("ignore", ImportWarning)
    from gi.repository import Gst

from kelvo.utils.gstreamer import sample_to_ndarray

SIZES = [(640, 360), (1280, 720), (1920, 1080)]
FORMATS = ["I420", "NV12", "Y42B", "Y444", "YUY2", "BGR"]


def make_sample(layout, width, height):
    pipeline = Gst.parse_launch(
        f"videotestsrc num-buffers=1 pattern=smpte ! "
        f"video/x-raw,format={layout},width={width},height={height},framerate=30/1 ! "
        "appsink name=sink enable-last-sample=false")
    pipeline.set_state(Gst.State.PLAYING)
    sample = pipeline.get_by_name("sink").emit("try-pull-sample", 10 * Gst.SECOND)
    pipeline.set_state(Gst.State.NULL)
    return sample


def kelvo_ms(sample, frames):
    sample_to_ndarray(sample)  # warm-up
    start = time.process_time()
    for _ in range(frames):
        sample_to_ndarray(sample)
    return (time.process_time() - start) * 1000 / frames


def videoconvert_ms(sample, frames):
    pipeline = Gst.parse_launch(
        "appsrc name=src format=time max-bytes=0 block=false ! videoconvert ! "
        "video/x-raw,format=BGR ! fakesink sync=false")
    src = pipeline.get_by_name("src")
    src.set_property("caps", sample.get_caps())
    pipeline.set_state(Gst.State.PLAYING)
    buffer = sample.get_buffer()
    duration = Gst.SECOND // 30

    def push(count, offset):
        for i in range(count):
            copy = buffer.copy()  # shares the memory; only the timestamps differ
            copy.pts = (offset + i) * duration
            copy.duration = duration
            src.emit("push-buffer", copy)

    push(5, 0)  # warm-up
    time.sleep(0.2)
    start = time.process_time()
    push(frames, 5)
    src.emit("end-of-stream")
    pipeline.get_bus().timed_pop_filtered(60 * Gst.SECOND, Gst.MessageType.EOS)
    elapsed = time.process_time() - start
    pipeline.set_state(Gst.State.NULL)
    return elapsed * 1000 / frames


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=200)
    args = parser.parse_args()
    Gst.init(None)
    print(f"{'size':>10} {'format':>6} {'kelvo ms':>9} {'videoconvert ms':>16} {'ratio':>6}")
    for width, height in SIZES:
        for layout in FORMATS:
            sample = make_sample(layout, width, height)
            ours = kelvo_ms(sample, args.frames)
            theirs = videoconvert_ms(sample, args.frames)
            ratio = ours / theirs if theirs > 0 else float("nan")
            print(f"{width}x{height:<5} {layout:>6} {ours:9.3f} {theirs:16.3f} {ratio:6.2f}")


if __name__ == "__main__":
    main()
