"""Prometheus metrics of stream readers, for the standard Python client (``prometheus_client``).

A host makes one collector, registers it with a registry and tells it which readers to export::

    from prometheus_client import REGISTRY, start_http_server
    from kelvo.prometheus import ReaderCollector

    collector = ReaderCollector(REGISTRY)
    collector.register(reader, url)     # url: the reader's URL; its password is masked
    start_http_server(9400, addr="127.0.0.1")
    ...
    collector.unregister(reader)        # optional: closed or deleted readers are forgotten

Every metric is labelled ``stream_id`` and ``url`` (password shown as ``***``):

==================================  =======  =================================================
``kelvo_frames_published_total``    counter  frames published since the reader was made
``kelvo_frames_dropped_total``      counter  frames dropped unread (absent when unknown)
``kelvo_restarts_total``            counter  pipeline restarts
``kelvo_backoff_seconds``           gauge    the delay the next restart will wait
``kelvo_last_frame_age_seconds``    gauge    age of the newest frame (absent before the first)
``kelvo_keyframes_only``            gauge    1 while keyframe-only streaming is on, else 0
``kelvo_status``                    gauge    1 for the reader's status, 0 for the others
                                             (label ``status``: INITIALIZING, STREAMING, ...)
``kelvo_frame_width_pixels``        gauge    width of the newest frame (0 before the first)
``kelvo_frame_height_pixels``       gauge    height of the newest frame
==================================  =======  =================================================

Collecting reads only each reader's ``id``, ``status`` and ``stats``, none of which waits on
the reader, so a scrape never waits on a stream. A reader is held weakly and forgotten once it
is closed or deleted.
"""

import threading
import weakref
from typing import Dict, Iterator, List, Optional, Tuple

from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric

from kelvo.logger import mask_password

__all__ = ["ReaderCollector"]

_LABELS = ["stream_id", "url"]
_STATUSES = ("INITIALIZING", "STREAMING", "HALTED", "CLOSED")


class ReaderCollector:
    """A ``prometheus_client`` collector of the readers registered with it."""

    def __init__(self, registry=None) -> None:
        """Registers the collector with ``registry`` (a ``CollectorRegistry``) when one is given."""
        self._lock = threading.Lock()  # guards _readers only; never held while reading a reader
        self._readers: Dict[int, Tuple["weakref.ref", str]] = {}
        if registry is not None:
            registry.register(self)

    def register(self, reader, url: str) -> None:
        """Exports ``reader``; ``url`` is shown with its password masked. Registering again
        replaces the URL."""
        label = mask_password(url)
        key = id(reader)
        ref = weakref.ref(reader, lambda _ref, key=key: self._forget(key, _ref))
        with self._lock:
            self._readers[key] = (ref, label)

    def unregister(self, reader) -> None:
        """Stops exporting ``reader`` (no error when it was not registered)."""
        with self._lock:
            entry = self._readers.get(id(reader))
            if entry is not None and entry[0]() is reader:
                del self._readers[id(reader)]

    def _forget(self, key: int, ref: "weakref.ref") -> None:
        with self._lock:
            if key in self._readers and self._readers[key][0] is ref:
                del self._readers[key]

    def readers(self) -> List[object]:
        """The readers exported now (closed ones already left out)."""
        with self._lock:
            entries = list(self._readers.values())
        return [r for r in (ref() for ref, _ in entries) if r is not None]

    @staticmethod
    def _families() -> Dict[str, Metric]:
        return {
            "published": CounterMetricFamily(
                "kelvo_frames_published", "Frames published since the reader was made",
                labels=_LABELS),
            "dropped": CounterMetricFamily(
                "kelvo_frames_dropped", "Frames dropped because nobody pulled them in time",
                labels=_LABELS),
            "restarts": CounterMetricFamily(
                "kelvo_restarts", "Pipeline restarts", labels=_LABELS),
            "backoff": GaugeMetricFamily(
                "kelvo_backoff_seconds", "The delay the next restart will wait", labels=_LABELS),
            "age": GaugeMetricFamily(
                "kelvo_last_frame_age_seconds", "Seconds since the newest frame was pulled",
                labels=_LABELS),
            "keyframes": GaugeMetricFamily(
                "kelvo_keyframes_only", "1 while only keyframes are decoded", labels=_LABELS),
            "status": GaugeMetricFamily(
                "kelvo_status", "1 for the reader's current status, 0 for the others",
                labels=_LABELS + ["status"]),
            "width": GaugeMetricFamily(
                "kelvo_frame_width_pixels", "Width of the newest frame", labels=_LABELS),
            "height": GaugeMetricFamily(
                "kelvo_frame_height_pixels", "Height of the newest frame", labels=_LABELS),
        }

    def describe(self) -> Iterator[Metric]:
        # Names only: lets a registry check for clashes without reading any reader.
        return iter(self._families().values())

    def collect(self) -> Iterator[Metric]:
        families = self._families()
        with self._lock:
            entries = list(self._readers.items())
        for key, (ref, url) in entries:
            reader = ref()
            if reader is None:
                continue
            status = reader.status.name
            if status == "CLOSED":
                self._forget(key, ref)
                continue
            stats = reader.stats
            labels = [str(reader.id), url]
            families["published"].add_metric(labels, stats["frames_published"])
            if stats["frames_dropped"] is not None:
                families["dropped"].add_metric(labels, stats["frames_dropped"])
            families["restarts"].add_metric(labels, stats["restarts"])
            families["backoff"].add_metric(labels, stats["backoff_seconds"])
            age: Optional[float] = stats["last_frame_age"]
            if age is not None:
                families["age"].add_metric(labels, age)
            families["keyframes"].add_metric(labels, 1.0 if stats["keyframes_only"] else 0.0)
            for name in _STATUSES:
                families["status"].add_metric(labels + [name], 1.0 if name == status else 0.0)
            families["width"].add_metric(labels, stats["width"])
            families["height"].add_metric(labels, stats["height"])
        return iter(families.values())
