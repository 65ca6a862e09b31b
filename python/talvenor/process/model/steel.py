"""Steels: the composition of a part, and the named case-hardening grades."""

from __future__ import annotations

import dataclasses
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, fields
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import _validate
from . import hardenability

__all__ = ["Steel", "steel_grades", "steel_of", "grade_ranges", "STEEL_CARBON_MAX_WT", "STEEL_CONTENTS"]

# The ASTM grain size numbers a steel may have.
_GRAIN_SIZES = (1.0, 12.0)

#: The most carbon (with nitrogen) that austenite dissolves, in wt%: 2.14, at
#: the eutectic temperature, 1148 °C, of the Fe-Fe3C diagram.  More makes cast
#: iron, not steel.
STEEL_CARBON_MAX_WT = 2.14

# Ranges in wt% of the cast analysis from EN 10084 / ISO 683-3 (the first
# four) and SAE J404 (the SAE grades); None stands for the lower end of a
# range given as a maximum.  Phosphorus and sulphur, which the models do not
# take, are left out.
_GRADE_RANGES: dict[str, dict[str, tuple[float | None, float]]] = {
    "16MnCr5": dict(carbon=(0.14, 0.19), silicon=(None, 0.40), manganese=(1.00, 1.30), chromium=(0.80, 1.10)),
    "20MnCr5": dict(carbon=(0.17, 0.22), silicon=(None, 0.40), manganese=(1.10, 1.40), chromium=(1.00, 1.30)),
    "20NiCrMo2-2": dict(carbon=(0.17, 0.23), silicon=(None, 0.40), manganese=(0.65, 0.95), chromium=(0.35, 0.70),
                        nickel=(0.40, 0.70), molybdenum=(0.15, 0.25)),
    "18CrNiMo7-6": dict(carbon=(0.15, 0.21), silicon=(None, 0.40), manganese=(0.50, 0.90), chromium=(1.50, 1.80),
                        nickel=(1.40, 1.70), molybdenum=(0.25, 0.35)),
    "SAE 8620": dict(carbon=(0.18, 0.23), silicon=(0.15, 0.35), manganese=(0.70, 0.90), chromium=(0.40, 0.60),
                     nickel=(0.40, 0.70), molybdenum=(0.15, 0.25)),
    "SAE 4320": dict(carbon=(0.17, 0.22), silicon=(0.15, 0.35), manganese=(0.45, 0.65), chromium=(0.40, 0.60),
                     nickel=(1.65, 2.00), molybdenum=(0.20, 0.30)),
    "SAE 9310": dict(carbon=(0.08, 0.13), silicon=(0.15, 0.35), manganese=(0.45, 0.65), chromium=(1.00, 1.40),
                     nickel=(3.00, 3.50), molybdenum=(0.08, 0.15)),
}
# The silicon taken where a grade gives only its maximum of 0.40 wt%: what
# such steels are usually made with, rather than the middle of 0 to 0.40.
_SILICON_UP_TO_040_WT = 0.25


def _key(name: str) -> str:
    return name.lower().replace(" ", "").replace("-", "")


# Lookup keys to grade names; the SAE prefix is optional.
_GRADE_KEYS = {key: name for name in _GRADE_RANGES
               for key in {_key(name), _key(name).removeprefix("sae")}}


