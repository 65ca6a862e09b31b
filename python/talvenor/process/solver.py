"""Coupled carbon and nitrogen diffusion through a recipe: the numerics.

Space: conservative finite volumes on ``cells`` equal cells from the treated
surface inwards, one value per cell at its centre.  The flux between two cells
is ``A D (y_i - y_{i+1}) / h`` with the face area ``A = (r / R)**m`` per unit
of treated surface and D evaluated at the mean composition of the two cells.
At the treated surface the flux into the part is ``g (y_potential - y_0)``,
where the conductance g joins the half cell between the surface and the first
centre (``2 D_s / h``) in series with the mass-transfer coefficient beta (a
held surface is the limit of an infinite beta, a closed one has g = 0); D_s is
taken at the composition of the surface itself.  The far face of a plate and
the centre of a cylinder or sphere carry no flux.

Time: TR-BDF2, a one-step, L-stable, second-order scheme of two implicit
stages per step (a trapezoidal stage to t + gamma dt, then a BDF2 stage to
t + dt): any step is stable, and the jump of a surface condition is damped,
not ringing.  The diffusivities of a step are evaluated once, at an estimate
of the composition half way through it, and frozen for the step; that keeps
the step second order (as in the midpoint rule) and leaves each element one
linear tridiagonal system, with the same matrix for both stages.

Every recipe stage starts afresh with the same number of steps, equal in the
square root of the time since the start of the stage: after a jump of the
surface condition the profile near the surface changes as that square root
does, so the first steps are short and the estimate of each step's middle,
extrapolated from the states of the previous step against the same square
root, stays close.  (The first step, with no previous one, takes the
diffusivities of its start.)  The steps of a stage depend on that stage
alone.

The scheme is written in its Runge-Kutta form, so the content of the part
changes in each step by exactly the step's quadrature of the surface flux;
the history records that integral beside the surface composition.
"""

from __future__ import annotations

import array
import copy
import dataclasses
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from .. import constants
from .tridiagonal import Tridiagonal

__all__ = ["ELEMENTS", "GEOMETRIES", "Grid", "Trajectory", "integrate"]

#: Geometry name to the exponent m of r in the diffusion equation.
GEOMETRIES = {"plate": 0, "cylinder": 1, "sphere": 2}

ELEMENTS = ("carbon", "nitrogen")

# TR-BDF2: the trapezoidal stage ends at t + GAMMA dt; the BDF2 stage has the
# Runge-Kutta weights (W, W, D) of the rates at t, t + GAMMA dt and t + dt.
GAMMA = 2.0 - math.sqrt(2.0)
D = GAMMA / 2.0
W = math.sqrt(2.0) / 4.0

Diffusivity = Callable[[list[float], float], float]
if TYPE_CHECKING:
    from .recipe import Stage

    _Array = NDArray[np.float64]


@dataclass(frozen=True, eq=False)
class Grid:
    """Equal cells from the treated surface inwards, per unit of treated surface."""

    depth_m: float
    cells: int
    volumes: _Array  # of the cells, in m
    areas: _Array  # of the faces between neighbouring cells, relative to the surface

    @classmethod
    def build(cls, depth_m: float, cells: int, geometry: str) -> Grid:
        m = GEOMETRIES[geometry]
        # Radii of the cell faces relative to the outer one, from the surface
        # (1) to the far face (0 for a cylinder or sphere).
        relative = 1.0 - np.arange(cells + 1) / cells
        volumes = depth_m * (relative[:-1] ** (m + 1) - relative[1:] ** (m + 1)) / (m + 1)
        return cls(depth_m, cells, volumes, relative[1:-1] ** m)

    @property
    def spacing(self) -> float:
        return self.depth_m / self.cells

    def centres_m(self) -> _Array:
        """Depths of the cell centres below the treated surface."""
        return np.asarray(self.spacing * (np.arange(self.cells) + 0.5), dtype=np.float64)


@dataclass
class Trajectory:
    """What a run produces, in site fractions; a profile is (2, cells + 1),
    carbon then nitrogen, the surface first."""

    times_s: list[float]  # of the history points
    surfaces: list[list[float]]  # surface compositions [y_C, y_N] at those times
    uptakes: list[list[float]]  # time-integrated surface fluxes up to those times, in m
    records: list[tuple[float, _Array]]  # (time, profile) at the times asked for
    final: _Array  # profile at the end


