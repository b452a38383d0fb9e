"""Errors that kelvo raises."""

__all__ = ["StreamSetupError", "SampleConversionError"]


class StreamSetupError(Exception):
    """A stream could not be set up.

    Raised for a URL whose scheme kelvo cannot read, a pipeline description that does not
    parse, and a pipeline that does not start playing when the caller asked for one that plays
    (``must_play``). The message never shows a password: credentials in a URL read ``***``.
    """


class SampleConversionError(Exception):
    """A sample pulled from a pipeline could not be turned into an image.

    The reader logs the message and rebuilds the pipeline. Also exported as
    ``kelvo.utils.gstreamer.SampleConversionError``.
    """
