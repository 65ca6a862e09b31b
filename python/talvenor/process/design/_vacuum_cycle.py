"""The low-pressure cycle to the drawing at one temperature: the heat-up,
pulses of boost and diffuse, and the tail, the pulses chosen."""

from __future__ import annotations

from dataclasses import dataclass, field

from ..model.solubility import carbon_limit_wt
from ..schedule.stage import Stage
from ..simulation import Runner
from ..standards import CASE_DEPTH_THRESHOLD_WT
from ._gas_cycle import Cycle, fixed_roles
from ._surface import Window
from ._trials import Trials
from .vacuum import Unreached, _Pulses

__all__ = ["design_vacuum"]

# The finished surface is aimed at to this much, in wt%, with at most this
# many tries of the final diffuse.
_SURFACE_TOLERANCE_WT = 3e-3
_SURFACE_TRIES = 4
# The surface aimed at stays this far below the carbon limit, in wt%.
_BELOW_LIMIT_WT = 0.02
# A stage as long as a design goes: the pulses are cut short from it.
_LONGEST_STAGE_H = 100.0


def design_vacuum(trials: Trials, temperature_c: float, surface: Window) -> Cycle:
    """The pulses at ``temperature_c`` whose finished part has the depth
    aimed at and its surface at the aim of ``surface``: the pulses of
    :func:`design_vacuum_cycle`, each diffuse between boosts down to that
    aim and the final one until, after the tail, the finished surface is
    there (or, where no pulses reach the depth in the time there is, the
    deepest cycle)."""
    furnace = trials.furnace
    assert furnace.carbon_flux_g_m2_h is not None and furnace.min_pulse_min is not None
    limit_wt = (furnace.carbon_limit_wt if furnace.carbon_limit_wt is not None
                else carbon_limit_wt(trials.steel, temperature_c))
    aim_wt = min(surface.aim_wt, limit_wt - _BELOW_LIMIT_WT)
    heat_up, tail = furnace.heat_up(temperature_c), furnace.tail(temperature_c)
    pulses = _CyclePulses(
        trials.steel, trials.aim.depth_mm, CASE_DEPTH_THRESHOLD_WT, aim_wt, aim_wt, limit_wt, furnace.min_pulse_min,
        Stage(duration_h=_LONGEST_STAGE_H, temperature_c=temperature_c, carbon_flux_g_m2_h=furnace.carbon_flux_g_m2_h,
              carbon_limit_wt=furnace.carbon_limit_wt),
        Stage(duration_h=_LONGEST_STAGE_H, temperature_c=temperature_c, carbon_limit_wt=furnace.carbon_limit_wt),
        trials.part, trials.requirements.carbide_tolerance_g_m2,
        longest_h=max(furnace.longest_h - furnace.fixed_h(temperature_c), 0.0), trials=trials, heat_up=heat_up,
        tail=tail)
    start = Runner(trials.steel, trials.part)
    for stage in heat_up:
        start.advance(stage)
    try:
        carburizing = pulses.design(start)
    except Unreached as unreached:
        carburizing = unreached.deepest
    stages = (*heat_up, *carburizing, *tail)
    roles = (*fixed_roles(heat_up, "heat-up"), *(["boost", "diffuse"] * (len(carburizing) // 2)),
             *fixed_roles(tail, "tail"))
    outcome = trials.outcome(stages)
    profile = outcome.result
    return Cycle(stages, roles, outcome, trials.peak_wt(profile.depth_mm, profile.carbon_wt))


@dataclass(frozen=True, eq=False, kw_only=True)
class _CyclePulses(_Pulses):
    """The pulses of a whole cycle: each finished with the tail, run and
    read as the drawing reads the part.  ``case_depth_mm`` is the depth
    aimed at; ``surface_carbon_wt`` the finished surface aimed at, which the
    final diffuse ends above by ``_offset_wt[0]`` (what the tail and the
    grinding take off), learnt as the design goes."""

    trials: Trials
    heat_up: tuple[Stage, ...]
    tail: tuple[Stage, ...]
    _offset_wt: list[float] = field(default_factory=lambda: [0.0])

    @property
    def tolerance_mm(self) -> float:
        return self.trials.aim.tolerance_mm

    def finish(self, start: Runner, before: list[Stage], boost_h: float) -> tuple[float, list[Stage]]:
        run = start.copy()
        last = run.advance(self.boost.cut_short(boost_h))
        final = self.final_diffuse(run)
        outcome = self.trials.outcome((*self.heat_up, *before, last, final, *self.tail))
        return self.trials.depth_mm(outcome), [last, final]

    def final_diffuse(self, run: Runner) -> Stage:
        """The final diffuse from ``run``: until the surface falls to where,
        after the tail, the finished surface is at the aim."""
        final = self.diffuse.cut_short(self.min_pulse_h)
        for _ in range(_SURFACE_TRIES):
            end_wt = self.surface_carbon_wt + self._offset_wt[0]
            ended = run.copy()
            final = (ended.advance(self.diffuse, falls_to_wt=end_wt) if ended.surface_carbon_wt > end_wt
                     else ended.advance(self.diffuse.cut_short(self.min_pulse_h)))
            for stage in self.tail:
                ended.advance(stage)
            profile = ended.profile()
            error_wt = self.surface_carbon_wt - self.trials.finished_surface_wt(profile.depth_mm, profile.carbon_wt)
            if abs(error_wt) <= _SURFACE_TOLERANCE_WT:
                break
            self._offset_wt[0] += error_wt
        return final
