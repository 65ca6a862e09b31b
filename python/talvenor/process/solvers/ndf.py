"""The numerical differentiation formulas of orders 1 to 5: a step, the
history it predicts from, and the control of its order and length.

Shampine and Reichelt, SIAM J. Sci. Comput. 18 (1997) 1-22.  The formulas
are written in their form of backward differences D_j of the profile at equal
steps dt: the profile predicted for the end of a step of order k is the sum
of D_0 to D_k, and the profile y there solves ALPHAS[k] (y - predicted) +
sum of GAMMAS[j] D_j over j = 1 to k = dt dy/dt, with GAMMAS[k] = 1 + 1/2 +
... + 1/k and ALPHAS[k] = (1 - KAPPA[k]) GAMMAS[k]; ERROR_CONSTANTS[k]
(y - predicted) estimates the local error of the step.  KAPPA is theirs but
at order 1, where it is 0: the backward Euler step, which keeps the maximum
principle.
"""

from __future__ import annotations

import itertools
import math
from collections.abc import Callable

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from ..units import WT_PER_SITE_FRACTION
from .operator import Operator

__all__ = ["MAX_ORDER", "FIRST_STEP", "ALLOWANCE", "SAFETY", "BOUNDS_SHRINK", "SMALLEST_STEP", "History", "Step",
           "length"]

if TYPE_CHECKING:
    _Array = NDArray[np.float64]

MAX_ORDER = 5
_KAPPA = (0.0, 0.0, -1.0 / 9.0, -0.0823, -0.0415, 0.0)
_GAMMAS = [0.0, *itertools.accumulate(1.0 / j for j in range(1, MAX_ORDER + 1))]
_ALPHAS = [(1.0 - kappa) * gamma for kappa, gamma in zip(_KAPPA, _GAMMAS)]
_ERROR_CONSTANTS = [kappa * gamma + 1.0 / (k + 1) for k, (kappa, gamma) in enumerate(zip(_KAPPA, _GAMMAS))]
# For a step of order k: the weights of D_0 to D_k in the prediction, all 1;
# those in what the step's matrix multiplies, 1 and then 1 - GAMMAS[j] /
# ALPHAS[k] (the profile at the start itself for order 1); and GAMMAS[1:k + 1].
_ONES = np.ones(MAX_ORDER + 1)
_BASE_WEIGHTS = [np.array([1.0, *(1.0 - gamma / _ALPHAS[k] for gamma in _GAMMAS[1:k + 1])])
                 for k in range(MAX_ORDER + 1)]
_GAMMA_WEIGHTS = [np.array(_GAMMAS[1:k + 1]) for k in range(MAX_ORDER + 1)]

# Step-size control: the first step of a stage as a fraction of the stage,
# how many times its share of the tolerance a step may err by (see the
# package's notes), and the bounds and safety factor of the change from one
# step to the next; a step may grow more at orders 1 and 2 than above (see
# History.growth: growing tenfold at every order, the content of a part
# drifts by 1e-11).
FIRST_STEP = 1e-3
ALLOWANCE = 3.0
_GROWTH_LOW_ORDER, _GROWTH, _SHRINK, SAFETY = 10.0, 2.0, 0.2, 0.9
# How much shorter a step of order 1 is taken again after leaving the allowed range.
BOUNDS_SHRINK = 0.25
_EPSILON = float(np.finfo(np.float64).eps)
# A step shorter than this fraction of the time is lost in rounding.
SMALLEST_STEP = 8.0 * _EPSILON


