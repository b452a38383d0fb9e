"""sample_to_ndarray: shapes, zero-copy views, copies of shared memory, and bad samples."""

import gc

import numpy as np
import pytest

import kelvo.errors
import kelvo.utils.gstreamer
from kelvo.utils.gstreamer import SampleConversionError, sample_to_ndarray


def pull_one(gst, caps, last_sample=False, pattern="smpte"):
    """One sample of `caps` from videotestsrc, through an appsink."""
    pipeline = gst.parse_launch(
        f"videotestsrc num-buffers=1 pattern={pattern} ! {caps} ! "
        f"appsink name=sink enable-last-sample={'true' if last_sample else 'false'}")
    pipeline.set_state(gst.State.PLAYING)
    sample = pipeline.get_by_name("sink").emit("try-pull-sample", 5 * gst.SECOND)
    pipeline.set_state(gst.State.NULL)
    # The source holds a reference to its last buffer until the pipeline is freed: queued bus
    # messages hold the elements, and the Python wrapper may put it off until a collection.
    pipeline.get_bus().set_flushing(True)
    del pipeline
    gc.collect()
    assert sample is not None
    return sample


def videoconvert_bgr(gst, caps):
    """The same picture as videoconvert makes it in BGR."""
    sample = pull_one(gst, caps + " ! videoconvert ! video/x-raw,format=BGR")
    image = sample_to_ndarray(sample)
    return np.ascontiguousarray(image)


@pytest.mark.parametrize(
    "layout, channels",
    [("BGR", 3), ("RGB", 3), ("BGRx", 4), ("BGRA", 4), ("RGBx", 4), ("RGBA", 4), ("GRAY8", 1)],
)
def test_packed_layouts_are_views_with_the_buffer_stride(gst, layout, channels):
    # 33 pixels: rows of 3-byte and 1-byte layouts are padded to a multiple of 4.
    sample = pull_one(gst, f"video/x-raw,format={layout},width=33,height=9")
    image = sample_to_ndarray(sample)
    expected_shape = (9, 33) if channels == 1 else (9, 33, channels)
    assert image.shape == expected_shape and image.dtype == np.uint8
    row = 33 * channels
    assert image.strides[0] == (row + 3) // 4 * 4
    assert image.flags.writeable
    # A view of the buffer's memory: the same bytes, and the base keeps them alive.
    buffer = sample.get_buffer()
    data = buffer.extract_dup(0, buffer.get_size())
    first_row = np.frombuffer(data, np.uint8, count=row)
    assert np.array_equal(image[0].reshape(-1), first_row)
    base = image.base
    assert base is not None
    del sample, buffer
    gc.collect()
    assert np.array_equal(image[0].reshape(-1), first_row)


def test_shared_buffer_is_copied_once(gst):
    # While the appsink keeps its last sample, the buffer is not ours alone: the host gets a
    # copy to write into.
    pipeline = gst.parse_launch(
        "videotestsrc num-buffers=1 ! video/x-raw,format=BGR,width=16,height=8 ! "
        "appsink name=sink enable-last-sample=true")
    pipeline.set_state(gst.State.PLAYING)
    try:
        sample = pipeline.get_by_name("sink").emit("try-pull-sample", 5 * gst.SECOND)
        image = sample_to_ndarray(sample)
        assert image.flags.writeable and image.flags.c_contiguous
        image[:] = 7
        buffer = sample.get_buffer()
        assert set(buffer.extract_dup(0, buffer.get_size())[:48]) != {7}
    finally:
        pipeline.set_state(gst.State.NULL)


