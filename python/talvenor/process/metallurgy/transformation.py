"""The transformation of austenite on quenching, and the hardness of martensite.

At every depth, from the local carbon and nitrogen (nitrogen counted as
carbon) and the steel's alloying elements:

1. the martensite start Ms, by van Bohemen's formula (S.M.C. van Bohemen,
   Mater. Sci. Technol. 28 (2012) 487), which is exponential in carbon and so
   holds at case carbon levels, where linear formulas put Ms far too low;
2. the fraction of martensite after quenching to ``quench_c``, by the
   Koistinen-Marburger law with the composition-dependent rate of van Bohemen
   and Sietsma (Mater. Sci. Technol. 25 (2009) 1009); the rest is retained
   austenite;
3. the hardness of the martensite, from the ASTM A255 curve for 100 %
   martensite in HRC.

The formulas were fitted to carbon and low-alloy steels; they do not apply to
high-alloy ones such as stainless or tool steels.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ..model.hardenability import PEAK_CARBON_WT, martensite_hrc
from ..model.steel import Steel

__all__ = ["martensite_start_c", "martensite_fraction", "martensite_hardness_hrc", "PEAK_CARBON_WT"]


def martensite_start_c(steel: Steel, carbon_wt: ArrayLike, nitrogen_wt: ArrayLike = 0.0) -> NDArray[np.float64]:
    """Martensite start temperature in °C at local carbon and nitrogen contents.

    Van Bohemen (Mater. Sci. Technol. 28 (2012) 487), nitrogen counted as carbon::

        Ms = 565 - (31 Mn + 13 Si + 10 Cr + 18 Ni + 12 Mo) - 600 (1 - exp(-0.96 (C + N)))

    with the contents in wt%, the substitutional ones those of ``steel``.

    Examples
    --------
    >>> round(float(martensite_start_c(Steel.grade("16MnCr5"), 0.8)), 1)
    195.0
    """
    return 565.0 - _alloying(steel, (31.0, 13.0, 10.0, 18.0, 12.0)) - 600.0 * (
        1.0 - np.exp(-0.96 * _interstitial(carbon_wt, nitrogen_wt)))


def martensite_fraction(steel: Steel, carbon_wt: ArrayLike, nitrogen_wt: ArrayLike = 0.0, *,
                        quench_c: float) -> NDArray[np.float64]:
    """Fraction of austenite that turns to martensite on quenching to ``quench_c`` °C.

    Koistinen-Marburger, f = 1 - exp(-alpha (Ms - quench_c)) where Ms is above
    ``quench_c`` and 0 elsewhere, with Ms of :func:`martensite_start_c` and the
    rate of van Bohemen and Sietsma (Mater. Sci. Technol. 25 (2009) 1009) in
    1/K::

        alpha = 0.001 (27.2 - (0.14 Mn + 0.21 Si + 0.11 Cr + 0.08 Ni + 0.05 Mo)
                       - 19.8 (1 - exp(-1.56 (C + N))))

    Raises
    ------
    ValueError
        Where the composition gives a rate that is not positive (far beyond
        the steels the rate was fitted to).
    """
    interstitial = _interstitial(carbon_wt, nitrogen_wt)
    rate = 1e-3 * (27.2 - _alloying(steel, (0.14, 0.21, 0.11, 0.08, 0.05))
                   - 19.8 * (1.0 - np.exp(-1.56 * interstitial)))
    if (rate <= 0.0).any():
        raise ValueError(f"the composition gives a martensite rate of {float(rate.min()):.4g} per K, which is not "
                         "positive: the steel is outside what the Koistinen-Marburger rate was fitted to")
    undercooling = np.maximum(martensite_start_c(steel, carbon_wt, nitrogen_wt) - quench_c, 0.0)
    return 1.0 - np.exp(-rate * undercooling)


def martensite_hardness_hrc(carbon_wt: ArrayLike, nitrogen_wt: ArrayLike = 0.0) -> NDArray[np.float64]:
    """Hardness of 100 % martensite in HRC, by the ASTM A255 curve
    (:func:`~talvenor.process.model.hardenability.martensite_hrc`) of c = C + N
    in wt%, held at its maximum above :data:`PEAK_CARBON_WT`.

    Examples
    --------
    >>> round(float(martensite_hardness_hrc(0.4)), 1), round(float(martensite_hardness_hrc(1.0, 0.2)), 1)
    (56.1, 65.1)
    """
    return martensite_hrc(_interstitial(carbon_wt, nitrogen_wt))


def _interstitial(carbon_wt: ArrayLike, nitrogen_wt: ArrayLike) -> NDArray[np.float64]:
    return np.add(np.asarray(carbon_wt, dtype=np.float64), np.asarray(nitrogen_wt, dtype=np.float64))


def _alloying(steel: Steel, coefficients: tuple[float, float, float, float, float]) -> float:
    """The sum of the coefficients times Mn, Si, Cr, Ni and Mo in wt%."""
    contents = (steel.manganese_wt, steel.silicon_wt, steel.chromium_wt, steel.nickel_wt, steel.molybdenum_wt)
    return sum(c * w for c, w in zip(coefficients, contents))
