"""Coupled carbon and nitrogen diffusion through a recipe: the numerics.

Space: conservative finite volumes on ``cells`` equal cells from the treated
surface inwards, one value per cell at its centre.  The flux between two cells
is ``A D (y_i - y_{i+1}) / h`` with the face area ``A = (r / R)**m`` per unit
of treated surface and D evaluated at the mean composition of the two cells.
The flux through the treated surface is the surface condition's (see
:mod:`.surface`), through the half cell between the surface and the first
centre, of conductance ``2 D_s / h``; D_s is taken at the composition of the
surface itself, which is found from the balance of the two fluxes by the
secant method.  The far face of a plate and the centre of a cylinder
or sphere carry no flux.

Time: TR-BDF2, a one-step, L-stable, second-order scheme of two implicit
stages per step (a trapezoidal stage to t + gamma dt, then a BDF2 stage to
t + dt): any step is stable, and the jump of a surface condition is damped,
not ringing.  The diffusivities vary linearly through a step, between those
of its start and those of its end, each implicit stage taking the ones of
its own time, so that every stage solves one linear tridiagonal system.  The
diffusivities at the end are evaluated at the composition extrapolated from
the three states of the previous step against the square root of the time
since the start of the stage, as the profile near the surface changes after
a jump of the surface condition, and the next step starts from them: they
change continuously from step to step, where diffusivities frozen anew for
each step would jolt the stiff cells near the surface at every step.  The
first step of a stage keeps the diffusivities of its start.

Step sizes: the local error of each step is estimated by the difference to
the third-order solution embedded in the same stages (Hosea and Shampine,
Applied Numerical Mathematics 20 (1996) 21-37), filtered through the step's
matrix as they advise for stiff problems.  A step from t to t + dt after the
start of a stage of duration T is accepted when that error, in wt%, is
within the tolerance times ``dt T / (t + dt)**2``: later steps may err by
less, in proportion to their share of the stage and to how little of the
error they make fades before its end (an error made early is spread over an
ever deeper profile).  Where the surface follows the first cell (behind a
mass-transfer coefficient, in a boost) no step errs by more than the
tolerance either, so that the history of the surface is as accurate as the
profiles.  The next step is sized from the error.  With a fixed number of
steps per stage instead, the steps are equal in the square root of the time
since the start of the stage.  Either way a step is taken again, shorter, when it would
leave the range that the maximum principle allows: the range of the profile
at the start of the stage and of what its surface conditions drive it to.
The steps of a stage depend on that stage and the profile at its start
alone.

The scheme is written in its Runge-Kutta form, so the content of the part
changes in each step by exactly the step's quadrature of the surface flux;
the history records that integral beside the surface composition, which is
found for each point of the history from the balance at that time's
temperature.
"""

from __future__ import annotations

import array
import copy
import itertools
import math
import numbers
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from .composition import MOLAR_MASS_CARBON, MOLAR_MASS_IRON, MOLAR_MASS_NITROGEN, site_fractions, weight_percent
from .surface import Held, SurfaceCondition
from .tridiagonal import Tridiagonal

__all__ = ["ELEMENTS", "GEOMETRIES", "Grid", "Run", "Trajectory", "integrate"]

#: Geometry name to the exponent m of r in the diffusion equation.
GEOMETRIES = {"plate": 0, "cylinder": 1, "sphere": 2}

ELEMENTS = ("carbon", "nitrogen")

# TR-BDF2: the trapezoidal stage ends at t + GAMMA dt; the BDF2 stage has the
# Runge-Kutta weights (W, W, D) of the rates at t, t + GAMMA dt and t + dt.
GAMMA = 2.0 - math.sqrt(2.0)
D = GAMMA / 2.0
W = math.sqrt(2.0) / 4.0
# The same weights less those of the embedded third-order solution,
# ((1 - W) / 3, (3 W + 1) / 3, D / 3), over D: the rates so weighted, through
# the step's matrix, give the step's error (its rates are V dy/dt).
_FILTERED_ERROR_WEIGHTS = ((4.0 * W - 1.0) / (3.0 * D), -1.0 / (3.0 * D), 2.0 / 3.0)

