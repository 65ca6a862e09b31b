"""Verdicts: a result and its hardened case checked against the requirements."""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass
from typing import ClassVar

import numpy as np
from numpy.typing import NDArray

from .metallurgy.conversions import HRC_RANGE, hv_to_hrc
from .metallurgy.hardening import Hardening
from .requirements import QUANTITIES, Requirements, needs_hardened_case
from .results import Result

__all__ = ["Verdict", "Verdicts", "check", "finished_part"]

# The unit of the carbide, which no_carbides asks to be none of, and its decimals.
_CARBIDE_UNIT, _CARBIDE_DECIMALS = "g/m²", 2
_DECIMALS = {quantity.unit: quantity.decimals for quantity in QUANTITIES} | {_CARBIDE_UNIT: _CARBIDE_DECIMALS}


@dataclass(frozen=True)
class Verdict:
    """One requirement of a :class:`Requirements`, checked: what
    :func:`check` returns a tuple of.

    ``str(verdict)`` is its line of the verdict table that the command line
    prints, under :attr:`HEADING`.

    Attributes
    ----------
    name : str
        What is required, such as ``"CHD at 550 HV"``.
    band : tuple of (float or None, float or None)
        The lower and the upper end, None where the band is open.
    unit : str
        The unit of the band and of the value: ``"mm"``, ``"HV"``, ``"HRC"``,
        ``"wt%"``, ``"%"``, or ``"g/m²"`` for the carbide.
    value : float
        What the result has: inf for a depth deeper than the part as
        computed or a hardness above 68 HRC asked for in HRC, NaN for one
        below 20 HRC.
    passed : bool
        Whether the value lies in the band, its ends included.
    margin : float
        The distance from the value to the nearer end of the band, positive
        inside, negative outside (NaN with the value).
    key : str
        The keys of the band less ``_min``/``_max``, such as ``"chd_mm"``;
        ``"no_carbides"`` for the carbide.
    """

    name: str
    band: tuple[float | None, float | None]
    unit: str
    value: float
    passed: bool
    margin: float
    key: str = ""

    #: The heading of a table of verdicts, aligned with their lines.
    HEADING: ClassVar[str] = f"{'requirement':<28}{'found':>12}  {'band':<12}  verdict  margin"

    @property
    def decimals(self) -> int:
        """The decimals that its values are shown with."""
        return _DECIMALS[self.unit]

    @property
    def band_text(self) -> str:
        """Its band as the verdict table shows it: ``"0.80–1.10"``, ``"≥ 58.0"`` or ``"≤ 25.0"``."""
        low, high = (None if end is None else f"{end:.{self.decimals}f}" for end in self.band)
        return f"≥ {low}" if high is None else f"≤ {high}" if low is None else f"{low}–{high}"

    def __str__(self) -> str:
        decimals, band = self.decimals, self.band_text
        if math.isnan(self.value):
            found = f"< 20 {self.unit}"
        elif math.isinf(self.value):
            found = "> part" if self.unit == "mm" else f"> {HRC_RANGE[1]:g} {self.unit}"
        else:
            found = f"{self.value:.{decimals}f} {self.unit}"
        return (f"{self.name:<28}{found:>12}  {band:<12}  {'pass' if self.passed else 'fail':<7}  "
                f"{self.margin:+.{decimals}f}")


class Verdicts(tuple[Verdict, ...]):
    """The verdicts of one check, in the order of the keys of
    :class:`Requirements` and for ``no_carbides`` last: a tuple."""

    @property
    def passed(self) -> bool:
        """Whether every requirement is met (also where there is none)."""
        return all(verdict.passed for verdict in self)

    @property
    def failed(self) -> tuple[str, ...]:
        """The names of the requirements that are not met."""
        return tuple(verdict.name for verdict in self if not verdict.passed)

    def get(self, key: str) -> Verdict | None:
        """The verdict of the band of ``key`` (see :attr:`Verdict.key`), or None."""
        return next((verdict for verdict in self if verdict.key == key), None)


