"""Pipeline factories: GStreamer pipelines for RTSP and HTTP(S) URLs and for descriptions.

Every factory builds, on each ``build()``, a new :class:`kelvo.utils.gstreamer.Pipeline` that is
already on its way to PLAYING, installs ``pipeline_watcher`` (called as ``(bus, message,
pipeline)`` with PyGObject's ``Gst.Bus``, ``Gst.Message`` and ``Gst.Pipeline``; returns true to
stay attached) as its bus watch on the thread-default main context, and calls ``on_complete``
with the pipeline once its element named :data:`BUFFER_SRC_NAME` exists: for RTSP and HTTP on a
GStreamer streaming thread when the stream's format is known, for a description inside
``build()``.

- ``RTSPPipelineFactory(url=..., latency=..., pipeline_watcher=..., force_tcp=..., on_complete=...)``:
  H.264, H.265 and MJPEG over RTSP; ``latency`` in milliseconds; TCP only with ``force_tcp``.
- ``HTTPPipelineFactory(url=..., pipeline_watcher=..., on_complete=...)``: MJPEG over
  ``multipart/x-mixed-replace`` and H.264/H.265 in MPEG-TS.
- ``CustomPipelineFactory(pipeline_str, url=..., pipeline_watcher=..., on_complete=...)``: the
  description must hold exactly one appsink; an appsink that could block gets ``drop=true`` and,
  without a limit, ``max-buffers=1``.

The built-in pipelines decode with the decoder that GStreamer's ranks choose and hand the
appsink raw YUV, which :func:`kelvo.utils.gstreamer.sample_to_ndarray` turns into BGR. A URL's
credentials go to the source element only; kelvo's messages show the password as ``***``.
"""

from kelvo._pipelines import (
    BUFFER_SRC_NAME,
    CustomPipelineFactory,
    HTTPPipelineFactory,
    PipelineFactory,
    RTSPPipelineFactory,
)

__all__ = [
    "BUFFER_SRC_NAME",
    "CustomPipelineFactory",
    "HTTPPipelineFactory",
    "PipelineFactory",
    "RTSPPipelineFactory",
]
