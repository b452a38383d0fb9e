"""kelvo's command line tools.

``python -m kelvo watch [URL ...] [--pipeline DESCRIPTION ...]``
    Reads the streams and shows, per stream, its status, frames per second, the age of its
    newest frame, its restarts and whether keyframes-only is on. With no URL it serves two live
    test streams of its own and reads those. ``--http [HOST:]PORT`` adds a live page of every
    stream, with ``/metrics`` for Prometheus and ``/api/streams`` as JSON.

``python -m kelvo doctor``
    GStreamer's version and every decoder that automatic selection may pick, grouped by plugin,
    with its rank after the KELVO_{PLUGIN}_RANK overrides and the variable that changes it.
"""

import argparse
import math
import os
import sys
from typing import Optional, Sequence

__all__ = ["main"]

_RANK_NAMES = {0: "NONE", 64: "MARGINAL", 128: "SECONDARY", 256: "PRIMARY"}


def _rank_text(rank: int) -> str:
    name = _RANK_NAMES.get(rank)
    if name:
        return f"{rank} ({name})"
    below = max((r for r in _RANK_NAMES if r < rank), default=0)
    return f"{rank} ({_RANK_NAMES[below]}+{rank - below})"


def doctor(out=sys.stdout) -> int:
    from kelvo import glib_runtime

    glib_runtime.start(start_main_loop=False)
    try:
        major, minor, micro, nano = glib_runtime._gstreamer_version()
        version = f"{major}.{minor}.{micro}" + (f".{nano}" if nano else "")
        print(f"GStreamer {version}", file=out)
        decoders = glib_runtime._decoders()
        print(
            f"{len(decoders)} decoders of rank MARGINAL (64) or more, by plugin; ranks after "
            "overrides. Set the variable shown to change the rank of every decoder of a plugin.",
            file=out,
        )
        plugin: Optional[str] = None
        for d in decoders:
            if d["plugin"] != plugin:
                plugin = d["plugin"]
                variable = d["variable"]
                value = os.environ.get(variable) if variable else None
                setting = "not set" if value is None else f"set to {value!r}"
                print(f"\n{plugin or '(no plugin)'}  [{variable or '-'}: {setting}]", file=out)
            print(
                f"  {d['factory']:<28} {_rank_text(d['rank']):<18} {d['klass']:<30} "
                f"{d['long_name']}",
                file=out,
            )
    finally:
        glib_runtime.close()
    return 0


_MAX_LATENCY_MS = 60_000


def _positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return value


def _latency_ms(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= _MAX_LATENCY_MS:
        raise argparse.ArgumentTypeError(
            f"expected whole milliseconds from 0 to {_MAX_LATENCY_MS}, got {text!r}")
    return value


def _address(text: str):
    from kelvo.web import parse_address

    try:
        return parse_address(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelvo", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser("doctor", help="GStreamer version and decoder ranks")
    w = commands.add_parser("watch", help="read streams and show how each one is doing")
    w.add_argument("urls", nargs="*", metavar="URL",
                   help="rtsp://, http:// or https:// URLs; none: serve and read test streams")
    w.add_argument("--pipeline", action="append", default=[], metavar="DESCRIPTION",
                   help="a GStreamer pipeline description with one appsink (repeatable)")
    w.add_argument("--duration", type=_positive_seconds, metavar="SECONDS",
                   help="stop after this long (default: until Ctrl-C)")
    w.add_argument("--keyframes-only", action="store_true", help="decode keyframes only")
    w.add_argument("--latency", type=_latency_ms, metavar="MS",
                   help=f"RTSP: most a missing packet is waited for, 0 to {_MAX_LATENCY_MS} ms")
    w.add_argument("--tcp", action="store_true", help="RTSP over TCP")
    w.add_argument("--json", action="store_true", help="machine-readable lines")
    w.add_argument("--snapshot", metavar="FILE.png",
                   help="at the end, write the newest frame of every stream to a PNG")
    w.add_argument("--http", type=_address, metavar="[HOST:]PORT",
                   help="serve a live page of every stream, /metrics (Prometheus) and "
                        "/api/streams (JSON) on HOST (default 127.0.0.1), PORT (0: any free)")
    args: argparse.Namespace = parser.parse_args(list(argv) if argv is not None else None)
    if args.command == "doctor":
        return doctor()
    if args.command == "watch":
        from kelvo.errors import StreamSetupError
        from kelvo.watch import watch
        from kelvo.web import PageAddressError

        try:
            return watch(args.urls, args.pipeline, duration=args.duration,
                         keyframes_only=args.keyframes_only, latency=args.latency,
                         tcp=args.tcp, as_json=args.json, snapshot=args.snapshot,
                         http=args.http)
        except StreamSetupError as error:
            print(f"kelvo watch: {error}", file=sys.stderr)
            return 2
        except PageAddressError as error:
            print(f"kelvo watch: {error}", file=sys.stderr)
            return 2
    parser.print_help()
    return 2


