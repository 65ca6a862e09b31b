"""Hardening: the hardness and retained austenite of a case after quenching.

From the carbon and nitrogen profile of a result and the steel's alloying
elements, at every depth:

1. the martensite start Ms, by van Bohemen's formula (S.M.C. van Bohemen,
   Mater. Sci. Technol. 28 (2012) 487), which is exponential in carbon and so
   holds at case carbon levels, where linear formulas put Ms far too low;
2. the fraction of martensite after quenching to ``quench_c``, by the
   Koistinen-Marburger law with the composition-dependent rate of van Bohemen
   and Sietsma (Mater. Sci. Technol. 25 (2009) 1009); the rest is retained
   austenite;
3. the hardness of the martensite, from the ASTM A255 curve for 100 %
   martensite in HRC, converted to HV by the ASTM E140 table for
   non-austenitic steels;
4. the hardness, the mixture by fraction of martensite and retained austenite.

Nitrogen counts as carbon throughout.  The model assumes that case and core
are austenitised and quenched fast enough to form no ferrite, pearlite or
bainite (a core of too large a section or too lean a steel is softer than it
says), and it does not model tempering.  The formulas were fitted to carbon
and low-alloy steels; they do not apply to high-alloy ones such as stainless
or tool steels.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import checks
from .steel import Steel

if TYPE_CHECKING:
    from .result import Result

__all__ = ["Hardening", "harden", "martensite_start_c", "martensite_fraction", "martensite_hardness_hrc",
           "hrc_to_hv", "hv_to_hrc", "PEAK_CARBON_WT"]

# ASTM A255: HRC of 100 % martensite against c = C + N in wt%, lowest power first.
_MARTENSITE_HRC = np.polynomial.Polynomial([35.395, 6.990, 312.330, -821.744, 1015.479, -538.346])


def _peak_carbon_wt() -> float:
    roots = np.asarray(_MARTENSITE_HRC.deriv().roots(), dtype=complex)
    level = roots.real[(np.abs(roots.imag) < 1e-12) & (roots.real > 0.0)]
    return float(level[np.asarray(_MARTENSITE_HRC.deriv(2)(level)) < 0.0].min())


#: Carbon in wt% at which the A255 curve has its maximum (about 0.666): the
#: hardness of martensite with more carbon is taken as the hardness there.
PEAK_CARBON_WT = _peak_carbon_wt()

# ASTM E140, non-austenitic steels: Vickers hardness at each Rockwell C from 20 to 68.
_HRC = np.arange(20.0, 69.0)
_HV = np.array([238, 243, 248, 254, 260, 266, 272, 279, 286, 294, 302, 310, 318, 327, 336, 345, 354, 363, 372, 382,
                392, 402, 412, 423, 434, 446, 458, 471, 484, 498, 513, 528, 544, 560, 577, 595, 613, 633, 653, 674,
                697, 720, 746, 772, 800, 832, 865, 900, 940], dtype=float)


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
    """Hardness of 100 % martensite in HRC, by the ASTM A255 curve::

        HRC = 35.395 + 6.990 c + 312.330 c² - 821.744 c³ + 1015.479 c⁴ - 538.346 c⁵

    with c = C + N in wt%, clipped to at most :data:`PEAK_CARBON_WT`, where
    the curve is highest: martensite does not get softer with more carbon
    (cases with more are softer by their retained austenite).

    Examples
    --------
    >>> round(float(martensite_hardness_hrc(0.4)), 1), round(float(martensite_hardness_hrc(1.2)), 1)
    (56.1, 65.1)
    """
    return np.asarray(_MARTENSITE_HRC(np.minimum(_interstitial(carbon_wt, nitrogen_wt), PEAK_CARBON_WT)), dtype=float)


def hrc_to_hv(hrc: ArrayLike) -> NDArray[np.float64]:
    """Vickers hardness of a Rockwell C hardness, interpolated linearly in
    the ASTM E140 table for non-austenitic steels (20 to 68 HRC; NaN beyond)."""
    hrc = np.asarray(hrc, dtype=float)
    return np.where((hrc >= _HRC[0]) & (hrc <= _HRC[-1]), np.interp(hrc, _HRC, _HV), np.nan)


def hv_to_hrc(hv: ArrayLike) -> NDArray[np.float64]:
    """Rockwell C hardness of a Vickers hardness, by the ASTM E140 table
    inverted: NaN outside 238 to 940 HV, where the Rockwell C scale does not
    apply (below 20 HRC) or the table ends."""
    hv = np.asarray(hv, dtype=float)
    return np.where((hv >= _HV[0]) & (hv <= _HV[-1]), np.interp(hv, _HV, _HRC), np.nan)


@dataclass(frozen=True, eq=False, repr=False)
class Hardening:
    """The hardened case: what :func:`harden` returns.

    Attributes
    ----------
    depth_mm : ndarray
        Depth below the treated surface in mm, as in the result hardened.
    ms_c : ndarray
        Martensite start temperature in °C.
    martensite, retained_austenite : ndarray
        Fractions from 0 to 1 after the quench; they add up to 1.
    hardness_hv, hardness_hrc : ndarray
        Hardness in HV and in HRC; HRC is NaN below 238 HV (20 HRC), where
        the Rockwell C scale does not apply.
    quench_c, austenite_hv : float
        The quench temperature in °C and the hardness taken for retained
        austenite.
    """

    depth_mm: NDArray[np.float64]
    ms_c: NDArray[np.float64]
    martensite: NDArray[np.float64]
    retained_austenite: NDArray[np.float64]
    hardness_hv: NDArray[np.float64]
    hardness_hrc: NDArray[np.float64]
    quench_c: float
    austenite_hv: float

    def __repr__(self) -> str:
        return (f"{type(self).__name__}(quench_c={self.quench_c:g}, {self.depth_mm.size} points to "
                f"{self.depth_mm[-1]:.4g} mm, surface {self.surface_hardness_hv:.0f} HV "
                f"{self.surface_hardness_hrc:.1f} HRC {100.0 * float(self.retained_austenite[0]):.1f} % "
                f"retained austenite, core {self.core_hardness_hv:.0f} HV)")

    @property
    def surface_hardness_hv(self) -> float:
        """Hardness at the treated surface in HV."""
        return float(self.hardness_hv[0])

    @property
    def surface_hardness_hrc(self) -> float:
        """Hardness at the treated surface in HRC (NaN below 20 HRC)."""
        return float(self.hardness_hrc[0])

    @property
    def core_hardness_hv(self) -> float:
        """Hardness at the deepest point of the profile in HV."""
        return float(self.hardness_hv[-1])

    def case_hardening_depth_mm(self, limit_hv: float = 550.0) -> float:
        """The case-hardening depth (CHD) in mm: the depth beyond which the
        hardness stays below ``limit_hv``.

        This is the last downward crossing of the limit, linearly
        interpolated: an over-carburized case, softer at the surface than
        below it, still has its CHD where the hardness finally falls to the
        limit.  The 550 HV limit is that of ISO 18203 (formerly ISO 2639),
        which applies it where the core is below 450 HV at three times the
        CHD and asks for a higher limit elsewhere; 513 HV is the 50 HRC of
        SAE J423.

        Returns
        -------
        float
            The depth, or 0.0 where no point of the profile reaches the limit.

        Raises
        ------
        ValueError
            If the hardness at the deepest point is still at or above the
            limit (the case is deeper than the part as computed).
        """
        limit = checks.real("limit_hv", limit_hv, "positive")
        hardness = self.hardness_hv
        if hardness[-1] >= limit:
            raise ValueError(f"the hardness stays at or above {limit:g} HV down to the deepest point, "
                             f"{self.depth_mm[-1]:.4g} mm ({hardness[-1]:.4g} HV)")
        reached = np.flatnonzero(hardness >= limit)
        if reached.size == 0:
            return 0.0
        i = int(reached[-1])
        upper, lower = hardness[i], hardness[i + 1]
        fraction = (upper - limit) / (upper - lower)
        return float(self.depth_mm[i] + fraction * (self.depth_mm[i + 1] - self.depth_mm[i]))


def harden(result: Result, *, quench_c: float = 60.0, austenite_hv: float = 300.0) -> Hardening:
    """The case that quenching the final profile of ``result`` gives.

    See the module's description for the model, its sources and what it
    assumes: full austenitisation, a quench fast enough to form martensite
    alone (with retained austenite), no tempering.  The alloying elements
    are those of ``result.steel``.

    Parameters
    ----------
    result : Result
        A result of :func:`simulate`.
    quench_c : float
        The temperature the part is quenched to in °C, above absolute zero
        (a sub-zero treatment turns more of the austenite).
    austenite_hv : float
        The hardness of retained austenite in HV, positive.

    Examples
    --------
    >>> from talvenor import process
    >>> stage = process.Stage(duration_h=4.0, temperature_c=930.0, carbon_potential_wt=0.8)
    >>> result = process.simulate([stage], steel=Steel.grade("16MnCr5"))
    >>> round(harden(result).case_hardening_depth_mm(), 2)
    0.78
    """
    steel = getattr(result, "steel", None)
    if not isinstance(steel, Steel):
        raise TypeError(f"result must be a Result of simulate, got {result!r}")
    quench_c = checks.celsius("quench_c", quench_c)
    austenite_hv = checks.real("austenite_hv", austenite_hv, "positive")
    martensite = martensite_fraction(steel, result.carbon_wt, result.nitrogen_wt, quench_c=quench_c)
    hardness_hv = (martensite * hrc_to_hv(martensite_hardness_hrc(result.carbon_wt, result.nitrogen_wt))
                   + (1.0 - martensite) * austenite_hv)
    return Hardening(result.depth_mm, martensite_start_c(steel, result.carbon_wt, result.nitrogen_wt), martensite,
                     1.0 - martensite, hardness_hv, hv_to_hrc(hardness_hv), quench_c, austenite_hv)


def _interstitial(carbon_wt: ArrayLike, nitrogen_wt: ArrayLike) -> NDArray[np.float64]:
    return np.add(np.asarray(carbon_wt, dtype=np.float64), np.asarray(nitrogen_wt, dtype=np.float64))


def _alloying(steel: Steel, coefficients: tuple[float, float, float, float, float]) -> float:
    """The sum of the coefficients times Mn, Si, Cr, Ni and Mo in wt%."""
    contents = (steel.manganese_wt, steel.silicon_wt, steel.chromium_wt, steel.nickel_wt, steel.molybdenum_wt)
    return sum(c * w for c, w in zip(coefficients, contents))
