"""Capability studies: a recipe run many times with its inputs drawn from
how a furnace and a heat of steel vary (:class:`~talvenor.process.Variation`),
and what the runs say of a batch: the share of parts out of each band, Cp
and Cpk, and which input drives each quantity.

:func:`study` runs them on every core, or on any executor (a Dask
cluster's among them), and returns a :class:`Study`.
"""

from .inputs import Input
from .statistics import MIN_CPK, QUANTILES, Capability, Sensitivity, capability_indices
from .capability import MOST_SAMPLES, Study, study

__all__ = ["study", "Study", "Input", "Capability", "Sensitivity", "capability_indices", "MIN_CPK", "QUANTILES",
           "MOST_SAMPLES"]