# wt% per unit of site fraction, at low contents, of carbon and nitrogen.
_WT_PER_Y = 100.0 / MOLAR_MASS_IRON * np.array([MOLAR_MASS_CARBON, MOLAR_MASS_NITROGEN])

# Step-size control: the first step of a stage as a fraction of the stage,
# and the bounds and safety factor of the change from one step to the next.
_FIRST_STEP = 1e-4
_GROWTH, _SHRINK, _SAFETY = 4.0, 0.2, 0.9
# How much shorter a step is taken again after leaving the allowed range.
_BOUNDS_SHRINK = 0.25
# Leaving the allowed range by less than this fraction of it is rounding.
_ROUNDING = 1e-12
_EPSILON = float(np.finfo(np.float64).eps)
_SURFACE_ITERATIONS = 50
# How far short of the carbon limit a stage run to the limit ends, in wt%.
_LIMIT_MARGIN_WT = 1e-3

Diffusivity = Callable[[list[float], float], float]
CarbonLimit = Callable[["Stage", float], float]
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
    carbides: list[float]  # carbon held as carbide at the surface at those times, in m
    records: list[tuple[float, _Array]]  # (time, profile) at the times asked for
    final: _Array  # profile at the end


class _Failure(ValueError):
    """A run that cannot go on; integrate() names the stage."""


def integrate(grid: Grid, stages: Sequence[Stage], core: _Array, diffusivities: tuple[Diffusivity, Diffusivity],
              *, grams: tuple[float, float], carbon_limit_wt: CarbonLimit, slycke_limit: bool, tolerance_wt: float,
              steps_per_stage: int | None, record_times_s: Sequence[float],
              progress: Callable[[float], None] | None = None) -> Trajectory:
    """Run ``stages`` from the uniform composition ``core`` (2,) in site fractions.

    ``grams`` are the grams of carbon and of nitrogen per m² of treated
    surface per unit of site fraction times m, and ``carbon_limit_wt(stage,
    fraction)`` the carbon content at which carbide forms at the surface at
    ``fraction`` of a stage: a boost holds the surface there once it gets
    there, and so does any stage while carbide remains.

    The steps keep the local error of each stage within ``tolerance_wt``,
    or are ``steps_per_stage`` to a stage where that is given.
    ``slycke_limit`` stops a run whose composition reaches 5 (y_C + y_N) = 1,
    where the default diffusivities are singular.  The profile at a record
    time is the end of the recipe cut short at that time.  ``progress`` is
    called after every step with the time done so far in s.  Failures are
    ValueErrors that name the stage.
    """
    run = Run(grid, core, diffusivities, grams, carbon_limit_wt, slycke_limit, tolerance_wt, steps_per_stage, progress)
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
        except _Failure as failure:
            raise ValueError(f"stage {number} of {len(stages)}: {failure}") from None
        start = end
    records += [(t, run.profile()) for t in pending]
    return Trajectory(run.times_s, run.surfaces, run.uptakes, run.carbides, records, run.profile())


