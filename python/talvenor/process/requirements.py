"""What a drawing asks of a treated part: bands of the quantities it names.

A :class:`Requirements` holds bands, each given by its two ends as separate
keys ``<quantity>_min_<unit>`` and ``<quantity>_max_<unit>``, either of which
may be left out for a band open on that side.  :data:`QUANTITIES` says, for
each, its keys, its unit, its decimals, whether it is read from the
hardened case, and how it is read; :func:`~talvenor.process.check` gives a
verdict on each band given.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, fields

import numpy as np

from . import _validate
from .metallurgy.conversions import HV_RANGE, hv_to_hrc
from .metallurgy.hardening import Hardening
from .model.steel import STEEL_CARBON_MAX_WT
from .results import Result
from .standards import CARBIDE_TOLERANCE_G_M2, CASE_DEPTH_THRESHOLD_WT, CHD_LIMIT_HV

__all__ = ["Requirements", "Quantity", "QUANTITIES", "needs_hardened_case"]


@dataclass(frozen=True)
class Quantity:
    """A quantity of a treated part that a drawing may ask for a band of.

    Attributes
    ----------
    key, unit_key : str
        The parts of its keys: ``<key>_min_<unit_key>`` and ``<key>_max_<unit_key>``.
    unit : str
        Its unit as shown.
    decimals : int
        The decimals it is shown with.
    hardened : bool
        Whether it is read from the hardened case.
    name : callable
        ``name(requirements)``: what is required, such as ``"CHD at 550 HV"``.
    read : callable
        ``read(result, hardening, requirements)``: what the part has (inf for
        a depth deeper than the part as computed); ``hardening`` is None for
        a quantity that is not ``hardened``.
    """

    key: str
    unit_key: str
    unit: str
    decimals: int
    hardened: bool
    name: Callable[[Requirements], str]
    read: Callable[[Result, Hardening | None, Requirements], float]

    @property
    def keys(self) -> tuple[str, str]:
        """The keys of the lower and the upper end of its band."""
        return f"{self.key}_min_{self.unit_key}", f"{self.key}_max_{self.unit_key}"


def _hrc(hv: float, hrc: float) -> float:
    """``hrc``, or inf for a hardness ``hv`` above the Rockwell C scale (NaN is below it)."""
    return math.inf if hv > HV_RANGE[1] else hrc


def _hardness_at(hardening: Hardening, requirements: Requirements) -> tuple[float, float]:
    """The hardness in HV and HRC at the requirements' ``hardness_depth_mm``."""
    depth_mm = requirements.hardness_depth_mm
    assert depth_mm is not None
    if depth_mm > hardening.depth_mm[-1]:
        raise ValueError(f"hardness_depth_mm {depth_mm!r} lies deeper than the profile, which ends at "
                         f"{hardening.depth_mm[-1]:.4g} mm")
    hv = float(np.interp(depth_mm, hardening.depth_mm, hardening.hardness_hv))
    return hv, float(hv_to_hrc(hv))


def _hardened(read: Callable[[Hardening, Requirements], float]) -> Callable[[Result, Hardening | None, Requirements],
                                                                             float]:
    """``read`` of the hardened case, which must be given."""
    def reader(result: Result, hardening: Hardening | None, requirements: Requirements) -> float:
        assert hardening is not None
        return read(hardening, requirements)
    return reader


# The largest value a band may give in a unit, whether it must lie below it,
# and why: what the scale or the steel allows.
_MOST = {"HRC": (70.0, False, "the top of the Rockwell C scale"), "%": (100.0, False, ""),
         "wt%": (STEEL_CARBON_MAX_WT, True, "the most carbon and nitrogen that austenite dissolves")}