@dataclass(frozen=True, kw_only=True)
class Steel:
    """The composition of a steel in wt%, the rest iron.

    Parameters
    ----------
    carbon_wt, nitrogen_wt : float
        Carbon and nitrogen: the core composition of a part made of it;
        together below 2.14 wt% (:data:`STEEL_CARBON_MAX_WT`), beyond which
        it is cast iron.
    silicon_wt, manganese_wt, chromium_wt, nickel_wt, molybdenum_wt : float
        The substitutional alloying elements, which set the martensite start
        and the retained austenite of :func:`harden`.
    name : str, optional
        The grade's name, such as ``"16MnCr5"``.
    alloy_factor : float
        The carbon content this steel reaches in equilibrium with an
        atmosphere, per unit of the atmosphere's carbon potential.  A carbon
        potential is defined on plain iron (by the foil or the dew point
        that the furnace controller reads); alloying elements shift the
        steel's carbon activity, so that a steel reaches ``alloy_factor``
        times the potential.  :func:`simulate` multiplies every carbon
        potential of a recipe by it; nitrogen potentials are not scaled.
        Obtain it as the measured carbon content of a thin foil of the steel
        carburized to equilibrium, divided by the potential, or take the
        number your furnace controller uses for the grade.  The default 1.0
        is plain iron.  It applies to gas potentials only.
    carbide_limit_factor : float
        What the carbon solubility of austenite (the Fe-C Acm line) is
        multiplied by for the carbon content at which carbide forms at the
        surface in a boost of low-pressure carburizing; default 1.0, the
        Fe-C line.  Chromium, which raises ``alloy_factor``, lowers this one
        (carbides form at less carbon); alloy carbides are not modelled, so
        give the factor your process data show.
    grain_size : float
        The ASTM grain size number, from 1 to 12, for the Jominy curve of
        Just's formula (:meth:`jominy_hrc`).  Case-hardening grades are made
        fine-grained, about 7-8; the default is 7, the grain size that
        ASTM A255 reads its ideal diameter at.
    measured_jominy : sequence of (float, float), optional
        The heat's Jominy curve as the mill certifies it: pairs of the
        distance from the quenched end in mm and the hardness in HRC, at
        least two, the distances rising and the hardness not.  It takes the
        place of Just's formula (see :meth:`jominy_hrc`).

    Examples
    --------
    >>> steel = Steel.grade("20mncr5")
    >>> steel.name, steel.carbon_wt, steel.manganese_wt, steel.chromium_wt
    ('20MnCr5', 0.195, 1.25, 1.15)
    >>> Steel(carbon_wt=0.2, name="plain 0.2 C").alloy_factor
    1.0
    """

    carbon_wt: float
    nitrogen_wt: float = 0.0
    silicon_wt: float = 0.0
    manganese_wt: float = 0.0
    chromium_wt: float = 0.0
    nickel_wt: float = 0.0
    molybdenum_wt: float = 0.0
    name: str | None = None
    alloy_factor: float = 1.0
    carbide_limit_factor: float = 1.0
    grain_size: float = 7.0
    measured_jominy: tuple[tuple[float, float], ...] | None = None

    def __post_init__(self) -> None:
        contents = [_validate.real(name, getattr(self, name), "not negative") for name in STEEL_CONTENTS]
        for name, value in zip(STEEL_CONTENTS, contents):
            object.__setattr__(self, name, value)
        for name in ("alloy_factor", "carbide_limit_factor"):
            object.__setattr__(self, name, _validate.real(name, getattr(self, name), "positive"))
        if self.name is not None and not isinstance(self.name, str):
            raise TypeError(f"name must be a str or None, got {self.name!r}")
        total = sum(contents)
        if total >= 100.0:
            raise ValueError(f"the contents must add up to less than 100 wt%, got {total!r}")
        interstitial = self.carbon_wt + self.nitrogen_wt
        if interstitial >= STEEL_CARBON_MAX_WT:
            named = "carbon_wt" if self.nitrogen_wt == 0.0 else "carbon_wt + nitrogen_wt"
            raise ValueError(f"{named} must be below {STEEL_CARBON_MAX_WT:g} wt%, the most that austenite dissolves "
                             f"(more is cast iron), got {interstitial!r}")
        low, high = _GRAIN_SIZES
        object.__setattr__(self, "grain_size", _validate.bounded(
            "grain_size", _validate.real("grain_size", self.grain_size), low=low, high=high, why="ASTM grain sizes"))
        if self.measured_jominy is not None:
            object.__setattr__(self, "measured_jominy", _jominy_curve(self.measured_jominy))

    def jominy_hrc(self, distance_mm: ArrayLike, *, carbon_wt: ArrayLike | None = None) -> NDArray[np.float64]:
        """The hardness in HRC at ``distance_mm`` from the quenched end of a
        Jominy bar of this steel (array in, array out).

        By Just's formula with :attr:`grain_size`
        (:func:`~talvenor.process.model.hardenability.just_hrc`), or, where
        the heat's :attr:`measured_jominy` is given, by that curve,
        interpolated linearly (and held at its ends beyond them).

        ``carbon_wt`` (an array that broadcasts with the distances) carries
        the curve to another carbon, as in a carburized case: Just's
        formula at that carbon; a measured curve shifted by the difference
        that Just's formula makes between that carbon and the core's (its
        carbon terms; the alloying terms cancel, so the heat keeps its own
        departure from the formula), and capped by the hardness of
        martensite of that carbon (ASTM A255), or by the measured value where
        the heat measures harder.  Warns where the core is
        outside the 0.2-0.6 wt% C of Just's fit.
        """
        distance = np.asarray(distance_mm, dtype=float)
        carbon = np.asarray(self.carbon_wt if carbon_wt is None else carbon_wt, dtype=float)
        formula = self._just(distance, carbon)
        if self.measured_jominy is None:
            return formula
        measured_mm, measured_hrc = np.array(self.measured_jominy).T
        shift = formula - self._just(distance, np.asarray(self.carbon_wt))
        measured = np.interp(distance, measured_mm, measured_hrc)
        cap = np.maximum(hardenability.martensite_hrc(carbon), measured)
        return np.asarray(np.minimum(measured + shift, cap), dtype=float)

    def _just(self, distance_mm: NDArray[np.float64], carbon_wt: NDArray[np.float64]) -> NDArray[np.float64]:
        return hardenability.just_hrc(distance_mm, carbon_wt=carbon_wt, silicon_wt=self.silicon_wt,
                                      manganese_wt=self.manganese_wt, chromium_wt=self.chromium_wt,
                                      nickel_wt=self.nickel_wt, molybdenum_wt=self.molybdenum_wt,
                                      grain_size=self.grain_size)

    @property
    def ideal_diameter_mm(self) -> float:
        """The ideal critical diameter DI in mm, by ASTM A255-10(2014)
        (:func:`~talvenor.process.model.hardenability.ideal_diameter_in`): an
        index of hardenability for grain size 7.  Warns where the composition
        is outside A255's calculation range."""
        di_in, outside = hardenability.ideal_diameter_in(
            dict(carbon=self.carbon_wt, silicon=self.silicon_wt, manganese=self.manganese_wt,
                 chromium=self.chromium_wt, nickel=self.nickel_wt, molybdenum=self.molybdenum_wt))
        if outside:
            warnings.warn(f"{', '.join(outside)} of the steel lie outside the range over which ASTM A255 "
                          "calculates the ideal diameter; it is extrapolated", stacklevel=2)
        return 25.4 * di_in

    @property
    def jominy_band(self) -> hardenability.Band | None:
        """The +H hardenability band of EN 10084 of the grade this steel is
        named as, where the library has it; else None."""
        grade = _grade_of(self.name)
        return None if grade is None else hardenability.H_BANDS.get(grade)

    @property
    def ranges(self) -> dict[str, tuple[float, float]] | None:
        """The ranges of the grade this steel is named as (see
        :func:`grade_ranges`), or None for a steel that is not named as one."""
        grade = _grade_of(self.name)
        return None if grade is None else grade_ranges(grade)

    @classmethod
    def grade(cls, name: str) -> Steel:
        """The grade ``name`` with the middle of its standard ranges.

        The ranges are those of EN 10084 / ISO 683-3 and SAE J404; where a
        grade gives only a maximum of 0.40 wt% silicon, 0.25 wt% is taken.
        The name is looked up ignoring case, spaces and hyphens, and the SAE
        prefix is optional: ``"sae 8620"``, ``"SAE8620"`` and ``"8620"`` are
        all ``"SAE 8620"``.  :func:`steel_grades` lists the grades.

        Raises
        ------
        ValueError
            For an unknown grade; the message lists the known ones.
        """
        grade = _known_grade(name)
        contents: dict[str, Any] = {f"{element}_wt": _SILICON_UP_TO_040_WT if low is None else
                                    round((low + high) / 2.0, 6)
                                    for element, (low, high) in _GRADE_RANGES[grade].items()}
        return cls(name=grade, **contents)


