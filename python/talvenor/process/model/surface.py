"""The surface condition of a stage for one element: closed, held at a
potential, behind a mass-transfer coefficient, or a boost.

A stage hands its conditions to the kernel (:mod:`talvenor._kernel`), which
evaluates the flux they let into the part, and reports show them: ``str()``
of a condition is how a recipe sheet states it.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import ClassVar

__all__ = ["SurfaceCondition", "Closed", "Held", "MassTransfer", "Boost", "condition"]


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
    #: Whether the surface is bounded by the carbon limit, past which the
    #: carbon delivered forms carbide at the surface (a boost).
    limited: ClassVar[bool] = False


@dataclass(frozen=True)
class Closed(SurfaceCondition):
    """No flux through the surface, as in a vacuum or closed diffuse step."""

    potential_wt = potential_y = transfer_m_s = None
    closed = True

    def __str__(self) -> str:
        return "closed"


@dataclass(frozen=True)
class Held(SurfaceCondition):
    """The surface held at the potential."""

    potential_wt: float
    potential_y: float
    transfer_m_s = None
    held = True

    def __str__(self) -> str:
        return f"held at {self.potential_wt:g} wt%"


@dataclass(frozen=True)
class MassTransfer(SurfaceCondition):
    """The flux beta (y_potential - y_surface) into the part, beta in m/s."""

    potential_wt: float
    potential_y: float
    transfer_m_s: float

    def __str__(self) -> str:
        return f"{self.potential_wt:g} wt%, β {self.transfer_m_s:g} m/s"


@dataclass(frozen=True)
class Boost(SurfaceCondition):
    """Carbon delivered to the surface at ``flux_g_m2_h`` grams per m² and
    hour, all of which enters the part (a low-pressure boost); the run holds
    the surface at its limit once it gets there, and keeps what the part
    cannot take as carbide.
    """

    flux_g_m2_h: float
    potential_wt = potential_y = transfer_m_s = None
    limited = True

    def __str__(self) -> str:
        return f"boost {self.flux_g_m2_h:g} g/m²h"


def condition(potential_wt: float | None, potential_y: float, transfer_m_s: float | None) -> SurfaceCondition:
    """The condition of an atmosphere of ``potential_wt`` (site fraction
    ``potential_y``) and mass-transfer coefficient ``transfer_m_s``: closed
    without a potential, held at it without a coefficient."""
    if potential_wt is None:
        return Closed()
    if transfer_m_s is None:
        return Held(potential_wt, potential_y)
    return MassTransfer(potential_wt, potential_y, transfer_m_s)
