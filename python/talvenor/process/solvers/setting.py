"""What stays the same through a run."""

from __future__ import annotations

from dataclasses import dataclass

from ..model.diffusivity import Diffusivities
from ..model.steel import Steel
from .grid import Grid

__all__ = ["Setting"]


@dataclass(frozen=True, eq=False)
class Setting:
    """The grid of a run, its diffusivities, the grams of carbon and of
    nitrogen per m² of treated surface per unit of site fraction times m, the
    steel (whose carbon limit bounds the surface where carbide forms) and the
    tolerance of the steps in wt%."""

    grid: Grid
    diffusivities: Diffusivities
    grams: tuple[float, float]
    steel: Steel
    tolerance_wt: float