# The contents of a steel in wt%, the fields named so.
STEEL_CONTENTS = tuple(field.name for field in fields(Steel) if field.name.endswith("_wt"))


def _jominy_curve(points: object) -> tuple[tuple[float, float], ...]:
    """``points``, a measured Jominy curve, as (mm, HRC) pairs of floats."""
    if not isinstance(points, Sequence) or isinstance(points, str) or len(points) < 2:
        raise ValueError(f"measured_jominy must hold at least two (mm, HRC) points, got {points!r}")
    curve: list[tuple[float, float]] = []
    for number, point in enumerate(points):
        if not isinstance(point, Sequence) or isinstance(point, str) or len(point) != 2:
            raise ValueError(f"measured_jominy[{number}] must be a pair (mm, HRC), got {point!r}")
        distance = _validate.real(f"measured_jominy[{number}] distance", point[0], "positive")
        hrc = _validate.bounded(f"measured_jominy[{number}] hardness", _validate.real(
            f"measured_jominy[{number}] hardness", point[1], "positive"), high=70.0, unit="HRC")
        if curve and distance <= curve[-1][0]:
            raise ValueError(f"measured_jominy[{number}]: the distances must rise, got {distance!r} mm after "
                             f"{curve[-1][0]!r} mm")
        if curve and hrc > curve[-1][1]:
            raise ValueError(f"measured_jominy[{number}]: the hardness must not rise with distance, got {hrc!r} HRC "
                             f"after {curve[-1][1]!r} HRC")
        curve.append((distance, hrc))
    return tuple(curve)


