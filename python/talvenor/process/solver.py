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

Time: the numerical differentiation formulas of orders 1 to 5, with the
order and the step chosen anew as the run goes (Shampine and Reichelt, SIAM
J. Sci. Comput. 18 (1997) 1-22): each step solves for the profile at its end
from the profiles at the ends of the steps before, kept as the backward
differences of the polynomial through them.  The steps are linearly
implicit: a step takes the diffusivities at the profile that this
polynomial predicts for its end, as accurate as the step itself, so that it
solves one linear tridiagonal system after one evaluation of the
diffusivities per face.  Order 1 is the backward Euler step, which is
L-stable and keeps the maximum principle.  Every stage starts with it, from
the profile and its rate, the first step with the diffusivities of its
start; so does the run after a jump of the surface condition within a stage.
The order rises as the profile grows smooth in time.

Step sizes: the local error of a step is estimated from the difference
between the profile at its end and the one predicted.  A step from t to
t + dt after the start of a stage of duration T is accepted when that
error, in wt%, is within the tolerance times ``3 dt T / (t + dt)**2``:
later steps may err by less, in proportion to their share of the stage and
to how little of the error they make fades before its end (an error made
early is spread over an ever deeper profile); three because the errors of
the steps fade and partly cancel, so that what is left of them at the end
of a stage is, on the problems of the benchmarks, at most 0.4 of the
tolerance, and within it on a closed stage after a boost, where it fades
least.  Where the surface follows the first cell (behind a mass-transfer
coefficient, in a boost) no step errs by more than the tolerance either,
so that the history of the surface keeps within it too.  The
next step takes the order, of the one taken and the two next to it, whose
error allows the longest step, and the length at which that error is a
safe part of what the step may err by there.  A step that errs by too much
is taken again, shorter; where its error did not shrink with it (the
differences of the longer steps before no longer fit the profile), from the
profile and its rate alone, at order 1.  With a fixed number of steps per
stage instead, the steps are equal in the square root of the time since
the start of the stage, of order 2 after the first.  Either way a step is
taken again when it would leave the range that the maximum principle
allows (the range of the profile at the start of the stage and of what its
surface conditions drive it to): at order 1, and shorter where it already
was.  The steps of a stage depend on that stage and the profile at its
start alone.

