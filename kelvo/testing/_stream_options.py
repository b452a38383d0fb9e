"""What the RTSP and HTTP test servers have in common: their options and their test source."""

import argparse
from typing import Iterable, Optional, Sequence


def parse_arguments(description: str, mounts: Iterable[str],
                    argv: Optional[Sequence[str]] = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--mount", action="append", choices=sorted(mounts), default=None)
    parser.add_argument("--width", type=int, default=320)
    parser.add_argument("--height", type=int, default=240)
    parser.add_argument("--fps", type=int, default=15)
    parser.add_argument("--keyframe-interval", type=int, default=15)
    parser.add_argument("--pattern", default="ball")
    parser.add_argument("--bitrate", type=int, default=800, help="kbit/s of H.264 and H.265")
    parser.add_argument("--user", default=None, help="with --password: clients must log in")
    parser.add_argument("--password", default=None)
    return parser.parse_args(argv)


def test_source(pattern: str, width: int, height: int, fps: int) -> str:
    """A live test pattern in raw I420, ready for an encoder after the trailing '! '."""
    return (f"videotestsrc is-live=true pattern={pattern} ! "
            f"video/x-raw,format=I420,width={width},height={height},framerate={fps}/1 ! ")
