"""The gas cycle to the drawing at one temperature: the heat-up, a boost and
a diffuse, and the tail, the boost and the diffuse chosen."""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field

from scipy.optimize import minimize_scalar  # type: ignore[import-untyped]

from .. import _search
from ..model.solubility import carbon_limit_wt
from ..pipeline import Outcome
from ..schedule.stage import Stage
from ..simulation import Runner
from ._records import HUMP_TOLERANCE_WT
from ._surface import Window
from ._trials import Trials

__all__ = ["Cycle", "design_gas", "fixed_roles"]

# The surface is aimed at to this much, in wt%, or the diffuse potential is
# set again (at most this many times).
_SURFACE_TOLERANCE_WT = 0.01
_SURFACE_PASSES = 3
# How far above its aim, in wt%, the diffuse may leave the surface at least.
_SURFACE_ABOVE_AIM_WT = 0.02
# The boost potential is sought to this much, in wt%, where the atmosphere allows a range.
_POTENTIAL_XTOL_WT = 0.02
# The first boost tried, in hours.
_FIRST_BOOST_H = 1.0
# The potentials are set to hundredths of a wt%, as a controller shows them.
_SETTINGS_PER_WT = 100


@dataclass(frozen=True)
class Cycle:
    """A cycle a design found: its stages and what each is, its outcome,
    and the most carbon below the finished surface (wt%)."""

    stages: tuple[Stage, ...]
    roles: tuple[str, ...]
    outcome: Outcome
    peak_wt: float

    @property
    def total_h(self) -> float:
        return sum(stage.duration_h for stage in self.stages)


def design_gas(trials: Trials, temperature_c: float, surface: Window, hump_wt: float) -> Cycle:
    """The shortest gas cycle at ``temperature_c`` whose depth is the aim,
    its surface at the aim of ``surface`` and the carbon below it at most
    ``hump_wt`` above the richest surface of the window (or, where none
    meets them, the cycle that comes nearest)."""
    furnace = trials.furnace
    assert furnace.carbon_potential_range_wt is not None
    low_wt, high_wt = furnace.carbon_potential_range_wt
    factor = trials.steel.alloy_factor
    # The richest boost the atmosphere holds, short of the carbon solubility.
    boost_wt = max(min(high_wt, _setting(carbon_limit_wt(trials.steel, temperature_c) / factor, math.floor)), low_wt)
    # Where the tail does not bring the surface to its aim, the diffuse
    # brings it at least halfway there from the richest that meets the drawing.
    richest_wt = max(0.5 * (surface.aim_wt + surface.high_wt), surface.aim_wt + _SURFACE_ABOVE_AIM_WT)
    design = _GasDesign(trials, temperature_c, surface.high_wt + hump_wt, richest_wt,
                        furnace.longest_h - furnace.fixed_h(temperature_c))
    cycle, diffuse_wt = design.surfaced(boost_wt, min(max(_setting(surface.aim_wt / factor), low_wt), boost_wt),
                                        surface.aim_wt)
    if not _has_diffuse(cycle) or boost_wt <= diffuse_wt + _POTENTIAL_XTOL_WT:
        return cycle
    # A diffuse is needed to bring the carbon below the surface down: a
    # leaner boost may need less of it.
    best = minimize_scalar(lambda wt: design.cycle(_setting(wt), diffuse_wt).total_h
                           + design.penalty(_setting(wt), diffuse_wt),
                           bounds=(diffuse_wt, boost_wt), method="bounded", options={"xatol": _POTENTIAL_XTOL_WT})
    leaner = design.cycle(_setting(float(best.x)), diffuse_wt)
    return leaner if leaner.total_h < cycle.total_h and design.met(leaner) else cycle


def _setting(potential_wt: float, rounding: Callable[[float], float] = round) -> float:
    """``potential_wt`` as the controller is set to it, to 0.01 wt%."""
    return rounding(potential_wt * _SETTINGS_PER_WT) / _SETTINGS_PER_WT


def _has_diffuse(cycle: Cycle) -> bool:
    return "diffuse" in cycle.roles


def fixed_roles(stages: tuple[Stage, ...], part: str) -> tuple[str, ...]:
    """What each stage of the heat-up or the tail (``part``) is."""
    if part == "heat-up":
        return ("heat-up",) * len(stages)
    return tuple("cool-down" if stage.ramped else "hold" for stage in stages)


