"""The GStreamer stream reader and its parts."""

import threading
from types import ModuleType
from typing import Any, Callable, ClassVar, Dict, Mapping, Optional, Tuple, TypedDict

import numpy as np

from kelvo import glib_runtime as glib_runtime
from kelvo._kelvo import Event, StreamReader as StreamReader, StreamStatus as StreamStatus
from kelvo.errors import StreamSetupError as StreamSetupError
from kelvo.logger import get_stream_logger as get_stream_logger
from kelvo.pipeline_factories import (
    BUFFER_SRC_NAME as BUFFER_SRC_NAME,
    CustomPipelineFactory as CustomPipelineFactory,
    HTTPPipelineFactory as HTTPPipelineFactory,
    PipelineFactory as PipelineFactory,
    RTSPPipelineFactory as RTSPPipelineFactory,
)
from kelvo.stream_reader.base import FRAME as FRAME
from kelvo.stream_reader.runtime_options import check_runtime_options as check_runtime_options
from kelvo.utils import gstcallbacks as gstcallbacks
from kelvo.utils.gstreamer import (
    Pipeline as Pipeline,
    SampleConversionError as SampleConversionError,
    sample_to_ndarray as sample_to_ndarray,
)
from kelvo.utils.timing import Timeout as Timeout

_STATE_CHANGE_TIMEOUT: int
"""Seconds: the pipeline's state-change waits, and the pulling thread's status wait (30)."""
_FRAME_TIMEOUT: int
"""Seconds: a streaming pipeline without a frame for longer than this is restarted (120)."""

class _StatusCondition:
    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool: ...
    def release(self) -> None: ...
    def wait(self, timeout: Optional[float] = None) -> bool: ...
    def notify_all(self) -> None: ...
    def __enter__(self) -> bool: ...
    def __exit__(self, *args: Any) -> None: ...

class _RestartLock:
    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool: ...
    def release(self) -> None: ...
    def locked(self) -> bool: ...
    def __enter__(self) -> bool: ...
    def __exit__(self, *args: Any) -> None: ...

class _PipelineState:
    """Holds a pipeline object and state related to the pipeline"""

    _restart_lock: ClassVar[_RestartLock]
    id: int
    logger: Any
    pipeline: Any
    factory: Any
    status: StreamStatus
    start_pipeline_timestamp: float
    last_frame_timestamp: Optional[float]
    new_status_event: Event
    _new_status_cond: _StatusCondition
    def __init__(self, id: int, logger: Any) -> None: ...
    def set_status(self, status: StreamStatus) -> None: ...
    def build(self, must_play: Any = False) -> None: ...
    def close(self) -> None: ...
    def request_restart(self) -> None: ...
    def restart(self) -> None: ...
    def _shutdown(self) -> None: ...
    def shutdown(self) -> None: ...

class _PipelineRestarter:
    """Monitors the health of the pipeline and rebuilds it if necessary"""

    id: int
    _base_backoff_seconds: float
    _max_backoff_seconds: float
    _backoff_randomness_seconds: float
    _pipeline_state: _PipelineState
    _logger: Any
    _restart_count: int
    _last_gst_state: Any
    _pipeline_restarter_thread: Optional[threading.Thread]
    def __init__(self, id: int, setup_timeout: float, base_backoff_seconds: float,
                 max_backoff_seconds: float, backoff_randomness_seconds: float,
                 pipeline_state: _PipelineState, logger: Any) -> None: ...
    def start(self) -> None: ...
    def close(self) -> None: ...
    def wait_until_closed(self) -> None: ...
    def calc_backoff_seconds(self) -> float: ...
    def notify_frame_received(self, stream_id: int, timestamp: float) -> None: ...
    def notify_frame_error(self, stream_id: int, timestamp: float) -> None: ...
    def watcher(self, _bus: Any, message: Any, pipeline: Any) -> bool: ...
    def gst_state_playing(self, timestamp: float) -> Tuple[bool, Any, Optional[float]]: ...

class _KeyframeFilter:
    keyframes_only: bool
    _keyframes_only: bool
    _pipeline_state: _PipelineState
    _logger: Any
    _pad_probe_id: Optional[int]
    def __init__(self, keyframes_only: bool, pipeline_state: _PipelineState, logger: Any) -> None: ...
    def update_pad_probe(self) -> None: ...
    def _get_buffer_src_pad(self) -> Any: ...

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
    id: int
    _logger: Any
    _url: str
    _pipeline_state: _PipelineState
    _pipeline_restarter: _PipelineRestarter
    _keyframe_filter: _KeyframeFilter
    _sample_pulling_thread: threading.Thread
    _latest_frame: Tuple[float, Any]
    _latest_frame_event: Event
    _new_frame_event: Event
    def _pull_samples(self) -> None: ...
    def _on_pipeline_complete(self, _pipeline: Any) -> None: ...
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
    def close(self, block: bool = True) -> None:
        """Sends a request to stop the StreamReader (block=False: never waits)."""
    def wait_until_closed(self) -> None:
        """Blocks until the StreamReader is closed."""
