"""Hardenability: the hardness of martensite, the Jominy curve, the ideal
critical diameter, and the +H bands of the grades.

- The hardness of 100 % martensite against carbon, by the ASTM A255 curve
  (:func:`martensite_hrc`).
- The Jominy end-quench curve from the composition, by Just's formula with the
  grain size (:func:`just_hrc`): E. Just, Metal Progress 96 (1969) no. 5,
  87-88, in its grain-size form as restated in J. Mater. Process. Technol.
  64 (1997) 117-126.
- The ideal critical diameter DI by the multiplying factors of ASTM
  A255-10(2014) for grain size 7 (:func:`ideal_diameter_in`).
- The Jominy bands of EN 10084 +H grades (:data:`H_BANDS`).

Everything here takes the contents in wt% as numbers, so that a steel can
ask it; :class:`~talvenor.process.model.steel.Steel` does.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["martensite_hrc", "PEAK_CARBON_WT", "just_hrc", "JUST_CARBON_RANGE_WT", "SIXTEENTH_INCH_MM",
           "ideal_diameter_in", "DI_RANGES_WT", "Band", "H_BANDS"]

# ASTM A255: HRC of 100 % martensite against c = C + N in wt%, lowest power first.
_MARTENSITE_HRC = np.polynomial.Polynomial([35.395, 6.990, 312.330, -821.744, 1015.479, -538.346])


def _peak_carbon_wt() -> float:
    roots = np.asarray(_MARTENSITE_HRC.deriv().roots(), dtype=complex)
    level = roots.real[(np.abs(roots.imag) < 1e-12) & (roots.real > 0.0)]
    return float(level[np.asarray(_MARTENSITE_HRC.deriv(2)(level)) < 0.0].min())


#: Carbon in wt% at which the A255 curve has its maximum (about 0.666): the
#: hardness of martensite with more carbon is taken as the hardness there.
PEAK_CARBON_WT = _peak_carbon_wt()

#: A sixteenth of an inch in mm: the unit of distance of Just's formula.
SIXTEENTH_INCH_MM = 25.4 / 16.0
#: The carbon contents in wt% that Just's formula was fitted to.
JUST_CARBON_RANGE_WT = (0.2, 0.6)
# Just's formula does not hold in the first quarter inch of the bar.
_JUST_FIRST_SIXTEENTHS = 4.0


def martensite_hrc(carbon_wt: ArrayLike) -> NDArray[np.float64]:
    """Hardness of 100 % martensite in HRC, by the ASTM A255 curve::

        HRC = 35.395 + 6.990 c + 312.330 c² - 821.744 c³ + 1015.479 c⁴ - 538.346 c⁵

    with c the carbon (and nitrogen) in wt%, clipped to at most
    :data:`PEAK_CARBON_WT`, where the curve is highest: martensite does not
    get softer with more carbon (cases with more are softer by their
    retained austenite).

    Examples
    --------
    >>> round(float(martensite_hrc(0.4)), 1), round(float(martensite_hrc(1.2)), 1)
    (56.1, 65.1)
    """
    return np.asarray(_MARTENSITE_HRC(np.minimum(np.asarray(carbon_wt, dtype=float), PEAK_CARBON_WT)), dtype=float)


def just_hrc(distance_mm: ArrayLike, *, carbon_wt: ArrayLike, silicon_wt: float, manganese_wt: float,
             chromium_wt: float, nickel_wt: float, molybdenum_wt: float, grain_size: float) -> NDArray[np.float64]:
    """The Jominy hardness in HRC at ``distance_mm`` from the quenched end, by
    Just's formula with the ASTM grain size number G::

        J(E) = 88 √C - 0.0135 E² √C + 19 Cr + 6.3 Ni + 16 Mn + 35 Mo + 5 Si
               - 0.82 G - 20 √E + 2.11 E - 2

    E in sixteenths of an inch (E = distance / 1.5875 mm; read in mm the
    formula runs 4-6 HRC low), the contents in wt% (``carbon_wt`` may be an
    array that broadcasts with the distances).  Capped by the hardness of
    100 % martensite of that carbon (:func:`martensite_hrc`).

    Just fitted it to 0.2-0.6 wt% C, and not to the first quarter inch (6.35
    mm) of the bar, where the cap mostly takes over; above 0.6 wt% C, as in a
    carburized case, the formula is carried on and the cap takes over.  The
    caller warns of a core outside the range.

    Examples
    --------
    >>> round(float(just_hrc(11.0, carbon_wt=0.195, silicon_wt=0.25, manganese_wt=1.25, chromium_wt=1.15,
    ...                      nickel_wt=0.0, molybdenum_wt=0.0, grain_size=7.0)), 1)
    35.9
    """
    e = np.asarray(distance_mm, dtype=float) / SIXTEENTH_INCH_MM
    carbon = np.asarray(carbon_wt, dtype=float)
    root_c = np.sqrt(carbon)
    hrc = (88.0 * root_c - 0.0135 * e * e * root_c + 19.0 * chromium_wt + 6.3 * nickel_wt + 16.0 * manganese_wt
           + 35.0 * molybdenum_wt + 5.0 * silicon_wt - 0.82 * grain_size - 20.0 * np.sqrt(e) + 2.11 * e - 2.0)
    return np.minimum(hrc, martensite_hrc(carbon))


# ASTM A255-10(2014), grain size 7: the carbon factor as pieces of
# (highest wt%, polynomial coefficients, lowest power first), and the factors
# of the alloying elements in the same form.
_CARBON_FACTOR = ((0.39, (0.0, 0.54)), (0.55, (0.171, 0.001, 0.265)), (0.65, (0.115, 0.268, -0.038)),
                  (0.75, (0.143, 0.2)), (0.90, (0.062, 0.409, -0.135)))
_ALLOY_FACTORS = {
    "silicon": ((math.inf, (1.0, 0.7)),),
    "manganese": ((1.2, (1.0, 3.3333)), (1.95, (-1.12, 5.1))),
    "chromium": ((math.inf, (1.0, 2.16)),),
    "nickel": ((1.5, (1.0, 0.363)), (3.5, (0.3211, 1.4501, -0.6119, 0.1253))),
    "molybdenum": ((math.inf, (1.0, 3.0)),),
}
#: The ranges in wt% over which A255 calculates DI.
DI_RANGES_WT = {"carbon": (0.10, 0.70), "silicon": (0.15, 0.60), "manganese": (0.50, 1.65), "chromium": (0.0, 1.35),
                "nickel": (0.0, 1.50), "molybdenum": (0.0, 0.55)}


def _factor(pieces: tuple[tuple[float, tuple[float, ...]], ...], content: float) -> float:
    for highest, coefficients in pieces:
        if content <= highest:
            return sum(c * content ** power for power, c in enumerate(coefficients))
    highest, coefficients = pieces[-1]
    return sum(c * content ** power for power, c in enumerate(coefficients))


def ideal_diameter_in(contents_wt: dict[str, float]) -> tuple[float, tuple[str, ...]]:
    """The ideal critical diameter DI in inches of a steel of ``contents_wt``
    (``carbon``, ``silicon``, ``manganese``, ``chromium``, ``nickel``,
    ``molybdenum``), as the product of the multiplying factors of ASTM
    A255-10(2014) for grain size 7::

        f_C  = 0.54 C (C ≤ 0.39), 0.171 + 0.001 C + 0.265 C² (≤ 0.55),
               0.115 + 0.268 C - 0.038 C² (≤ 0.65), 0.143 + 0.2 C (≤ 0.75),
               0.062 + 0.409 C - 0.135 C² (≤ 0.90)
        f_Si = 1 + 0.7 Si      f_Mn = 1 + 3.3333 Mn (≤ 1.2), 5.1 Mn - 1.12 (to 1.95)
        f_Cr = 1 + 2.16 Cr     f_Ni = 1 + 0.363 Ni (≤ 1.5),
                               0.3211 + 1.4501 Ni - 0.6119 Ni² + 0.1253 Ni³ (to 3.5)
        f_Mo = 1 + 3 Mo

    Returns DI and the elements outside A255's calculation range
    (:data:`DI_RANGES_WT`), where DI is an extrapolated index.
    """
    outside = tuple(element for element, (low, high) in DI_RANGES_WT.items()
                    if not low <= contents_wt[element] <= high)
    di = _factor(_CARBON_FACTOR, contents_wt["carbon"])
    for element, pieces in _ALLOY_FACTORS.items():
        di *= _factor(pieces, contents_wt[element])
    return di, outside


@dataclass(frozen=True)
class Band:
    """A hardenability band: the HRC at the distances from the quenched end
    of a Jominy bar, the lower end where the standard gives it (None beyond)."""

    name: str
    distance_mm: tuple[float, ...]
    max_hrc: tuple[float, ...]
    min_hrc: tuple[float | None, ...]

    def outside(self, hrc: ArrayLike) -> list[tuple[float, float, float]]:
        """The distances at which the HRC values ``hrc`` at :attr:`distance_mm`
        leave the band: (distance, value, the end passed)."""
        found = []
        for distance, value, high, low in zip(self.distance_mm, np.asarray(hrc, dtype=float).tolist(), self.max_hrc,
                                              self.min_hrc):
            if value > high:
                found.append((distance, value, high))
            elif low is not None and value < low:
                found.append((distance, value, low))
        return found


_BAND_MM = (1.5, 3.0, 5.0, 7.0, 9.0, 11.0, 13.0, 15.0, 20.0, 25.0, 30.0, 35.0, 40.0)


def _lower_ends(*values: float) -> tuple[float | None, ...]:
    return values + (None,) * (len(_BAND_MM) - len(values))


#: The Jominy bands of the +H grades of EN 10084, by grade name: HRC at
#: J1.5, 3, 5, 7, 9, 11, 13, 15, 20, 25, 30, 35 and 40 mm.  Only the grades
#: whose band the library has from the standard are here.
H_BANDS = {
    "16MnCr5": Band("16MnCr5+H", _BAND_MM, (47, 46, 44, 41, 39, 37, 35, 33, 31, 30, 29, 28, 27),
                    _lower_ends(39, 36, 31, 28, 24, 21)),
    "20MnCr5": Band("20MnCr5+H", _BAND_MM, (49, 49, 48, 46, 43, 42, 41, 39, 37, 35, 34, 33, 32),
                    _lower_ends(41, 39, 36, 33, 30, 28, 26, 25, 23, 21)),
}
