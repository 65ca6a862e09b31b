"""One stage of a run: its surface conditions, its temperature, its
diffusivities, and the error a step of it may make."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from ..model.surface import Held, SurfaceCondition
from ..schedule.furnace_log import LogSegment
from ..schedule.stage import Stage
from ..units import WT_PER_SITE_FRACTION, site_fractions, weight_percent
from .bounds import Bounds
from .coefficients import Coefficients
from .failure import Failure
from .ndf import ALLOWANCE, History, Step
from .operator import Operator
from .setting import Setting
from .surface_balance import SurfaceBalance

__all__ = ["StagePhysics"]

if TYPE_CHECKING:
    _Array = NDArray[np.float64]

# How far short of the carbon limit a stage run to the limit ends, in wt%.
_LIMIT_MARGIN_WT = 1e-3


class StagePhysics:
    """One recipe ``stage`` of a run in ``setting``, from the profile ``y``
    and the ``carbide`` that the stages before left: its surface conditions,
    its temperature and the diffusivities; the surface it ends at, where it
    ends early (``to_limit``, ``falls_to_wt``: see :meth:`Run.stage`); and
    whether its carbon surface is held at the carbon limit (``saturated``),
    as it is while carbide remains, which the stage's run switches."""

    def __init__(self, setting: Setting, stage: Stage | LogSegment, y: _Array, carbide: float,
                 to_limit: bool = False, falls_to_wt: float | None = None) -> None:
        self.grid, self.stage, self.steel = setting.grid, stage, setting.steel
        self.face_factor = self.grid.areas / self.grid.spacing
        self.own = (stage.carbon.in_run(setting.grams[0]), stage.nitrogen)
        self.tolerance_wt = setting.tolerance_wt
        self.saturated = False
        self.to_limit, self.falls_to_wt = to_limit, falls_to_wt
        # A boost delivers its flux whether or not the part can take it.
        self.delivered_y = self.own[0].delivered_y
        limited = self.own[0].limited or carbide > 0.0
        # An element with a closed surface and a uniform profile stays as it
        # is; the others are the rows of a step.
        self.active = [i for i, c in enumerate(self.own)
                       if not c.closed or y[i].min() != y[i].max() or (i == 0 and limited)]
        self.rows = slice(self.active[0], self.active[-1] + 1) if self.active else slice(0, 0)
        # Whether no step may err by more than the tolerance: where the
        # surface follows the first cell, so that the error of the profile
        # there shows in the surface history, and where the stage's end is
        # not known, nor so the share of a step in it.
        self.followed = any(self.own[i].balanced for i in self.active) or to_limit or falls_to_wt is not None
        self.coefficients = Coefficients(setting.diffusivities, None)
        self._bound(Bounds(y, self._reachable(limited), self.rows))
        self.balance = SurfaceBalance(self.grid.spacing, self.active, self._surface_diffusivities)

    def _bound(self, bounds: Bounds) -> None:
        """Keep the steps within ``bounds``, within which the singularity of
        the diffusivities may be out of reach."""
        self.bounds = bounds
        domain = self.coefficients.diffusivities.domain
        reachable = domain is not None and domain.reach(*bounds.high.tolist()) >= 1.0
        self.coefficients.singular = domain if reachable else None

    def restart(self, y: _Array) -> None:
        """Let the steps go on from ``y``, which a jump of the surface
        condition has left (the carbide dissolved into the first cell may
        lie beyond what the start of the stage allowed)."""
        self._bound(self.bounds.widened(y))

    def _reachable(self, limited: bool) -> list[tuple[float, float]]:
        """What the surface conditions can drive each element to: its
        potential, or the carbon limit over the stage where that bounds it."""
        reachable = self.stage.reachable_y()
        if limited:
            limits = [self.limit(fraction).potential_y for fraction in (0.0, 1.0)]
            reachable[0] = (min(reachable[0][0], *limits), max(reachable[0][1], *limits))
        return reachable

    def allowed(self, t: float, dt: float) -> float:
        """The error in wt% that a step from ``t`` after the start of the
        stage of length ``dt`` may make: its share of the tolerance (see the
        notes of the package)."""
        share = ALLOWANCE * dt * self.stage.duration_s / (t + dt) ** 2
        return self.tolerance_wt * (min(1.0, share) if self.followed else share)

    def limit(self, fraction: float) -> Held:
        """The surface held at the carbon limit at ``fraction`` of the stage."""
        try:
            limit_wt = self.stage.carbon_limit_at(self.steel, fraction)
        except ValueError as error:
            raise Failure(f"carbide is at the surface, but the carbon limit is not known: {error}") from None
        return Held(limit_wt, float(site_fractions(limit_wt, self.stage.nitrogen_potential_wt or 0.0)[0]))

    def conditions(self, fraction: float) -> tuple[SurfaceCondition, SurfaceCondition]:
        """The surface conditions at ``fraction`` of the stage (those of a
        furnace log change within it)."""
        own = self.stage.conditions_at(fraction) if self.stage.varying else self.own
        return (self.limit(fraction), own[1]) if self.saturated else own

    def change(self, y: _Array, t: float, carbide: float) -> float:
        """How far past the switch of the carbon surface the profile ``y`` is
        at ``t`` after the start of the stage, with ``carbide`` left: the
        surface reaches the limit in a boost, the carbide is used up while it
        is held there (negative before, so -inf where nothing switches)."""
        if self.saturated:
            return -carbide
        if self.delivered_y == 0.0:
            return -math.inf
        fraction = t / self.stage.duration_s
        return self.surface_at(y, fraction)[0] - self.limit(fraction).potential_y

    def stop(self, y: _Array, t: float, carbide: float) -> float:
        """How far past where the stage is to end the profile ``y`` is at
        ``t`` after the start of the stage (negative before, -inf where it
        runs to its end)."""
        if self.to_limit:
            # A hair short of the limit, so that the stage run again with
            # steps of its own does not go past it.
            return 0.0 if self.saturated else self.change(y, t, carbide) + _LIMIT_MARGIN_WT / WT_PER_SITE_FRACTION[0]
        if self.falls_to_wt is None:
            return -math.inf
        surface = self.surface_at(y, t / self.stage.duration_s)
        return self.falls_to_wt - float(weight_percent(*surface)[0])

    def carbide_used(self, step: Step) -> float:
        """The carbide that the part takes in the step, less what the
        atmosphere delivers."""
        if not self.saturated:
            return 0.0
        return step.uptake[0] - self.delivered_y * step.dt

    def history(self, y: _Array, fraction: float) -> History:
        """A history that starts from ``y`` alone at ``fraction`` of the stage."""
        operator = self.operator(y, fraction)
        rate, flux = operator.rates(y[self.rows])
        return History(y[self.rows], rate / self.grid.volumes, flux, self.rows, operator)

    def step(self, history: History, y: _Array, t: float, dt: float) -> Step:
        """The step of length ``dt`` from ``y`` at ``t`` after the start of
        the stage, at the order of the ``history``, with the diffusivities
        of the profile that it predicts (the first step of a history, with
        those of its start)."""
        differences = history.at(dt)
        predicted = history.predicted(differences)
        operator = history.start
        if operator is None:
            profile = y.copy()
            profile[self.rows] = predicted[:, :-1]
            operator = self.operator(profile, (t + dt) / self.stage.duration_s)
        return Step(operator, differences, history.order, predicted, self.rows, self.grid.volumes, y, dt)

    def operator(self, y: _Array, fraction: float) -> Operator:
        """The operator of the composition ``y`` (clipped to what the maximum
        principle allows) at ``fraction`` of the stage."""
        y = self.bounds.clip(y)
        temperature = self.stage.temperature_k(fraction)
        conditions = self.conditions(fraction)
        surface, diffusivity = self.balance.solve(conditions, y[:, 0].tolist(), temperature)
        if diffusivity is None:
            diffusivity = self._surface_diffusivities(surface, temperature)
        compositions = (0.5 * (y[:, :-1] + y[:, 1:])).T.tolist()
        faces = np.zeros((len(self.active), self.grid.cells))
        for row, i in enumerate(self.active):
            np.multiply(self.coefficients.at(i, compositions, temperature), self.face_factor, out=faces[row, :-1])
        laws = [conditions[i].law(2.0 * diffusivity[i] / self.grid.spacing) for i in self.active]
        return Operator(faces, np.array([g for g, _ in laws]), np.array([source for _, source in laws]))

    def surface_at(self, y: _Array, fraction: float) -> list[float]:
        """The surface composition beside the profile ``y`` at ``fraction`` of the stage."""
        return self.balance.solve(self.conditions(fraction), y[:, 0].tolist(), self.stage.temperature_k(fraction))[0]

    def _surface_diffusivities(self, surface: list[float], temperature: float) -> list[float]:
        # A boost's surface may overshoot the limit within a rejected step.
        return self.coefficients.at_surface(self.bounds.clip_surface(surface), temperature, self.active)
