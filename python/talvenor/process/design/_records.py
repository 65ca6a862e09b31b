"""What a design to the drawing gives: the cycle designed, or why none
meets the drawing."""

from __future__ import annotations

from dataclasses import dataclass

from ..pipeline import Outcome
from ..recipe import Recipe

__all__ = ["CycleDesign", "DrawingNotMet", "HUMP_TOLERANCE_WT"]

# How far in wt% the carbon below the surface may pass its ceiling, as the
# designs find the diffuse that brings it under.
HUMP_TOLERANCE_WT = 2e-3


@dataclass(frozen=True, eq=False)
class CycleDesign:
    """A cycle designed to the drawing: what :func:`design_cycle` returns
    (and :class:`DrawingNotMet` holds, where it is the nearest there is).

    Attributes
    ----------
    recipe : Recipe
        The whole recipe: the stages of the cycle, the steel, the part, the
        quench and temper, the requirements and the job.
    outcome : Outcome
        Its run, hardened case and verdicts, as :func:`evaluate` gives them.
    roles : tuple of str
        What each stage is: ``"heat-up"``, ``"boost"``, ``"diffuse"``,
        ``"cool-down"`` or ``"hold"``.
    temperature_c : float
        The carburizing temperature in °C.
    depth_aim_mm : float
        The CHD (or case depth) aimed at, from the finished surface, in mm.
    surface_aim_wt : float
        The carbon content of the finished surface aimed at, in wt%.
    surface_window_wt : tuple of float
        The surface carbon contents in wt% at which the finished surface
        meets the drawing's surface bands (the aim where none does).
    peak_wt : float
        The most carbon below the finished surface, in wt%.
    runs : int
        How many cycles the design ran.
    """

    recipe: Recipe
    outcome: Outcome
    roles: tuple[str, ...]
    temperature_c: float
    depth_aim_mm: float
    surface_aim_wt: float
    surface_window_wt: tuple[float, float]
    peak_wt: float
    runs: int

    @property
    def passed(self) -> bool:
        """Whether the finished part meets every band of the requirements."""
        return self.outcome.passed

    @property
    def total_h(self) -> float:
        """The whole cycle in hours, heat-up and tail included."""
        return sum(stage.duration_h for stage in self.recipe.stages)

    def above(self, ceiling_wt: float) -> bool:
        """Whether the carbon below the surface rises above ``ceiling_wt``
        (by more than :data:`HUMP_TOLERANCE_WT`)."""
        return self.peak_wt > ceiling_wt + HUMP_TOLERANCE_WT

    def longer_than(self, longest_h: float) -> bool:
        """Whether the cycle is longer than ``longest_h`` hours (beyond rounding)."""
        return self.total_h > longest_h * (1.0 + 1e-9)

    def hours(self, role: str) -> float:
        """The hours of the stages of ``role`` together."""
        return sum(stage.duration_h for stage, its in zip(self.recipe.stages, self.roles) if its == role)


class DrawingNotMet(ValueError):
    """No cycle of the furnace gives a finished part that meets every band.

    Attributes
    ----------
    design : CycleDesign
        The cycle that comes nearest, with its verdicts.
    failures : tuple of str
        Each band that fails there, and by how much.
    advice : tuple of str
        What would help.
    """

    def __init__(self, design: CycleDesign, failures: tuple[str, ...], advice: tuple[str, ...]) -> None:
        steel = design.recipe.steel
        super().__init__(
            f"the drawing cannot be met with {steel.name or f'a steel of {steel.carbon_wt:g} wt% C'}, this part and "
            f"this furnace: the best cycle found ({design.total_h:.2f} h at {design.temperature_c:g} °C) gives "
            + "; ".join(failures) + (f".  What would help: {'; '.join(advice)}" if advice else ""))
        self.design, self.failures, self.advice = design, failures, advice
