"""Hardening: the hardness and retained austenite of a case after quenching.

From the carbon and nitrogen profile of a result and the steel's alloying
elements, at every depth: the martensite start, the fraction of martensite
after the quench and its hardness (:mod:`.transformation`: van Bohemen,
Koistinen-Marburger, ASTM A255), converted to HV by the ASTM E140 table
(:mod:`.conversions`), and the hardness, the mixture by fraction of martensite
and retained austenite.

Nitrogen counts as carbon throughout.  With a temper (:mod:`.tempering`), the
martensite keeps the share of its hardness that the temper leaves it; the
retained austenite stays as quenched.  With a quench severity
(:mod:`.quenching`), the hardness is at most the Jominy hardness of the local
composition at the distance of the Jominy bar that cools as fast; without
one, the model takes case and core to be quenched fast enough to form no
ferrite, pearlite or bainite (a core of too large a section or too lean a
steel is softer than it says).  The formulas were fitted to carbon and
low-alloy steels; they do not apply to high-alloy ones such as stainless or
tool steels.

The functions of each step are here too, as
``process.hardening.martensite_start_c`` and so on.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Literal

import numpy as np
from numpy.typing import NDArray

from .. import _validate
from ..model.solubility import AUSTENITE_RANGE_C
from ..model.steel import Steel
from ..results import Result
from ..standards import CHD_LIMIT_HV, ISO_18203_CORE_DEPTHS, ISO_18203_CORE_HV
from ..model.hardenability import JUST_CARBON_RANGE_WT
from . import quenching
from .conversions import HRC_RANGE, HV_RANGE, hrc_to_hv, hv_to_hrc
from .tempering import Temper
from .transformation import PEAK_CARBON_WT, martensite_fraction, martensite_hardness_hrc, martensite_start_c

__all__ = ["Hardening", "harden", "Temper", "martensite_start_c", "martensite_fraction", "martensite_hardness_hrc",
           "hrc_to_hv", "hv_to_hrc", "PEAK_CARBON_WT", "AUSTENITE_HV_RANGE", "LOW_ALLOY_LIMIT_WT",
           "quench_temperature_c", "austenite_hardness_hv"]

#: The hardness of retained austenite that :func:`harden` takes, in HV: that
#: of carburized cases is about 200-300 HV; the range leaves room for any
#: steel, and refuses a number that is no hardness of austenite.
AUSTENITE_HV_RANGE = (100.0, 500.0)
#: Mn, Si, Cr, Ni and Mo together, in wt%, up to which a steel counts as low
#: alloy, as the formulas of this module were fitted to: a usual bound of the
#: class.  Beyond it :func:`harden` says so in :attr:`Hardening.warnings`.
LOW_ALLOY_LIMIT_WT = 5.0

# What a Hardening made without its as-quenched hardness takes for it: its
# finished hardness (told by what it is, not by its value).
_AS_FINISHED = np.empty(0)


@dataclass(frozen=True, eq=False, repr=False)
class Hardening:
    """The hardened case: what :func:`harden` returns.

    The hardness is the finished part's: tempered where a temper is given,
    and no more than the cooling allows where a quench severity is; the
    as-quenched hardness is kept beside it.  The CHD, the surface and core
    hardness and the ISO 18203 rule read the finished hardness, as ISO 18203
    measures the finished part.

    Attributes
    ----------
    depth_mm : ndarray
        Depth below the treated surface in mm, as in the result hardened.
    ms_c : ndarray
        Martensite start temperature in °C.
    martensite, retained_austenite : ndarray
        Fractions from 0 to 1 after the quench; they add up to 1 (where the
        cooling limits the hardness, the part of the "martensite" that did
        not form is bainite or pearlite, which is not told apart).
    hardness_hv, hardness_hrc : ndarray
        Hardness of the finished part in HV and in HRC; HRC is NaN off the
        Rockwell C scale (below 238 HV, 20 HRC; above 940 HV, 68 HRC).
    quench_c, austenite_hv : float
        The quench temperature in °C and the hardness taken for retained
        austenite.
    warnings : tuple of str
        What makes the hardened case doubtful, one line each: a steel beyond
        the low-alloy steels the formulas were fitted to, a temper above
        200 °C, a cooling beyond the Jominy bar's data.
    quenched_hardness_hv : ndarray
        The hardness in HV as quenched, before the temper (the same as
        ``hardness_hv`` without one).
    temper : Temper or None
        The temper.
    severity_h : float or None
        Grossmann's H of the quench in 1/inch; None for a section hardened
        through, whatever its size.
    jominy_distance_mm : ndarray or None
        At each depth, the distance of the Jominy bar that cools as fast
        (with ``severity_h``).
    """

    depth_mm: NDArray[np.float64]
    ms_c: NDArray[np.float64]
    martensite: NDArray[np.float64]
    retained_austenite: NDArray[np.float64]
    hardness_hv: NDArray[np.float64]
    hardness_hrc: NDArray[np.float64]
    quench_c: float
    austenite_hv: float
    warnings: tuple[str, ...] = ()
    quenched_hardness_hv: NDArray[np.float64] = field(default_factory=lambda: _AS_FINISHED)
    temper: Temper | None = None
    severity_h: float | None = None
    jominy_distance_mm: NDArray[np.float64] | None = None

    def __post_init__(self) -> None:
        if self.quenched_hardness_hv is _AS_FINISHED:
            object.__setattr__(self, "quenched_hardness_hv", self.hardness_hv)

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

    @property
    def core_hardness_hrc(self) -> float:
        """Hardness at the deepest point of the profile in HRC (NaN off the scale)."""
        return float(self.hardness_hrc[-1])

    def case_hardening_depth_mm(self, limit_hv: float = CHD_LIMIT_HV, *,
                                beyond_part: Literal["raise", "inf"] = "raise") -> float:
        """The case-hardening depth (CHD) in mm: the depth beyond which the
        hardness stays below ``limit_hv``.

        This is the last downward crossing of the limit, linearly
        interpolated: an over-carburized case, softer at the surface than
        below it, still has its CHD where the hardness finally falls to the
        limit.  The 550 HV limit is that of ISO 18203 (formerly ISO 2639),
        which applies it where the core is below 450 HV at three times the
        CHD and asks for a higher limit elsewhere; 513 HV is the 50 HRC of
        SAE J423.

        Parameters
        ----------
        limit_hv : float
            The hardness that bounds the case, in HV.
        beyond_part : {"raise", "inf"}
            What a hardness still at or above the limit at the deepest point
            gives (the case is deeper than the part as computed): a
            ValueError that says so, or ``inf``.

        Returns
        -------
        float
            The depth, or 0.0 where no point of the profile reaches the limit.

        Raises
        ------
        ValueError
            If the hardness at the deepest point is still at or above the
            limit and ``beyond_part`` is ``"raise"``.
        """
        limit = _validate.real("limit_hv", limit_hv, "positive")
        if beyond_part not in ("raise", "inf"):
            raise ValueError(f"beyond_part must be 'raise' or 'inf', got {beyond_part!r}")
        hardness = self.hardness_hv
        if hardness[-1] >= limit:
            if beyond_part == "inf":
                return math.inf
            raise ValueError(f"the hardness stays at or above {limit:g} HV down to the deepest point, "
                             f"{self.depth_mm[-1]:.4g} mm ({hardness[-1]:.4g} HV)")
        reached = np.flatnonzero(hardness >= limit)
        if reached.size == 0:
            return 0.0
        i = int(reached[-1])
        upper, lower = hardness[i], hardness[i + 1]
        fraction = (upper - limit) / (upper - lower)
        return float(self.depth_mm[i] + fraction * (self.depth_mm[i + 1] - self.depth_mm[i]))

    def iso_18203_core_hv(self, limit_hv: float = CHD_LIMIT_HV) -> float | None:
        """The core hardness in HV at three times the CHD at ``limit_hv``, where
        it tells that ISO 18203 asks for a higher limit than ``limit_hv``;
        else None.

        ISO 18203 reads the CHD at 550 HV only where the core, at three times
        the CHD (here at the deepest point where the part is thinner), is
        below 450 HV.  A limit above 550 HV, a case deeper than the part and
        no case at all tell nothing of it.

        Examples
        --------
        >>> hv = np.array([700.0, 600.0, 500.0, 480.0, 470.0, 465.0, 460.0, 460.0])
        >>> case = Hardening(np.arange(8.0), hv, np.ones(8), np.zeros(8), hv, hv_to_hrc(hv), 60.0, 300.0)
        >>> case.case_hardening_depth_mm(), case.iso_18203_core_hv()
        (1.5, 467.5)
        """
        chd_mm = self.case_hardening_depth_mm(limit_hv, beyond_part="inf")
        if not 0.0 < chd_mm < math.inf or limit_hv > CHD_LIMIT_HV:
            return None
        core_hv = float(np.interp(ISO_18203_CORE_DEPTHS * chd_mm, self.depth_mm, self.hardness_hv))
        return core_hv if core_hv >= ISO_18203_CORE_HV else None


def harden(result: Result, *, quench_c: float = 60.0, austenite_hv: float = 300.0,
           severity_h: float | str | None = None, temper: Temper | None = None) -> Hardening:
    """The finished case that quenching (and tempering) the final profile of
    ``result`` gives.

    At each depth, from the local carbon and nitrogen and the steel's
    alloying elements: the martensite and the retained austenite after the
    quench, and the hardness of their mixture (see the module's notes); with
    ``temper``, the martensite keeps the share of its hardness that
    :class:`~talvenor.process.metallurgy.tempering.Temper` gives and the
    retained austenite stays; with ``severity_h``, the hardness is at most
    the Jominy hardness of the local composition at the distance of the
    Jominy bar that cools as fast as that depth (see the module's notes).

    Parameters
    ----------
    result : Result
        A result of :func:`simulate`.
    quench_c : float
        The temperature the part is quenched to in °C, above absolute zero
        (a sub-zero treatment turns more of the austenite) and below 727 °C,
        where austenite forms (see :func:`quench_temperature_c`).
    austenite_hv : float
        The hardness of retained austenite in HV, within
        :data:`AUSTENITE_HV_RANGE` (100-500 HV).
    severity_h : float or str, optional
        The quench's severity, Grossmann's H in 1/inch (``math.inf`` for an
        ideal quench), or the name of a medium of
        :data:`~talvenor.process.metallurgy.quenching.MEDIA_H` ("still oil",
        "still water").  By default none: the whole section hardens, as
        though the steel were infinitely hardenable; that is beyond even an
        ideal quench, which leaves the core of a large or lean part softer.
    temper : Temper, optional
        The temper after the quench.

    Raises
    ------
    ValueError
        For a quench, an austenite hardness or a severity out of range,
        naming it.

    Examples
    --------
    >>> from talvenor import process
    >>> stage = process.Stage(duration_h=4.0, temperature_c=930.0, carbon_potential_wt=0.8)
    >>> result = process.simulate([stage], steel=process.Steel.grade("16MnCr5"), geometry="cylinder", depth_mm=15.0)
    >>> case = harden(result, severity_h="still oil", temper=Temper(180.0, 2.0))
    >>> round(case.case_hardening_depth_mm(), 2), round(case.core_hardness_hrc, 1)
    (0.46, 24.5)
    """
    if not isinstance(result, Result):
        raise TypeError(f"result must be a Result of simulate, got {result!r}")
    if temper is not None and not isinstance(temper, Temper):
        raise TypeError(f"temper must be a Temper or None, got {temper!r}")
    quench_c = quench_temperature_c("quench_c", quench_c)
    austenite_hv = austenite_hardness_hv("austenite_hv", austenite_hv)
    severity = None if severity_h is None else quenching.severity_h(severity_h)
    steel, carbon_wt = result.steel, result.carbon_wt + result.nitrogen_wt
    martensite = martensite_fraction(steel, carbon_wt, quench_c=quench_c)
    martensite_hv = hrc_to_hv(martensite_hardness_hrc(carbon_wt))
    kept = 1.0 if temper is None else temper.martensite_fraction(carbon_wt)
    quenched_hv = martensite * martensite_hv + (1.0 - martensite) * austenite_hv
    finished_hv = martensite * kept * martensite_hv + (1.0 - martensite) * austenite_hv
    found = [*_alloy_warnings(steel), *(() if temper is None else temper.warnings)]
    distance_mm = None
    if severity is not None:
        distance_mm = _jominy_distance_mm(result, severity, quench_c)
        limit_hv, doubts = _cooling_limit_hv(result, distance_mm, carbon_wt)
        quenched_hv, finished_hv = np.minimum(quenched_hv, limit_hv), np.minimum(finished_hv, limit_hv)
        found += doubts
    return Hardening(result.depth_mm, martensite_start_c(steel, carbon_wt), martensite,
                     1.0 - martensite, finished_hv, hv_to_hrc(finished_hv), quench_c, austenite_hv, tuple(found),
                     quenched_hv, temper, severity, distance_mm)


def _jominy_distance_mm(result: Result, severity: float, quench_c: float) -> NDArray[np.float64]:
    """The distance of the Jominy bar that cools as fast as each depth of
    ``result``'s part, quenched from the end of its last stage."""
    depth_mm = result.depth_mm
    size_mm = float(depth_mm[-1] + 0.5 * (depth_mm[-1] - depth_mm[-2]))
    start_c = result.stages[-1].temperatures_c[1]
    rate = quenching.cooling_rate_c_s(result.geometry, size_mm, depth_mm, severity_h=severity, start_c=start_c,
                                      quench_c=quench_c)
    return np.minimum(quenching.jominy_distance_mm(rate), quenching.JOMINY_BAR_MM)


def _cooling_limit_hv(result: Result, distance_mm: NDArray[np.float64],
                      carbon_wt: NDArray[np.float64]) -> tuple[NDArray[np.float64], list[str]]:
    """The hardness in HV that the cooling allows at each depth, the Jominy
    hardness of its composition at ``distance_mm``, and what makes it
    doubtful."""
    steel = result.steel
    hrc = steel.jominy_hrc(distance_mm, carbon_wt=carbon_wt)
    doubts = []
    low, high = JUST_CARBON_RANGE_WT
    if steel.measured_jominy is None and not low <= steel.carbon_wt + steel.nitrogen_wt <= high:
        doubts.append(f"the core's {steel.carbon_wt + steel.nitrogen_wt:g} wt% C is outside the {low:g}-{high:g} wt% "
                      "of Just's Jominy formula; the hardness that the cooling allows in the core is extrapolated")
    slow = distance_mm >= quenching.JOMINY_BAR_MM
    if slow.any():
        doubts.append(f"from {float(result.depth_mm[slow][0]):.3g} mm down the part cools more slowly than the "
                      f"Jominy bar's last point, {quenching.JOMINY_BAR_MM:g} mm; its hardness there, read at that "
                      "point, is an upper bound")
    soft = hrc < HRC_RANGE[0]
    if soft.any():
        doubts.append(f"from {float(result.depth_mm[soft][0]):.3g} mm down the Jominy hardness is below "
                      f"{HRC_RANGE[0]:g} HRC, where the E140 table ends; the hardness there is taken as "
                      f"{HV_RANGE[0]:g} HV, an upper bound")
    return hrc_to_hv(np.clip(hrc, *HRC_RANGE)), doubts


def quench_temperature_c(name: str, value: object) -> float:
    """``value``, a quench temperature in °C: above absolute zero and below
    727 °C, the lowest temperature of austenite, where a quench that hardens
    ends; the message of an error names ``name``."""
    low, _ = AUSTENITE_RANGE_C
    return _validate.bounded(name, _validate.celsius(name, value), high=low, below=True, unit="°C",
                             why="where austenite forms: a quench ends below it")


def austenite_hardness_hv(name: str, value: object) -> float:
    """``value``, a hardness of retained austenite in HV within
    :data:`AUSTENITE_HV_RANGE`; the message of an error names ``name``."""
    low, high = AUSTENITE_HV_RANGE
    return _validate.bounded(name, _validate.real(name, value), low=low, high=high, unit="HV",
                             why="what retained austenite measures")


def _alloy_warnings(steel: Steel) -> tuple[str, ...]:
    """A line on ``steel`` where it is beyond the low-alloy steels of the formulas."""
    alloying = steel.manganese_wt + steel.silicon_wt + steel.chromium_wt + steel.nickel_wt + steel.molybdenum_wt
    if alloying <= LOW_ALLOY_LIMIT_WT:
        return ()
    return (f"the steel holds {alloying:g} wt% of Mn, Si, Cr, Ni and Mo together, more than the "
            f"{LOW_ALLOY_LIMIT_WT:g} wt% of the low-alloy steels that the hardening formulas were fitted to; its "
            "hardness and retained austenite are extrapolated",)
