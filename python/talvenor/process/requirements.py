"""What a drawing asks of a treated part, and the check of a result against it.

A :class:`Requirements` holds bands, each given by its two ends as separate
keys ``<quantity>_min_<unit>`` and ``<quantity>_max_<unit>``, either of which
may be left out for a band open on that side; :func:`check` (or
:meth:`Result.check`) returns a :class:`Verdict` per band given.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, fields
from collections.abc import Callable
from typing import TYPE_CHECKING, ClassVar

import numpy as np

from . import checks
from .hardening import Hardening

if TYPE_CHECKING:
    from .result import Result

__all__ = ["Requirements", "Verdict", "check"]

# The bands: the keys' quantity and unit, the unit shown, and the decimals shown.
_BANDS = (("chd", "mm", "mm", 2), ("case_depth", "mm", "mm", 2), ("surface_hardness", "hrc", "HRC", 1),
          ("surface_hardness", "hv", "HV", 0), ("surface_carbon", "wt", "wt%", 3),
          ("surface_nitrogen", "wt", "wt%", 3), ("retained_austenite", "pct", "%", 1),
          ("core_hardness", "hv", "HV", 0))
# The quantities read from the hardened case.
_HARDENED = ("chd", "surface_hardness", "retained_austenite", "core_hardness")
_DECIMALS = {unit: decimals for *_, unit, decimals in _BANDS} | {"g/m²": 2}


@dataclass(frozen=True, kw_only=True)
class Requirements:
    """The bands a treated part must lie in, as a drawing states them.

    Every band is given by its two ends as separate keys, the lower one
    ``<quantity>_min_<unit>`` and the upper one ``<quantity>_max_<unit>``;
    either may be left out (None) for a band open on that side, and a
    quantity with neither is not checked.  The ends are included in the band.
    The same keys make the ``[requirements]`` table of a recipe file.

    Parameters
    ----------
    chd_min_mm, chd_max_mm : float, optional
        The case-hardening depth in mm, at ``chd_limit_hv``.
    chd_limit_hv : float
        The hardness that bounds the hardened case, in HV (default 550, that
        of ISO 18203).
    case_depth_min_mm, case_depth_max_mm : float, optional
        The carbon case depth in mm, where the carbon falls to
        ``case_depth_threshold_wt``.
    case_depth_threshold_wt : float
        The carbon content that bounds the case, in wt% (default 0.35).
    surface_hardness_min_hrc, surface_hardness_max_hrc : float, optional
        The hardness at the surface in HRC.  A surface below 20 HRC, where
        the Rockwell C scale does not apply, fails these; give the band in
        HV for such parts.
    surface_hardness_min_hv, surface_hardness_max_hv : float, optional
        The hardness at the surface in HV.
    surface_carbon_min_wt, surface_carbon_max_wt : float, optional
        The carbon content at the surface in wt%.
    surface_nitrogen_min_wt, surface_nitrogen_max_wt : float, optional
        The nitrogen content at the surface in wt%.
    retained_austenite_min_pct, retained_austenite_max_pct : float, optional
        The retained austenite at the surface in percent (25.0 for 25 %),
        here as in recipe files; :class:`Hardening` holds it as a fraction.
    core_hardness_min_hv, core_hardness_max_hv : float, optional
        The hardness at the deepest point of the profile in HV.
    no_carbides : bool
        Whether the surface must end without carbide (see
        :attr:`Result.carbide_g_m2`).

    Raises
    ------
    TypeError
        For an end, limit or threshold that is not a number, or a
        ``no_carbides`` that is not a bool; the message names the key.
    ValueError
        For an end that is not finite or below 0, a lower end above the
        upper one, or a limit or threshold that is not positive; the message
        names the key.

    Examples
    --------
    >>> drawing = Requirements(chd_min_mm=0.8, chd_max_mm=1.1, retained_austenite_max_pct=25.0)
    >>> drawing.needs_hardening
    ('chd_min_mm', 'chd_max_mm', 'retained_austenite_max_pct')
    >>> Requirements(chd_min_mm=1.1, chd_max_mm=0.8)
    Traceback (most recent call last):
      ...
    ValueError: chd_min_mm 1.1 is above chd_max_mm 0.8
    """

    chd_min_mm: float | None = None
    chd_max_mm: float | None = None
    chd_limit_hv: float = 550.0
    case_depth_min_mm: float | None = None
    case_depth_max_mm: float | None = None
    case_depth_threshold_wt: float = 0.35
    surface_hardness_min_hrc: float | None = None
    surface_hardness_max_hrc: float | None = None
    surface_hardness_min_hv: float | None = None
    surface_hardness_max_hv: float | None = None
    surface_carbon_min_wt: float | None = None
    surface_carbon_max_wt: float | None = None
    surface_nitrogen_min_wt: float | None = None
    surface_nitrogen_max_wt: float | None = None
    retained_austenite_min_pct: float | None = None
    retained_austenite_max_pct: float | None = None
    core_hardness_min_hv: float | None = None
    core_hardness_max_hv: float | None = None
    no_carbides: bool = False

    def __post_init__(self) -> None:
        for field in fields(self):
            value = getattr(self, field.name)
            if field.name == "no_carbides":
                if not isinstance(value, bool):
                    raise TypeError(f"no_carbides must be true or false, got {value!r}")
            elif value is not None or field.default is not None:
                object.__setattr__(self, field.name, checks.real(
                    field.name, value, "not negative" if field.default is None else "positive"))
        for quantity, unit, *_ in _BANDS:
            low, high = self.band(quantity, unit)
            if low is not None and high is not None and low > high:
                raise ValueError(f"{quantity}_min_{unit} {low!r} is above {quantity}_max_{unit} {high!r}")

    def band(self, quantity: str, unit: str) -> tuple[float | None, float | None]:
        """The ends of the band of ``quantity`` in ``unit``, as the keys
        name them: ``band("chd", "mm")`` is ``(chd_min_mm, chd_max_mm)``."""
        return getattr(self, f"{quantity}_min_{unit}"), getattr(self, f"{quantity}_max_{unit}")

    @property
    def needs_hardening(self) -> tuple[str, ...]:
        """The keys given that are read from the hardened case (empty when
        none is): those of the CHD, the hardness and the retained austenite."""
        return tuple(field.name for field in fields(self) if field.default is None
                     and field.name.startswith(_HARDENED) and getattr(self, field.name) is not None)


@dataclass(frozen=True)
class Verdict:
    """One requirement of a :class:`Requirements`, checked: what
    :meth:`Result.check` returns a tuple of.

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
        computed, NaN for a hardness below 20 HRC asked for in HRC.
    passed : bool
        Whether the value lies in the band, its ends included.
    margin : float
        The distance from the value to the nearer end of the band, positive
        inside, negative outside (NaN with the value).
    """

    name: str
    band: tuple[float | None, float | None]
    unit: str
    value: float
    passed: bool
    margin: float

    #: The heading of a table of verdicts, aligned with their lines.
    HEADING: ClassVar[str] = f"{'requirement':<28}{'found':>12}  {'band':<12}  verdict  margin"

    def __str__(self) -> str:
        decimals = _DECIMALS[self.unit]
        low, high = (None if end is None else f"{end:.{decimals}f}" for end in self.band)
        band = f"≥ {low}" if high is None else f"≤ {high}" if low is None else f"{low}–{high}"
        if math.isnan(self.value):
            found = f"< 20 {self.unit}"
        elif math.isinf(self.value):
            found = "> part"
        else:
            found = f"{self.value:.{decimals}f} {self.unit}"
        return (f"{self.name:<28}{found:>12}  {band:<12}  {'pass' if self.passed else 'fail':<7}  "
                f"{self.margin:+.{decimals}f}")


def check(result: Result, requirements: Requirements, hardening: Hardening | None = None) -> tuple[Verdict, ...]:
    """Check ``result`` against every band of ``requirements``.

    Parameters
    ----------
    result : Result
        A result of :func:`simulate`.
    requirements : Requirements
        The bands.
    hardening : Hardening, optional
        The hardened case of ``result`` (from :meth:`Result.harden`), which
        the CHD, the hardness and the retained austenite are read from.

    Returns
    -------
    tuple of Verdict
        One per band given, in the order of the keys of
        :class:`Requirements`, and for ``no_carbides`` last.

    Raises
    ------
    ValueError
        Where a band needs the hardened case and no ``hardening`` is given,
        or ``hardening`` is not of ``result``.

    Examples
    --------
    >>> from talvenor import process
    >>> stage = process.Stage(duration_h=4.0, temperature_c=930.0, carbon_potential_wt=0.8)
    >>> result = process.simulate([stage], core_carbon_wt=0.2)
    >>> drawing = process.Requirements(case_depth_min_mm=0.8, surface_carbon_max_wt=0.75)
    >>> for verdict in result.check(drawing):
    ...     print(verdict.name, round(verdict.value, 3), verdict.passed, round(verdict.margin, 3))
    Case depth at 0.35 wt% C 0.812 True 0.012
    Surface carbon 0.8 False -0.05
    """
    if not isinstance(requirements, Requirements):
        raise TypeError(f"requirements must be a Requirements, got {requirements!r}")
    hardened = requirements.needs_hardening
    if hardening is None:
        if hardened:
            raise ValueError(f"{', '.join(hardened)} {'needs' if len(hardened) == 1 else 'need'} the hardened case, "
                             "which a quench gives: pass hardening=result.harden(quench_c=...)")
    elif not isinstance(hardening, Hardening):
        raise TypeError(f"hardening must be a Hardening or None, got {hardening!r}")
    elif not np.array_equal(hardening.depth_mm, result.depth_mm):
        raise ValueError("hardening is not of this result: its depths differ")
    verdicts = []
    for quantity, unit, shown, _ in _BANDS:
        band = requirements.band(quantity, unit)
        if band != (None, None):
            name, value = _found(quantity, unit, result, hardening, requirements)
            verdicts.append(_verdict(name, band, shown, value))
    if requirements.no_carbides:
        verdicts.append(_verdict("No carbides", (None, 0.0), "g/m²", result.carbide_g_m2))
    return tuple(verdicts)


def _verdict(name: str, band: tuple[float | None, float | None], unit: str, value: float) -> Verdict:
    low, high = band
    margin = math.nan if math.isnan(value) else min(
        m for m in (None if low is None else value - low, None if high is None else high - value) if m is not None)
    return Verdict(name, band, unit, value, margin >= 0.0, margin)


def _found(quantity: str, unit: str, result: Result, hardening: Hardening | None,
           requirements: Requirements) -> tuple[str, float]:
    """The name of the requirement on ``quantity`` in ``unit`` and what ``result`` has."""
    if quantity == "case_depth":
        threshold = requirements.case_depth_threshold_wt
        return f"Case depth at {threshold:g} wt% C", _depth(lambda: result.case_depth_mm(threshold))
    if quantity == "surface_carbon":
        return "Surface carbon", result.surface_carbon_wt
    if quantity == "surface_nitrogen":
        return "Surface nitrogen", result.surface_nitrogen_wt
    assert hardening is not None
    if quantity == "chd":
        limit = requirements.chd_limit_hv
        return f"CHD at {limit:g} HV", _depth(lambda: hardening.case_hardening_depth_mm(limit))
    if quantity == "surface_hardness":
        return "Surface hardness", hardening.surface_hardness_hrc if unit == "hrc" else hardening.surface_hardness_hv
    if quantity == "retained_austenite":
        return "Retained austenite", 100.0 * float(hardening.retained_austenite[0])
    return "Core hardness", hardening.core_hardness_hv


def _depth(read: Callable[[], float]) -> float:
    """A depth, inf where it lies deeper than the part as computed."""
    try:
        return read()
    except ValueError:
        return math.inf
