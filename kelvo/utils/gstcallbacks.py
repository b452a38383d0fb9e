"""GStreamer callbacks: the keyframe-only buffer probe.

``add_keyframes_only_probe(pad)`` adds to a ``Gst.Pad`` a probe on buffers and buffer lists that
drops every buffer flagged as a delta unit, and returns the probe id for ``pad.remove_probe``.
"""

from kelvo._pipelines import add_keyframes_only_probe

__all__ = ["add_keyframes_only_probe"]
