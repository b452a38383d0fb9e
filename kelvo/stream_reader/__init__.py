"""Stream readers: the reader base types and the GStreamer reader (``gst``)."""