class Run:
    """The state of a run between recipe stages, and its history."""

    def __init__(self, grid: Grid, core: _Array, diffusivities: tuple[Diffusivity, Diffusivity],
                 grams: tuple[float, float], carbon_limit_wt: CarbonLimit, slycke_limit: bool, tolerance_wt: float,
                 steps: int | None, progress: Callable[[float], None] | None) -> None:
        self.grid = grid
        self.progress = progress
        self.diffusivities = diffusivities
        self.grams = grams
        self.carbon_limit_wt = carbon_limit_wt
        self.slycke_limit = slycke_limit
        self.tolerance_wt = tolerance_wt
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

    def stage(self, stage: Stage, start_s: float, *, to_limit: bool = False,
              falls_to_wt: float | None = None) -> _Array:
        """Advance through one recipe stage; return the profile at its end.

        The stage ends early, within 1e-3 of a step, where a boost's surface
        reaches the carbon limit (``to_limit``; 0.001 wt% short of it) or
        where the carbon at the surface falls to ``falls_to_wt``; the history
        tells when.
        """
        physics = _StagePhysics(self, stage, to_limit, falls_to_wt)
        duration = stage.duration_s
        ends = None if self.fixed is None else [duration * fraction for fraction in self.fixed]
        y, uptake, carbide = self.y, self.uptake, self.carbide
        physics.saturated = carbide > 0.0 or physics.change(y, 0.0, carbide) >= 0.0
        self._remember(start_s, physics.surface_at(y, 0.0), uptake, carbide)
        if not physics.active:
            self._remember(start_s + duration, physics.surface_at(y, 1.0), uptake, carbide)
            self.surface = self.surfaces[-1]
            return self.profile()
        previous: tuple[tuple[float, _Array], ...] = ()
        operator = physics.operator(y, 0.0)
        t, dt = 0.0, duration * _FIRST_STEP if ends is None else math.inf
        while t < duration:
            end = duration if ends is None else ends[0]
            # The last step of a stretch ends exactly at its end; one that
            # would leave a sliver behind shares the rest with the one before.
            if end - t <= 1.1 * dt:
                dt = end - t
            elif end - t < 2.0 * dt:
                dt = 0.5 * (end - t)
            step = physics.step(y, operator, previous, t, dt)
            if not physics.allows(step):
                dt *= _BOUNDS_SHRINK
                continue
            share = dt * duration / (t + dt) ** 2
            ratio = step.error_wt / (self.tolerance_wt * (min(1.0, share) if physics.followed else share))
            if ends is None and ratio > 1.0:
                dt *= _growth(ratio)
                continue
            after = carbide - physics.carbide_used(step)
            stops = physics.stop(step.y_next, t + dt, after) >= 0.0
            switches = not stops and physics.change(step.y_next, t + dt, after) >= 0.0
            if stops or switches:
                step = physics.cut(step, operator, previous, t, carbide, physics.stop if stops else physics.change,
                                   before=switches and physics.saturated)
            physics.check_limit(step.y_mid)
            physics.check_limit(step.y_next)
            time, dt = start_s + t, step.dt
            carbide_mid = carbide - physics.carbide_used(step, mid=True)
            carbide -= physics.carbide_used(step)
            self._remember(time + GAMMA * dt, physics.surface_at(step.y_mid, (t + GAMMA * dt) / duration),
                           [u + g for u, g in zip(uptake, step.uptake_mid)], carbide_mid)
            uptake = [u + g for u, g in zip(uptake, step.uptake)]
            t = end if dt == end - t else t + dt
            y = step.y_next
            previous, operator = step.states(time, start_s), step.end
            if switches:
                if physics.saturated:
                    # What is left of the carbide, a rounding error of the cut,
                    # dissolves into the first cell, so nothing is lost.
                    y = y.copy()
                    y[0, 0] += carbide / self.grid.volumes[0]
                    uptake[0] += carbide
                    carbide = 0.0
                physics.saturated = not physics.saturated
                # The surface condition jumps: the next step starts afresh.
                previous, operator = (), physics.operator(y, t / duration)
            self._remember(start_s + t, physics.surface_at(y, t / duration), uptake, carbide)
            if self.progress is not None:
                self.progress(start_s + t)
            if stops:
                break
            if ends is None:
                dt *= _growth(ratio)
            else:
                # On to the end of the planned step (one cut short to keep
                # within the bounds takes the rest in one go where it can).
                if t == end:
                    ends.pop(0)
                dt = math.inf
        self.y, self.surface, self.uptake, self.carbide = y, self.surfaces[-1], uptake, carbide
        return self.profile()

    def _remember(self, t: float, surface: list[float], uptake: list[float], carbide: float) -> None:
        self.times_s.append(t)
        self.surfaces.append(surface)
        self.uptakes.append(uptake)
        self.carbides.append(carbide)


def _growth(ratio: float) -> float:
    """How much longer the next step can be after one whose error was
    ``ratio`` of the error allowed."""
    return min(_GROWTH, max(_SHRINK, _SAFETY / math.sqrt(ratio)) if ratio > 0.0 else _GROWTH)


def _extrapolate(states: Sequence[tuple[float, _Array]], t: float) -> _Array:
    """The polynomial through the (time, composition) pairs, at ``t``."""
    times = [s for s, _ in states]
    return sum((math.prod((t - other) / (own - other) for other in times if other != own) * y
                for own, y in states), np.zeros(()))