#: The quantities of :class:`Requirements`, in the order of its keys.
QUANTITIES = (
    Quantity("chd", "mm", "mm", 2, True, lambda r: f"CHD at {r.chd_limit_hv:g} HV",
             _hardened(lambda h, r: h.case_hardening_depth_mm(r.chd_limit_hv, beyond_part="inf"))),
    Quantity("case_depth", "mm", "mm", 2, False, lambda r: f"Case depth at {r.case_depth_threshold_wt:g} wt% C",
             lambda result, h, r: result.case_depth_mm(r.case_depth_threshold_wt, beyond_part="inf")),
    Quantity("surface_hardness", "hrc", "HRC", 1, True, lambda r: "Surface hardness",
             _hardened(lambda h, r: _hrc(h.surface_hardness_hv, h.surface_hardness_hrc))),
    Quantity("surface_hardness", "hv", "HV", 0, True, lambda r: "Surface hardness",
             _hardened(lambda h, r: h.surface_hardness_hv)),
    Quantity("surface_carbon", "wt", "wt%", 3, False, lambda r: "Surface carbon",
             lambda result, h, r: result.surface_carbon_wt),
    Quantity("surface_nitrogen", "wt", "wt%", 3, False, lambda r: "Surface nitrogen",
             lambda result, h, r: result.surface_nitrogen_wt),
    Quantity("retained_austenite", "pct", "%", 1, True, lambda r: "Retained austenite",
             _hardened(lambda h, r: 100.0 * float(h.retained_austenite[0]))),
    Quantity("core_hardness", "hv", "HV", 0, True, lambda r: "Core hardness",
             _hardened(lambda h, r: h.core_hardness_hv)),
    Quantity("core_hardness", "hrc", "HRC", 1, True, lambda r: "Core hardness",
             _hardened(lambda h, r: _hrc(h.core_hardness_hv, float(hv_to_hrc(h.core_hardness_hv))))),
    Quantity("hardness_at_depth", "hrc", "HRC", 1, True, lambda r: f"Hardness at {r.hardness_depth_mm:g} mm",
             _hardened(lambda h, r: _hrc(*_hardness_at(h, r)))),
    Quantity("hardness_at_depth", "hv", "HV", 0, True, lambda r: f"Hardness at {r.hardness_depth_mm:g} mm",
             _hardened(lambda h, r: _hardness_at(h, r)[0])),
)


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
    core_hardness_min_hrc, core_hardness_max_hrc : float, optional
        The same in HRC (a core below 20 HRC fails these: give its band in HV).
    hardness_depth_mm : float, optional
        A depth at which the drawing asks for a hardness, in mm below the
        finished surface (the treated one, less ``grinding_stock_mm``);
        needed by the next keys.
    hardness_at_depth_min_hrc, hardness_at_depth_max_hrc : float, optional
        The hardness at ``hardness_depth_mm`` in HRC.
    hardness_at_depth_min_hv, hardness_at_depth_max_hv : float, optional
        The hardness at ``hardness_depth_mm`` in HV.
    grinding_stock_mm : float
        The material ground off after hardening, in mm (default 0): every
        band is read on the finished part, so that the depths (the CHD, the
        case depth and ``hardness_depth_mm``) are measured from the ground
        surface and the surface bands are read there; the core and the
        carbide are as treated.
    no_carbides : bool
        Whether the surface must end without carbide (see
        :attr:`Result.carbide_g_m2`): with at most ``carbide_tolerance_g_m2``.
    carbide_tolerance_g_m2 : float
        The carbide, in g of carbon per m², at and below which the surface
        counts as free of it (default 0.05 g/m², a film of cementite 0.1 µm
        thick: see :mod:`talvenor.process.standards`); the same tolerance
        marks the stages and the times with carbide in the summary and the
        plot.

    Raises
    ------
    TypeError
        For an end, limit or threshold that is not a number, or a
        ``no_carbides`` that is not a bool; the message names the key.
    ValueError
        For an end that is not finite or below 0, a lower end above the
        upper one, an end beyond what its unit can be (70 HRC, 100 %, or
        2.14 wt%, the most carbon austenite dissolves), or a limit or
        threshold that is not positive; the message names the key.

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
    chd_limit_hv: float = CHD_LIMIT_HV
    case_depth_min_mm: float | None = None
    case_depth_max_mm: float | None = None
    case_depth_threshold_wt: float = CASE_DEPTH_THRESHOLD_WT
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
    core_hardness_min_hrc: float | None = None
    core_hardness_max_hrc: float | None = None
    hardness_depth_mm: float | None = None
    hardness_at_depth_min_hrc: float | None = None
    hardness_at_depth_max_hrc: float | None = None
    hardness_at_depth_min_hv: float | None = None
    hardness_at_depth_max_hv: float | None = None
    no_carbides: bool = False
    carbide_tolerance_g_m2: float = CARBIDE_TOLERANCE_G_M2
    grinding_stock_mm: float = 0.0

    def __post_init__(self) -> None:
        for field in fields(self):
            value = getattr(self, field.name)
            if field.name == "no_carbides":
                if not isinstance(value, bool):
                    raise TypeError(f"no_carbides must be true or false, got {value!r}")
            elif value is not None or field.default is not None:
                object.__setattr__(self, field.name, _validate.real(
                    field.name, value, "not negative" if field.default in (None, 0.0) else "positive"))
        for quantity in QUANTITIES:
            self._check_band(quantity)
        most, _, why = _MOST["wt%"]
        _validate.bounded("case_depth_threshold_wt", self.case_depth_threshold_wt, high=most, below=True,
                          unit="wt%", why=why)
        at_depth = [key for quantity in QUANTITIES if quantity.key == "hardness_at_depth"
                    for key, end in zip(quantity.keys, self.ends(quantity)) if end is not None]
        if at_depth and self.hardness_depth_mm is None:
            raise ValueError(f"{at_depth[0]} needs hardness_depth_mm, the depth of that hardness")

    def _check_band(self, quantity: Quantity) -> None:
        """Refuse a band whose ends are in the wrong order or beyond what
        its unit can be."""
        (low, high), (low_key, high_key) = self.ends(quantity), quantity.keys
        if low is not None and high is not None and low > high:
            raise ValueError(f"{low_key} {low!r} is above {high_key} {high!r}")
        if quantity.unit in _MOST:
            most, below, why = _MOST[quantity.unit]
            for key, end in zip(quantity.keys, (low, high)):
                if end is not None:
                    _validate.bounded(key, end, high=most, below=below, unit=quantity.unit, why=why)

    def ends(self, quantity: Quantity) -> tuple[float | None, float | None]:
        """The lower and the upper end of the band of ``quantity``."""
        low_key, high_key = quantity.keys
        return getattr(self, low_key), getattr(self, high_key)

    def band(self, quantity: str, unit: str) -> tuple[float | None, float | None]:
        """The ends of the band of ``quantity`` in ``unit``, as the keys
        name them: ``band("chd", "mm")`` is ``(chd_min_mm, chd_max_mm)``."""
        return getattr(self, f"{quantity}_min_{unit}"), getattr(self, f"{quantity}_max_{unit}")

    def given(self) -> tuple[Quantity, ...]:
        """The quantities that have a band, in the order of :data:`QUANTITIES`."""
        return tuple(quantity for quantity in QUANTITIES if self.ends(quantity) != (None, None))

    @property
    def needs_hardening(self) -> tuple[str, ...]:
        """The keys given that are read from the hardened case (empty when
        none is): those of the CHD, the hardness and the retained austenite."""
        return tuple(key for quantity in QUANTITIES if quantity.hardened
                     for key, end in zip(quantity.keys, self.ends(quantity)) if end is not None)


def needs_hardened_case(requirements: Requirements | None) -> str:
    """What of ``requirements`` needs the hardened case, as a clause
    ("chd_min_mm, surface_hardness_min_hrc need the hardened case"); "" where
    nothing does."""
    hardened = () if requirements is None else requirements.needs_hardening
    if not hardened:
        return ""
    return f"{', '.join(hardened)} {'needs' if len(hardened) == 1 else 'need'} the hardened case"
