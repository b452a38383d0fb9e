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

class _RuntimeLock:
    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool: ...
    def release(self) -> None: ...
    def __enter__(self) -> bool: ...
    def __exit__(self, *args: Any) -> None: ...

_lock: _RuntimeLock
"""Re-entrant; held by start, assert_started and close for their whole run."""
_running: bool
_glib_main_loop: Any
"""The GLib.MainLoop of the latest start with a loop, or None."""
_glib_main_loop_thread: Any
"""Its threading.Thread ("GlibRuntimeThread"), or None."""
