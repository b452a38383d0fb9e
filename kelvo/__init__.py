"""kelvo: the newest decoded frame of every live video stream, as a numpy array.

Start the process-wide runtime once, then open one reader per stream::

    from kelvo import glib_runtime
    from kelvo.stream_reader.gst import GstStreamReader

    glib_runtime.start()
    reader = GstStreamReader(1, "rtsp://camera/stream", runtime_options={})
"""

__version__ = "0.1.0"
