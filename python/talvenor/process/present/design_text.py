"""A cycle designed to the drawing as text: what the command line prints
above its summary."""

from __future__ import annotations

from ..design import CycleDesign
from ..schedule.stage import Stage
from .text import duration_text

__all__ = ["design_heading", "pulse_table"]


def design_heading(design: CycleDesign, name: str) -> str:
    """The heading of ``design`` for the drawing ``name``: what it aimed at,
    the cycle by its parts (a vacuum cycle's pulses as a table in minutes,
    as furnace recipes are written), and its length."""
    recipe = design.recipe
    requirements = recipe.requirements
    assert requirements is not None
    depth = "CHD" if requirements.band("chd", "mm") != (None, None) else "Case depth"
    low, high = design.surface_window_wt
    lines = [f"Design for {name}: {design.total_h:.2f} h in all at {design.temperature_c:g} °C; {depth} aimed at "
             f"{design.depth_aim_mm:.2f} mm" + (f" below the finished surface ({requirements.grinding_stock_mm:g} mm "
                                                "ground off)" if requirements.grinding_stock_mm else "")
             + f", the surface at {design.surface_aim_wt:.3f} wt% C"
             + (f" (it meets the drawing from {low:.3f} to {high:.3f})" if high > low else "")]
    by_role: dict[str, list[Stage]] = {}
    for stage, role in zip(recipe.stages, design.roles):
        by_role.setdefault(role, []).append(stage)
    pulses = list(zip(by_role.get("boost", []), by_role.get("diffuse", [])))
    pulsed = len(pulses) > 1 or any(stage.carbon_flux_g_m2_h is not None for stage in recipe.stages)
    parts = []
    for role in ("heat-up", "boost", "diffuse", "cool-down", "hold"):
        stages = by_role.get(role, [])
        if pulsed and role in ("boost", "diffuse"):
            if role == "boost":
                total_h = sum(stage.duration_h for pulse in pulses for stage in pulse)
                parts.append(f"{len(pulses)} pulse{'s' * (len(pulses) != 1)} of {60.0 * total_h:.1f} min")
        elif stages:
            stage = stages[0]
            potential = stage.carbon_potential_wt
            parts.append(f"{role} {duration_text(stage.duration_h)}"
                         + ("" if potential is None or role == "heat-up" else f" at {potential:.3f} wt% C"))
    lines.append("Cycle        " + ", ".join(parts))
    if pulsed:
        lines += ["", *pulse_table([(boost.duration_h, diffuse.duration_h) for boost, diffuse in pulses])]
    return "\n".join([*lines, ""])


def pulse_table(pulses_h: list[tuple[float, float]]) -> list[str]:
    """The lines of a table of the pulses, each a boost and a diffuse given
    in hours, in minutes (as furnace recipes are written)."""
    return [f"{'pulse':>5}  {'boost [min]':>11}  {'diffuse [min]':>13}",
            *(f"{number:>5}  {60.0 * boost_h:11.1f}  {60.0 * diffuse_h:13.1f}"
              for number, (boost_h, diffuse_h) in enumerate(pulses_h, 1))]
