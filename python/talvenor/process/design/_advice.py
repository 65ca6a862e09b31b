"""What a design that cannot meet the drawing says: which band fails, by
how much, and what would help."""

from __future__ import annotations

import math

from ..model.solubility import AUSTENITE_RANGE_C
from ..schedule.furnace import Furnace
from ..verdicts import Verdict
from ._records import CycleDesign
from ._surface import Window

__all__ = ["failure", "advice"]

# The quantities that the carbon at the surface decides.
_SURFACE = ("surface_hardness", "retained_austenite", "surface_carbon")


def failure(verdict: Verdict) -> str:
    """A band that fails, as a phrase: what the part has, and how far out of its band."""
    decimals, band, low = verdict.decimals, verdict.band_text, verdict.band[0]
    if math.isnan(verdict.value):
        return f"{verdict.name} below 20 {verdict.unit}, below its band {band} {verdict.unit}"
    if math.isinf(verdict.value):
        return f"{verdict.name} deeper than the part, above its band {band} {verdict.unit}"
    side = "below" if low is not None and verdict.value < low else "above"
    return (f"{verdict.name} {verdict.value:.{decimals}f} {verdict.unit}, {abs(verdict.margin):.{decimals}f} "
            f"{verdict.unit} {side} its band {band} {verdict.unit}")


def advice(design: CycleDesign, furnace: Furnace, surface: Window, ceiling_wt: float) -> tuple[str, ...]:
    """What would help the bands that ``design`` fails, in the order of its verdicts, each hint once."""
    hints: list[str] = []
    for verdict in design.outcome.verdicts:
        if not verdict.passed:
            low = verdict.band[0]
            below = math.isnan(verdict.value) or (low is not None and verdict.value < low)
            hints += _hints(verdict.key, below, design, furnace, surface)
    if design.above(ceiling_wt):
        hints += [f"a longer cycle than longest_h {furnace.longest_h:g} h, which leaves time for a diffuse",
                  "a leaner boost potential"]
    if design.longer_than(furnace.longest_h):
        hints.append("a shorter heat-up or tail")
    return tuple(dict.fromkeys(hints))


def _hints(key: str, below: bool, design: CycleDesign, furnace: Furnace, surface: Window) -> list[str]:
    quantity = key.rsplit("_", 1)[0]
    recipe = design.recipe
    if quantity in ("chd", "case_depth"):
        return _deeper(design, furnace) if below else [
            "a shorter heat-up or tail (cool-down and hold), which carburize the part as well",
            f"a lower carburizing temperature than {design.temperature_c:g} °C"]
    if quantity in _SURFACE and surface.met:
        # Some surface meets the drawing: the cycle did not get there.
        return _surface_missed(design, furnace, surface)
    sub_zero = "a sub-zero step (a quench below 0 °C), which turns retained austenite to martensite"
    temper = recipe.temper
    if quantity == "surface_hardness":
        if not below:
            return ["a higher tempering temperature" + ("" if temper is None else f" than {temper.temperature_c:g} °C")]
        hints = [] if surface.met else [sub_zero]
        hints.append("a steel with more hardenability, or a more severe quench")
        if temper is not None:
            hints.append(f"a lower tempering temperature than {temper.temperature_c:g} °C")
        return hints
    if quantity == "retained_austenite":
        return [sub_zero, "a leaner surface (a lower carbon potential)"] if not below else [
            "a richer surface (a higher carbon potential)"]
    if quantity == "surface_carbon":
        return [f"an atmosphere that holds {'richer' if below else 'leaner'} potentials" if furnace.kind == "gas"
                else f"a {'longer' if not below else 'shorter'} final diffuse than the furnace's pulses allow"]
    if quantity in ("core_hardness", "hardness_at_depth"):
        return (["a steel with more hardenability, or a more severe quench"] if below
                else ["a steel with less hardenability, or a milder quench"])
    if quantity == "no_carbides":
        return ["a leaner boost potential"] if furnace.kind == "gas" else ["a lower carbon flux"]
    return ["carbonitriding, which this design does not make"] if quantity == "surface_nitrogen" else []


def _surface_missed(design: CycleDesign, furnace: Furnace, surface: Window) -> list[str]:
    """What would bring the finished surface to the window that meets the drawing."""
    aimed = f"{surface.low_wt:.2f}–{surface.high_wt:.2f} wt% C, where the surface meets the drawing"
    if furnace.kind == "gas":
        assert furnace.carbon_potential_range_wt is not None
        low_wt, high_wt = furnace.carbon_potential_range_wt
        factor = design.recipe.steel.alloy_factor
        if not low_wt * factor <= surface.aim_wt <= high_wt * factor:
            return [f"an atmosphere that holds potentials from {low_wt:g} to {high_wt:g} wt% and reaches {aimed}"]
    return [f"a longer cycle, in which the finished surface reaches {aimed}"]


def _deeper(design: CycleDesign, furnace: Furnace) -> list[str]:
    """What would give a deeper case."""
    hints = []
    if design.total_h >= 0.99 * furnace.longest_h:
        hints.append(f"a longer cycle than longest_h {furnace.longest_h:g} h")
    if design.temperature_c < AUSTENITE_RANGE_C[1]:
        hints.append(f"a higher carburizing temperature than {design.temperature_c:g} °C")
    if furnace.kind == "vacuum":
        hints.append(f"a higher carbon flux than {furnace.carbon_flux_g_m2_h:g} g/m²h")
    return hints
