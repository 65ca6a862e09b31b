"""Checks of arguments, whose messages name the argument and its value.

Every check takes the name to give in its message first; a caller that reads
a file names the table as well (``"[part]: depth_mm"``).
"""

from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Collection
from typing import Literal

from .. import constants

__all__ = ["real", "integer", "one_of", "celsius", "bounded", "optional"]


def real(name: str, value: object, rule: Literal["finite", "not negative", "positive"] = "finite") -> float:
    """``value`` as a float, which must be finite and follow ``rule``."""
    if isinstance(value, float):  # the usual case, spared the slower check of the abstract type
        number = float(value)
    elif isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    else:
        try:
            number = float(value)
        except OverflowError:
            digits = int(math.log10(abs(value))) + 1  # only an integer overflows a float
            raise ValueError(f"{name} must be finite, got a number of {digits} digits, more than a float "
                             "holds") from None
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


def one_of(name: str, value: object, choices: Collection[str]) -> str:
    """``value``, which must be one of the strings ``choices``."""
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, choices))}, got {value!r}")
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


def optional(name: str, value: object, rule: Literal["finite", "not negative", "positive"] = "finite") -> float | None:
    """``value`` as by :func:`real`, or None."""
    return None if value is None else real(name, value, rule)
