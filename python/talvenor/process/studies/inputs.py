"""The inputs a study draws: which inputs of a recipe its variation moves,
how each is drawn, and the recipe of one run.

Each :class:`Input` is a column of draws.  The furnace's inputs are drawn as
departures from the recipe (an offset in °C or wt%, a change in percent),
the steel's contents as the contents themselves.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeVar

import numpy as np
from numpy.typing import NDArray

from ..metallurgy.hardening import quench_temperature_c
from ..model import atmosphere
from ..recipe import Recipe
from ..schedule.furnace_log import FurnaceLog
from ..schedule.stage import Stage
from ..variation import Variation

__all__ = ["Input", "inputs_of", "draw", "varied"]

# What each deviation of a Variation moves: the target, the column's name
# and its label (with ``{}`` for the element of the transfer coefficients).
_OFFSETS = {"temperature_c": ("temperature", "temperature_offset_c", "temperature offset [°C]"),
            "carbon_potential_wt": ("carbon_potential", "carbon_potential_offset_wt", "carbon potential offset [wt%]"),
            "nitrogen_potential_wt": ("nitrogen_potential", "nitrogen_potential_offset_wt",
                                      "nitrogen potential offset [wt%]"),
            "quench_c": ("quench", "quench_offset_c", "quench temperature offset [°C]"),
            "duration_pct": ("duration", "duration_change_pct", "duration change [%]"),
            "flux_pct": ("flux", "flux_change_pct", "boost flux change [%]")}
# The targets whose draws are changes in percent, not offsets.
_RELATIVE = ("duration", "flux", "carbon_transfer", "nitrogen_transfer")
# The readings a stage may give its carbon potential by (see Stage).
_READINGS = ("probe_mv", "co2_pct", "dew_point_c", "co_pct", "h2_pct", "process_factor")
_Made = TypeVar("_Made")


@dataclass(frozen=True)
class Input:
    """One input a study draws: a column of :attr:`Study.inputs`.

    Attributes
    ----------
    name : str
        The column's name, such as ``"temperature_offset_c"``,
        ``"duration_change_pct_stage_2"`` or ``"steel_carbon_wt"``.
    label : str
        What it is, with its unit, for tables and plots.
    distribution : {"normal", "uniform"}
        What it is drawn from.
    centre, spread : float
        The middle of the distribution, and its standard deviation (normal)
        or half its width (uniform).
    target : str
        What it moves: ``"temperature"``, ``"carbon_potential"``,
        ``"nitrogen_potential"``, ``"duration"``, ``"carbon_transfer"``,
        ``"nitrogen_transfer"``, ``"flux"``, ``"quench"``, or a content of
        the steel (``"carbon_wt"``).
    stage : int or None
        The index of the stage it moves, None for every stage.
    """

    name: str
    label: str
    distribution: str
    centre: float
    spread: float
    target: str
    stage: int | None = None

    def draw(self, rng: np.random.Generator, samples: int) -> NDArray[np.float64]:
        """``samples`` draws from ``rng``."""
        if self.distribution == "uniform":
            return rng.uniform(self.centre - self.spread, self.centre + self.spread, samples)
        return self.centre + self.spread * rng.standard_normal(samples)


def inputs_of(recipe: Recipe, variation: Variation) -> tuple[Input, ...]:
    """The inputs that ``variation`` draws for ``recipe``, in a fixed order.

    Raises
    ------
    ValueError
        Naming the key and its value, for a deviation of what the recipe
        does not have (a carbon potential, a quench, a boost's flux...), a
        stage input drawn per stage for a furnace log, or ``steel_ranges``
        for a steel without a known grade or with a measured Jominy curve.
    """
    if recipe.log is not None and variation.per_stage:
        raise ValueError(f"per_stage {list(variation.per_stage)!r}: a furnace log is varied as a whole, not stage "
                         "by stage")
    inputs: list[Input] = []
    for key, deviation in ((key, getattr(variation, key)) for key in (*_OFFSETS, "transfer_pct")):
        if deviation == 0.0:
            continue
        targets = _transfer_targets(recipe) if key == "transfer_pct" else [_OFFSETS[key]]
        if not targets or not _stages_with(recipe, targets[0][0]):
            raise ValueError(f"{key} {deviation!r}: the recipe has no {_WHAT[key]} to vary")
        spread = deviation * (math.sqrt(3.0) if variation.distribution_of(key) == "uniform" else 1.0)
        for target, name, label in targets:
            for stage in _stages_with(recipe, target) if variation.drawn_per_stage(key) else [None]:
                suffix, where = ("", "") if stage is None else (f"_stage_{stage + 1}", f", stage {stage + 1}")
                inputs.append(Input(name + suffix, label.replace(" [", f"{where} ["), variation.distribution_of(key),
                                    0.0, spread, target, stage))
    return (*inputs, *_steel_inputs(recipe, variation))


_WHAT = {"temperature_c": "stage", "carbon_potential_wt": "carbon potential",
         "nitrogen_potential_wt": "nitrogen potential", "quench_c": "quench", "duration_pct": "stage",
         "flux_pct": "boost with a carbon flux", "transfer_pct": "mass-transfer coefficient"}


def _transfer_targets(recipe: Recipe) -> list[tuple[str, str, str]]:
    """The transfer coefficients the recipe has, as targets."""
    return [(f"{element}_transfer", f"{element}_transfer_change_pct", f"{element} transfer change [%]")
            for element in ("carbon", "nitrogen") if _stages_with(recipe, f"{element}_transfer")]


def _stages_with(recipe: Recipe, target: str) -> list[int]:
    """The indices of the stages (for a log: [0]) that have ``target``."""
    if target == "quench":
        return [] if recipe.quench_c is None else [0]
    if recipe.log is not None:
        return [0] if _log_has(recipe.log, target) else []
    return [number for number, stage in enumerate(recipe.stages) if _stage_has(stage, target)]


def _stage_has(stage: Stage, target: str) -> bool:
    field = {"carbon_potential": "carbon_potential_wt", "nitrogen_potential": "nitrogen_potential_wt",
             "carbon_transfer": "carbon_transfer_m_s", "nitrogen_transfer": "nitrogen_transfer_m_s",
             "flux": "carbon_flux_g_m2_h"}.get(target)
    return field is None or getattr(stage, field) is not None


def _log_has(log: FurnaceLog, target: str) -> bool:
    if target in ("temperature", "duration"):
        return True
    if target == "flux":
        return False
    element, what = target.split("_")
    if what == "transfer":
        return getattr(log, f"{element}_transfer_m_s") is not None
    potentials = getattr(log, f"{element}_potential_wt")
    return potentials is not None and not bool(np.isnan(potentials).all())


def _steel_inputs(recipe: Recipe, variation: Variation) -> list[Input]:
    steel = recipe.steel
    if variation.steel_ranges:
        ranges = steel.ranges
        if ranges is None:
            raise ValueError(f"steel_ranges true: the steel ({steel.name or 'unnamed'}) is not named as a grade "
                             "whose ranges are known; give steel_wt, the deviations of its contents, instead")
        if steel.measured_jominy is not None:
            raise ValueError("steel_ranges true: the steel has the measured Jominy curve of one heat, which other "
                             "heats of the grade do not share; give steel_wt for that heat instead")
        return [Input(f"steel_{key}", f"steel {key.removesuffix('_wt')} [wt%]", "uniform", (low + high) / 2.0,
                      (high - low) / 2.0, key) for key, (low, high) in ranges.items()]
    distribution = variation.distribution_of("steel_wt")
    factor = math.sqrt(3.0) if distribution == "uniform" else 1.0
    return [Input(f"steel_{key}", f"steel {key.removesuffix('_wt')} [wt%]", distribution, getattr(steel, key),
                  factor * deviation, key) for key, deviation in variation.steel_wt.items()]


def draw(inputs: Sequence[Input], samples: int, rng: np.random.Generator) -> NDArray[np.float64]:
    """The draws of every run, one row per run and one column per input,
    drawn column by column from ``rng``."""
    draws = np.empty((samples, len(inputs)))
    for column, given in enumerate(inputs):
        draws[:, column] = given.draw(rng, samples)
    return draws


def varied(recipe: Recipe, inputs: Sequence[Input], row: Sequence[float]) -> Recipe:
    """``recipe`` with the draws ``row`` of ``inputs``: the recipe of one run.

    Raises
    ------
    ValueError
        Where the varied recipe is out of range (a negative duration, a
        temperature where steel melts...), as its records say.
    """
    moves: dict[tuple[str, int | None], float] = {}
    steel: dict[str, Any] = {}
    for given, value in zip(inputs, row):
        if given.target.endswith("_wt"):
            steel[given.target] = float(value)
        else:
            moves[given.target, given.stage] = 1.0 + value / 100.0 if given.target in _RELATIVE else float(value)
    changes: dict[str, Any] = {}
    if recipe.log is not None:
        changes["log"] = _named("the log", _varied_log, recipe.log,
                                {target: value for (target, _), value in moves.items()})
    else:
        count = len(recipe.stages)
        changes["stages"] = tuple(_named(f"stage {number + 1} of {count}", _varied_stage, stage,
                                         {target: value for (target, at), value in moves.items()
                                          if at in (None, number)})
                                  for number, stage in enumerate(recipe.stages))
    if ("quench", None) in moves:
        assert recipe.quench_c is not None
        changes["quench_c"] = quench_temperature_c("the quench's temperature_c", recipe.quench_c
                                                   + moves["quench", None])
    if steel:
        changes["steel"] = _named("the steel", dataclasses.replace, recipe.steel, **steel)
    return dataclasses.replace(recipe, **changes)


def _named(where: str, make: Callable[..., _Made], *args: Any, **kwargs: Any) -> _Made:
    """``make(*args, **kwargs)``; a ValueError or TypeError it raises says ``where``."""
    try:
        return make(*args, **kwargs)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{where}: {error}") from None


def _varied_stage(stage: Stage, moves: Mapping[str, float]) -> Stage:
    """``stage`` moved by ``moves``: offsets, and factors of the relative targets.

    A potential given as an instrument's reading is the one that reading
    gives at the drawn temperature (the controller holds the reading), and
    an offset of it is added to that."""
    changes: dict[str, Any] = {}
    temperature = moves.get("temperature")
    if temperature is not None:
        changes["temperature_c"] = stage.temperature_c + temperature
        if stage.end_temperature_c is not None:
            changes["end_temperature_c"] = stage.end_temperature_c + temperature
    if "duration" in moves:
        changes.update(duration_h=stage.duration_h * moves["duration"], duration_min=None)
    for target, field in (("carbon_transfer", "carbon_transfer_m_s"), ("nitrogen_transfer", "nitrogen_transfer_m_s"),
                          ("flux", "carbon_flux_g_m2_h")):
        if target in moves and getattr(stage, field) is not None:
            changes[field] = getattr(stage, field) * moves[target]
    if "nitrogen_potential" in moves and stage.nitrogen_potential_wt is not None:
        changes["nitrogen_potential_wt"] = stage.nitrogen_potential_wt + moves["nitrogen_potential"]
    carbon = moves.get("carbon_potential")
    if stage.reading and (temperature is not None or carbon is not None):
        potential = atmosphere.carbon_potential_wt(changes.get("temperature_c", stage.temperature_c), **stage.reading)
        changes.update(carbon_potential_wt=potential + (carbon or 0.0), **dict.fromkeys(_READINGS))
    elif carbon is not None and stage.carbon_potential_wt is not None:
        changes["carbon_potential_wt"] = stage.carbon_potential_wt + carbon
    return dataclasses.replace(stage, **changes) if changes else stage


def _varied_log(log: FurnaceLog, moves: Mapping[str, float]) -> FurnaceLog:
    """``log`` moved as a whole: its temperatures and potentials shifted,
    its times and transfer coefficients scaled (the potentials where the
    atmosphere acts, NaN elsewhere, stay so)."""
    factor = moves.get("duration", 1.0)
    changes: dict[str, Any] = dict(time_h=log.time_h * factor, longest_gap_h=log.longest_gap_h * max(factor, 1.0),
                                   temperature_c=log.temperature_c + moves.get("temperature", 0.0))
    for element in ("carbon", "nitrogen"):
        potentials = getattr(log, f"{element}_potential_wt")
        if potentials is not None and f"{element}_potential" in moves:
            changes[f"{element}_potential_wt"] = potentials + moves[f"{element}_potential"]
        transfer = getattr(log, f"{element}_transfer_m_s")
        if transfer is not None and f"{element}_transfer" in moves:
            changes[f"{element}_transfer_m_s"] = transfer * moves[f"{element}_transfer"]
    return dataclasses.replace(log, **changes)