class _Failure(ValueError):
    """A run that cannot go on; integrate() names the stage."""


def integrate(grid: Grid, stages: Sequence[Stage], core: _Array, diffusivities: tuple[Diffusivity, Diffusivity],
              *, slycke_limit: bool, steps_per_stage: int, record_times_s: Sequence[float],
              progress: Callable[[float], None] | None = None) -> Trajectory:
    """Run ``stages`` from the uniform composition ``core`` (2,) in site fractions.

    ``slycke_limit`` stops a run whose composition reaches 5 (y_C + y_N) = 1,
    where the default diffusivities are singular.  The profile at a record
    time is the end of the recipe cut short at that time.  ``progress`` is
    called after every step with the time done so far in s.  Failures are
    ValueErrors that name the stage.
    """
    run = _Run(grid, core, diffusivities, slycke_limit, steps_per_stage, progress)
    pending = sorted(record_times_s)
    records: list[tuple[float, _Array]] = []
    start = 0.0
    for number, stage in enumerate(stages, 1):
        end = start + stage.duration_s
        try:
            while pending and pending[0] < end:
                t = pending.pop(0)
                records.append((t, run.copy().stage(_cut(stage, t - start), start) if t > start else run.profile()))
            run.stage(stage, start)
        except _Failure as failure:
            raise ValueError(f"stage {number} of {len(stages)}: {failure}") from None
        start = end
    records += [(t, run.profile()) for t in pending]
    return Trajectory(run.times_s, run.surfaces, run.uptakes, records, run.profile())


def _cut(stage: Stage, duration_s: float) -> Stage:
    """The stage cut short after ``duration_s``."""
    end_c = stage.temperature_k(duration_s / stage.duration_s) - constants.T_NORMAL
    return dataclasses.replace(stage, duration_h=duration_s / 3600.0,
                               end_temperature_c=None if stage.end_temperature_c is None else end_c)


class _Run:
    """The state of a run between recipe stages, and its history."""

    def __init__(self, grid: Grid, core: _Array, diffusivities: tuple[Diffusivity, Diffusivity],
                 slycke_limit: bool, steps: int, progress: Callable[[float], None] | None) -> None:
        self.grid = grid
        self.progress = progress
        self.diffusivities = diffusivities
        self.slycke_limit = slycke_limit
        self.fractions = (np.arange(steps + 1) / steps) ** 2
        self.y = np.repeat(np.asarray(core, dtype=float)[:, None], grid.cells, axis=1)
        self.surface = self.y[:, 0].tolist()
        self.uptake = [0.0, 0.0]
        self.times_s: list[float] = []
        self.surfaces: list[list[float]] = []
        self.uptakes: list[list[float]] = []

    def copy(self) -> _Run:
        """A run from the present state with a history of its own."""
        twin = copy.copy(self)
        twin.times_s, twin.surfaces, twin.uptakes = [], [], []
        twin.progress = None
        return twin

    def profile(self) -> _Array:
        """The present profile (2, cells + 1), the surface first."""
        return np.concatenate((np.array(self.surface)[:, None], self.y), axis=1)

    def stage(self, stage: Stage, start_s: float) -> _Array:
        """Advance through one recipe stage; return the profile at its end."""
        physics = _StagePhysics(self, stage)
        duration = stage.duration_s
        y, uptake = self.y, self.uptake
        previous: tuple[tuple[float, _Array], ...] = ()
        for fraction, next_fraction in zip(self.fractions[:-1], self.fractions[1:]):
            t = start_s + duration * fraction
            dt = duration * (next_fraction - fraction)
            middle = 0.5 * (fraction + next_fraction)
            # The first step of a stage, with nothing of the stage to
            # extrapolate from, takes the diffusivities of its start.
            guess = _extrapolate(previous, math.sqrt(t + 0.5 * dt - start_s)) if previous else y
            step = physics.step(y, guess, dt, middle)
            physics.check_limit(step.y_next)
            if t == start_s:
                self._remember(t, physics.surface(y[:, 0].tolist(), step.frozen.surface_diffusivities), uptake)
            self._remember(t + GAMMA * dt, step.surface_mid, [u + g for u, g in zip(uptake, step.uptake_mid)])
            uptake = [u + g for u, g in zip(uptake, step.uptake)]
            self._remember(t + dt, step.surface_next, uptake)
            previous = step.states(t, start_s)
            y = step.y_next
            if self.progress is not None:
                self.progress(t + dt)
        self.y, self.surface, self.uptake = y, self.surfaces[-1], uptake
        return self.profile()

    def _remember(self, t: float, surface: list[float], uptake: list[float]) -> None:
        self.times_s.append(t)
        self.surfaces.append(surface)
        self.uptakes.append(uptake)


