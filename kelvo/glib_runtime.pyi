"""Provides functions to initialize and tear down GObject libraries."""

from typing import Any, Dict, List, Tuple

def start(start_main_loop: Any = True) -> None:
    """Initialize GObject libraries if they're not already initialized."""

def assert_started() -> None:
    """Raises an exception if the GObject libraries have not been initialized."""

def close() -> None:
    """Tears down the GObject libraries if they aren't already stopped."""

def _state() -> Tuple[bool, bool, bool]: ...
def _override_ranks() -> None: ...
def _decoders() -> List[Dict[str, Any]]: ...
def _gstreamer_version() -> Tuple[int, int, int, int]: ...