class History:
    """The profiles of the active elements at the ends of the last steps, as
    the backward differences D_0, D_1, ... at equal steps of ``dt`` of the
    polynomial through them, from which the next step predicts; and the
    order of that step.  Each element's row of a difference has one more
    column, the difference of the content the element has gained since the
    history started, which the formulas integrate from the surface flux as
    they do the profile from its rate."""

    def __init__(self, y: _Array, rate: _Array, flux: _Array, rows: slice, operator: Operator) -> None:
        # From the profile and its rate alone: the steps of order 1 start,
        # the first of them with the ``operator`` of its start.
        self.differences = np.zeros((MAX_ORDER + 3, y.shape[0], y.shape[1] + 1))
        self.differences[0, :, :-1] = y
        self.differences[1, :, :-1], self.differences[1, :, -1] = rate, flux
        self.dt, self.order, self.steps_at_order = 1.0, 1, 0
        self.wt_per_y = WT_PER_SITE_FRACTION[rows]
        self.start: Operator | None = operator

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
        k = min(self.order + 1, MAX_ORDER)
        differences = self.differences.copy()
        flat = differences.reshape(len(differences), -1)
        flat[:k + 1] = _rescaling(k, dt / self.dt) @ flat[:k + 1]
        return differences

    def predicted(self, differences: _Array) -> _Array:
        """The profiles and contents that ``differences`` predict for the end
        of a step at the order of this history."""
        k = self.order
        return (_ONES[:k + 1] @ differences.reshape(len(differences), -1)[:k + 1]).reshape(differences.shape[1:])

    def accept(self, step: Step) -> None:
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
            if k < MAX_ORDER:
                higher = _ERROR_CONSTANTS[k + 1] * _largest_wt(self.differences[k + 2], self.wt_per_y)
                choices.append((_factor(higher / allowed, k + 2), higher, k + 1))
            _, error_wt, order = max(choices, key=lambda choice: choice[0])
            if order != k:
                self.order, self.steps_at_order = order, 0
        return error_wt, self.order + 1


class Step:
    """One step of length ``dt`` from ``y`` by the formula of order
    ``order``, from the ``differences`` of the history at that step and the
    profile and content ``predicted`` from them, with the ``operator`` of
    the diffusivities at that profile: one linear system, the active
    elements stacked into one tridiagonal matrix, ALPHAS[order] V / dt + A.
    """

    def __init__(self, operator: Operator, differences: _Array, order: int, predicted: _Array, rows: slice,
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
        self.error_wt = _ERROR_CONSTANTS[order] * _largest_wt(self.correction, WT_PER_SITE_FRACTION[rows])
        # The rounding error of the solution grows with the condition of
        # the matrix: its diagonal over the part of it that is the cells'.
        self.rounding = 8.0 * _EPSILON * ((2.0 * float(operator.faces.max()) + max(operator.g.tolist()))
                                          / float(scale.min()) + 1.0)
        self.low, self.high = after.min(axis=1).tolist(), after.max(axis=1).tolist()
        self.y_next = y.copy()
        self.y_next[rows] = after


def length(dt: float, error_wt: float, exponent: int, allowed: Callable[[float], float], longest: float) -> float:
    """The length of a step whose error, ``error_wt`` at the length ``dt``
    and growing as the length to ``exponent``, is a safe part of what
    ``allowed`` (of the length) allows, from a fifth of ``dt`` to
    ``longest`` times it.  The error allowed changes with the length: a few
    rounds of fixed-point iteration, which contracts by 1 / exponent."""
    length = dt
    for _ in range(3):
        length = dt * min(longest, max(_SHRINK, SAFETY * _factor(error_wt / allowed(length), exponent)))
    return length


def _largest_wt(difference: _Array, wt_per_y: _Array) -> float:
    """The largest of the site fractions of the profiles in ``difference``
    (its rows with the content column last), in wt%."""
    return float((np.abs(difference[:, :-1]).max(axis=1) * wt_per_y).max())


def _factor(ratio: float, exponent: int) -> float:
    """How much longer a step can be than one whose error, which grows as
    its length to ``exponent``, was ``ratio`` of the error allowed."""
    return ratio ** (-1.0 / exponent) if ratio > 0.0 else math.inf


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


_RESCALING = [_rescaling_parts(k) for k in range(MAX_ORDER + 1)]
