"""The composition of the treated surface where it depends on the diffusivities there."""

from __future__ import annotations

from collections.abc import Callable, Sequence

from ..model.surface import SurfaceCondition

__all__ = ["SurfaceBalance"]

_ITERATIONS = 50

# The diffusivities [D_C, D_N] at a surface composition and a temperature.
SurfaceDiffusivities = Callable[[list[float], float], list[float]]


class SurfaceBalance:
    """The surface composition beside the first cell's: where a surface
    condition depends on the diffusivity D_s at the surface itself (it is
    ``balanced``), the root of the balance of the surface flux with the flux
    through the half cell, of conductance ``2 D_s / spacing``, by the secant
    method, each element on its own (they hardly affect each other's).

    The balances of a stage follow one another closely, so each starts from
    the last root with a step of Newton's method with the slope of the
    residual there; the first starts with a step of fixed-point iteration
    instead.  (A scipy root finder costs more per call than this whole
    balance, which every step of a stage solves.)
    """

    def __init__(self, spacing: float, active: list[int], diffusivities: SurfaceDiffusivities) -> None:
        self.spacing, self.active, self.diffusivities = spacing, active, diffusivities
        # The last root, and the slope of its residual there.
        self.last: tuple[list[float], list[float]] | None = None

    def solve(self, conditions: Sequence[SurfaceCondition], first: list[float],
              temperature: float) -> tuple[list[float], list[float] | None]:
        """The surface composition beside the first cell's ``first``, and
        where it is balanced, the diffusivities there as well."""
        surface = [c.surface(y, None) for c, y in zip(conditions, first)]
        if not any(conditions[i].balanced for i in self.active):
            return surface, None
        slopes = None
        if self.last is not None:
            roots, slopes = self.last
            surface = [root if conditions[i].balanced else y for i, (root, y) in enumerate(zip(roots, surface))]
        before: list[tuple[float, float]] = []
        for _ in range(_ITERATIONS):
            diffusivity = self.diffusivities(surface, temperature)
            residual = self._residual(conditions, first, surface, diffusivity)
            if all(abs(r) <= 1e-14 * abs(y) for r, y in zip(residual, surface)):
                break
            now = list(zip(surface, residual))
            if before:
                slopes = [(r - r_old) / (y - y_old) if r != r_old and y != y_old else -1.0
                          for (y, r), (y_old, r_old) in zip(now, before)]
            surface = [y - r / slope for (y, r), slope in zip(now, slopes)] if slopes else [y + r for y, r in now]
            before = now
        if slopes is not None:
            self.last = surface, slopes
        return surface, diffusivity

    def _residual(self, conditions: Sequence[SurfaceCondition], first: list[float], surface: list[float],
                  diffusivity: list[float]) -> list[float]:
        """How far each active element's surface condition puts its surface
        from ``surface``, with the ``diffusivity`` there."""
        return [conditions[i].surface(y, 2.0 * diffusivity[i] / self.spacing) - surface[i]
                if i in self.active else 0.0 for i, y in enumerate(first)]
