"""Types shared by every stream reader."""

from typing import Optional, Tuple

import numpy as np

from kelvo._kelvo import StreamReader, StreamStatus

__all__ = ["StreamReader", "StreamStatus", "FRAME"]

#: What a reader publishes: the wall-clock time of the pull (seconds since the Unix epoch) and
#: the image (``uint8``, H×W×3 BGR), or None when there is no frame (before the first one and
#: after the stream was closed).
FRAME = Tuple[float, Optional[np.ndarray]]