@pytest.mark.parametrize("layout", ["I420", "NV12", "YV12", "Y42B", "Y444", "YUY2", "UYVY"])
@pytest.mark.parametrize("colorimetry, tolerance", [("bt601", 7), ("bt709", 7), ("1:4:0:0", 4)])
def test_yuv_becomes_bgr_like_videoconvert(gst, layout, colorimetry, tolerance):
    # Seven colour bars 40 pixels wide over the top two thirds. Next to their edges
    # videoconvert interpolates chroma where we repeat it, so those columns are left out.
    caps = f"video/x-raw,format={layout},width=280,height=48,colorimetry={colorimetry}"
    image = sample_to_ndarray(pull_one(gst, caps))
    assert image.shape == (48, 280, 3) and image.flags.writeable
    expected = videoconvert_bgr(gst, caps)
    difference = np.abs(image[:30].astype(int) - expected[:30].astype(int))
    near_edge = np.zeros(280, bool)
    for edge in range(40, 280, 40):
        near_edge[edge - 2:edge + 2] = True
    difference[:, near_edge] = 0
    assert difference.max() <= tolerance, f"max difference {difference.max()}"


def test_bgr_byte_order(gst):
    # videotestsrc's red in I420 must come out with the red byte last.
    image = sample_to_ndarray(
        pull_one(gst, "video/x-raw,format=I420,width=16,height=16,colorimetry=bt601",
                 pattern="red"))
    blue, green, red = image[8, 8]
    assert red > 240 and blue < 15 and green < 15


def test_errors_are_sample_conversion_errors(gst):
    assert SampleConversionError is kelvo.errors.SampleConversionError
    buffer = gst.Buffer.new_wrapped(bytes(10))
    no_caps = gst.Sample.new(buffer, None, None, None)
    with pytest.raises(SampleConversionError, match="no caps"):
        sample_to_ndarray(no_caps)
    short = gst.Sample.new(
        buffer, gst.Caps.from_string("video/x-raw,format=BGR,width=4,height=4"), None, None)
    with pytest.raises(SampleConversionError, match="holds 10 bytes"):
        sample_to_ndarray(short)
    odd = gst.Sample.new(
        buffer, gst.Caps.from_string("video/x-raw,format=v210,width=4,height=4"), None, None)
    with pytest.raises(SampleConversionError, match="Unsupported pixel format"):
        sample_to_ndarray(odd)


def test_sample_without_buffer_is_none(gst):
    caps = gst.Caps.from_string("video/x-raw,format=BGR,width=4,height=4")
    assert sample_to_ndarray(gst.Sample.new(None, caps, None, None)) is None


@pytest.mark.parametrize("value", [None, 3, "sample", b"\x00" * 8])
def test_non_samples_are_refused(gst, value):
    with pytest.raises(TypeError, match="Gst.Sample"):
        sample_to_ndarray(value)


def test_frames_over_the_size_limit_are_refused(gst, monkeypatch):
    assert kelvo.utils.gstreamer.MAX_FRAME_PIXELS == 8192 * 4320
    sample = pull_one(gst, "video/x-raw,format=I420,width=64,height=48")
    monkeypatch.setattr(kelvo.utils.gstreamer, "MAX_FRAME_PIXELS", 64 * 48 - 1)
    with pytest.raises(SampleConversionError,
                       match="Frame of 64x48 pixels is larger than the limit of 3071 pixels"):
        sample_to_ndarray(sample)
    monkeypatch.setattr(kelvo.utils.gstreamer, "MAX_FRAME_PIXELS", 64 * 48)
    assert sample_to_ndarray(sample).shape == (48, 64, 3)


@pytest.mark.parametrize("value, error", [(0, ValueError), (-1, ValueError), (2**64, ValueError),
                                          (1.5, TypeError), (True, TypeError), ("9", TypeError)])
def test_the_size_limit_must_be_a_positive_int(gst, monkeypatch, value, error):
    sample = pull_one(gst, "video/x-raw,format=BGR,width=4,height=4")
    monkeypatch.setattr(kelvo.utils.gstreamer, "MAX_FRAME_PIXELS", value)
    with pytest.raises(error, match="MAX_FRAME_PIXELS"):
        sample_to_ndarray(sample)
