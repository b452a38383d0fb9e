"""kelvo's command line tools.

``python -m kelvo doctor``
    GStreamer's version and every decoder that automatic selection may pick, grouped by plugin,
    with its rank after the KELVO_{PLUGIN}_RANK overrides and the variable that changes it.
"""

import argparse
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


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kelvo", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser("doctor", help="GStreamer version and decoder ranks")
    args: argparse.Namespace = parser.parse_args(list(argv) if argv is not None else None)
    if args.command == "doctor":
        return doctor()
    parser.print_help()
    return 2


