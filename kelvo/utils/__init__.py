"""Utilities: GStreamer helpers (``gstreamer``, ``gstcallbacks``) and time-outs (``timing``)."""