@dataclass(eq=False)
class _GasDesign:
    """The cycles at one temperature, and what they share: the part after
    the heat-up, and after each boost tried."""

    trials: Trials
    temperature_c: float
    ceiling_wt: float
    richest_wt: float
    available_h: float
    _heated: Runner | None = None
    _boosted: dict[tuple[float, float], Runner] = field(default_factory=dict)
    _cycles: dict[tuple[float, float], Cycle] = field(default_factory=dict)

    @property
    def heat_up(self) -> tuple[Stage, ...]:
        return self.trials.furnace.heat_up(self.temperature_c)

    def stage(self, duration_h: float, potential_wt: float) -> Stage:
        return Stage(duration_h=duration_h, temperature_c=self.temperature_c, carbon_potential_wt=potential_wt,
                     carbon_transfer_m_s=self.trials.furnace.carbon_transfer_m_s)

    def heated(self) -> Runner:
        """The part after the heat-up, the start of every cycle."""
        if self._heated is None:
            self._heated = Runner(self.trials.steel, self.trials.part)
            for stage in self.heat_up:
                self._heated.advance(stage)
        return self._heated

    def boosted(self, boost_h: float, boost_wt: float) -> Runner:
        if (boost_h, boost_wt) not in self._boosted:
            run = self.heated().copy()
            if boost_h > 0.0:
                run.advance(self.stage(boost_h, boost_wt))
            self._boosted[boost_h, boost_wt] = run
        return self._boosted[boost_h, boost_wt]

    def finished(self, boost_h: float, boost_wt: float, diffuse_h: float, diffuse_wt: float) -> tuple[float, float]:
        """The most carbon below the finished surface, and that of the
        finished surface, after the boost, the diffuse and the tail."""
        run = self.boosted(boost_h, boost_wt).copy()
        if diffuse_h > 0.0:
            run.advance(self.stage(diffuse_h, diffuse_wt))
        for stage in self.trials.furnace.tail(self.temperature_c, diffuse_wt):
            run.advance(stage)
        profile = run.profile()
        return (self.trials.peak_wt(profile.depth_mm, profile.carbon_wt),
                self.trials.finished_surface_wt(profile.depth_mm, profile.carbon_wt))

    def diffuse_h(self, boost_h: float, boost_wt: float, diffuse_wt: float) -> float:
        """The shortest diffuse after a boost of ``boost_h`` that brings the
        carbon below the surface under the ceiling, and the surface to at
        most the richest allowed (at most the time left)."""
        left_h = self.available_h - boost_h
        # The surface falls towards the diffuse potential, never quite to it.
        richest_wt = max(self.richest_wt, diffuse_wt * self.trials.steel.alloy_factor + _SURFACE_ABOVE_AIM_WT)

        def excess(duration_h: float) -> float:
            peak_wt, surface_wt = self.finished(boost_h, boost_wt, duration_h, diffuse_wt)
            return min(self.ceiling_wt - peak_wt, richest_wt - surface_wt)

        if (f_low := excess(0.0)) >= 0.0 or left_h <= 0.0:
            return 0.0
        guess = min(0.25, left_h)
        if (f_high := excess(guess)) < 0.0:
            if (f_left := excess(left_h)) < 0.0:
                return left_h
            low, f_low, guess, f_high = guess, f_high, left_h, f_left
        else:
            low = 0.0
        return _search.root(excess, low, f_low, guess, f_high, xtol=1e-4,
                            done=lambda value: 0.0 <= value <= HUMP_TOLERANCE_WT)

    def stages(self, boost_h: float, boost_wt: float, diffuse_wt: float) -> tuple[tuple[Stage, ...], tuple[str, ...]]:
        diffuse_h = self.diffuse_h(boost_h, boost_wt, diffuse_wt)
        carburizing = [(self.stage(h, wt), role) for h, wt, role in
                       ((boost_h, boost_wt, "boost"), (diffuse_h, diffuse_wt, "diffuse")) if h > 0.0]
        tail = self.trials.furnace.tail(self.temperature_c, diffuse_wt)
        stages = (*self.heat_up, *(stage for stage, _ in carburizing), *tail)
        return stages, (*fixed_roles(self.heat_up, "heat-up"), *(role for _, role in carburizing),
                        *fixed_roles(tail, "tail"))

    def run(self, boost_h: float, boost_wt: float, diffuse_wt: float) -> Cycle:
        stages, roles = self.stages(boost_h, boost_wt, diffuse_wt)
        outcome = self.trials.outcome(stages)
        return Cycle(stages, roles, outcome, self.trials.peak_wt(outcome.result.depth_mm, outcome.result.carbon_wt))

    def cycle(self, boost_wt: float, diffuse_wt: float, guess_h: float = _FIRST_BOOST_H) -> Cycle:
        """The cycle of these potentials whose depth is the aim: the boost
        sought through its square root, against which the depth grows
        about evenly (or, where no boost in the time there is reaches the
        aim, the longest; where even none is too deep, none)."""
        key = (boost_wt, diffuse_wt)
        if key in self._cycles:
            return self._cycles[key]
        trials, aim = self.trials, self.trials.aim
        runs: dict[float, Cycle] = {}

        def shortfall(root_h: float) -> float:
            if root_h not in runs:
                runs[root_h] = self.run(root_h * root_h, boost_wt, diffuse_wt)
            return trials.depth_mm(runs[root_h].outcome) - aim.depth_mm

        longest = math.sqrt(max(self.available_h, 0.0))
        # Without a heat-up or a tail, no boost is no cycle, and no depth.
        fixed = bool(self.heat_up or self.trials.furnace.tail(self.temperature_c, diffuse_wt))
        low, f_low = 0.0, shortfall(0.0) if fixed else -aim.depth_mm
        if fixed and (f_low >= -aim.tolerance_mm or longest == 0.0):
            self._cycles[key] = runs[0.0]
            return runs[0.0]
        high = min(math.sqrt(guess_h), longest)
        while (f_high := shortfall(high)) < 0.0:
            if high >= longest:
                self._cycles[key] = runs[high]
                return runs[high]
            # The depth about linear in the root of the boost: past where the line meets the aim.
            reach = high - f_high * (high - low) / (f_high - f_low)
            low, f_low, high = high, f_high, min(max(1.1 * reach, 1.2 * high), longest)
        root_h = _search.root(shortfall, low, f_low, high, f_high, xtol=1e-4 * high,
                              done=lambda value: abs(value) <= aim.tolerance_mm)
        shortfall(root_h)
        self._cycles[key] = runs[root_h]
        return runs[root_h]

    def surfaced(self, boost_wt: float, diffuse_wt: float, aim_wt: float) -> tuple[Cycle, float]:
        """The cycle aimed at the depth, its diffuse potential set again
        until the finished surface is at ``aim_wt``, within the atmosphere's
        range and below the boost; and that potential."""
        furnace = self.trials.furnace
        assert furnace.carbon_potential_range_wt is not None
        low_wt = furnace.carbon_potential_range_wt[0]
        cycle = self.cycle(boost_wt, diffuse_wt)
        for _ in range(_SURFACE_PASSES):
            error_wt = aim_wt - self.trials.surface_wt(cycle.outcome)
            moved_wt = min(max(_setting(diffuse_wt + error_wt / self.trials.steel.alloy_factor), low_wt), boost_wt)
            if abs(error_wt) <= _SURFACE_TOLERANCE_WT or moved_wt == diffuse_wt:
                break
            boost_h = next((stage.duration_h for stage, role in zip(cycle.stages, cycle.roles) if role == "boost"),
                           _FIRST_BOOST_H)
            moved = self.cycle(boost_wt, moved_wt, boost_h)
            if abs(aim_wt - self.trials.surface_wt(moved.outcome)) >= abs(error_wt):
                break
            cycle, diffuse_wt = moved, moved_wt
        return cycle, diffuse_wt

    def met(self, cycle: Cycle) -> bool:
        """Whether ``cycle`` meets every band and the ceiling below the surface."""
        return cycle.outcome.passed and cycle.peak_wt <= self.ceiling_wt + HUMP_TOLERANCE_WT

    def penalty(self, boost_wt: float, diffuse_wt: float) -> float:
        """What a cycle that misses the drawing adds to its time in the search of the boost potential."""
        return 0.0 if self.met(self.cycle(boost_wt, diffuse_wt)) else self.available_h
