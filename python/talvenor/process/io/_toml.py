"""Values as a TOML file writes them, for the files the library writes."""

from __future__ import annotations

import math
from collections.abc import Mapping

__all__ = ["toml_value"]


def toml_value(value: object) -> str:
    """``value`` (a bool, a number, a string, or a sequence or mapping of
    them) as TOML writes it."""
    if isinstance(value, bool):
        return str(value).lower()
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if isinstance(value, Mapping):
        return "{" + ", ".join(f"{key} = {toml_value(item)}" for key, item in value.items()) + "}"
    if isinstance(value, tuple | list):
        return "[" + ", ".join(map(toml_value, value)) + "]"
    if value == math.inf:
        return "inf"
    return repr(value)
