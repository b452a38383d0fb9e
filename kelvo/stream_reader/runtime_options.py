"""Validation of the options that a reader accepts while it runs."""

from collections.abc import Mapping
from typing import Any, Mapping as MappingType

__all__ = ["check_runtime_options"]


def check_runtime_options(runtime_options: Any, supported: MappingType[str, type]) -> None:
    """Checks ``runtime_options`` against ``supported`` (option name to value type).

    Raises TypeError when ``runtime_options`` is not a mapping or a value has the wrong type,
    and ValueError for an option name the reader does not know. Each message names the option.
    A boolean option takes only True or False (not 0 or 1); an integer option refuses booleans.
    """
    if not isinstance(runtime_options, Mapping):
        raise TypeError(
            "runtime_options must be a mapping from option name to value, got "
            f"{type(runtime_options).__name__}"
        )
    for name, value in runtime_options.items():
        if name not in supported:
            known = ", ".join(repr(n) for n in sorted(supported)) or "none"
            raise ValueError(f"Unknown runtime option {name!r}; supported options: {known}")
        expected = supported[name]
        if expected is bool:
            ok = type(value) is bool
        elif expected is int:
            ok = isinstance(value, int) and not isinstance(value, bool)
        elif expected is float:
            ok = isinstance(value, (int, float)) and not isinstance(value, bool)
        else:
            ok = isinstance(value, expected)
        if not ok:
            raise TypeError(
                f"Runtime option {name!r} must be of type {expected.__name__}, "
                f"got {type(value).__name__}: {value!r}"
            )
