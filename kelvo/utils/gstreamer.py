"""GStreamer helpers: the pipeline type the factories build, and samples as numpy arrays.

- :class:`Pipeline`: owns a GStreamer pipeline (``appsink``, ``set_state``, ``get_state``,
  ``get_by_name``, ``try_pull_sample``, ``wait_until_playing``, ``wait_until_null``,
  ``release_resources``, ``add_destructor``).
- :func:`sample_to_ndarray`: a ``Gst.Sample`` as a ``uint8`` array; BGR for YUV samples.
- :class:`SampleConversionError`: raised for a sample that cannot be converted (the same class
  as ``kelvo.errors.SampleConversionError``).
- :data:`MAX_FRAME_PIXELS`: the largest frame, in pixels, that kelvo makes (default
  ``DEFAULT_MAX_FRAME_PIXELS``, 8192×4320: 8K video). A larger frame is a conversion error, and
  a built-in pipeline whose stream announces one is stopped before it decodes it; a source that
  sends more than two such frames' worth of BGR bytes without a frame is stopped too. Assign an
  ``int`` to change it: ``sample_to_ndarray`` reads it at each call, pipeline factories and
  readers when they are made.
"""

from kelvo._pipelines import DEFAULT_MAX_FRAME_PIXELS, Pipeline, sample_to_ndarray
from kelvo.errors import SampleConversionError

__all__ = [
    "DEFAULT_MAX_FRAME_PIXELS",
    "MAX_FRAME_PIXELS",
    "Pipeline",
    "SampleConversionError",
    "sample_to_ndarray",
]

MAX_FRAME_PIXELS: int = DEFAULT_MAX_FRAME_PIXELS