The formulas conserve what the part holds: the fluxes between the cells
cancel in its content.  The content gained is integrated by the same
formulas from the surface flux, beside the profile, so that it keeps the
digits of the flux (as the difference of two contents it would not); the
history records it beside the surface composition, which is found for each
point of the history from the balance at that time's temperature.
"""

from __future__ import annotations

import array
import copy
import functools
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

# The numerical differentiation formulas of orders 1 to 5 (Shampine and
# Reichelt, SIAM J. Sci. Comput. 18 (1997) 1-22), in their form of backward
# differences D_j of the profile at equal steps dt: the profile predicted
# for the end of a step of order k is the sum of D_0 to D_k, and the profile
# y there solves ALPHAS[k] (y - predicted) + sum of GAMMAS[j] D_j over j = 1
# to k = dt dy/dt, with GAMMAS[k] = 1 + 1/2 + ... + 1/k and ALPHAS[k] =
# (1 - KAPPA[k]) GAMMAS[k]; ERROR_CONSTANTS[k] (y - predicted) estimates the
# local error of the step.  KAPPA is theirs but at order 1, where it is 0:
# the backward Euler step, which keeps the maximum principle.
_MAX_ORDER = 5
_KAPPA = (0.0, 0.0, -1.0 / 9.0, -0.0823, -0.0415, 0.0)
_GAMMAS = [0.0, *itertools.accumulate(1.0 / j for j in range(1, _MAX_ORDER + 1))]
_ALPHAS = [(1.0 - kappa) * gamma for kappa, gamma in zip(_KAPPA, _GAMMAS)]
_ERROR_CONSTANTS = [kappa * gamma + 1.0 / (k + 1) for k, (kappa, gamma) in enumerate(zip(_KAPPA, _GAMMAS))]
# For a step of order k: the weights of D_0 to D_k in the prediction, all 1;
# those in what the step's matrix multiplies, 1 and then 1 - GAMMAS[j] /
# ALPHAS[k] (the profile at the start itself for order 1); and GAMMAS[1:k + 1].
_ONES = np.ones(_MAX_ORDER + 1)
_BASE_WEIGHTS = [np.array([1.0, *(1.0 - gamma / _ALPHAS[k] for gamma in _GAMMAS[1:k + 1])])
                 for k in range(_MAX_ORDER + 1)]
_GAMMA_WEIGHTS = [np.array(_GAMMAS[1:k + 1]) for k in range(_MAX_ORDER + 1)]

# wt% per unit of site fraction, at low contents, of carbon and nitrogen.
_WT_PER_Y = 100.0 / MOLAR_MASS_IRON * np.array([MOLAR_MASS_CARBON, MOLAR_MASS_NITROGEN])

# Step-size control: the first step of a stage as a fraction of the stage,
# how many times its share of the tolerance a step may err by (see the
# notes above), and the bounds and safety factor of the change from one step
# to the next; a step may grow more at orders 1 and 2 than above (see
# _History.growth: growing tenfold at every order, the content of a part
# drifts by 1e-11).
_FIRST_STEP = 1e-3
_ALLOWANCE = 3.0
_GROWTH_LOW_ORDER, _GROWTH, _SHRINK, _SAFETY = 10.0, 2.0, 0.2, 0.9
# How much shorter a step of order 1 is taken again after leaving the allowed range.
_BOUNDS_SHRINK = 0.25
# Leaving the allowed range by less than this fraction of it is rounding.
_ROUNDING = 1e-12
_EPSILON = float(np.finfo(np.float64).eps)
# A step shorter than this fraction of the time is lost in rounding.
_SMALLEST_STEP = 8.0 * _EPSILON
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
        history = physics.history(y, 0.0)
        t, dt = 0.0, duration * _FIRST_STEP if ends is None else math.inf
        # The error and the length of the last step rejected for its error
        # at this time, if any.
        rejected = math.inf, dt
        while t < duration:
            end = duration if ends is None else ends[0]
            # The last step of a stretch ends exactly at its end; one that
            # would leave a sliver behind shares the rest with the one before.
            if end - t <= 1.1 * dt:
                dt = end - t
            elif end - t < 2.0 * dt:
                dt = 0.5 * (end - t)
            if dt <= _SMALLEST_STEP * (t + duration):
                raise _Failure(f"the time steps shrink to nothing {(start_s + t) / 3600.0!r} h into the recipe: no "
                               f"step meets tolerance_wt {self.tolerance_wt!r} and the maximum principle")
            step = physics.step(history, y, t, dt)
            ratio = step.error_wt / physics.allowed(t, dt)
            in_range = physics.allows(step)
            if not in_range or (ends is None and ratio > 1.0):
                order = history.order
                if (not in_range and order > 1) or (in_range and ratio > rejected[0] * math.sqrt(dt / rejected[1])):
                    # Start again from the profile and its present rate: at
                    # order 1, which keeps within the range, and with an
                    # error estimate that shrinks with the step, where one
                    # from the differences of the longer steps before did not.
                    history = physics.history(y, t / duration)
                if in_range:
                    rejected = ratio, dt
                    dt = _length(dt, step.error_wt, order + 1, functools.partial(physics.allowed, t), _SAFETY)
                elif order == 1:
                    dt *= _BOUNDS_SHRINK
                continue
            rejected = math.inf, dt
            after = carbide - physics.carbide_used(step)
            stops = physics.stop(step.y_next, t + dt, after) >= 0.0
            switches = not stops and physics.change(step.y_next, t + dt, after) >= 0.0
            if stops or switches:
                step = physics.cut(step, history, t, carbide, physics.stop if stops else physics.change,
                                   before=switches and physics.saturated)
                ratio = step.error_wt / physics.allowed(t, step.dt)
            physics.check_limit(step.y_next)
            dt = step.dt
            carbide -= physics.carbide_used(step)
            uptake = [u + g for u, g in zip(uptake, step.uptake)]
            t = end if dt == end - t else t + dt
            y = step.y_next
            history.accept(step)
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
                history = physics.history(y, t / duration)
            self._remember(start_s + t, physics.surface_at(y, t / duration), uptake, carbide)
            if self.progress is not None:
                self.progress(start_s + t)
            if stops:
                break
            if ends is None:
                error_wt, exponent = history.next_order(step.error_wt, ratio)
                dt = _length(dt, error_wt, exponent, functools.partial(physics.allowed, t), history.growth)
            else:
                # Order 2 from the second step on; on to the end of the
                # planned step (one cut short to keep within the bounds
                # takes the rest in one go where it can).
                history.order = min(2, history.order + 1)
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


@dataclass
class _Operator:
    """The diffusivities at one time, as the surface flux ``source - g y_0``
    and the face conductances ``A D / h`` of the active elements use them."""

    faces: _Array  # (active elements, cells): the conductance to the next cell, none from the last
    g: _Array  # (active elements,)
    source: _Array  # (active elements,)

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


class _History:
    """The profiles of the active elements at the ends of the last steps, as
    the backward differences D_0, D_1, ... at equal steps of ``dt`` of the
    polynomial through them, from which the next step predicts; and the
    order of that step.  Each element's row of a difference has one more
    column, the difference of the content the element has gained since the
    history started, which the formulas integrate from the surface flux as
    they do the profile from its rate."""

    def __init__(self, y: _Array, rate: _Array, flux: _Array, rows: slice, operator: _Operator) -> None:
        # From the profile and its rate alone: the steps of order 1 start,
        # the first of them with the ``operator`` of its start.
        self.differences = np.zeros((_MAX_ORDER + 3, y.shape[0], y.shape[1] + 1))
        self.differences[0, :, :-1] = y
        self.differences[1, :, :-1], self.differences[1, :, -1] = rate, flux
        self.dt, self.order, self.steps_at_order = 1.0, 1, 0
        self.wt_per_y = _WT_PER_Y[rows]
        self.start: _Operator | None = operator

    @property
    def growth(self) -> float:
        """How many times longer than the last the next step may be: at
        orders 3 and up, rescaling the differences to a much longer step
        magnifies their rounding errors."""
        return _GROWTH if self.order > 2 else _GROWTH_LOW_ORDER

    def at(self, dt: float) -> _Array:
        """The differences at steps of ``dt``: those of the same polynomial,
        of the order of the next step and one more, whose highest difference
        the next choice of order weighs."""
        if dt == self.dt:
            return self.differences
        k = min(self.order + 1, _MAX_ORDER)
        differences = self.differences.copy()
        flat = differences.reshape(len(differences), -1)
        flat[:k + 1] = _rescaling(k, dt / self.dt) @ flat[:k + 1]
        return differences

    def accept(self, step: _Step) -> None:
        """Add the end of ``step`` to the history."""
        k, d = self.order, step.correction
        self.differences, self.dt = step.differences, step.dt
        differences = self.differences
        differences[k + 2] = d - differences[k + 1]
        differences[k + 1] = d
        for j in range(k, -1, -1):
            differences[j] += differences[j + 1]
        self.steps_at_order += 1
        self.start = None

    def next_order(self, error_wt: float, ratio: float) -> tuple[float, int]:
        """The order of the next step after one whose error was ``error_wt``,
        ``ratio`` of the error allowed: after as many steps at one order as
        the order and one more, the order next to it whose error allows the
        longest step, where that is longer.  Return the error of a step at
        that order as long as the last, and the power of its length that it
        grows as."""
        k = self.order
        if self.steps_at_order > k:
            allowed = error_wt / ratio if ratio > 0.0 else math.inf
            choices = [(_factor(ratio, k + 1), error_wt, k)]
            if k > 1:
                lower = _ERROR_CONSTANTS[k - 1] * _largest_wt(self.differences[k], self.wt_per_y)
                choices.append((_factor(lower / allowed, k), lower, k - 1))
            if k < _MAX_ORDER:
                higher = _ERROR_CONSTANTS[k + 1] * _largest_wt(self.differences[k + 2], self.wt_per_y)
                choices.append((_factor(higher / allowed, k + 2), higher, k + 1))
            _, error_wt, order = max(choices, key=lambda choice: choice[0])
            if order != k:
                self.order, self.steps_at_order = order, 0
        return error_wt, self.order + 1


def _largest_wt(difference: _Array, wt_per_y: _Array) -> float:
    """The largest of the site fractions of the profiles in ``difference``
    (its rows with the content column last), in wt%."""
    return float((np.abs(difference[:, :-1]).max(axis=1) * wt_per_y).max())


def _factor(ratio: float, exponent: int) -> float:
    """How much longer a step can be than one whose error, which grows as
    its length to ``exponent``, was ``ratio`` of the error allowed."""
    return ratio ** (-1.0 / exponent) if ratio > 0.0 else math.inf


def _length(dt: float, error_wt: float, exponent: int, allowed: Callable[[float], float], longest: float) -> float:
    """The length of a step whose error, ``error_wt`` at the length ``dt``
    and growing as the length to ``exponent``, is a safe part of what
    ``allowed`` (of the length) allows, from a fifth of ``dt`` to
    ``longest`` times it.  The error allowed changes with the length: a few
    rounds of fixed-point iteration, which contracts by 1 / exponent."""
    length = dt
    for _ in range(3):
        length = dt * min(longest, max(_SHRINK, _SAFETY * _factor(error_wt / allowed(length), exponent)))
    return length


def _rescaling(order: int, factor: float) -> _Array:
    """The matrix that takes the backward differences D_0 to D_order of a
    polynomial at equal steps to those at steps ``factor`` times as long
    (Shampine and Reichelt): R(factor) R(1), transposed, where R(f) has the
    rows i of the products over m = 1 to i of (m - 1 - f j) / m."""
    low, ratios, unit = _RESCALING[order]
    powers = np.ones((order + 1, order + 1))
    powers[1:, 0] = 0.0
    np.cumprod(low - factor * ratios, axis=0, out=powers[1:, 1:])
    return (powers @ unit).T


def _rescaling_parts(order: int) -> tuple[_Array, _Array, _Array]:
    """(i - 1) / i and j / i for i, j from 1 to ``order``, and R(1)."""
    i = np.arange(1.0, order + 1.0)[:, None]
    low, ratios = (i - 1.0) / i, i.T / i
    unit = np.ones((order + 1, order + 1))
    unit[1:, 0] = 0.0
    unit[1:, 1:] = np.cumprod(low - ratios, axis=0)
    return low, ratios, unit


_RESCALING = [_rescaling_parts(k) for k in range(_MAX_ORDER + 1)]


class _Step:
    """One step of length ``dt`` from ``y`` by the formula of order
    ``order``, from the ``differences`` of the history at that step and the
    profile and content ``predicted`` from them, with the ``operator`` of
    the diffusivities at that profile: one linear system, the active
    elements stacked into one tridiagonal matrix, ALPHAS[order] V / dt + A.
    """

    def __init__(self, operator: _Operator, differences: _Array, order: int, predicted: _Array, rows: slice,
                 volumes: _Array, y: _Array, dt: float) -> None:
        self.y, self.dt, self.differences = y, dt, differences
        shape = y[rows].shape
        scale = volumes * (_ALPHAS[order] / dt)
        flat = differences.reshape(len(differences), -1)
        rhs = (_BASE_WEIGHTS[order] @ flat[:order + 1]).reshape(predicted.shape)[:, :-1] * scale
        rhs[:, 0] += operator.source
        after = operator.system(scale).solve(rhs.ravel()).reshape(shape)
        # The content gained by the same formula, from the flux at the end:
        # what enters the part in the step, kept to the digits of the flux;
        # an element at rest gains nothing.
        gained = differences[1:order + 1, :, -1]
        gain = (dt * operator.surface_flux(after) - _GAMMA_WEIGHTS[order] @ gained) / _ALPHAS[order]
        self.uptake = [0.0, 0.0]
        self.uptake[rows] = (gained.sum(axis=0) + gain).tolist()
        self.correction = np.concatenate((after - predicted[:, :-1], gain[:, None]), axis=1)
        self.error_wt = _ERROR_CONSTANTS[order] * _largest_wt(self.correction, _WT_PER_Y[rows])
        # The rounding error of the solution grows with the condition of
        # the matrix: its diagonal over the part of it that is the cells'.
        self.rounding = 8.0 * _EPSILON * ((2.0 * float(operator.faces.max()) + max(operator.g.tolist()))
                                          / float(scale.min()) + 1.0)
        self.low, self.high = after.min(axis=1).tolist(), after.max(axis=1).tolist()
        self.y_next = y.copy()
        self.y_next[rows] = after


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
        self.tolerance_wt = run.tolerance_wt
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
        self.low_column, self.high_column = self.low[:, None], self.high[:, None]
        slack = _ROUNDING * (self.high - self.low)
        floor, ceiling = (self.low - slack)[self.rows], (self.high + slack)[self.rows]
        # The range of each active element, and its magnitude, which its rounding errors scale with.
        self.range = floor.tolist(), ceiling.tolist(), np.maximum(np.abs(floor), np.abs(ceiling)).tolist()
        # Within those bounds the Slycke singularity may be out of reach.
        self.slycke_limit = run.slycke_limit and 5.0 * float(self.high.sum()) >= 1.0

    def allowed(self, t: float, dt: float) -> float:
        """The error in wt% that a step from ``t`` after the start of the
        stage of length ``dt`` may make: its share of the tolerance (see the
        notes of this module)."""
        share = _ALLOWANCE * dt * self.stage.duration_s / (t + dt) ** 2
        return self.tolerance_wt * (min(1.0, share) if self.followed else share)

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

    def carbide_used(self, step: _Step) -> float:
        """The carbide that the part takes in the step, less what the
        atmosphere delivers."""
        if not self.saturated:
            return 0.0
        return step.uptake[0] - self.delivered_y * step.dt

    def cut(self, step: _Step, history: _History, t: float, carbide: float,
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
            cut = self.step(history, step.y, t, trial)
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

    def history(self, y: _Array, fraction: float) -> _History:
        """A history that starts from ``y`` alone at ``fraction`` of the stage."""
        operator = self.operator(y, fraction)
        rate, flux = operator.rates(y[self.rows])
        return _History(y[self.rows], rate / self.grid.volumes, flux, self.rows, operator)

    def step(self, history: _History, y: _Array, t: float, dt: float) -> _Step:
        """The step of length ``dt`` from ``y`` at ``t`` after the start of
        the stage, at the order of the ``history``, with the diffusivities
        of the profile that it predicts (the first step of a history, with
        those of its start)."""
        differences = history.at(dt)
        k = history.order
        predicted = (_ONES[:k + 1] @ differences.reshape(len(differences), -1)[:k + 1]).reshape(differences.shape[1:])
        operator = history.start
        if operator is None:
            profile = y.copy()
            profile[self.rows] = predicted[:, :-1]
            operator = self.operator(profile, (t + dt) / self.stage.duration_s)
        return _Step(operator, differences, history.order, predicted, self.rows, self.grid.volumes, y, dt)

    def allows(self, step: _Step) -> bool:
        """Whether the step stays within what the maximum principle allows."""
        return all(floor - step.rounding * size <= low and high <= ceiling + step.rounding * size
                   for low, high, floor, ceiling, size in zip(step.low, step.high, *self.range))

    def operator(self, y: _Array, fraction: float) -> _Operator:
        """The operator of the composition ``y`` (clipped to what the maximum
        principle allows) at ``fraction`` of the stage."""
        y = np.minimum(np.maximum(y, self.low_column), self.high_column)
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
