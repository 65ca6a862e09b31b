"""The time integration of a run, stage after stage."""

from __future__ import annotations

import copy
import functools
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from ..model.diffusivity import Diffusivities
from ..model.steel import Steel
from ..schedule.furnace_log import LogSegment, span_name
from ..schedule.stage import Stage
from .events import cut
from .failure import Failure
from .grid import Grid
from .ndf import BOUNDS_SHRINK, FIRST_STEP, SAFETY, SMALLEST_STEP, Step, length
from .physics import StagePhysics
from .setting import Setting

__all__ = ["Trajectory", "integrate", "Run"]

if TYPE_CHECKING:
    _Array = NDArray[np.float64]


@dataclass
class Trajectory:
    """What a run produces, in site fractions; a profile is (2, cells + 1),
    carbon then nitrogen, the surface first."""

    times_s: list[float]  # of the history points
    surfaces: list[list[float]]  # surface compositions [y_C, y_N] at those times
    uptakes: list[list[float]]  # time-integrated surface fluxes up to those times, in m
    carbides: list[float]  # carbon held as carbide at the surface at those times, in m
    records: list[tuple[float, _Array]]  # (time, profile) at the times asked for
    final: _Array  # profile at the end


def integrate(grid: Grid, stages: Sequence[Stage | LogSegment], core: _Array, diffusivities: Diffusivities, *,
              grams: tuple[float, float], steel: Steel, tolerance_wt: float, steps_per_stage: int | None,
              record_times_s: Sequence[float], progress: Callable[[float], None] | None = None) -> Trajectory:
    """Run ``stages`` from the uniform composition ``core`` (2,) in site fractions.

    ``grams`` are the grams of carbon and of nitrogen per m² of treated
    surface per unit of site fraction times m, and ``steel`` sets the carbon
    content at which carbide forms at the surface (:meth:`Stage.carbon_limit_at`):
    a boost holds the surface there once it gets there, and so does any
    stage while carbide remains.

    The steps keep the local error of each stage within ``tolerance_wt``,
    or are ``steps_per_stage`` to a stage where that is given.  A run keeps
    to the domain of the ``diffusivities``.  The profile at a record time is
    the end of the recipe cut short at that time.  ``progress`` is called
    after every step with the time done so far in s.  Failures are
    ValueErrors that name the stage.
    """
    run = Run(grid, core, diffusivities, grams, steel, tolerance_wt, steps_per_stage, progress)
    pending = sorted(record_times_s)
    records: list[tuple[float, _Array]] = []
    start = 0.0
    for number, stage in enumerate(stages, 1):
        end = start + stage.duration_s
        try:
            while pending and pending[0] < end:
                t = pending.pop(0)
                cut = stage.cut_short((t - start) / 3600.0) if t > start else None
                records.append((t, run.profile() if cut is None else run.copy().stage(cut, start)))
            run.stage(stage, start)
        except Failure as failure:
            raise ValueError(f"{span_name(stage, number, len(stages))}: {failure}") from None
        start = end
    records += [(t, run.profile()) for t in pending]
    return Trajectory(run.times_s, run.surfaces, run.uptakes, run.carbides, records, run.profile())


