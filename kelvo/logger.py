"""Loggers of kelvo.

``logger`` is the package logger ("kelvo"). Every stream reader logs on a logger of its own,
``get_stream_logger(url)``, a child of ``kelvo.stream`` named after the stream's URL with any
password shown as ``***``, so that a person can tell the streams apart and configure them one
by one.
"""

import logging

from kelvo._kelvo import mask_password

__all__ = ["logger", "get_stream_logger", "mask_password"]

logger = logging.getLogger("kelvo")

_STREAM_LOGGER_PREFIX = "kelvo.stream."


def get_stream_logger(url: str) -> logging.Logger:
    """Returns the logger for the stream at ``url`` (its password masked in the name)."""
    if not isinstance(url, str):
        raise TypeError(
            f"Argument 'url' has incorrect type (expected str, got {type(url).__name__})"
        )
    return logging.getLogger(_STREAM_LOGGER_PREFIX + mask_password(url))
