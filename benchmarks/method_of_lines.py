"""The finite volumes of talvenor.process, integrated in time by scipy's BDF.

This is the best a scipy user would write instead of ``process.simulate``:
the same semi-discrete problem handed to
``scipy.integrate.solve_ivp(method="BDF")`` with a banded Jacobian pattern
(``jac_sparsity``), which scipy fills by finite differences, and the
diffusivities vectorised in numpy over all the faces at once (:func:`slycke`,
the Slycke model written out, or the caller's own ``f(y_C, y_N, T)`` of
arrays).  Space is discretised as in talvenor.process.solvers, per element e
and in site fractions y:

- cells i = 0..N-1 from the treated surface inwards, spacing h, volumes V_i
  and face areas a_k per unit of treated surface from ``solvers.Grid``;
- between cells i and i + 1 the flux a_{i+1} D_e(ybar, T) (y_i - y_{i+1}) / h,
  with D_e at the mean composition ybar of the two cells;
- through the treated surface a closed element has no flux, a held one
  (2 D_s / h)(p - y_0) and one behind a mass-transfer coefficient beta the
  flux beta (p - y_s), with y_s = (beta p + (2 D_s / h) y_0) / (beta + 2 D_s / h)
  and D_s = D_e at the surface composition, found by fixed-point iteration;
- V_i dy_i/dt = flux in - flux out; T follows the stage's ramp.

Each recipe stage is a separate initial-value problem, since the surface
conditions jump between stages.  An element that is closed and uniform at the
start of a stage stays so and is left out of that stage's state.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy import integrate, sparse

from talvenor.process import site_fractions, weight_percent
from talvenor.process.solvers import Grid

__all__ = ["Solution", "solve", "slycke"]

_R = 8.31446261815324


def slycke(element, y_carbon, y_nitrogen, temperature_k):
    """The Slycke diffusivity of carbon (0) or nitrogen (1) in m²/s at the
    site fractions ``y_carbon`` and ``y_nitrogen`` (arrays), in numpy."""
    s = y_nitrogen * 0.72 + y_carbon
    other = y_nitrogen if element == 0 else y_carbon
    scale, activation = ((4.84e-5, 155000.0), (9.1e-5, 168600.0))[element]
    pre = np.exp(s * (-320.0 / _R)) / (1.0 - (y_carbon + y_nitrogen) * 5.0) * ((1.0 - other * 5.0) * scale)
    return pre * np.exp((s * -570000.0 + activation) / (temperature_k * -_R))

SURFACE_RTOL = 1e-13  # relative change that ends the fixed-point iteration
SURFACE_ITERATIONS = 100


@dataclass(frozen=True, eq=False)
class Solution:
    """The profile at the end of the recipe, laid out as ``process.Result``'s:
    the surface first, then every cell centre."""

    depth_mm: np.ndarray
    carbon_wt: np.ndarray
    nitrogen_wt: np.ndarray


def solve(stages, *, core_carbon_wt, core_nitrogen_wt=0.0, depth_mm=3.0, geometry="plate", cells=200,
          diffusivity=None, rtol=1e-6, atol=None):
    """The profile that ``stages`` leave, with the arguments of ``process.simulate``.

    ``diffusivity(element, y_C, y_N, T)`` gives D of an element over arrays
    (default :func:`slycke`).  ``rtol`` and ``atol`` go to ``solve_ivp``;
    ``atol`` is by default ``rtol`` times a site fraction of 0.01 (about 0.2
    wt% carbon).
    """
    grid = Grid.build(depth_mm * 1e-3, cells, geometry)
    diffusivities = diffusivity or slycke
    core = np.array([float(y) for y in site_fractions(core_carbon_wt, core_nitrogen_wt)])
    y = np.repeat(core[:, None], cells, axis=1)
    atol = 0.01 * rtol if atol is None else atol
    for stage in stages:
        y, surface = _Stage(grid, stage, diffusivities, y).run(rtol, atol)
    carbon_wt, nitrogen_wt = weight_percent(np.insert(y[0], 0, surface[0]), np.insert(y[1], 0, surface[1]))
    return Solution(np.concatenate(([0.0], grid.centres_m() * 1e3)), carbon_wt, nitrogen_wt)


class _Stage:
    """One recipe stage as an initial-value problem from the profile ``y`` (2, N)."""

    def __init__(self, grid, stage, diffusivities, y):
        self.grid, self.stage, self.diffusivities, self.start = grid, stage, diffusivities, y
        conditions = (stage.carbon, stage.nitrogen)
        self.moving = [e for e, c in enumerate(conditions) if not c.closed or y[e].min() != y[e].max()]
        self.held = [e for e, c in enumerate(conditions) if c.held]
        self.transfer = [(e, c.transfer_m_s) for e, c in enumerate(conditions) if c.transfer_m_s is not None]
        self.potential = [c.potential_y for c in conditions]
        self.face_factor = grid.areas / grid.spacing

    def run(self, rtol, atol):
        """The profile (2, N) and the surface composition at the end of the stage."""
        k, n = len(self.moving), self.grid.cells
        y = self.start.copy()
        if k:
            # Interleaved unknowns (cell by cell, the elements of a cell
            # together): a cell couples to its neighbours' elements only.
            pattern = sparse.kron(sparse.diags([1.0, 1.0, 1.0], [-1, 0, 1], shape=(n, n)), np.ones((k, k)))
            solution = integrate.solve_ivp(self.rates, (0.0, self.stage.duration_s), y[self.moving].T.ravel(),
                                           method="BDF", rtol=rtol, atol=atol, jac_sparsity=pattern)
            if not solution.success:
                raise RuntimeError(f"solve_ivp failed: {solution.message}")
            y = self.profile(solution.y[:, -1])
        surface, _ = self.surface(y[:, 0], self.temperature_k(self.stage.duration_s))
        return y, surface

    def profile(self, z):
        """The profile (2, N) of the state ``z`` of solve_ivp."""
        y = self.start.copy()
        y[self.moving] = z.reshape(self.grid.cells, len(self.moving)).T
        return y

    def temperature_k(self, t):
        return self.stage.temperature_k(t / self.stage.duration_s)

    def rates(self, t, z):
        """dz/dt at ``t`` s into the stage."""
        y = self.profile(z)
        temperature = self.temperature_k(t)
        _, inflow = self.surface(y[:, 0], temperature)
        means = 0.5 * (y[:, :-1] + y[:, 1:])  # y_C, y_N at every face
        rates = np.empty((self.grid.cells, len(self.moving)))
        for column, e in enumerate(self.moving):
            d = self.diffusivities(e, means[0], means[1], temperature)
            flow = self.face_factor * d * (y[e, :-1] - y[e, 1:])
            net = np.concatenate(([inflow[e]], flow)) - np.concatenate((flow, [0.0]))
            rates[:, column] = net / self.grid.volumes
        return rates.ravel()

    def surface(self, first, temperature):
        """The surface composition [y_C, y_N] beside the first cell's ``first``,
        and the flux of each element into the first cell."""
        first = first.tolist()
        surface = list(first)
        for e in self.held:
            surface[e] = self.potential[e]
        half_cell = 2.0 / self.grid.spacing
        for _ in range(SURFACE_ITERATIONS):
            d = [float(self.diffusivities(e, np.array([surface[0]]), np.array([surface[1]]), temperature)[0])
                 for e in (0, 1)]
            update = list(surface)
            for e, beta in self.transfer:
                g = half_cell * d[e]
                update[e] = (beta * self.potential[e] + g * first[e]) / (beta + g)
            converged = all(abs(new - old) <= SURFACE_RTOL * abs(new) for new, old in zip(update, surface))
            surface = update
            if converged:
                break
        else:
            raise RuntimeError(f"the surface composition did not converge in {SURFACE_ITERATIONS} iterations")
        inflow = [0.0, 0.0]
        for e in self.held:
            inflow[e] = half_cell * d[e] * (self.potential[e] - first[e])
        for e, beta in self.transfer:
            inflow[e] = beta * (self.potential[e] - surface[e])
        return surface, inflow
