"""The searches of the designs, on scipy.optimize: where an increasing
function of one variable crosses zero (brentq), and where a function is
greatest (minimize_scalar, bounded).

The functions searched are whole runs, so each evaluation is costly: the
searches stop at the first point that is good enough (:func:`root`), and say
which side of the crossing each point they evaluated lies on
(:func:`crossing`), so that no point is evaluated twice.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field

from scipy.optimize import brentq, minimize_scalar  # type: ignore[import-untyped]

__all__ = ["Crossing", "crossing", "root", "bracket", "maximum"]


@dataclass
class Crossing:
    """The points evaluated around a crossing: the highest below it (``low``,
    where the function is negative) and the lowest at or past it
    (``high``), with their values; and the point that ended the search as
    good enough, if one did."""

    low: float
    f_low: float
    high: float
    f_high: float
    values: dict[float, float] = field(default_factory=dict)
    done: float | None = None

    def add(self, x: float, value: float) -> None:
        self.values[x] = value
        if value < 0.0:
            if x > self.low:
                self.low, self.f_low = x, value
        elif x < self.high:
            self.high, self.f_high = x, value


class _Done(Exception):
    def __init__(self, x: float) -> None:
        self.x = x


def crossing(f: Callable[[float], float], low: float, f_low: float, high: float, f_high: float, *,
             xtol: float, done: Callable[[float, float], bool] = lambda x, value: False) -> Crossing:
    """The crossing of zero of the increasing ``f`` between ``low`` and
    ``high``, where ``f(low) = f_low < 0 <= f(high) = f_high``, to within
    ``xtol``; or as soon as ``done(x, f(x))`` holds, with that ``x`` on its
    side.

    Raises
    ------
    ValueError
        Where ``f`` is not finite at a point it is evaluated at, or the
        search does not converge.
    """
    found = Crossing(low, f_low, high, f_high, {low: f_low, high: f_high})

    def tracked(x: float) -> float:
        if x in found.values:
            return found.values[x]
        value = f(x)
        if value != value or abs(value) == float("inf"):
            raise ValueError(f"the search meets {value!r} at {x!r}")
        found.add(x, value)
        if done(x, value):
            raise _Done(x)
        return value

    try:
        brentq(tracked, low, high, xtol=xtol, rtol=4.0 * 2.0 ** -52, maxiter=200)
    except _Done as stop:
        found.done = stop.x
    except RuntimeError as error:
        raise ValueError(f"the search does not converge: {error}") from None
    return found


def root(f: Callable[[float], float], low: float, f_low: float, high: float, f_high: float, *,
         done: Callable[[float], bool], xtol: float) -> float:
    """A point between ``low`` and ``high`` at which ``done(f(x))`` holds,
    for the increasing ``f`` with ``f(low) < 0 <= f(high)``: the first that
    brentq evaluates.  Where none is done when brentq has closed in on the
    crossing to ``xtol``, ``f`` jumps across it (as where a grid cannot
    follow it), and the last point below it is the best there is."""
    if done(f_high):
        return high
    found = crossing(f, low, f_low, high, f_high, xtol=xtol, done=lambda x, value: done(value))
    return found.low if found.done is None else found.done


def bracket(f: Callable[[float], float], low: float, f_low: float, guess: float, highest: float,
            failure: str) -> tuple[float, float, float, float]:
    """Points ``low, f(low), high, f(high)`` around the crossing of zero of
    the increasing ``f``, given ``f(low) = f_low < 0``: ``high`` doubles
    from ``guess`` until ``f(high)`` is no longer negative, and past
    ``highest`` the search fails with the ValueError ``failure``.  (scipy's
    bracket search, optimize.elementwise.bracket_root, evaluates many points
    at a time, as an array; these are runs, taken one after another.)"""
    high = guess
    while (f_high := f(high)) < 0.0:
        if high > highest:
            raise ValueError(failure)
        low, f_low, high = high, f_high, 2.0 * high
    return low, f_low, high, f_high


def maximum(f: Callable[[float], float], high: float, *, xtol: float) -> tuple[float, float]:
    """Where the unimodal ``f`` is greatest on (0, ``high``), to within
    ``xtol``, and that greatest value."""
    best = minimize_scalar(lambda x: -f(x), bounds=(0.0, high), method="bounded", options={"xatol": xtol})
    return float(best.x), -float(best.fun)
