"""The finite volumes of a part: equal cells from the treated surface inwards."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from ..schedule.part import GEOMETRIES, Part

__all__ = ["Grid"]


@dataclass(frozen=True, eq=False)
class Grid:
    """Equal cells from the treated surface inwards, per unit of treated surface."""

    depth_m: float
    cells: int
    volumes: NDArray[np.float64]  # of the cells, in m
    areas: NDArray[np.float64]  # of the faces between neighbouring cells, relative to the surface

    @classmethod
    def of(cls, part: Part) -> Grid:
        """The grid of ``part``."""
        return cls.build(part.depth_mm * 1e-3, part.cells, part.geometry)

    @classmethod
    def build(cls, depth_m: float, cells: int, geometry: str) -> Grid:
        """``cells`` cells over ``depth_m`` of a part of ``geometry`` (see :class:`Part`)."""
        m = GEOMETRIES[geometry]
        # Radii of the cell faces relative to the outer one, from the surface
        # (1) to the far face (0 for a cylinder or sphere).
        relative = 1.0 - np.arange(cells + 1) / cells
        volumes = depth_m * (relative[:-1] ** (m + 1) - relative[1:] ** (m + 1)) / (m + 1)
        return cls(depth_m, cells, volumes, relative[1:-1] ** m)

    @property
    def spacing(self) -> float:
        return self.depth_m / self.cells

    def centres_m(self) -> NDArray[np.float64]:
        """Depths of the cell centres below the treated surface."""
        return np.asarray(self.spacing * (np.arange(self.cells) + 0.5), dtype=np.float64)

    def depths_mm(self) -> NDArray[np.float64]:
        """The depths of a profile in mm: the surface, then the cell centres."""
        return np.concatenate(([0.0], self.centres_m() * 1e3))
