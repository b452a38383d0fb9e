"""A small deadline helper."""

import time
from typing import Optional

__all__ = ["Timeout"]


class Timeout:
    """A deadline ``seconds`` from its creation, on the monotonic clock.

    ``Timeout(None)`` never expires. Typical use::

        timeout = Timeout(5.0)
        while not done() and not timeout.expired:
            event.wait(timeout.remaining)
    """

    __slots__ = ("_deadline", "_seconds")

    def __init__(self, seconds: Optional[float]) -> None:
        if seconds is not None:
            seconds = float(seconds)
            if seconds != seconds:
                raise ValueError("Timeout seconds must not be NaN")
        self._seconds = seconds
        self._deadline = None if seconds is None else time.monotonic() + seconds

    @property
    def seconds(self) -> Optional[float]:
        """The length the timeout was made with."""
        return self._seconds

    @property
    def remaining(self) -> Optional[float]:
        """Seconds left, never below 0; None for a timeout that never expires."""
        if self._deadline is None:
            return None
        return max(0.0, self._deadline - time.monotonic())

    @property
    def expired(self) -> bool:
        return self._deadline is not None and time.monotonic() >= self._deadline

    def __repr__(self) -> str:
        return f"Timeout({self._seconds!r}, remaining={self.remaining!r})"
