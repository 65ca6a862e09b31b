"""The searches of the designs."""

from __future__ import annotations

import math
from collections.abc import Callable

__all__ = ["bracket", "root", "maximum"]


def bracket(f: Callable[[float], float], f_zero: float, guess: float, highest: float,
            failure: str) -> tuple[float, float, float, float]:
    """Points ``low, f(low), high, f(high)`` around the root of the
    increasing ``f``, with ``f(0) = f_zero < 0``: ``high`` doubles from
    ``guess`` until ``f(high)`` is no longer negative, and past ``highest``
    the search fails with the ValueError ``failure``."""
    low, f_low, high = 0.0, f_zero, guess
    while (f_high := f(high)) < 0.0:
        if high > highest:
            raise ValueError(failure)
        low, f_low, high = high, f_high, 2.0 * high
    return low, f_low, high, f_high


def root(f: Callable[[float], float], low: float, f_low: float, high: float, f_high: float,
          done: Callable[[float], bool], what: str) -> float:
    """A point between ``low`` and ``high`` at which ``done(f(x))`` holds,
    for an increasing ``f`` with ``f(low) < 0 <= f(high)``, by the Illinois
    variant of false position (halving where ``f`` is infinite)."""
    if done(f_high):
        return high
    side = 0
    for _ in range(100):
        if high - low <= 4.0 * math.ulp(high):
            # f jumps across the root, as where the grid cannot follow it: the
            # last point on the low side is the best there is.
            return low
        x = 0.5 * (low + high) if math.isinf(f_high) else (low * f_high - high * f_low) / (f_high - f_low)
        value = f(x)
        if done(value):
            return x
        if value >= 0.0:
            high, f_high = x, value
            if side > 0:
                f_low *= 0.5
            side = 1
        else:
            low, f_low = x, value
            if side < 0:
                f_high *= 0.5
            side = -1
    raise ValueError(f"the search for {what} does not converge")


def maximum(f: Callable[[float], float], high: float, tolerance: float) -> tuple[float, float]:
    """Where the unimodal ``f`` is greatest on (0, high], and that greatest
    value, by golden-section search to a fraction of ``high``."""
    ratio = (math.sqrt(5.0) - 1.0) / 2.0
    low, tolerance = 0.0, tolerance * high
    a, b = high - ratio * high, ratio * high
    f_a, f_b = f(a), f(b)
    while high - low > tolerance:
        if f_a >= f_b:
            high, b, f_b = b, a, f_a
            a = high - ratio * (high - low)
            f_a = f(a)
        else:
            low, a, f_a = a, b, f_b
            b = low + ratio * (high - low)
            f_b = f(b)
    return (a, f_a) if f_a >= f_b else (b, f_b)