def _extrapolate(states: Sequence[tuple[float, _Array]], t: float) -> _Array:
    """The polynomial through the (time, composition) pairs, at ``t``."""
    times = [s for s, _ in states]
    return sum((math.prod((t - other) / (own - other) for other in times if other != own) * y
                for own, y in states), np.zeros(()))


class _Step:
    """One TR-BDF2 step of length ``dt`` from ``y`` with frozen diffusivities.

    Freezing the diffusivities at a second-order estimate of the middle of
    the step keeps the step second order, as in the midpoint rule; the
    elements then move independently through the step, each with one
    tridiagonal matrix, V / (D dt) + A, for both of its implicit stages.
    """

    def __init__(self, physics: _StagePhysics, frozen: _Frozen, y: _Array, dt: float) -> None:
        self.y = y
        self.dt = dt
        self.frozen = frozen
        self.y_mid = y.copy()
        self.y_next = y.copy()
        self.uptake_mid = [0.0, 0.0]  # content gained, in site fraction times m
        self.uptake = [0.0, 0.0]
        scale = physics.grid.volumes / (D * dt)
        for i in physics.active:
            self.y_mid[i], self.y_next[i], self.uptake_mid[i], self.uptake[i] = _advance(
                y[i], dt, scale, frozen.conductances[i], frozen.surface_conductances[i], physics.conditions[i].target)
        self.surface_mid = physics.surface(self.y_mid[:, 0].tolist(), frozen.surface_diffusivities)
        self.surface_next = physics.surface(self.y_next[:, 0].tolist(), frozen.surface_diffusivities)

    def states(self, t: float, start_s: float) -> tuple[tuple[float, _Array], ...]:
        """The compositions of the step that starts at ``t``, against the
        square root of the time since ``start_s``."""
        return tuple((math.sqrt(time - start_s), y) for time, y in
                     ((t, self.y), (t + GAMMA * self.dt, self.y_mid), (t + self.dt, self.y_next)))


def _advance(y: _Array, dt: float, scale: _Array, conductance: _Array, g: float,
             potential: float) -> tuple[_Array, _Array, float, float]:
    """One element through a step: its compositions at t + GAMMA dt and at
    t + dt, and the content it gained by then (in site fraction times m)."""
    diagonal = scale.copy()
    diagonal[:-1] += conductance
    diagonal[1:] += conductance
    diagonal[0] += g
    system = Tridiagonal(diagonal.tolist(), conductance.tolist())
    flow = conductance * (y[:-1] - y[1:])
    f = np.zeros_like(y)
    f[1:] = flow
    f[:-1] -= flow
    flux = g * (potential - float(y[0]))
    f[0] += flux
    base = scale * y
    # Trapezoidal stage to t + GAMMA dt.
    mid = _array(system.solve((base + f).tolist(), g * potential))
    f_mid = scale * mid - base - f
    flux_mid = g * (potential - float(mid[0]))
    # BDF2 stage to t + dt, with the same matrix.
    after = _array(system.solve((base + (W / D) * (f + f_mid)).tolist(), g * potential))
    flux_next = g * (potential - float(after[0]))
    # The Runge-Kutta quadrature of the surface flux.
    return mid, after, D * dt * (flux + flux_mid), dt * (W * (flux + flux_mid) + D * flux_next)


@dataclass
class _Frozen:
    """The diffusivities of a step, as the operator f = b - A y uses them:
    face conductances A D / h and surface conductances of the active
    elements, and the diffusivities at the surface."""

    conductances: dict[int, _Array]
    surface_conductances: list[float]
    surface_diffusivities: list[float]