@dataclass
class _Operator:
    """The diffusivities at one time, as the surface flux ``source - g y_0``
    and the face conductances ``A D / h`` of the active elements use them."""

    faces: _Array  # (active elements, cells): the conductance to the next cell, none from the last
    g: _Array  # (active elements,)
    source: _Array  # (active elements,)

    def towards(self, other: _Operator, weight: float) -> _Operator:
        """The operator ``weight`` of the way from this one to ``other``."""
        if other is self:
            return self
        return _Operator(*((1.0 - weight) * a + weight * b for a, b in
                           ((self.faces, other.faces), (self.g, other.g), (self.source, other.source))))

    def system(self, scale: _Array) -> Tridiagonal:
        """The matrix ``scale + A``, the elements' systems stacked: the
        conductance of the last face of an element, none, couples it to the
        next one."""
        faces = self.faces
        diagonal = scale + faces
        diagonal[:, 1:] += faces[:, :-1]
        diagonal[:, 0] += self.g
        return Tridiagonal(diagonal.ravel(), faces.ravel()[:-1])

    def rates(self, y: _Array) -> tuple[_Array, _Array]:
        """The rates V dy/dt of the profiles ``y``, and the surface fluxes."""
        flow = self.faces[:, :-1] * (y[:, :-1] - y[:, 1:])
        f = np.zeros(y.shape)
        f[:, 1:] = flow
        f[:, :-1] -= flow
        flux = self.surface_flux(y)
        f[:, 0] += flux
        return f, flux

    def surface_flux(self, y: _Array) -> _Array:
        return self.source - self.g * y[:, 0]


class _Step:
    """One TR-BDF2 step of length ``dt`` from ``y``.

    The diffusivities vary linearly through the step, from the operator
    ``start`` to the operator ``end``, each implicit stage taking those of
    its own time; the next step starts from this one's ``end``, so that they
    change continuously from step to step.  The active elements move
    independently through the step, so their systems are stacked into one
    tridiagonal matrix, V / (D dt) + A, per stage.
    """

    def __init__(self, start: _Operator, end: _Operator, rows: slice, volumes: _Array, y: _Array, dt: float) -> None:
        self.y, self.dt, self.end = y, dt, end
        initial = y[rows]
        shape = initial.shape
        scale = volumes / (D * dt)
        middle = start.towards(end, GAMMA)
        system_mid = middle.system(scale)
        system_end = system_mid if end is start else end.system(scale)

        def solve(system: Tridiagonal, rhs: _Array) -> _Array:
            return system.solve(rhs.ravel()).reshape(shape)

        f, flux = start.rates(initial)
        base = scale * initial
        # Trapezoidal stage to t + GAMMA dt.
        rhs = base + f
        rhs[:, 0] += middle.source
        mid = solve(system_mid, rhs)
        f_mid = scale * mid - base - f
        # BDF2 stage to t + dt.
        explicit = (W / D) * (f + f_mid)
        rhs = base + explicit
        rhs[:, 0] += end.source
        after = solve(system_end, rhs)
        f_next = scale * (after - initial) - explicit
        e1, e2, e3 = _FILTERED_ERROR_WEIGHTS
        estimate = solve(system_end, e1 * f + e2 * f_mid + e3 * f_next)
        self.error_wt = float((np.abs(estimate).max(axis=1) * _WT_PER_Y[rows]).max())
        # The rounding error of the solutions grows with the condition of
        # the matrix: its diagonal over the part of it that is the cells'.
        self.rounding = 8.0 * _EPSILON * float((2.0 * middle.faces.max() + middle.g.max()) / scale.min() + 1.0)
        # The range of what the step reports: the profile at its end, and
        # the first cell, which the surface in its middle is found beside.
        self.low = np.minimum(mid[:, 0], after.min(axis=1))
        self.high = np.maximum(mid[:, 0], after.max(axis=1))
        # The Runge-Kutta quadrature of the surface flux, in site fraction
        # times m; an element at rest gains nothing.
        flux_mid = flux + middle.surface_flux(mid)
        self.uptake_mid, self.uptake = [0.0, 0.0], [0.0, 0.0]
        self.uptake_mid[rows] = (D * dt * flux_mid).tolist()
        self.uptake[rows] = (dt * (W * flux_mid + D * end.surface_flux(after))).tolist()
        self.y_mid, self.y_next = y.copy(), y.copy()
        self.y_mid[rows], self.y_next[rows] = mid, after

    def states(self, t: float, start_s: float) -> tuple[tuple[float, _Array], ...]:
        """The compositions of the step that starts at ``t``, against the
        square root of the time since ``start_s``."""
        return tuple((math.sqrt(time - start_s), y) for time, y in
                     ((t, self.y), (t + GAMMA * self.dt, self.y_mid), (t + self.dt, self.y_next)))


