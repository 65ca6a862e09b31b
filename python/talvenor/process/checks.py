"""Checks of arguments, whose messages name the argument and its value."""

from __future__ import annotations

import math
import numbers
import operator
from typing import Literal

from .. import constants
from .solver import GEOMETRIES

__all__ = ["real", "integer", "geometry", "celsius"]


def real(name: str, value: object, rule: Literal["finite", "not negative", "positive"] = "finite") -> float:
    """``value`` as a float, which must be finite and follow ``rule``."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    number = float(value)
    if not math.isfinite(number) or (rule == "not negative" and number < 0.0) or (rule == "positive" and number <= 0.0):
        raise ValueError(f"{name} must be {'finite' if rule == 'finite' else f'finite and {rule}'}, got {value!r}")
    return number


def integer(name: str, value: object, *, minimum: int) -> int:
    """``value`` as an int of at least ``minimum``."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None
    if number < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {number!r}")
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
