"""kelvo: the newest decoded frame of every live video stream, as a numpy array.

Start the process-wide runtime once, then open one reader per stream::

    from kelvo import glib_runtime
    from kelvo.stream_reader.gst import GstStreamReader

    glib_runtime.start()
    reader = GstStreamReader(1, "rtsp://camera/stream", runtime_options={})
"""

__version__ = "0.1.0"


def _prefer_gcc_unwinder() -> None:
    # GStreamer links libunwind, which exports the C++ unwinder's entry points under the same
    # names as the C library's unwinder (libgcc_s). Once PyGObject has loaded GStreamer into
    # the global namespace, C++ code loaded later may resolve some of those entry points to one
    # unwinder and some to the other, and an exception thrown then ends the process ("terminate
    # called after throwing ..."). Putting libgcc_s in the global namespace first keeps every
    # C++ exception of the process on one unwinder, whatever is imported next.
    import ctypes
    import os

    try:
        ctypes.CDLL("libgcc_s.so.1", mode=os.RTLD_GLOBAL | os.RTLD_NOW)
    except OSError:
        pass  # not a GNU system: nothing to line up


_prefer_gcc_unwinder()
