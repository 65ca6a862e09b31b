"""How the inputs of a recipe vary from one run to the next: what a
capability study (:func:`~talvenor.process.study`) draws them from.

A :class:`Variation` gives, for each input a furnace and a heat of steel
vary, how much it varies; 0, the default for all, leaves the input as the
recipe gives it.  It is the ``[variation]`` table of a recipe file.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any

from . import _validate
from .model.steel import STEEL_CONTENTS

__all__ = ["Variation", "DISTRIBUTIONS", "DEVIATIONS", "STAGE_INPUTS", "STEEL_CONTENTS"]

#: The distributions an input may be drawn from.
DISTRIBUTIONS = ("normal", "uniform")
#: The deviations of :class:`Variation`, by their keys, and what each is in.
DEVIATIONS = {"temperature_c": "°C", "carbon_potential_wt": "wt%", "nitrogen_potential_wt": "wt%",
              "quench_c": "°C", "duration_pct": "%", "transfer_pct": "%", "flux_pct": "%"}
#: The deviations that belong to the stages, which ``per_stage`` may name.
STAGE_INPUTS = ("temperature_c", "carbon_potential_wt", "nitrogen_potential_wt", "duration_pct", "transfer_pct",
                "flux_pct")
# The names that ``distribution`` may give a distribution for.
_DISTRIBUTED = (*DEVIATIONS, "steel_wt")


@dataclass(frozen=True, kw_only=True)
class Variation:
    """How each input of a recipe varies from run to run.

    Every deviation is a standard deviation, not negative; 0 (the default)
    leaves the input as the recipe gives it.  The furnace's inputs are
    furnace-wide: one draw per run moves that input of every stage alike (a
    furnace that runs hot runs hot all cycle), unless ``per_stage`` names
    it.  A recipe that follows a furnace log is varied as a whole: one draw
    per run shifts all its temperatures, one each of its potentials (as
    the log recorded them: they do not follow the temperature), and one
    scales its times and each transfer coefficient.

    Parameters
    ----------
    temperature_c : float
        Of the temperature of every stage (its start and its end alike), in °C.
    carbon_potential_wt, nitrogen_potential_wt : float
        Of every carbon (nitrogen) potential, in wt%, added to the stage's
        (a potential given as an instrument's reading is varied as the
        potential it reads).
    quench_c : float
        Of the quench temperature, in °C.
    duration_pct : float
        Of the durations, relative, in percent of each.
    transfer_pct : float
        Of the mass-transfer coefficients, relative, in percent; carbon's and
        nitrogen's are drawn apart (they depend on different gases).
    flux_pct : float
        Of the carbon fluxes of low-pressure boosts, relative, in percent.
    steel_ranges : bool
        Draw the steel's composition within the ranges of its grade (see
        :func:`~talvenor.process.model.steel.grade_ranges`), each element
        uniformly and apart from the others: a heat of the grade.
    steel_wt : mapping of str to float
        Or a deviation, in wt%, of each content named by its key of
        :class:`Steel` (``{"carbon_wt": 0.01}``), around the recipe's steel:
        a known heat, analysed with that uncertainty.
    distribution : {"normal", "uniform"} or mapping
        What the deviations are drawn from: one for all, or a mapping from
        the names above (``"steel_wt"`` for all its contents) to one, the
        rest normal.  A uniform input of standard deviation σ spans
        ±√3 σ around the recipe's value.
    per_stage : sequence of str
        The stage inputs (``temperature_c``, ``carbon_potential_wt``,
        ``nitrogen_potential_wt``, ``duration_pct``, ``transfer_pct``,
        ``flux_pct``) drawn for each stage apart, for a process whose stages
        vary independently.

    Raises
    ------
    ValueError, TypeError
        For a deviation that is negative or not finite, an unknown key or
        distribution, or both ``steel_ranges`` and ``steel_wt``; the message
        names the key and the value.

    Examples
    --------
    >>> furnace = Variation(temperature_c=5.0, carbon_potential_wt=0.03, duration_pct=2.0)
    >>> furnace.given
    ('temperature_c', 'carbon_potential_wt', 'duration_pct')
    >>> Variation(transfer_pct=-10.0)
    Traceback (most recent call last):
      ...
    ValueError: transfer_pct must be finite and not negative, got -10.0
    """

    temperature_c: float = 0.0
    carbon_potential_wt: float = 0.0
    nitrogen_potential_wt: float = 0.0
    quench_c: float = 0.0
    duration_pct: float = 0.0
    transfer_pct: float = 0.0
    flux_pct: float = 0.0
    steel_ranges: bool = False
    steel_wt: Mapping[str, float] = field(default_factory=dict)
    distribution: str | Mapping[str, str] = "normal"
    per_stage: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        for name in DEVIATIONS:
            object.__setattr__(self, name, _validate.real(name, getattr(self, name), "not negative"))
        if not isinstance(self.steel_ranges, bool):
            raise TypeError(f"steel_ranges must be true or false, got {self.steel_ranges!r}")
        object.__setattr__(self, "steel_wt", _frozen(_steel_deviations(self.steel_wt)))
        if self.steel_ranges and self.steel_wt:
            raise ValueError("give steel_ranges or steel_wt, not both: the grade's ranges, or the deviations of "
                             "a known heat")
        object.__setattr__(self, "distribution", _distribution(self.distribution))
        object.__setattr__(self, "per_stage", _per_stage(self.per_stage))

    @property
    def given(self) -> tuple[str, ...]:
        """The keys of the deviations that are not 0 (and ``steel_ranges``
        or ``steel_wt`` where given), in the order of the fields."""
        return (*(name for name in DEVIATIONS if getattr(self, name) != 0.0),
                *(("steel_ranges",) if self.steel_ranges else ()), *(("steel_wt",) if self.steel_wt else ()))

    def distribution_of(self, name: str) -> str:
        """The distribution the deviation ``name`` is drawn from (``"steel_wt"`` for the contents)."""
        if isinstance(self.distribution, str):
            return self.distribution
        return self.distribution.get(name, DISTRIBUTIONS[0])

    def drawn_per_stage(self, name: str) -> bool:
        """Whether the stage input ``name`` is drawn for each stage apart."""
        return name in self.per_stage


class _Frozen(Mapping[str, Any]):
    """A mapping that cannot change, hashes, and pickles (to reach the workers)."""

    __slots__ = ("_items",)

    def __init__(self, items: Mapping[str, Any]) -> None:
        self._items = dict(items)

    def __getitem__(self, key: str) -> Any:
        return self._items[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __hash__(self) -> int:
        return hash(tuple(self._items.items()))

    def __repr__(self) -> str:
        return repr(self._items)


def _frozen(mapping: Mapping[str, Any]) -> Mapping[str, Any]:
    return _Frozen(mapping)


def _steel_deviations(deviations: object) -> dict[str, float]:
    if not isinstance(deviations, Mapping):
        raise TypeError(f"steel_wt must map contents of the steel to their deviations, got {deviations!r}")
    checked = {}
    for key, value in deviations.items():
        if key not in STEEL_CONTENTS:
            raise ValueError(f"steel_wt: unknown content {key!r} (known: {', '.join(STEEL_CONTENTS)})")
        deviation = _validate.real(f"steel_wt: {key}", value, "not negative")
        if deviation:
            checked[key] = deviation
    return checked


def _distribution(distribution: object) -> str | Mapping[str, str]:
    if isinstance(distribution, str):
        return _validate.one_of("distribution", distribution, DISTRIBUTIONS)
    if not isinstance(distribution, Mapping):
        raise ValueError(f"distribution must be one of {', '.join(map(repr, DISTRIBUTIONS))}, or map inputs to "
                         f"one, got {distribution!r}")
    for key, value in distribution.items():
        if key not in _DISTRIBUTED:
            raise ValueError(f"distribution: unknown input {key!r} (known: {', '.join(_DISTRIBUTED)})")
        _validate.one_of(f"distribution: {key}", value, DISTRIBUTIONS)
    return _frozen(distribution)


def _per_stage(names: object) -> tuple[str, ...]:
    if isinstance(names, str) or not isinstance(names, tuple | list):
        raise TypeError(f"per_stage must be a list of the stage inputs to draw for each stage, got {names!r}")
    for name in names:
        if name not in STAGE_INPUTS:
            raise ValueError(f"per_stage: {name!r} is no stage input (they are: {', '.join(STAGE_INPUTS)})")
    return tuple(names)