class _StagePhysics:
    """One recipe stage: its surface conditions, its temperature and the
    diffusivities."""

    def __init__(self, run: _Run, stage: Stage) -> None:
        self.grid = run.grid
        self.stage = stage
        self.diffusivities = run.diffusivities
        self.slycke_limit = run.slycke_limit
        self.face_factor = self.grid.areas / self.grid.spacing
        self.conditions = (stage.carbon, stage.nitrogen)
        # An element with a closed surface and a uniform profile stays as it is.
        self.active = [i for i, c in enumerate(self.conditions) if not c.closed or run.y[i].min() != run.y[i].max()]
        # Predictions are clipped to what the maximum principle allows in
        # this stage: the range of the profile at its start and the potential.
        self.low = np.array([[min(run.y[i].min(), c.target if not c.closed else math.inf)]
                             for i, c in enumerate(self.conditions)])
        self.high = np.array([[max(run.y[i].max(), c.target if not c.closed else -math.inf)]
                              for i, c in enumerate(self.conditions)])

    def step(self, y: _Array, guess: _Array, dt: float, fraction: float) -> _Step:
        """The step from ``y`` with the diffusivities at ``guess`` and the
        temperature at ``fraction`` of the stage."""
        return _Step(self, self.freeze(guess, fraction), y, dt)

    def freeze(self, guess: _Array, fraction: float) -> _Frozen:
        """The diffusivities at ``guess`` (clipped to what the maximum
        principle allows) and the temperature at ``fraction`` of the stage."""
        guess = np.clip(guess, self.low, self.high)
        temperature = self.stage.temperature_k(fraction)
        first = guess[:, 0].tolist()
        # The surface composition can depend on D there: one fixed-point step
        # from the one it has where D is not known.
        surface = self.surface(first, None)
        surface = self.surface(first, [self._evaluate(i, [surface[0]], [surface[1]], temperature)[0]
                                       if i in self.active else 0.0 for i in (0, 1)])
        carbon, nitrogen = (0.5 * (guess[:, :-1] + guess[:, 1:])).tolist()
        carbon.insert(0, surface[0])
        nitrogen.insert(0, surface[1])
        conductances = {}
        surface_conductance = [0.0, 0.0]
        surface_diffusivity = [0.0, 0.0]
        for i in self.active:
            values = self._evaluate(i, carbon, nitrogen, temperature)
            surface_diffusivity[i] = values[0]
            surface_conductance[i] = self.conditions[i].conductance(2.0 * values[0] / self.grid.spacing)
            conductances[i] = _array(values)[1:] * self.face_factor
        return _Frozen(conductances, surface_conductance, surface_diffusivity)

    def surface(self, first: list[float], diffusivity: list[float] | None) -> list[float]:
        """The surface composition beside the first cell's ``first``, with the
        diffusivities there, or None where they are not known."""
        surface = list(first)
        for i in self.active:
            half_cell = None if diffusivity is None else 2.0 * diffusivity[i] / self.grid.spacing
            surface[i] = self.conditions[i].surface(first[i], half_cell)
        return surface

    def _evaluate(self, element: int, carbon: list[float], nitrogen: list[float], temperature: float) -> list[float]:
        """D of an element at the compositions ``zip(carbon, nitrogen)``."""
        diffusivity = self.diffusivities[element]
        values = [diffusivity([c, n], temperature) for c, n in zip(carbon, nitrogen)]
        if not (min(values) >= 0.0 and max(values) < math.inf):
            j = next(j for j, value in enumerate(values) if not 0.0 <= value < math.inf)
            self.check_limit(np.array([[carbon[j]], [nitrogen[j]]]))
            raise _Failure(f"the {ELEMENTS[element]} diffusivity is {values[j]!r} m²/s at y_C = {carbon[j]!r}, "
                           f"y_N = {nitrogen[j]!r} and {temperature!r} K; it must be finite and not negative")
        return values

    def check_limit(self, y: _Array) -> None:
        if not self.slycke_limit:
            return
        reach = 5.0 * (y[0] + y[1])
        if reach.max() >= 1.0:
            j = int(np.argmax(reach >= 1.0))
            raise _Failure(f"carbon and nitrogen reach 5 (y_C + y_N) = {float(reach[j])!r} "
                           f"(y_C = {float(y[0, j])!r}, y_N = {float(y[1, j])!r}), "
                           "where the Slycke diffusivities are singular")


def _array(values: list[float]) -> _Array:
    """A list of floats as an array: through a buffer, which is quicker for
    this than ``np.array``'s look at every item."""
    return np.frombuffer(array.array("d", values), dtype=np.float64)
