"""Steels: the composition of a part, and the named case-hardening grades."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, fields
from typing import Any

from .. import _validate

__all__ = ["Steel", "steel_grades", "steel_of", "STEEL_CARBON_MAX_WT"]

#: The most carbon (with nitrogen) that austenite dissolves, in wt%: 2.14, at
#: the eutectic temperature, 1148 °C, of the Fe-Fe3C diagram.  More makes cast
#: iron, not steel.
STEEL_CARBON_MAX_WT = 2.14

# Ranges in wt% from EN 10084 / ISO 683-3 (the first four) and SAE J404 (the
# SAE grades); None stands for the lower end of a range given as a maximum.
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
        is plain iron.

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

    def __post_init__(self) -> None:
        for field in fields(self):
            if field.name.endswith("_wt"):
                value = _validate.real(field.name, getattr(self, field.name), "not negative")
                object.__setattr__(self, field.name, value)
        object.__setattr__(self, "alloy_factor", _validate.real("alloy_factor", self.alloy_factor, "positive"))
        if self.name is not None and not isinstance(self.name, str):
            raise TypeError(f"name must be a str or None, got {self.name!r}")
        total = sum(getattr(self, field.name) for field in fields(self) if field.name.endswith("_wt"))
        if total >= 100.0:
            raise ValueError(f"the contents must add up to less than 100 wt%, got {total!r}")
        interstitial = self.carbon_wt + self.nitrogen_wt
        if interstitial >= STEEL_CARBON_MAX_WT:
            named = "carbon_wt" if self.nitrogen_wt == 0.0 else "carbon_wt + nitrogen_wt"
            raise ValueError(f"{named} must be below {STEEL_CARBON_MAX_WT:g} wt%, the most that austenite dissolves "
                             f"(more is cast iron), got {interstitial!r}")

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
        if not isinstance(name, str):
            raise TypeError(f"a steel grade must be named by a str, got {name!r}")
        grade = _GRADE_KEYS.get(_key(name))
        if grade is None:
            raise ValueError(f"unknown steel grade {name!r} (known: {', '.join(_GRADE_RANGES)})")
        contents = {f"{element}_wt": _SILICON_UP_TO_040_WT if low is None else round((low + high) / 2.0, 6)
                    for element, (low, high) in _GRADE_RANGES[grade].items()}
        return cls(name=grade, **contents)


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
