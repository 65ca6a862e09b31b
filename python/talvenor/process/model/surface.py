"""What the atmosphere of a stage does to one element at the treated surface.

One class per kind of surface.  Each answers what a time step needs of it:
the law ``source - g y_0`` of the flux into the part (in site fraction times
m/s), where ``y_0`` is the site fraction in the first cell, and the
composition at the surface itself beside that cell.  Both depend on the
conductance of the half cell between the surface and the first cell's
centre, ``2 D_s / h``, with D_s the diffusivity at the surface.  ``str()``
of a condition is how a recipe sheet states it.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass
from typing import ClassVar

__all__ = ["SurfaceCondition", "Closed", "Held", "MassTransfer", "Boost"]


class SurfaceCondition:
    """What the atmosphere of a stage does to one element at the surface.

    ``potential_wt`` is None for a closed surface; ``transfer_m_s`` is None
    where the surface is held at the potential, whose site fraction is
    ``potential_y``.
    """

    potential_wt: float | None
    potential_y: float | None
    transfer_m_s: float | None
    #: Whether no flux passes the surface, and whether it is held at the potential.
    closed: ClassVar[bool] = False
    held: ClassVar[bool] = False
    #: Whether the surface composition depends on D_s, so that it is found
    #: from the balance of the surface flux with the flux through the half cell.
    balanced: ClassVar[bool] = False
    #: Whether the surface is bounded by the carbon limit, past which the
    #: carbon delivered forms carbide at the surface (a boost).
    limited: ClassVar[bool] = False

    @property
    def delivered_y(self) -> float:
        """The flux that the atmosphere delivers whatever the part takes, in
        site fraction times m/s (0.0 but for a boost in a run)."""
        return 0.0

    def law(self, half_cell: float) -> tuple[float, float]:
        """``(g, source)`` of the flux ``source - g y_0`` into the part, behind
        the half cell's conductance ``half_cell`` in m/s."""
        raise NotImplementedError

    def in_run(self, grams: float) -> SurfaceCondition:
        """The condition in a part of ``grams`` of the element per m² per unit
        of site fraction times m."""
        return self

    def bounds(self) -> tuple[float, float]:
        """The range of site fractions that this surface can drive the part
        to: its potential, or an empty range where it has none."""
        p = self.potential_y
        return (math.inf, -math.inf) if p is None else (p, p)

    def surface(self, first: float, half_cell: float | None) -> float:
        """The site fraction at the surface beside the first cell's ``first``;
        ``half_cell`` is None where D_s is not known yet."""
        raise NotImplementedError


@dataclass(frozen=True)
class Closed(SurfaceCondition):
    """No flux through the surface, as in a vacuum or closed diffuse step."""

    potential_wt = potential_y = transfer_m_s = None
    closed = True

    def __str__(self) -> str:
        return "closed"

    def law(self, half_cell: float) -> tuple[float, float]:
        return 0.0, 0.0

    def surface(self, first: float, half_cell: float | None) -> float:
        return first


@dataclass(frozen=True)
class Held(SurfaceCondition):
    """The surface held at the potential."""

    potential_wt: float
    potential_y: float
    transfer_m_s = None
    held = True

    def __str__(self) -> str:
        return f"held at {self.potential_wt:g} wt%"

    def law(self, half_cell: float) -> tuple[float, float]:
        return half_cell, half_cell * self.potential_y

    def surface(self, first: float, half_cell: float | None) -> float:
        return self.potential_y


@dataclass(frozen=True)
class MassTransfer(SurfaceCondition):
    """The flux beta (y_potential - y_surface) into the part, beta in m/s."""

    potential_wt: float
    potential_y: float
    transfer_m_s: float
    balanced = True

    def __str__(self) -> str:
        return f"{self.potential_wt:g} wt%, β {self.transfer_m_s:g} m/s"

    def law(self, half_cell: float) -> tuple[float, float]:
        beta = self.transfer_m_s
        g = beta * half_cell / (beta + half_cell)
        return g, g * self.potential_y

    def surface(self, first: float, half_cell: float | None) -> float:
        if half_cell is None:
            return first
        beta = self.transfer_m_s
        return (beta * self.potential_y + half_cell * first) / (beta + half_cell)


@dataclass(frozen=True)
class Boost(SurfaceCondition):
    """Carbon delivered to the surface at ``flux_g_m2_h`` grams per m² and
    hour, all of which enters the part (a low-pressure boost); the run holds
    the surface at its limit once it gets there, and keeps what the part
    cannot take as carbide.  ``flux_y`` is the flux in site fraction times
    m/s, which depends on the density of the steel: :meth:`in_run` sets it.
    """

    flux_g_m2_h: float
    flux_y: float = math.nan
    potential_wt = potential_y = transfer_m_s = None
    balanced = True
    limited = True

    def __str__(self) -> str:
        return f"boost {self.flux_g_m2_h:g} g/m²h"

    @property
    def delivered_y(self) -> float:
        return self.flux_y

    def in_run(self, grams: float) -> Boost:
        """The boost in a part of ``grams`` of carbon per m² per unit of site
        fraction times m."""
        return dataclasses.replace(self, flux_y=self.flux_g_m2_h / 3600.0 / grams)

    def law(self, half_cell: float) -> tuple[float, float]:
        return 0.0, self.flux_y

    def surface(self, first: float, half_cell: float | None) -> float:
        return first if half_cell is None else first + self.flux_y / half_cell