def grade_ranges(name: str) -> dict[str, tuple[float, float]]:
    """The composition ranges of the grade ``name`` in wt%, by the keys of
    :class:`Steel`: ``{"carbon_wt": (0.17, 0.22), ...}``.

    The ranges are those of the cast analysis of EN 10084 (2008; the same in
    ISO 683-3) for 16MnCr5, 20MnCr5, 20NiCrMo2-2 and 18CrNiMo7-6, and of
    SAE J404 for SAE 8620, 4320 and 9310.  A content that the standard gives
    only as a maximum (the silicon of the EN grades, at most 0.40 wt%) ranges
    from 0.  The elements the grade does not name (nitrogen), and phosphorus
    and sulphur, which the models do not take, are not among them.  A part's
    own (product) analysis may stray beyond the cast ranges by the
    permissible deviations that the standards give, which are not included.
    The name is looked up as by :meth:`Steel.grade`.

    Raises
    ------
    ValueError
        For an unknown grade; the message lists the known ones.

    Examples
    --------
    >>> grade_ranges("20MnCr5")["manganese_wt"]
    (1.1, 1.4)
    """
    return {f"{element}_wt": (0.0 if low is None else low, high) for element, (low, high) in
            _GRADE_RANGES[_known_grade(name)].items()}


def _known_grade(name: object) -> str:
    """The grade that ``name`` names, looked up as by :meth:`Steel.grade`."""
    if not isinstance(name, str):
        raise TypeError(f"a steel grade must be named by a str, got {name!r}")
    grade = _grade_of(name)
    if grade is None:
        raise ValueError(f"unknown steel grade {name!r} (known: {', '.join(_GRADE_RANGES)})")
    return grade


def _grade_of(name: str | None) -> str | None:
    """The grade that ``name`` names, or None where it names none."""
    return None if name is None else _GRADE_KEYS.get(_key(name))


def steel_grades() -> tuple[str, ...]:
    """The names of the grades that :meth:`Steel.grade` knows."""
    return tuple(_GRADE_RANGES)


def steel_of(steel: Steel | str | None, core_carbon_wt: float | None, core_nitrogen_wt: float | None = None, *,
             caller: str) -> Steel:
    """The steel that ``caller`` treats: ``steel`` (a Steel, or the name of
    one of the grades of :meth:`Steel.grade`) with the core contents given
    in place of its own, as for a heat's analysis; or, without ``steel``, a
    plain steel of those contents (nitrogen 0.0 unless given).

    Raises
    ------
    TypeError
        Where neither a steel nor its carbon is given, or ``steel`` is
        neither a Steel nor a str.
    ValueError
        For an unknown grade, or a content out of range.
    """
    core: dict[str, Any] = {name: _validate.real(f"core_{name}", value, "not negative") for name, value in
                            (("carbon_wt", core_carbon_wt), ("nitrogen_wt", core_nitrogen_wt)) if value is not None}
    if isinstance(steel, str):
        steel = Steel.grade(steel)
    elif steel is None:
        if "carbon_wt" not in core:
            raise TypeError(f"{caller}() needs the steel: give steel or core_carbon_wt")
        return Steel(**core)
    elif not isinstance(steel, Steel):
        raise TypeError(f"steel must be a Steel or the name of a grade, got {steel!r}")
    return dataclasses.replace(steel, **core) if core else steel
