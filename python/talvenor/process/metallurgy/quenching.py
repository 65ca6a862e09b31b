"""The quench: its severity, the cooling of the part at each depth, and the
point of a Jominy bar that cools as fast.

- Severity: Grossmann's H in 1/inch, the heat-transfer coefficient over
  twice the steel's conductivity, H = h / (2 k); ``math.inf`` is an ideal
  quench, whose surface takes the quenchant's temperature at once.  Named
  media where a value is published: still oil 0.3 in⁻¹, still water 1.0 in⁻¹
  (:data:`MEDIA_H`); for others (agitated oil, polymer, gas) give H, or the
  heat-transfer coefficient with :func:`severity_of_heat_transfer`.
- Cooling: the part (the plate, cylinder or sphere that was carburized: a
  plate cools through its treated face, with its far face insulated, as half
  of a plate cooled on both faces) starts at its hardening temperature and
  cools by conduction, with constant properties, into the quenchant through
  the Biot number 2 H R: the classical series of Carslaw and Jaeger,
  *Conduction of Heat in Solids* (1959), 3.11, 7.8 and 9.4.  The cooling rate
  at each depth is read at 700 °C.
- The Jominy-equivalent distance: the point of an end-quenched Jominy bar
  that cools at 700 °C as fast, from the bar's cooling rates (Callister,
  *Materials Science and Engineering*, for 8600 steels: 270, 170, 70, 31, 18,
  9, 5.6, 3.9, 2.8, 2 °C/s at 1.6, 3.2, 6.4, 9.5, 12.7, 19, 25.4, 31.8,
  38.1, 50.8 mm), interpolated in logarithms (between 6 and 19 mm the 1/x²
  law of an end-quenched bar); beyond 50.8 mm the bar's last point.

Calibration: with the diffusivity of steel near 700 °C,
:data:`THERMAL_DIFFUSIVITY_M2_S` (k 26 W/(m K), 7,800 kg/m³, 600 J/(kg K)),
the conduction model cools the centres of Lamont's chart points 1.5 times too
slowly for the Jominy bar's rates above: it puts them about 1.25 times as far
down the bar as the charts do (J15.9 for the 75 mm bar at an ideal quench,
J24.7 for the 51 mm bar in still oil).  :data:`RATE_CALIBRATION`, 1.51, the
least-squares fit in the logarithm of the distance, multiplies its rates; with
it the model meets the four chart points within 0.2 mm of the bar:

=========================================  =====  =====
centre of                                  chart  model
=========================================  =====  =====
75 mm bar, ideal quench (H = ∞)            J12.5  J12.5
52 mm bar, still water (H = 1)             J12.5  J12.4
50 mm bar, still water (H = 1)             J12.0  J12.0
51 mm bar, still oil (H = 0.3)             J19.0  J19.2
=========================================  =====  =====

(hardening from 850 °C into a quenchant at 20 °C).  The model holds for
rounds, plates and spheres of the sizes of the chart (20-100 mm); it knows no
vapour blanket, no agitation and no temperature dependence of the properties.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray
from scipy.optimize import brentq  # type: ignore[import-untyped]
from scipy.special import j0, j1, jn_zeros  # type: ignore[import-untyped]

from .. import _validate

__all__ = ["MEDIA_H", "THERMAL_DIFFUSIVITY_M2_S", "CONDUCTIVITY_W_M_K", "RATE_CALIBRATION", "READ_AT_C",
           "severity_h", "severity_of_heat_transfer", "cooling_rate_c_s", "jominy_distance_mm", "JOMINY_BAR_MM"]

#: Grossmann's H in 1/inch of the quench media where a value is published.
MEDIA_H = {"still oil": 0.3, "still water": 1.0}
#: Steel near 700 °C.
THERMAL_DIFFUSIVITY_M2_S = 5.5e-6
CONDUCTIVITY_W_M_K = 26.0
#: What the model's cooling rates are multiplied by to meet the chart points.
RATE_CALIBRATION = 1.51
#: The temperature in °C at which cooling rates are read and compared.
READ_AT_C = 700.0

_INCH_M = 0.0254
_BAR_MM = np.array([1.6, 3.2, 6.4, 9.5, 12.7, 19.0, 25.4, 31.8, 38.1, 50.8])
_BAR_C_S = np.array([270.0, 170.0, 70.0, 31.0, 18.0, 9.0, 5.6, 3.9, 2.8, 2.0])
#: The end of the Jominy bar's cooling rates, in mm.
JOMINY_BAR_MM = float(_BAR_MM[-1])
# Terms of the series, and the Fourier numbers on which its crossing of 700 °C is sought.
_TERMS = 400
_FOURIER = np.geomspace(1e-7, 5.0, 700)
_LOG_FOURIER = np.log(_FOURIER)


def severity_h(value: object, name: str = "severity_h") -> float:
    """Grossmann's H in 1/inch of ``value``: a positive number (``inf`` for
    an ideal quench) or the name of one of :data:`MEDIA_H`."""
    if isinstance(value, str):
        if value not in MEDIA_H:
            raise ValueError(f"{name} must be a number in 1/inch or one of {', '.join(map(repr, MEDIA_H))}, "
                             f"got {value!r}")
        return MEDIA_H[value]
    number = _validate.real(name, value) if value != math.inf else math.inf
    if not number > 0.0:
        raise ValueError(f"{name} must be positive, got {number!r}")
    return number


def severity_of_heat_transfer(heat_transfer_w_m2_k: float, conductivity_w_m_k: float = CONDUCTIVITY_W_M_K) -> float:
    """Grossmann's H in 1/inch of a quench of the heat-transfer coefficient
    ``heat_transfer_w_m2_k`` into a steel of ``conductivity_w_m_k``:
    H = h / (2 k).

    Examples
    --------
    >>> round(severity_of_heat_transfer(600.0), 2)
    0.29
    """
    h = _validate.real("heat_transfer_w_m2_k", heat_transfer_w_m2_k, "positive")
    k = _validate.real("conductivity_w_m_k", conductivity_w_m_k, "positive")
    return h / (2.0 * k) * _INCH_M


def cooling_rate_c_s(geometry: str, size_mm: float, depth_mm: NDArray[np.float64], *, severity_h: float,
                     start_c: float, quench_c: float) -> NDArray[np.float64]:
    """The cooling rate in °C/s at 700 °C at ``depth_mm`` below the surface
    of a ``geometry`` ("plate", "cylinder" or "sphere") of ``size_mm`` (the
    plate's thickness, cooled through one face, or the radius), quenched
    from ``start_c`` into a quenchant at ``quench_c`` of severity
    ``severity_h`` (1/inch), calibrated to the chart points (see the
    module's notes).  Infinite where the part is at 700 °C as soon as the
    quench starts (the surface of an ideal quench)."""
    if not start_c > READ_AT_C > quench_c:
        raise ValueError(f"a cooling rate at {READ_AT_C:g} °C needs a quench from above it into below it, got "
                         f"{start_c:g} °C into {quench_c:g} °C")
    size_m = size_mm * 1e-3
    biot = 2.0 * severity_h / _INCH_M * size_m
    xi = 1.0 - np.asarray(depth_mm, dtype=float) / size_mm
    squares, modes, theta = _field(geometry, biot, xi)
    level = (READ_AT_C - quench_c) / (start_c - quench_c)
    crossed = theta <= level
    first = np.where(crossed.any(axis=0), crossed.argmax(axis=0), -1)
    fourier = np.full(xi.shape, math.nan)
    late = first > 0
    i = first[late]
    columns = np.flatnonzero(late)
    before, after = theta[i - 1, columns], theta[i, columns]
    fourier[late] = np.exp(_LOG_FOURIER[i - 1] + (before - level) / (before - after)
                           * (_LOG_FOURIER[i] - _LOG_FOURIER[i - 1]))
    slope = -(np.exp(-np.outer(fourier[late], squares)) * squares * modes[:, late].T).sum(axis=1)
    rate = np.full(xi.shape, math.inf)
    rate[late] = -(start_c - quench_c) * slope * THERMAL_DIFFUSIVITY_M2_S / size_m ** 2 * RATE_CALIBRATION
    # The rate falls with the depth; where the series rings near the
    # surface it is at least that of the depth below.
    return np.maximum.accumulate(rate[::-1])[::-1]


def jominy_distance_mm(rate_c_s: NDArray[np.float64]) -> NDArray[np.float64]:
    """The distance in mm from the quenched end of a Jominy bar that cools
    at 700 °C at ``rate_c_s``: interpolated in logarithms, extrapolated
    before the bar's first point and held at its last (50.8 mm)."""
    rate = np.asarray(rate_c_s, dtype=float)
    log_rate, log_bar_rate, log_bar_mm = np.log(rate), np.log(_BAR_C_S), np.log(_BAR_MM)
    first_slope = (log_bar_mm[1] - log_bar_mm[0]) / (log_bar_rate[1] - log_bar_rate[0])
    inside = np.interp(-log_rate, -log_bar_rate, log_bar_mm)
    before = log_bar_mm[0] + first_slope * (log_rate - log_bar_rate[0])
    with np.errstate(invalid="ignore"):
        return np.where(rate > _BAR_C_S[0], np.exp(before), np.exp(inside))


_Series = tuple[NDArray[np.float64], NDArray[np.float64], Callable[[NDArray[np.float64]], NDArray[np.float64]]]
_Field = tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]
# Every design trial and every run of a study quenches the same part on the
# same depths, from other temperatures at most: what does not depend on them,
# the modes at each depth and the temperature of the series at each Fourier
# number (a product of 700 by 400 by the depths, most of the time of a
# quenched evaluation), is kept for the last few parts.  Only fields of up to
# _MOST_KEPT_DEPTHS depths are kept (8.8 kB a depth: 17.6 MB at most each);
# larger ones, of parts on a finer grid, are computed at every call.
_MOST_KEPT_FIELDS = 4
_MOST_KEPT_DEPTHS = 2000
_KEPT: dict[tuple[str, float, bytes], _Field] = {}


def _field(geometry: str, biot: float, xi: NDArray[np.float64]) -> _Field:
    """Of cooling a ``geometry`` at the Biot number ``biot``: the squared
    eigenvalues, the weighted modes at ``xi`` (terms by depths) and the
    series' fraction of the start's excess over the quenchant at each Fourier
    number and ``xi`` (times by depths); read-only where kept."""
    if xi.size > _MOST_KEPT_DEPTHS:
        return _field_of(geometry, biot, xi)
    key = (geometry, biot, xi.tobytes())
    field = _KEPT.get(key)
    if field is None:
        field = _field_of(geometry, biot, xi)
        for array in field:
            array.setflags(write=False)
        if len(_KEPT) >= _MOST_KEPT_FIELDS:
            _KEPT.clear()
        _KEPT[key] = field
    return field


def _field_of(geometry: str, biot: float, xi: NDArray[np.float64]) -> _Field:
    roots, weights, shape = _series_of(geometry, biot)
    squares = roots ** 2
    modes = shape(np.outer(roots, xi)) * weights[:, None]
    return squares, modes, np.exp(-np.outer(_FOURIER, squares)) @ modes


def _series_of(geometry: str, biot: float) -> _Series:
    """The eigenvalues, the weights of the modes for a uniform start, and the
    shape of the modes, of cooling a ``geometry`` at the Biot number ``biot``."""
    if geometry == "plate":
        roots = _roots(lambda x: x * np.sin(x) - biot * np.cos(x), np.arange(_TERMS) * np.pi,
                       np.arange(_TERMS) * np.pi + np.pi / 2, biot, np.arange(_TERMS) * np.pi + np.pi / 2)
        weights = 4.0 * np.sin(roots) / (2.0 * roots + np.sin(2.0 * roots))
        return roots, weights, np.cos
    if geometry == "cylinder":
        zeros_0, zeros_1 = jn_zeros(0, _TERMS), np.concatenate(([0.0], jn_zeros(1, _TERMS - 1)))
        roots = _roots(lambda x: x * j1(x) - biot * j0(x), zeros_1, zeros_0, biot, zeros_0)
        weights = 2.0 * j1(roots) / (roots * (j0(roots) ** 2 + j1(roots) ** 2))
        return roots, weights, j0
    ends = np.arange(1, _TERMS + 1) * np.pi
    roots = _roots(lambda x: 1.0 - x / np.tan(x) - biot, ends - np.pi, ends, biot, ends)
    weights = 4.0 * (np.sin(roots) - roots * np.cos(roots)) / (2.0 * roots - np.sin(2.0 * roots))
    return roots, weights, lambda x: np.sinc(x / np.pi)


def _roots(f: Callable[[float], float], lows: NDArray[np.floating[Any]], highs: NDArray[np.floating[Any]],
           biot: float, ideal: NDArray[np.floating[Any]]) -> NDArray[np.float64]:
    """The root of ``f`` in each bracket (``ideal`` where the Biot number is
    infinite), by brentq."""
    if math.isinf(biot):
        return np.asarray(ideal, dtype=float)
    span = highs - lows
    return np.array([brentq(f, low + 1e-12 * width, high - 1e-12 * width, xtol=1e-14)
                     for low, high, width in zip(lows.tolist(), highs.tolist(), span.tolist())])
