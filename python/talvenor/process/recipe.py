"""A recipe as a shop states it: the stages, the steel and the part, the
quench that hardens it, and what the drawing asks of it."""

from __future__ import annotations

from dataclasses import dataclass, field

from .metallurgy.tempering import Temper
from .model.steel import Steel
from .requirements import Requirements
from .schedule.part import Part
from .schedule.stage import Stage

__all__ = ["Recipe"]


@dataclass(frozen=True, kw_only=True)
class Recipe:
    """A recipe applied to a part: the stages, the steel and the part, and
    the quench that hardens it.

    ``stages``, ``steel`` and ``part`` are the arguments of :func:`simulate`
    of the same names; ``quench_c``, ``austenite_hv``, ``severity_h`` and
    ``temper`` those of :func:`harden`, with ``quench_c`` None for a recipe
    that asks for no hardening.  ``requirements`` holds the bands the treated part must meet
    (None where the recipe states none).  :func:`read_recipe` reads one from
    a TOML file, and :func:`evaluate` gives its outcome.
    """

    stages: tuple[Stage, ...]
    steel: Steel
    part: Part = field(default_factory=Part)
    quench_c: float | None = None
    austenite_hv: float = 300.0
    requirements: Requirements | None = None
    severity_h: float | None = None
    temper: Temper | None = None

    @property
    def geometry(self) -> str:
        """The part's geometry."""
        return self.part.geometry

    @property
    def depth_mm(self) -> float:
        """The part's depth in mm."""
        return self.part.depth_mm

    @property
    def cells(self) -> int:
        """The cells of the part's grid."""
        return self.part.cells

    @property
    def core_carbon_wt(self) -> float:
        """The steel's carbon content in wt%."""
        return self.steel.carbon_wt

    @property
    def core_nitrogen_wt(self) -> float:
        """The steel's nitrogen content in wt%."""
        return self.steel.nitrogen_wt
