"""What the maximum principle allows the profiles of a stage."""

from __future__ import annotations

from collections.abc import Sequence

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from .ndf import Step

__all__ = ["Bounds"]

if TYPE_CHECKING:
    _Array = NDArray[np.float64]

# Leaving the allowed range by less than this fraction of it is rounding.
_ROUNDING = 1e-12


class Bounds:
    """The range of each element in a stage: from the lowest to the highest
    of its profile at the start of the stage and of what the surface can
    drive it to (``reachable``, as ``(low, high)`` per element).  ``rows``
    are the elements that the steps of the stage compute."""

    def __init__(self, y: _Array, reachable: Sequence[tuple[float, float]], rows: slice) -> None:
        self._rows = rows
        self.low = np.array([min(y[i].min(), low) for i, (low, _) in enumerate(reachable)])
        self.high = np.array([max(y[i].max(), high) for i, (_, high) in enumerate(reachable)])
        self._low_column: _Array = self.low[:, None]
        self._high_column: _Array = self.high[:, None]
        self._low_list, self._high_list = self.low.tolist(), self.high.tolist()
        slack = _ROUNDING * (self.high - self.low)
        floor, ceiling = (self.low - slack)[rows], (self.high + slack)[rows]
        # The range of each element computed, and its magnitude, which its rounding errors scale with.
        self._range = floor.tolist(), ceiling.tolist(), np.maximum(np.abs(floor), np.abs(ceiling)).tolist()

    def widened(self, y: _Array) -> Bounds:
        """These bounds, widened to hold the profiles ``y`` as well."""
        return Bounds(y, list(zip(self.low.tolist(), self.high.tolist())), self._rows)

    def clip(self, y: _Array) -> _Array:
        """The profiles ``y`` (2, n) within the range."""
        return np.minimum(np.maximum(y, self._low_column), self._high_column)

    def clip_surface(self, surface: list[float]) -> list[float]:
        """The composition ``surface`` [y_C, y_N] within the range."""
        return [min(max(y, low), high) for y, low, high in zip(surface, self._low_list, self._high_list)]

    def allow(self, step: Step) -> bool:
        """Whether ``step`` ends within the range, to its rounding."""
        return all(floor - step.rounding * size <= low and high <= ceiling + step.rounding * size
                   for low, high, floor, ceiling, size in zip(step.low, step.high, *self._range))
