"""A furnace log: the cycle as it ran, sample by sample.

A :class:`FurnaceLog` holds the temperature and the potentials the furnace's
controller recorded, taken as piecewise linear in time between the samples.
The solver takes it as a few :class:`LogSegment` objects, one wherever the
kind of a surface condition stays the same (a potential where the atmosphere
acts on that element, none where the surface is closed to it), and steps
across the samples within a segment as its error control allows.

Two things keep the steps from following the samples one by one:

- Corners.  Where the log turns sharply (the door opened, the gas
  switched), a step that spanned the turn would see only its end; the steps
  end at such a sample instead.  The corners are the samples that the
  Ramer–Douglas–Peucker simplification of the log's curves keeps (U. Ramer,
  Comput. Graph. Image Process. 1 (1972) 244; D. H. Douglas and T. K.
  Peucker, Cartographica 10 (1973) 112), at a tolerance of :data:`CORNER_C`
  and :data:`CORNER_WT`, or eight times the noise of the curve where that is
  more.  The noise is estimated from the samples, as the median absolute
  second difference scaled to the standard deviation of white noise
  (1.4826 / √6).
- Noise.  The instruments' noise (a thermocouple's few tenths of a degree,
  an oxygen probe's millivolts, which are a few per cent of the potential)
  does not reach the part, whose diffusion averages it out over minutes, but
  would make the error control shorten the steps to no purpose.  The solver
  sees each curve of the log as its least-squares fit by a continuous
  piecewise linear curve (a linear regression spline, scipy's
  ``make_lsq_spline``) that turns at the corners and wherever the curve's
  moving average over ``smoothing_min`` (5 min by default) bends: strays
  from a straight line by more than :data:`CORNER_C` or :data:`CORNER_WT`,
  or by four times the noise left in the average where that is more.  A
  straight stretch stays as it is, a sudden change at a corner stays
  sudden, and the noise is averaged out; so is a real change that is faster
  than ``smoothing_min`` and too small to be a corner.  The surface at the
  end of a log is that of the fit, not of its last, noisy sample.
  ``smoothing_min = 0`` takes the samples as they are.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.interpolate import make_lsq_spline  # type: ignore[import-untyped]

from ... import constants
from .. import _validate, units
from ..model.solubility import carbon_limit_wt
from ..model.steel import Steel
from ..model.surface import SurfaceCondition, condition
from ..units import site_fractions
from .stage import LONGEST_STAGE_H, MELTING_C, Stage

__all__ = ["FurnaceLog", "LogSegment", "span_name", "LONGEST_GAP_H", "CORNER_C", "CORNER_WT", "SMOOTHING_MIN"]

#: The longest gap between two samples, in hours, that a log may have unless
#: told otherwise: longer, the recorder has stopped, and the log says nothing
#: of what happened.
LONGEST_GAP_H = 0.25

#: How far, in °C and in wt%, the temperature and the potentials of a log
#: may stray from a straight line between two corners at least (see the
#: module's notes).
CORNER_C = 2.0
CORNER_WT = 0.02
#: The width in minutes of the moving average in which the fit the solver
#: sees a log through looks for bends, unless told otherwise (see the
#: module's notes).
SMOOTHING_MIN = 5.0
# The noise of a curve in the standard deviation of white noise, from the
# median absolute second difference of its samples; corners stray by more
# than this many of it, and bends by more than that many of what is left of
# it in the moving average.
_NOISE_PER_MEDIAN = 1.4826 / math.sqrt(6.0)
_CORNER_NOISES, _BEND_NOISES = 8.0, 4.0

if TYPE_CHECKING:
    _Array = NDArray[np.float64]


@dataclass(frozen=True, eq=False)
class FurnaceLog:
    """A cycle as the furnace recorded it.

    Parameters
    ----------
    time_h : array_like
        The times of the samples in hours, rising; the run starts at the first.
    temperature_c : array_like
        The temperature at each sample, in °C.
    carbon_potential_wt : array_like, optional
        The carbon potential at each sample, in wt%; NaN where the
        atmosphere does not act on carbon (the surface is closed to it).
        None: closed throughout.
    carbon_transfer_m_s : float, optional
        The mass-transfer coefficient of carbon in m/s; without one the
        surface is held at the potential.
    nitrogen_potential_wt, nitrogen_transfer_m_s : optional
        The same for nitrogen.
    name : str
        Where the log came from, for messages and the summary.
    longest_gap_h : float
        The longest gap between two samples allowed.
    smoothing_min : float
        The width in minutes of the moving average in which the fit through
        which the solver sees the log looks for bends, to filter the
        instruments' noise (see the notes of
        :mod:`talvenor.process.schedule.furnace_log`); 0 for none.

    Raises
    ------
    ValueError
        Naming the sample: times that do not rise, a gap longer than
        ``longest_gap_h``, a temperature that is not finite or at or above
        1,400 °C, a potential that is negative or not finite, arrays of
        different lengths or of fewer than two samples.
    """

    time_h: _Array
    temperature_c: _Array
    carbon_potential_wt: _Array | None = None
    carbon_transfer_m_s: float | None = None
    nitrogen_potential_wt: _Array | None = None
    nitrogen_transfer_m_s: float | None = None
    name: str = ""
    longest_gap_h: float = LONGEST_GAP_H
    smoothing_min: float = SMOOTHING_MIN
    # The segments, found once: every run of the log steps through the same.
    _segments: tuple[LogSegment, ...] | None = dataclasses.field(default=None, init=False, repr=False)

    def __post_init__(self) -> None:
        time = _samples("time_h", self.time_h)
        self._set("time_h", time - time[0])
        self._check_times(time)
        self._set("temperature_c", _temperatures(_samples("temperature_c", self.temperature_c, time.size)))
        for element in ("carbon", "nitrogen"):
            name = f"{element}_potential_wt"
            if getattr(self, name) is not None:
                self._set(name, _potentials(name, _samples(name, getattr(self, name), time.size, allow_nan=True)))
            self._set(f"{element}_transfer_m_s", _validate.optional(f"{element}_transfer_m_s",
                                                                     getattr(self, f"{element}_transfer_m_s"),
                                                                     "positive"))
        self._set("smoothing_min", _validate.real("smoothing_min", self.smoothing_min, "not negative"))

    def _set(self, name: str, value: object) -> None:
        object.__setattr__(self, name, value)

    def _check_times(self, time: _Array) -> None:
        steps = np.diff(time)
        if not (steps > 0.0).all():
            i = int(np.flatnonzero(~(steps > 0.0))[0]) + 1
            raise ValueError(f"time_h[{i}] = {float(time[i])!r} does not come after time_h[{i - 1}] = "
                             f"{float(time[i - 1])!r}: the times must rise")
        gap = _validate.real("longest_gap_h", self.longest_gap_h, "positive")
        if (steps > gap).any():
            i = int(np.flatnonzero(steps > gap)[0]) + 1
            raise ValueError(f"the log has a gap of {float(steps[i - 1]):.4g} h before time_h[{i}] = "
                             f"{float(time[i])!r}, longer than {gap:g} h: the recorder stopped")
        _validate.bounded("the log's duration", float(time[-1] - time[0]), high=LONGEST_STAGE_H, unit="h")

    @property
    def duration_h(self) -> float:
        return float(self.time_h[-1])

    def segments(self) -> tuple[LogSegment, ...]:
        """The log as segments within which no surface condition changes kind."""
        segments = self._segments
        if segments is None:
            segments = self._found_segments()
            self._set("_segments", segments)
        return segments

    def _found_segments(self) -> tuple[LogSegment, ...]:
        intervals = self.time_h.size - 1
        carbon, nitrogen = (_open(potentials, intervals)
                            for potentials in (self.carbon_potential_wt, self.nitrogen_potential_wt))
        change = np.flatnonzero((carbon[1:] != carbon[:-1]) | (nitrogen[1:] != nitrogen[:-1])) + 1
        bounds = [0, *change.tolist(), intervals]
        return tuple(self._segment(first, end, bool(carbon[first]), bool(nitrogen[first]))
                     for first, end in zip(bounds, bounds[1:]))

    def _segment(self, first: int, end: int, carbon: bool, nitrogen: bool) -> LogSegment:
        """The segment from the sample ``first`` to the sample ``end``, with
        the atmosphere acting on ``carbon`` and on ``nitrogen`` or not, as
        the solver sees it: its corners, and its curves fitted (see the module's notes)."""
        rows = slice(first, end + 1)
        time = self.time_h[rows] - self.time_h[first]
        curves = [(self.temperature_c[rows], CORNER_C)]
        curves += [(potentials[rows], CORNER_WT) for potentials, acting in
                   ((self.carbon_potential_wt, carbon), (self.nitrogen_potential_wt, nitrogen))
                   if potentials is not None and acting]
        corners = _simplified(time, np.array([values / max(least, _CORNER_NOISES * _noise(values))
                                              for values, least in curves]))
        width_h = self.smoothing_min / 60.0
        if width_h > 0.0:
            bends = _simplified(time, np.array([_averaged(time, values, width_h) / max(least, _bend(time, values,
                                                                                                   width_h))
                                                for values, least in curves]))
            knots = np.union1d(corners, bends)
            smoothed = iter([_fitted(time, values, knots) for values, _ in curves])
        else:
            smoothed = iter([values for values, _ in curves])
        temperature_c = next(smoothed)
        carbon_potential = next(smoothed) if self.carbon_potential_wt is not None and carbon else None
        nitrogen_potential = next(smoothed) if self.nitrogen_potential_wt is not None and nitrogen else None
        return LogSegment(time, temperature_c, carbon_potential, self.carbon_transfer_m_s, nitrogen_potential,
                          self.nitrogen_transfer_m_s, float(self.time_h[first]), tuple(time[corners[1:]].tolist()))


@dataclass(frozen=True, eq=False)
class LogSegment:
    """A stretch of a furnace log in which every surface condition keeps its
    kind: the samples' times (from the start of the segment) in hours, the
    temperatures, and each element's potentials (None where it is closed)
    with its transfer coefficient; ``start_h`` is where it starts in the log.

    It answers the solver as a :class:`Stage` does, with the temperature and
    the potentials interpolated linearly between the samples.  ``corners_h``
    are the times where its steps must end, the last its end.
    """

    time_h: _Array
    temperature_c: _Array
    carbon_potential: _Array | None
    carbon_transfer_m_s: float | None
    nitrogen_potential: _Array | None
    nitrogen_transfer_m_s: float | None
    start_h: float = 0.0
    corners_h: tuple[float, ...] = ()

    carbon_flux_g_m2_h = carbon_limit_wt = None
    varying = True

    @property
    def duration_h(self) -> float:
        return float(self.time_h[-1])

    @property
    def duration_s(self) -> float:
        return self.duration_h * 3600.0

    @property
    def temperatures_c(self) -> tuple[float, float]:
        """The temperatures in °C at the start and at the end of the segment."""
        return float(self.temperature_c[0]), float(self.temperature_c[-1])

    @property
    def temperature_range_c(self) -> tuple[float, float]:
        """The lowest and the highest temperature of the segment, in °C."""
        return float(self.temperature_c.min()), float(self.temperature_c.max())

    @property
    def carbon_potential_wt(self) -> float | None:
        """The highest carbon potential of the segment (None where closed)."""
        return None if self.carbon_potential is None else float(self.carbon_potential.max())

    @property
    def nitrogen_potential_wt(self) -> float | None:
        """The highest nitrogen potential of the segment (None where closed)."""
        return None if self.nitrogen_potential is None else float(self.nitrogen_potential.max())

    @property
    def ramped(self) -> bool:
        return True

    def temperature_k(self, fraction: float) -> float:
        """The temperature in K at ``fraction`` (0 to 1) of the segment."""
        return units.to_kelvin(float(np.interp(fraction * self.duration_h, self.time_h, self.temperature_c)))

    def potentials_wt(self, fraction: float) -> tuple[float | None, float | None]:
        """The carbon and nitrogen potentials at ``fraction`` of the segment."""
        time = fraction * self.duration_h
        carbon, nitrogen = (None if p is None else float(np.interp(time, self.time_h, p))
                            for p in (self.carbon_potential, self.nitrogen_potential))
        return carbon, nitrogen

    def conditions_at(self, fraction: float) -> tuple[SurfaceCondition, SurfaceCondition]:
        """The surface conditions of carbon and nitrogen at ``fraction``."""
        carbon_wt, nitrogen_wt = self.potentials_wt(fraction)
        y = site_fractions(carbon_wt or 0.0, nitrogen_wt or 0.0)
        return (condition(carbon_wt, float(y[0]), self.carbon_transfer_m_s),
                condition(nitrogen_wt, float(y[1]), self.nitrogen_transfer_m_s))

    @property
    def carbon(self) -> SurfaceCondition:
        """The kind of the carbon surface condition (at the start)."""
        return self.conditions_at(0.0)[0]

    @property
    def nitrogen(self) -> SurfaceCondition:
        """The kind of the nitrogen surface condition (at the start)."""
        return self.conditions_at(0.0)[1]

    def reachable_y(self) -> list[tuple[float, float]]:
        """For each element, the lowest and the highest site fraction its
        surface condition drives it to over the segment (none where closed)."""
        carbon = np.nan_to_num(self.carbon_potential if self.carbon_potential is not None else 0.0)
        nitrogen = np.nan_to_num(self.nitrogen_potential if self.nitrogen_potential is not None else 0.0)
        y = site_fractions(carbon, nitrogen)
        return [(math.inf, -math.inf) if potential is None else (float(values.min()), float(values.max()))
                for potential, values in zip((self.carbon_potential, self.nitrogen_potential), y)]

    def peak_potential_y(self) -> tuple[float, float]:
        """The highest site fractions the potentials reach (0 where closed)."""
        carbon, nitrogen = (0.0 if high == -math.inf else high for _, high in self.reachable_y())
        return carbon, nitrogen

    def corners(self) -> tuple[float, ...]:
        """Where the steps must end, as fractions of the segment: at its
        corners (see the module's notes) and at its end."""
        return tuple(corner / self.duration_h for corner in self.corners_h) or (1.0,)

    def temperature_curve(self) -> tuple[_Array, _Array]:
        """The samples: the times from the start of the segment in hours, and the temperatures in °C."""
        return self.time_h, self.temperature_c

    def carbon_limit_at(self, steel: Steel, fraction: float) -> float:
        """The carbon content at which carbide forms at the surface at ``fraction``."""
        return carbon_limit_wt(steel, units.to_celsius(self.temperature_k(fraction)))

    def cut_short(self, duration_h: float) -> LogSegment:
        """The segment cut short after ``duration_h``, its last sample interpolated there."""
        keep = self.time_h < duration_h

        def cut(values: _Array) -> _Array:
            return np.append(values[keep], np.interp(duration_h, self.time_h, values))

        return dataclasses.replace(self, time_h=np.append(self.time_h[keep], duration_h),
                                   corners_h=(*(t for t in self.corners_h if t < duration_h), duration_h),
                                   temperature_c=cut(self.temperature_c),
                                   carbon_potential=_cut_or_none(cut, self.carbon_potential),
                                   nitrogen_potential=_cut_or_none(cut, self.nitrogen_potential))

    def alloyed(self, alloy_factor: float) -> LogSegment:
        """The segment with its carbon potentials as a steel of ``alloy_factor`` reaches them."""
        if self.carbon_potential is None or alloy_factor == 1.0:
            return self
        return dataclasses.replace(self, carbon_potential=alloy_factor * self.carbon_potential)


def span_name(span: Stage | LogSegment, number: int, count: int) -> str:
    """How messages name ``span``, the ``number``-th of the ``count`` of a recipe."""
    if isinstance(span, LogSegment):
        return f"the log from {span.start_h:.4g} to {span.start_h + span.duration_h:.4g} h"
    return f"stage {number} of {count}"


def _cut_or_none(cut: Callable[[_Array], _Array], values: _Array | None) -> _Array | None:
    return None if values is None else cut(values)


def _open(potentials: _Array | None, intervals: int) -> NDArray[np.bool_]:
    """Whether the atmosphere acts on an element over each of the
    ``intervals`` between samples: where the potential is given at both ends."""
    if potentials is None:
        return np.zeros(intervals, dtype=bool)
    given = ~np.isnan(potentials)
    return given[:-1] & given[1:]


def _samples(name: str, values: ArrayLike, size: int | None = None, *, allow_nan: bool = False) -> _Array:
    array = np.array(values, dtype=float)
    if array.ndim != 1 or array.size < 2:
        raise ValueError(f"{name} must hold the samples as a list, two or more, got {array.shape} values")
    if size is not None and array.size != size:
        raise ValueError(f"{name} has {array.size} samples where time_h has {size}")
    bad = ~np.isfinite(array) & ~(allow_nan & np.isnan(array))
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise ValueError(f"{name}[{i}] must be finite, got {float(array[i])!r}")
    return array


def _temperatures(values: _Array) -> _Array:
    bad = (values + constants.T_NORMAL <= 0.0) | (values >= MELTING_C)
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise ValueError(f"temperature_c[{i}] must lie above absolute zero and below {MELTING_C:,g} °C, where "
                         f"steel melts, got {float(values[i])!r}")
    return values


def _potentials(name: str, values: _Array) -> _Array:
    bad = values < 0.0
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise ValueError(f"{name}[{i}] must not be negative, got {float(values[i])!r}")
    return values


def _noise(values: _Array) -> float:
    """The standard deviation of the white noise on ``values``, estimated
    from the median absolute second difference."""
    return _NOISE_PER_MEDIAN * float(np.median(np.abs(np.diff(values, 2)))) if values.size > 2 else 0.0


def _averaged(time: _Array, values: _Array, width_h: float) -> _Array:
    """The moving average of ``values`` over ``width_h`` centred on each
    sample, the window narrowed symmetrically at the ends."""
    half = np.minimum.reduce([np.full(time.size, width_h / 2.0), time - time[0], time[-1] - time])
    averaged = values.copy()
    inside = half > 0.0
    t, h = time[inside], half[inside]
    averaged[inside] = (_integral(time, values, t + h) - _integral(time, values, t - h)) / (2.0 * h)
    return averaged


def _integral(time: _Array, values: _Array, at: _Array) -> _Array:
    """The integral from ``time[0]`` to ``at`` of the piecewise linear curve through the samples."""
    steps = np.diff(time)
    cumulative = np.concatenate(([0.0], np.cumsum(steps * (values[:-1] + values[1:]) / 2.0)))
    i = np.searchsorted(time, at, side="right").clip(1, time.size - 1) - 1
    into = at - time[i]
    integral: _Array = cumulative[i] + into * (values[i] + 0.5 * (values[i + 1] - values[i]) / steps[i] * into)
    return integral


def _bend(time: _Array, values: _Array, width_h: float) -> float:
    """How far the moving average of ``values`` over ``width_h`` may stray
    from a straight line by its noise alone: the noise of the samples over
    the root of the samples the window averages, times a margin."""
    per_window = max(1.0, width_h * (time.size - 1) / (time[-1] - time[0]))
    return _BEND_NOISES * _noise(values) / math.sqrt(per_window)


def _fitted(time: _Array, values: _Array, knots: NDArray[np.intp]) -> _Array:
    """``values`` at each sample as their least-squares fit by a continuous
    piecewise linear curve that turns at the samples ``knots`` (the first
    and the last among them)."""
    at = time[knots]
    fit = make_lsq_spline(time, values, np.concatenate(([at[0]], at, [at[-1]])), k=1, method="norm-eq")
    return np.asarray(fit(time), dtype=float)


def _simplified(time: _Array, curves: _Array) -> NDArray[np.intp]:
    """The samples that the Ramer–Douglas–Peucker simplification of ``curves``
    (one row each) over ``time`` keeps at a tolerance of 1, the first and the
    last among them, in order (the distance is taken along the curves' axes,
    not across them)."""
    kept = [0, time.size - 1]
    pending = [(0, time.size - 1)]
    while pending:
        first, last = pending.pop()
        if last - first < 2:
            continue
        share = (time[first + 1:last] - time[first]) / (time[last] - time[first])
        chord = curves[:, first, None] + share * (curves[:, last] - curves[:, first])[:, None]
        stray = np.abs(curves[:, first + 1:last] - chord).max(axis=0)
        furthest = int(np.argmax(stray))
        if stray[furthest] > 1.0:
            middle = first + 1 + furthest
            kept.append(middle)
            pending += [(first, middle), (middle, last)]
    return np.array(sorted(kept))
