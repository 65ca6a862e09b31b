"""What a study's runs say: the capability of the process for each band of
the drawing, and which input drives each quantity.

Capability by the usual indices (ISO 22514-2; AIAG SPC manual):
Cp = (USL − LSL) / 6σ and Cpk = min(USL − μ, μ − LSL) / 3σ, with μ and σ the
mean and the sample standard deviation of the runs.  They read the share
out of the band right only for a quantity that is near normal; the share
of runs out of the band itself is counted, whatever the distribution.  As
they come from the total spread of independent runs, with no subgroups,
the AIAG manual would name them Pp and Ppk; the two coincide here.

Sensitivity by two standard measures of global sensitivity analysis
(A. Saltelli et al., *Global Sensitivity Analysis: The Primer*, Wiley 2008,
chapter 1): Spearman's rank correlation of each quantity with each input, which
holds for any monotonic dependence, and the standardized regression
coefficients of a linear fit of the quantity on all inputs together, which
hold where the fit does (its R² says how far).
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

__all__ = ["Capability", "Sensitivity", "capability", "capability_indices", "sensitivity", "QUANTILES", "MIN_CPK"]

#: The quantiles a study reports, the ends of the ±3σ range of a normal
#: distribution: 0.135 % and 99.865 %.
QUANTILES = (0.00135, 0.99865)
#: The Cpk at or above which a process counts as capable unless told
#: otherwise: 1.33, the usual demand of automotive quality standards.
MIN_CPK = 1.33


@dataclass(frozen=True)
class Capability:
    """The capability of a process for one band of a drawing, over a study's runs.

    Attributes
    ----------
    name : str
        What is required, as a verdict names it (``"CHD at 550 HV"``).
    quantity : str
        The quantity's column of :attr:`Study.quantities`.
    unit : str
        Its unit.
    band : tuple of (float or None, float or None)
        The lower and the upper end, None where it is open.
    runs : int
        The runs counted: those that did not fail.
    mean, std : float
        The mean and the sample standard deviation; NaN where a run's value
        is not finite (a depth deeper than the part, a hardness off the
        Rockwell C scale) or fewer than two runs count.
    low_quantile, high_quantile : float
        The 0.135 % and 99.865 % quantiles of the runs (NaN as the mean).
    cp, cpk : float
        Cp (NaN for a band open on one side) and Cpk; infinite where the
        runs do not vary.
    out_share : float
        The share of the runs outside the band, its ends included in it (a
        value off the Rockwell C scale is outside, as its verdict fails).
    """

    name: str
    quantity: str
    unit: str
    band: tuple[float | None, float | None]
    runs: int
    mean: float
    std: float
    low_quantile: float
    high_quantile: float
    cp: float
    cpk: float
    out_share: float

    def capable(self, min_cpk: float = MIN_CPK) -> bool:
        """Whether Cpk is at least ``min_cpk`` (not where it cannot be told)."""
        return self.cpk >= min_cpk


def capability_indices(mean: float, std: float, band: tuple[float | None, float | None]) -> tuple[float, float]:
    """Cp and Cpk of a process of ``mean`` and standard deviation ``std`` for ``band``.

    Cp is NaN for a band open on one side; with ``std`` 0, Cpk is +inf
    inside the band, -inf outside and 0 on its end.

    Examples
    --------
    >>> capability_indices(1.0, 0.05, (0.8, 1.1))
    (1.0, 0.666...)
    """
    low, high = band
    margins = [margin for margin in (None if low is None else mean - low, None if high is None else high - mean)
               if margin is not None]
    margin = min(margins)
    if std == 0.0:
        cpk = math.copysign(math.inf, margin) if margin else 0.0
        return (math.inf if low is not None and high is not None else math.nan), cpk
    cp = (high - low) / (6.0 * std) if low is not None and high is not None else math.nan
    return cp, margin / (3.0 * std)


def capability(name: str, quantity: str, unit: str, band: tuple[float | None, float | None],
               values: NDArray[np.float64]) -> Capability:
    """The :class:`Capability` of the runs' ``values`` (of the runs that did not fail) for ``band``."""
    low, high = band
    inside = np.ones(values.size, dtype=bool)
    if low is not None:
        inside &= values >= low
    if high is not None:
        inside &= values <= high
    out_share = float(np.count_nonzero(~inside) / values.size) if values.size else math.nan
    if values.size < 2 or not np.isfinite(values).all():
        nan = math.nan
        return Capability(name, quantity, unit, band, values.size, nan, nan, nan, nan, nan, nan, out_share)
    mean, std = float(values.mean()), float(values.std(ddof=1))
    low_quantile, high_quantile = (float(q) for q in np.quantile(values, QUANTILES))
    return Capability(name, quantity, unit, band, values.size, mean, std, low_quantile, high_quantile,
                      *capability_indices(mean, std, band), out_share)


