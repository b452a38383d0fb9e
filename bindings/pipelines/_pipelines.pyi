from typing import Any, Callable, Optional, Tuple

import numpy as np
from gi.repository import Gst

BUFFER_SRC_NAME: str
DEFAULT_MAX_FRAME_PIXELS: int

Watcher = Callable[[Gst.Bus, Gst.Message, Gst.Pipeline], bool]

class Pipeline:
    @property
    def appsink(self) -> Gst.Element: ...
    @property
    def gst_pipeline(self) -> Optional[Gst.Pipeline]: ...
    def set_state(self, state: Gst.State) -> Gst.StateChangeReturn: ...
    def get_state(self, timeout: int) -> Tuple[Gst.StateChangeReturn, Gst.State, Gst.State]: ...
    def get_by_name(self, name: str) -> Optional[Gst.Element]: ...
    def try_pull_sample(self, timeout: int) -> Optional[Gst.Sample]: ...
    def wait_until_playing(self, stream_id: int, timeout: float) -> None: ...
    def wait_until_null(self, stream_id: int, timeout: float) -> None: ...
    def release_resources(self) -> None: ...
    def add_destructor(self, callback: Callable[[], Any]) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class PipelineFactory:
    def build(self) -> Pipeline: ...

class RTSPPipelineFactory(PipelineFactory):
    def __init__(
        self,
        *,
        url: str,
        latency: int,
        pipeline_watcher: Optional[Watcher] = None,
        force_tcp: bool = False,
        on_complete: Optional[Callable[[Pipeline], Any]] = None,
    ) -> None: ...

class HTTPPipelineFactory(PipelineFactory):
    def __init__(
        self,
        *,
        url: str,
        pipeline_watcher: Optional[Watcher] = None,
        on_complete: Optional[Callable[[Pipeline], Any]] = None,
    ) -> None: ...

class CustomPipelineFactory(PipelineFactory):
    def __init__(
        self,
        pipeline_str: str,
        *,
        url: str = "",
        pipeline_watcher: Optional[Watcher] = None,
        on_complete: Optional[Callable[[Pipeline], Any]] = None,
    ) -> None: ...

def sample_to_ndarray(sample: Gst.Sample) -> Optional[np.ndarray]: ...
def add_keyframes_only_probe(pad: Gst.Pad) -> int: ...
