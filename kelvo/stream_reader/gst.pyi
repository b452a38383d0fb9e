"""The GStreamer stream reader."""