class _StagePhysics:
    """One recipe stage: its surface conditions, its temperature and the
    diffusivities."""

    def __init__(self, run: Run, stage: Stage, to_limit: bool = False, falls_to_wt: float | None = None) -> None:
        self.grid = run.grid
        self.stage = stage
        self.diffusivities = run.diffusivities
        self.face_factor = self.grid.areas / self.grid.spacing
        self.own = (stage.carbon.in_run(run.grams[0]), stage.nitrogen)
        self.carbon_limit_wt = run.carbon_limit_wt
        # Whether the surface is held at the carbon limit, as it is while
        # carbide remains; the stage's run switches it.
        self.saturated = False
        self.to_limit, self.falls_to_wt = to_limit, falls_to_wt
        # The last root of the surface balance, and the slope of its
        # residual there: the next balance starts from them.
        self.balance: tuple[list[float], list[float]] | None = None
        # A boost delivers its flux whether or not the part can take it.
        self.delivered_y = (stage.carbon_flux_g_m2_h or 0.0) / 3600.0 / run.grams[0]
        limited = stage.carbon_flux_g_m2_h is not None or run.carbide > 0.0
        # An element with a closed surface and a uniform profile stays as it
        # is; the others are the rows of a step.
        self.active = [i for i, c in enumerate(self.own)
                       if not c.closed or run.y[i].min() != run.y[i].max() or (i == 0 and limited)]
        self.rows = slice(self.active[0], self.active[-1] + 1) if self.active else slice(0, 0)
        # Whether no step may err by more than the tolerance: where the
        # surface follows the first cell, so that the error of the profile
        # there shows in the surface history, and where the stage's end is
        # not known, nor so the share of a step in it.
        self.followed = any(self.own[i].balanced for i in self.active) or to_limit or falls_to_wt is not None
        # What the maximum principle allows in this stage: the range of the
        # profile at its start and of what the surface drives it to.
        bounds = [c.bounds() for c in self.own]
        if limited:
            limits = [self.limit(fraction).potential_y for fraction in (0.0, 1.0)]
            bounds[0] = (min(bounds[0][0], *limits), max(bounds[0][1], *limits))
        self.low = np.array([min(run.y[i].min(), low) for i, (low, _) in enumerate(bounds)])
        self.high = np.array([max(run.y[i].max(), high) for i, (_, high) in enumerate(bounds)])
        slack = _ROUNDING * (self.high - self.low)
        self.floor, self.ceiling = (self.low - slack)[self.rows], (self.high + slack)[self.rows]
        # Within those bounds the Slycke singularity may be out of reach.
        self.slycke_limit = run.slycke_limit and 5.0 * float(self.high.sum()) >= 1.0

    def limit(self, fraction: float) -> Held:
        """The surface held at the carbon limit at ``fraction`` of the stage."""
        try:
            limit_wt = self.carbon_limit_wt(self.stage, fraction)
        except ValueError as error:
            raise _Failure(f"carbide is at the surface, but the carbon limit is not known: {error}") from None
        return Held(limit_wt, float(site_fractions(limit_wt, self.stage.nitrogen_potential_wt or 0.0)[0]))

    def conditions(self, fraction: float) -> tuple[SurfaceCondition, SurfaceCondition]:
        """The surface conditions at ``fraction`` of the stage."""
        return (self.limit(fraction), self.own[1]) if self.saturated else self.own

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
            return 0.0 if self.saturated else self.change(y, t, carbide) + _LIMIT_MARGIN_WT / _WT_PER_Y[0]
        if self.falls_to_wt is None:
            return -math.inf
        surface = self.surface_at(y, t / self.stage.duration_s)
        return self.falls_to_wt - float(weight_percent(*surface)[0])

    def carbide_used(self, step: _Step, *, mid: bool = False) -> float:
        """The carbide that the part takes in the step (to its middle), less
        what the atmosphere delivers."""
        if not self.saturated:
            return 0.0
        if mid:
            return step.uptake_mid[0] - self.delivered_y * GAMMA * step.dt
        return step.uptake[0] - self.delivered_y * step.dt

    def cut(self, step: _Step, start: _Operator, previous: Sequence[tuple[float, _Array]], t: float, carbide: float,
            quantity: Callable[[_Array, float, float], float], *, before: bool) -> _Step:
        """The ``step`` from ``t`` cut short where ``quantity`` (of the
        profile, the time and the carbide) crosses zero, to within 1e-3 of its
        length, by the Illinois variant of false position: just past the
        crossing, or just ``before`` it."""
        def value_of(cut: _Step) -> float:
            return quantity(cut.y_next, t + cut.dt, carbide - self.carbide_used(cut))

        resolution = 1e-3 * step.dt
        low, f_low = 0.0, quantity(step.y, t, carbide)
        high, f_high, best = step.dt, value_of(step), step
        side = 0
        while high - low > resolution:
            # Halving where false position has nothing to go by.
            trial = low - f_low * (high - low) / (f_high - f_low) if f_high > f_low else 0.5 * (low + high)
            trial = min(max(trial, low + 0.1 * resolution), high - 0.1 * resolution)
            cut = self.step(step.y, start, previous, t, trial)
            value = value_of(cut)
            if value >= 0.0:
                high, f_high = trial, value
                best = best if before else cut
                f_low = 0.5 * f_low if side == 1 else f_low
                side = 1
            else:
                low, f_low = trial, value
                best = cut if before else best
                f_high = 0.5 * f_high if side == -1 else f_high
                side = -1
        return best

    def step(self, y: _Array, start: _Operator, previous: Sequence[tuple[float, _Array]], t: float,
             dt: float) -> _Step:
        """The step from ``y`` and the operator ``start`` at ``t`` after the
        start of the stage, to the operator at the composition extrapolated
        from the ``previous`` step (without one, ``start`` throughout)."""
        end = start
        if previous:
            end = self.operator(_extrapolate(previous, math.sqrt(t + dt)), (t + dt) / self.stage.duration_s)
        return _Step(start, end, self.rows, self.grid.volumes, y, dt)

    def allows(self, step: _Step) -> bool:
        """Whether the step stays within what the maximum principle allows."""
        rounding = step.rounding * np.maximum(np.abs(self.floor), np.abs(self.ceiling))
        return bool(np.all(step.low >= self.floor - rounding) and np.all(step.high <= self.ceiling + rounding))

    def operator(self, y: _Array, fraction: float) -> _Operator:
        """The operator of the composition ``y`` (clipped to what the maximum
        principle allows) at ``fraction`` of the stage."""
        y = np.minimum(np.maximum(y, self.low[:, None]), self.high[:, None])
        temperature = self.stage.temperature_k(fraction)
        conditions = self.conditions(fraction)
        surface, diffusivity = self.surface(conditions, y[:, 0].tolist(), temperature)
        if diffusivity is None:
            diffusivity = self._surface_diffusivities(surface, temperature)
        compositions = (0.5 * (y[:, :-1] + y[:, 1:])).T.tolist()
        faces = np.zeros((len(self.active), self.grid.cells))
        for row, i in enumerate(self.active):
            np.multiply(self._evaluate(i, compositions, temperature), self.face_factor, out=faces[row, :-1])
        laws = [conditions[i].law(2.0 * diffusivity[i] / self.grid.spacing) for i in self.active]
        return _Operator(faces, np.array([g for g, _ in laws]), np.array([source for _, source in laws]))

    def surface_at(self, y: _Array, fraction: float) -> list[float]:
        """The surface composition beside the profile ``y`` at ``fraction`` of the stage."""
        return self.surface(self.conditions(fraction), y[:, 0].tolist(), self.stage.temperature_k(fraction))[0]

    def surface(self, conditions: Sequence[SurfaceCondition], first: list[float],
                temperature: float) -> tuple[list[float], list[float] | None]:
        """The surface composition beside the first cell's ``first``: where
        it depends on the diffusivities there, from the balance of the
        surface flux with the flux through the half cell, and then those
        diffusivities as well."""
        surface = [c.surface(y, None) for c, y in zip(conditions, first)]
        if not any(conditions[i].balanced for i in self.active):
            return surface, None
        # The root of the balance by the secant method (each element on its
        # own: they hardly affect each other's).  The balances of a stage
        # follow one another closely, so the first step is Newton's with the
        # slope of the last root, from that root; the first balance of a
        # stage starts with a step of fixed-point iteration instead.
        spacing = self.grid.spacing
        slopes = None
        if self.balance is not None:
            roots, slopes = self.balance
            surface = [root if conditions[i].balanced else y for i, (root, y) in enumerate(zip(roots, surface))]
        before: list[tuple[float, float]] = []
        for _ in range(_SURFACE_ITERATIONS):
            diffusivity = self._surface_diffusivities(surface, temperature)
            residual = [conditions[i].surface(y, 2.0 * diffusivity[i] / spacing) - surface[i]
                        if i in self.active else 0.0 for i, y in enumerate(first)]
            if all(abs(r) <= 1e-14 * abs(y) for r, y in zip(residual, surface)):
                break
            now = list(zip(surface, residual))
            if before:
                slopes = [(r - r_old) / (y - y_old) if r != r_old and y != y_old else -1.0
                          for (y, r), (y_old, r_old) in zip(now, before)]
            surface = [y - r / slope for (y, r), slope in zip(now, slopes)] if slopes else [y + r for y, r in now]
            before = now
        if slopes is not None:
            self.balance = surface, slopes
        return surface, diffusivity

    def _surface_diffusivities(self, surface: list[float], temperature: float) -> list[float]:
        # A boost's surface may overshoot the limit within a rejected step.
        surface = [min(max(y, low), high) for y, low, high in zip(surface, self.low.tolist(), self.high.tolist())]
        diffusivity = [0.0, 0.0]
        for i in self.active:
            value = self.diffusivities[i](surface, temperature)
            if not (isinstance(value, float) and 0.0 <= value < math.inf):
                value = float(self._evaluate(i, [surface], temperature)[0])  # names what is wrong
            diffusivity[i] = value
        return diffusivity

    def _evaluate(self, element: int, compositions: list[list[float]], temperature: float) -> _Array:
        """D of an element at each of the ``compositions`` [y_C, y_N]."""
        values = list(map(self.diffusivities[element], compositions, itertools.repeat(temperature)))
        name = ELEMENTS[element]
        try:
            result = np.frombuffer(array.array("d", values), dtype=np.float64)
        except TypeError:
            j, value = next((j, v) for j, v in enumerate(values) if not isinstance(v, numbers.Real))
            raise _Failure(f"the {name} diffusivity returned {value!r}, of type {type(value).__name__}, at "
                           f"{self._where(compositions[j], temperature)}; it must return a real number") from None
        if not (result.min() >= 0.0 and result.max() < math.inf):
            j = int(np.flatnonzero(~((result >= 0.0) & (result < math.inf)))[0])
            self.check_limit(np.array(compositions[j])[:, None])
            raise _Failure(f"the {name} diffusivity is {float(values[j])!r} m²/s at "
                           f"{self._where(compositions[j], temperature)}; it must be finite and not negative")
        return result

    @staticmethod
    def _where(composition: list[float], temperature: float) -> str:
        return f"y_C = {composition[0]!r}, y_N = {composition[1]!r} and {temperature!r} K"

    def check_limit(self, y: _Array) -> None:
        if not self.slycke_limit:
            return
        reach = 5.0 * (y[0] + y[1])
        if reach.max() >= 1.0:
            j = int(np.argmax(reach >= 1.0))
            raise _Failure(f"carbon and nitrogen reach 5 (y_C + y_N) = {float(reach[j])!r} "
                           f"(y_C = {float(y[0, j])!r}, y_N = {float(y[1, j])!r}), "
                           "where the Slycke diffusivities are singular")