class Run:
    """The state of a run between recipe stages, and its history."""

    def __init__(self, grid: Grid, core: _Array, diffusivities: Diffusivities, grams: tuple[float, float],
                 steel: Steel, tolerance_wt: float, steps: int | None,
                 progress: Callable[[float], None] | None) -> None:
        self.setting = Setting(grid, diffusivities, grams, steel, tolerance_wt)
        self.grid, self.progress = grid, progress
        # The ends of the fixed steps, as fractions of a stage.
        self.fixed = None if steps is None else ((np.arange(1, steps + 1) / steps) ** 2).tolist()
        self.y = np.repeat(np.asarray(core, dtype=float)[:, None], grid.cells, axis=1)
        self.surface = self.y[:, 0].tolist()
        self.uptake = [0.0, 0.0]
        self.carbide = 0.0
        self.times_s: list[float] = []
        self.surfaces: list[list[float]] = []
        self.uptakes: list[list[float]] = []
        self.carbides: list[float] = []

    def copy(self) -> Run:
        """A run from the present state with a history of its own."""
        twin = copy.copy(self)
        twin.times_s, twin.surfaces, twin.uptakes, twin.carbides = [], [], [], []
        twin.progress = None
        return twin

    def profile(self) -> _Array:
        """The present profile (2, cells + 1), the surface first."""
        return np.concatenate((np.array(self.surface)[:, None], self.y), axis=1)

    def stage(self, stage: Stage | LogSegment, start_s: float, *, to_limit: bool = False,
              falls_to_wt: float | None = None) -> _Array:
        """Advance through one recipe stage; return the profile at its end.

        The stage ends early, within 1e-3 of a step, where a boost's surface
        reaches the carbon limit (``to_limit``; 0.001 wt% short of it) or
        where the carbon at the surface falls to ``falls_to_wt``; the history
        tells when.
        """
        physics = StagePhysics(self.setting, stage, self.y, self.carbide, to_limit, falls_to_wt)
        _StageRun(self, physics, start_s).go()
        return self.profile()

    def remember(self, t: float, surface: list[float], uptake: list[float], carbide: float) -> None:
        """Add the point at ``t`` to the history."""
        self.times_s.append(t)
        self.surfaces.append(surface)
        self.uptakes.append(uptake)
        self.carbides.append(carbide)