@dataclass(frozen=True, eq=False)
class Sensitivity:
    """How much each quantity of a study depends on each input.

    Attributes
    ----------
    inputs, quantities : tuple of str
        The names of the inputs and of the quantities.
    rank_correlation : ndarray
        Spearman's rank correlation of each quantity (row) with each input
        (column), from -1 to 1.
    regression : ndarray
        The standardized regression coefficients: the change of the quantity,
        in its standard deviations, per standard deviation of the input, in a
        linear fit on all inputs together.
    r_squared : ndarray
        The share of each quantity's variance that the linear fit explains.

    NaN wherever a quantity or an input does not vary, or a quantity is not
    finite in every run that did not fail, or fewer than three runs count.
    """

    inputs: tuple[str, ...]
    quantities: tuple[str, ...]
    rank_correlation: NDArray[np.float64]
    regression: NDArray[np.float64]
    r_squared: NDArray[np.float64]

    def drivers(self, quantity: str, count: int = 3) -> list[tuple[str, float]]:
        """The ``count`` inputs of the largest rank correlation with
        ``quantity`` (in magnitude), with it; none where it is NaN."""
        row = self.rank_correlation[self.quantities.index(quantity)]
        order = [column for column in np.argsort(-np.abs(row), kind="stable") if not math.isnan(row[column])]
        return [(self.inputs[column], float(row[column])) for column in order[:count]]


def sensitivity(inputs: Mapping[str, NDArray[np.float64]],
                quantities: Mapping[str, NDArray[np.float64]]) -> Sensitivity:
    """The :class:`Sensitivity` of ``quantities`` to ``inputs``, columns of
    the same runs (those that did not fail)."""
    from scipy.stats import rankdata  # type: ignore[import-untyped]  # here: it takes long to import

    names = tuple(inputs)
    draws = np.column_stack([inputs[name] for name in names]) if names else np.empty((0, 0))
    shape = (len(quantities), len(names))
    ranked, regression, r_squared = np.full(shape, math.nan), np.full(shape, math.nan), np.full(len(quantities),
                                                                                                  math.nan)
    for row, values in enumerate(quantities.values()):
        if values.size < 3 or not names or not np.isfinite(values).all() or np.ptp(values) == 0.0:
            continue
        ranked[row] = _correlations(rankdata(draws, axis=0), rankdata(values))
        regression[row], r_squared[row] = _standardized_regression(draws, values)
    return Sensitivity(names, tuple(quantities), ranked, regression, r_squared)


def _correlations(columns: NDArray[np.float64], values: NDArray[np.float64]) -> NDArray[np.float64]:
    """Pearson's correlation of ``values`` with each of ``columns`` (NaN for one that does not vary)."""
    centred = columns - columns.mean(axis=0)
    deviation = values - values.mean()
    norms = np.sqrt((centred ** 2).sum(axis=0) * (deviation ** 2).sum())
    with np.errstate(invalid="ignore", divide="ignore"):
        correlation = (centred * deviation[:, None]).sum(axis=0) / norms
    return np.where(norms > 0.0, correlation, math.nan)


def _standardized_regression(draws: NDArray[np.float64], values: NDArray[np.float64]) -> tuple[NDArray[np.float64],
                                                                                                    float]:
    """The standardized regression coefficients of ``values`` on the columns
    of ``draws`` that vary (NaN for the others), and the fit's R²."""
    spread = draws.std(axis=0)
    varying = spread > 0.0
    coefficients = np.full(draws.shape[1], math.nan)
    scaled = (values - values.mean()) / values.std()
    if not varying.any():
        return coefficients, math.nan
    standard = (draws[:, varying] - draws[:, varying].mean(axis=0)) / spread[varying]
    fit, *_ = np.linalg.lstsq(standard, scaled, rcond=None)
    coefficients[varying] = fit
    residual = scaled - standard @ fit
    return coefficients, float(1.0 - (residual ** 2).sum() / (scaled ** 2).sum())
