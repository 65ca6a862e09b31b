"""What the atmosphere of a stage does to one element at the treated surface.

One class per kind of surface.  Each answers what a time step needs of it:
the conductance ``g`` of the flux ``g (target - y_0)`` into the part, where
``y_0`` is the site fraction in the first cell, and the composition at the
surface itself beside that cell.  Both depend on the conductance of the half
cell between the surface and the first cell's centre, ``2 D_s / h``, with D_s
the diffusivity at the surface.
"""

from __future__ import annotations

from dataclasses import dataclass

__all__ = ["SurfaceCondition", "Closed", "Held", "MassTransfer"]


class SurfaceCondition:
    """What the atmosphere of a stage does to one element at the surface.

    ``potential_wt`` is None for a closed surface; ``transfer_m_s`` is None
    where the surface is held at the potential, whose site fraction is
    ``potential_y``.
    """

    potential_wt: float | None
    potential_y: float | None
    transfer_m_s: float | None

    @property
    def closed(self) -> bool:
        return self.potential_wt is None

    @property
    def held(self) -> bool:
        return self.potential_wt is not None and self.transfer_m_s is None

    @property
    def target(self) -> float:
        """The site fraction towards which the surface flux drives the part."""
        return self.potential_y or 0.0

    def conductance(self, half_cell: float) -> float:
        """The conductance g in m/s, behind the half cell's ``half_cell``."""
        raise NotImplementedError

    def surface(self, first: float, half_cell: float | None) -> float:
        """The site fraction at the surface beside the first cell's ``first``;
        ``half_cell`` is None where D_s is not known yet."""
        raise NotImplementedError


@dataclass(frozen=True)
class Closed(SurfaceCondition):
    """No flux through the surface, as in a vacuum or closed diffuse step."""

    potential_wt = potential_y = transfer_m_s = None

    def conductance(self, half_cell: float) -> float:
        return 0.0

    def surface(self, first: float, half_cell: float | None) -> float:
        return first


@dataclass(frozen=True)
class Held(SurfaceCondition):
    """The surface held at the potential."""

    potential_wt: float
    potential_y: float
    transfer_m_s = None

    def conductance(self, half_cell: float) -> float:
        return half_cell

    def surface(self, first: float, half_cell: float | None) -> float:
        return self.potential_y


@dataclass(frozen=True)
class MassTransfer(SurfaceCondition):
    """The flux beta (y_potential - y_surface) into the part, beta in m/s."""

    potential_wt: float
    potential_y: float
    transfer_m_s: float

    def conductance(self, half_cell: float) -> float:
        beta = self.transfer_m_s
        return beta * half_cell / (beta + half_cell)

    def surface(self, first: float, half_cell: float | None) -> float:
        if half_cell is None:
            return first
        beta = self.transfer_m_s
        return (beta * self.potential_y + half_cell * first) / (beta + half_cell)