class _StageRun:
    """The steps of one stage of ``run`` from ``start_s``, from the state the
    stages before left; the state it leaves behind.  ``dt`` is the length of
    the next step to try, ``end`` the end of the stretch it is in: the stage,
    or the planned step of a fixed number of steps per stage."""

    def __init__(self, run: Run, physics: StagePhysics, start_s: float) -> None:
        self.run, self.physics, self.start_s = run, physics, start_s
        self.duration = physics.stage.duration_s
        # Where steps must end: those of a fixed number of steps, or the
        # corners of a furnace log and the end of the stage.
        self.fixed = run.fixed is not None
        fractions = run.fixed if run.fixed is not None else physics.stage.corners()
        self.ends = [self.duration * fraction for fraction in fractions]
        self.y, self.uptake, self.carbide = run.y, run.uptake, run.carbide
        self.t, self.end = 0.0, self.duration
        self.dt = math.inf if self.fixed else self.duration * FIRST_STEP
        # The error and the length of the last step rejected for its error
        # at this time, if any.
        self.rejected = math.inf, self.dt

    def go(self) -> None:
        """Take the steps of the stage, and leave its end in the run."""
        physics, run = self.physics, self.run
        physics.saturated = self.carbide > 0.0 or physics.change(self.y, 0.0, self.carbide) >= 0.0
        self._remember()
        if not physics.active:
            run.remember(self.start_s + self.duration, physics.surface_at(self.y, 1.0), self.uptake, self.carbide)
        else:
            self.history = physics.history(self.y, 0.0)
            while self.t < self.duration:
                attempt = self._attempt()
                if attempt is not None and self._accept(*attempt):
                    break
        run.y, run.surface, run.uptake, run.carbide = self.y, run.surfaces[-1], self.uptake, self.carbide

    def _attempt(self) -> tuple[Step, float] | None:
        """The next step and its error as a ratio of the error allowed; None
        where the step errs too much or leaves the bounds, and is to be
        taken again with the length and from the history set for it."""
        physics, t = self.physics, self.t
        self._fit()
        if self.dt <= SMALLEST_STEP * (t + self.duration):
            raise Failure(f"the time steps shrink to nothing {(self.start_s + t) / 3600.0!r} h into the recipe: no "
                          f"step meets tolerance_wt {physics.tolerance_wt!r} and the maximum principle")
        step = physics.step(self.history, self.y, t, self.dt)
        ratio = step.error_wt / physics.allowed(t, self.dt)
        in_range = physics.bounds.allow(step)
        if not in_range or (not self.fixed and ratio > 1.0):
            self._reject(step, ratio, in_range)
            return None
        return step, ratio

    def _fit(self) -> None:
        """End the last step of a stretch exactly at its end; one that would
        leave a sliver behind shares the rest with the one before."""
        self.end = self.ends[0]
        rest = self.end - self.t
        if rest <= 1.1 * self.dt:
            self.dt = rest
        elif rest < 2.0 * self.dt:
            self.dt = 0.5 * rest

    def _reject(self, step: Step, ratio: float, in_range: bool) -> None:
        """Set the step to take again after ``step``: shorter where it erred
        by ``ratio`` too much, and at order 1 where it left the bounds."""
        physics, t, order = self.physics, self.t, self.history.order
        earlier, earlier_dt = self.rejected
        if (not in_range and order > 1) or (in_range and ratio > earlier * math.sqrt(self.dt / earlier_dt)):
            # Start again from the profile and its present rate: at order 1,
            # which keeps within the range, and with an error estimate that
            # shrinks with the step, where one from the differences of the
            # longer steps before did not.
            self.history = physics.history(self.y, t / self.duration)
        if in_range:
            self.rejected = ratio, self.dt
            self.dt = length(self.dt, step.error_wt, order + 1, functools.partial(physics.allowed, t), SAFETY)
        elif order == 1:
            self.dt *= BOUNDS_SHRINK

    def _accept(self, step: Step, ratio: float) -> bool:
        """Take ``step``, cut short where an event comes first; return
        whether the stage ends there."""
        physics, t = self.physics, self.t
        self.rejected = math.inf, self.dt
        after = self.carbide - physics.carbide_used(step)
        stops = physics.stop(step.y_next, t + self.dt, after) >= 0.0
        switches = not stops and physics.change(step.y_next, t + self.dt, after) >= 0.0
        if stops or switches:
            step = cut(physics, step, self.history, t, self.carbide, physics.stop if stops else physics.change,
                       before=switches and physics.saturated)
            ratio = step.error_wt / physics.allowed(t, step.dt)
        physics.coefficients.check_reach(step.y_next)
        self._advance(step)
        if switches:
            self._switch()
        self._remember()
        if self.run.progress is not None:
            self.run.progress(self.start_s + self.t)
        if not stops:
            self._plan(step, ratio)
        return stops

    def _advance(self, step: Step) -> None:
        """Move the state to the end of ``step``."""
        self.dt = step.dt
        self.carbide -= self.physics.carbide_used(step)
        self.uptake = [u + g for u, g in zip(self.uptake, step.uptake)]
        self.t = self.end if self.dt == self.end - self.t else self.t + self.dt
        # Within the range to the last bit: the rounding errors of many steps
        # would otherwise add up to a departure from it.
        self.y = self.physics.bounds.clip(step.y_next)
        self.history.accept(step)

    def _switch(self) -> None:
        """Switch the carbon surface between held at the limit and its own."""
        physics = self.physics
        if physics.saturated:
            # What is left of the carbide, a rounding error of the cut,
            # dissolves into the first cell, so nothing is lost.
            self.y = self.y.copy()
            self.y[0, 0] += self.carbide / self.run.grid.volumes[0]
            self.uptake[0] += self.carbide
            self.carbide = 0.0
            physics.restart(self.y)
        physics.saturated = not physics.saturated
        # The surface condition jumps: the next step starts afresh.
        self.history = physics.history(self.y, self.t / self.duration)

    def _plan(self, step: Step, ratio: float) -> None:
        """The order and the length of the step after ``step``."""
        history = self.history
        if self.t == self.end:
            self.ends.pop(0)
        if not self.fixed:
            error_wt, exponent = history.next_order(step.error_wt, ratio)
            self.dt = length(self.dt, error_wt, exponent, functools.partial(self.physics.allowed, self.t),
                             history.growth)
        else:
            # Order 2 from the second step on; on to the end of the planned
            # step (one cut short to keep within the bounds takes the rest in
            # one go where it can).
            history.order = min(2, history.order + 1)
            self.dt = math.inf

    def _remember(self) -> None:
        self.run.remember(self.start_s + self.t, self.physics.surface_at(self.y, self.t / self.duration),
                          self.uptake, self.carbide)
