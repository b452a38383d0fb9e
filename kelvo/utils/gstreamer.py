"""GStreamer helpers: the pipeline type the factories build, and samples as numpy arrays.

- :class:`Pipeline`: owns a GStreamer pipeline (``appsink``, ``set_state``, ``get_state``,
  ``get_by_name``, ``try_pull_sample``, ``wait_until_playing``, ``wait_until_null``,
  ``release_resources``, ``add_destructor``).
- :func:`sample_to_ndarray`: a ``Gst.Sample`` as a ``uint8`` array; BGR for YUV samples.
- :class:`SampleConversionError`: raised for a sample that cannot be converted (the same class
  as ``kelvo.errors.SampleConversionError``).
"""

from kelvo._pipelines import Pipeline, sample_to_ndarray
from kelvo.errors import SampleConversionError

__all__ = ["Pipeline", "SampleConversionError", "sample_to_ndarray"]