def check(result: Result, requirements: Requirements, hardening: Hardening | None = None) -> Verdicts:
    """Check ``result`` against every band of ``requirements``.

    Parameters
    ----------
    result : Result
        A result of :func:`~talvenor.process.simulate`.
    requirements : Requirements
        The bands.
    hardening : Hardening, optional
        The hardened case of ``result`` (from :func:`~talvenor.process.harden`),
        which the CHD, the hardness and the retained austenite are read from.

    Returns
    -------
    Verdicts
        One :class:`Verdict` per band given, in the order of the keys of
        :class:`Requirements`, and for ``no_carbides`` last.  With a
        ``grinding_stock_mm``, on the part as ground (:func:`finished_part`).

    Raises
    ------
    ValueError
        Where a band needs the hardened case and no ``hardening`` is given,
        or ``hardening`` is not of ``result``; or the grinding stock is as
        deep as the profile.

    Examples
    --------
    >>> from talvenor import process
    >>> stage = process.Stage(duration_h=4.0, temperature_c=930.0, carbon_potential_wt=0.8)
    >>> result = process.simulate([stage], core_carbon_wt=0.2)
    >>> drawing = process.Requirements(case_depth_min_mm=0.8, surface_carbon_max_wt=0.75)
    >>> for verdict in check(result, drawing):
    ...     print(verdict.name, round(verdict.value, 3), verdict.passed, round(verdict.margin, 3))
    Case depth at 0.35 wt% C 0.806 True 0.006
    Surface carbon 0.8 False -0.05
    """
    if not isinstance(requirements, Requirements):
        raise TypeError(f"requirements must be a Requirements, got {requirements!r}")
    _check_hardening(result, requirements, hardening)
    ground, ground_hardening = finished_part(result, hardening, requirements.grinding_stock_mm)
    verdicts = [_verdict(quantity.name(requirements), requirements.ends(quantity), quantity.unit,
                         quantity.read(ground, ground_hardening, requirements), f"{quantity.key}_{quantity.unit_key}")
                for quantity in requirements.given()]
    if requirements.no_carbides:
        verdicts.append(_verdict("No carbides", (None, requirements.carbide_tolerance_g_m2), _CARBIDE_UNIT,
                                 result.carbide_g_m2, "no_carbides"))
    return Verdicts(verdicts)


def finished_part(result: Result, hardening: Hardening | None,
                  grinding_stock_mm: float) -> tuple[Result, Hardening | None]:
    """``result`` and its ``hardening`` as the part is after grinding off
    ``grinding_stock_mm``: the profiles from that depth on, interpolated
    there, with the depths measured from the ground surface.  The rest of
    the records (the surface history, the carbide) is as treated.

    Raises
    ------
    ValueError
        Where the stock reaches the deepest point of the profile.
    """
    if grinding_stock_mm == 0.0:
        return result, hardening
    depth_mm = result.depth_mm
    if grinding_stock_mm >= depth_mm[-1]:
        raise ValueError(f"grinding_stock_mm {grinding_stock_mm!r} reaches the deepest point of the profile, "
                         f"{depth_mm[-1]:.4g} mm")
    kept = depth_mm > grinding_stock_mm
    ground_mm = np.concatenate(([0.0], depth_mm[kept] - grinding_stock_mm))

    def ground(values: NDArray[np.float64]) -> NDArray[np.float64]:
        return np.concatenate(([np.interp(grinding_stock_mm, depth_mm, values)], values[kept]))

    ground_result = dataclasses.replace(result, depth_mm=ground_mm, carbon_wt=ground(result.carbon_wt),
                                        nitrogen_wt=ground(result.nitrogen_wt))
    if hardening is None:
        return ground_result, None
    hardness_hv = ground(hardening.hardness_hv)
    distance_mm = hardening.jominy_distance_mm
    return ground_result, dataclasses.replace(
        hardening, depth_mm=ground_mm, ms_c=ground(hardening.ms_c), martensite=ground(hardening.martensite),
        retained_austenite=ground(hardening.retained_austenite), hardness_hv=hardness_hv,
        hardness_hrc=hv_to_hrc(hardness_hv), quenched_hardness_hv=ground(hardening.quenched_hardness_hv),
        jominy_distance_mm=None if distance_mm is None else ground(distance_mm))


def _check_hardening(result: Result, requirements: Requirements, hardening: Hardening | None) -> None:
    """Refuse a ``hardening`` that is missing where a band needs it, or is not of ``result``."""
    if hardening is None:
        if needs := needs_hardened_case(requirements):
            raise ValueError(f"{needs}, which a quench gives: pass hardening=result.harden(quench_c=...)")
    elif not isinstance(hardening, Hardening):
        raise TypeError(f"hardening must be a Hardening or None, got {hardening!r}")
    elif not np.array_equal(hardening.depth_mm, result.depth_mm):
        raise ValueError("hardening is not of this result: its depths differ")


def _verdict(name: str, band: tuple[float | None, float | None], unit: str, value: float, key: str) -> Verdict:
    low, high = band
    margin = math.nan if math.isnan(value) else min(
        m for m in (None if low is None else value - low, None if high is None else high - value) if m is not None)
    return Verdict(name, band, unit, value, margin >= 0.0, margin, key)
