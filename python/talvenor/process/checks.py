"""Checks of arguments, whose messages name the argument and its value."""

from __future__ import annotations

import math
import numbers
import operator
from typing import Literal

from .. import constants
from .solver import GEOMETRIES

__all__ = ["real", "integer", "geometry", "celsius", "bounded", "depth_mm", "cells",
           "DEPTH_RANGE_MM", "LONGEST_STAGE_H", "MOST_CELLS", "MELTING_C"]

# Limits that keep a run physically meaningful and its time and memory
# bounded: the thinnest and the deepest part, the longest stage, the finest
# grid (100,000 cells take a few MB a step) and where steel melts.
DEPTH_RANGE_MM = (0.01, 10_000.0)
LONGEST_STAGE_H = 10_000.0
MOST_CELLS = 100_000
MELTING_C = 1400.0


def real(name: str, value: object, rule: Literal["finite", "not negative", "positive"] = "finite") -> float:
    """``value`` as a float, which must be finite and follow ``rule``."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    number = float(value)
    if not math.isfinite(number) or (rule == "not negative" and number < 0.0) or (rule == "positive" and number <= 0.0):
        raise ValueError(f"{name} must be {'finite' if rule == 'finite' else f'finite and {rule}'}, got {number!r}")
    return number


def integer(name: str, value: object, *, minimum: int, maximum: int | None = None) -> int:
    """``value`` as an int of at least ``minimum`` (and at most ``maximum``)."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None
    if number < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {number!r}")
    if maximum is not None and number > maximum:
        raise ValueError(f"{name} must be at most {maximum:,}, got {number!r}")
    return number


def geometry(name: str, value: object) -> str:
    """``value``, which must name one of the geometries."""
    if not isinstance(value, str) or value not in GEOMETRIES:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, GEOMETRIES))}, got {value!r}")
    return value


def celsius(name: str, value: object) -> float:
    """``value`` as a float, a temperature in °C above absolute zero."""
    number = real(name, value)
    if number + constants.T_NORMAL <= 0.0:
        raise ValueError(f"{name} must be above absolute zero ({-constants.T_NORMAL} °C), got {value!r}")
    return number


def bounded(name: str, number: float, *, low: float = -math.inf, high: float, below: bool = False,
            unit: str = "", why: str = "") -> float:
    """``number``, a float, which must lie from ``low`` to ``high`` (below
    ``high`` with ``below``); the message gives the range in ``unit``, and
    ``why``."""
    if low <= number and (number < high if below else number <= high):
        return number
    allowed = f"between {low:,g} and {high:,g}" if low > -math.inf else f"{'below' if below else 'at most'} {high:,g}"
    unit = f" {unit}" if unit else ""
    raise ValueError(f"{name} must be {allowed}{unit}{f', {why}' if why else ''}, got {number!r}")


def depth_mm(name: str, value: object) -> float:
    """``value``, the depth of a part in mm, within :data:`DEPTH_RANGE_MM`."""
    low, high = DEPTH_RANGE_MM
    return bounded(name, real(name, value), low=low, high=high, unit="mm")


def cells(name: str, value: object) -> int:
    """``value``, a number of grid cells: from 3 to :data:`MOST_CELLS`."""
    return integer(name, value, minimum=3, maximum=MOST_CELLS)
