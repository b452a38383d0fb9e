"""The GStreamer stream reader."""

from typing import Any, ClassVar, Dict, Mapping, Optional, Tuple, TypedDict

import numpy as np

from kelvo._kelvo import Event, StreamReader, StreamStatus

_STATE_CHANGE_TIMEOUT: int
"""Seconds: the pipeline's state-change waits, and the pulling thread's status wait (30)."""
_FRAME_TIMEOUT: int
"""Seconds: a streaming pipeline without a frame for longer than this is restarted (120)."""

class ReaderStats(TypedDict):
    frames_published: int
    """Frames published since the reader was made."""
    frames_dropped: Optional[int]
    """Frames the pipeline dropped because nobody pulled them in time; None when unknown."""
    restarts: int
    """Pipeline restarts so far."""
    backoff_seconds: float
    """The delay that the next restart will wait."""
    last_frame_age: Optional[float]
    """Seconds since the newest frame was pulled; None before the first frame."""
    last_error: Optional[str]
    """The last error or end-of-stream reason (passwords masked); None if none."""
    gst_state: str
    """The pipeline's GStreamer state: "PLAYING", "PAUSED", "READY", "NULL"..."""
    keyframes_only: bool
    width: int
    """Width of the newest frame; 0 before the first frame."""
    height: int
    format: Optional[str]
    """Pixel layout of the newest frame ("BGR" for the built-in pipelines)."""

class GstStreamReader(StreamReader):
    """Reads a video stream with GStreamer and outputs frames with their timestamps."""

    _SUPPORTED_RUNTIME_OPTIONS: ClassVar[Dict[str, type]]

    def __init__(
        self,
        id: int,
        url: str,
        *,
        latency: int = ...,
        runtime_options: Dict[str, Any],
        pipeline_str: Optional[str] = None,
        must_play: Any = False,
        proxied: Any = False,
        setup_timeout: float = 30.0,
        base_backoff_seconds: float = 12.0,
        max_backoff_seconds: float = 64.0,
        backoff_randomness_seconds: float = 10.0,
    ) -> None: ...
    @property
    def id(self) -> int: ...
    @property
    def status(self) -> StreamStatus:
        """Deprecated: a None frame from latest_frame marks the end of a stream."""
    @status.setter
    def status(self, status: StreamStatus) -> None: ...
    @property
    def new_frame_event(self) -> Event: ...
    @property
    def new_status_event(self) -> Event: ...
    @property
    def latest_frame_event(self) -> Event: ...
    @property
    def latest_frame(self) -> Tuple[float, Optional[np.ndarray]]:
        """(pull time, uint8 H×W×3 BGR image or None). Clears latest_frame_event."""
    @property
    def stats(self) -> ReaderStats: ...
    def set_runtime_option_vals(self, runtime_options: Mapping[str, Any]) -> None: ...
    def close(self) -> None:
        """Sends a request to stop the StreamReader."""
    def wait_until_closed(self) -> None:
        """Blocks until the StreamReader is closed."""
