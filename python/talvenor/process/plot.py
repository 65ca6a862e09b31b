"""A result as a picture: the profiles and the surface over the recipe."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

from .. import constants

if TYPE_CHECKING:
    from .hardening import Hardening
    from .result import Result

__all__ = ["plot_result", "shown_depth_mm"]

_COLOURS = {"carbon": "tab:blue", "nitrogen": "tab:orange"}
# Profiles are shown to this many case depths, where they have long reached
# the core composition; the rest of a thick part tells nothing.
_SHOWN_CASE_DEPTHS = 2.5


def shown_depth_mm(result: Result, threshold_wt: float) -> float:
    """How deep a picture or table of the profiles of ``result`` goes: a few
    case depths, or the whole part where there is no case within it."""
    deepest = float(result.depth_mm[-1])
    try:
        case_mm = result.case_depth_mm(threshold_wt)
    except ValueError:
        return deepest
    return min(deepest, _SHOWN_CASE_DEPTHS * case_mm) if case_mm > 0.0 else deepest


def plot_result(result: Result, path: str | os.PathLike[str], *, threshold_wt: float = 0.35,
                title: str | None = None, hardening: Hardening | None = None, limit_hv: float = 550.0) -> None:
    """Draw ``result`` into an image file at ``path`` (PNG unless its suffix
    names another format that matplotlib writes).

    On the left the carbon and nitrogen profiles in wt% against depth in mm,
    with the threshold and the case depth; on the right the surface
    composition over the whole recipe, with the stage boundaries.  With
    ``hardening``, a panel between them shows the hardness in HV against
    depth, with ``limit_hv`` and the case-hardening depth.

    Raises
    ------
    ImportError
        Without matplotlib.
    """
    try:
        from matplotlib.figure import Figure
    except ImportError as missing:
        raise ImportError("plotting needs matplotlib; install it with: "
                          "python -m pip install 'talvenor[plot]'") from missing
    if hardening is None:
        figure = Figure(figsize=(10.0, 4.2), layout="constrained")
        profile_axes, surface_axes = figure.subplots(1, 2, width_ratios=(3, 2))
    else:
        figure = Figure(figsize=(15.0, 4.2), layout="constrained")
        profile_axes, hardness_axes, surface_axes = figure.subplots(1, 3, width_ratios=(3, 3, 2))
        _hardness(hardness_axes, hardening, limit_hv, shown_depth_mm(result, threshold_wt))
    _profiles(profile_axes, result, threshold_wt)
    _surface(surface_axes, result)
    if title:
        figure.suptitle(title)
    figure.savefig(path, dpi=120)


def _profiles(axes: Any, result: Result, threshold_wt: float) -> None:
    nitrogen = bool(result.nitrogen_wt.any())
    axes.plot(result.depth_mm, result.carbon_wt, color=_COLOURS["carbon"], label="carbon")
    if nitrogen:
        axes.plot(result.depth_mm, result.nitrogen_wt, color=_COLOURS["nitrogen"], label="nitrogen")
    axes.axhline(threshold_wt, color="grey", linestyle=":", linewidth=1.0)
    try:
        case_mm = result.case_depth_mm(threshold_wt)
    except ValueError:
        case_mm = None
    if case_mm:
        axes.axvline(case_mm, color="grey", linestyle="--", linewidth=1.0)
        axes.plot([case_mm], [threshold_wt], "o", color="black", markersize=4,
                  label=f"case depth {case_mm:.2f} mm at {threshold_wt:g} wt% C")
    axes.set_xlim(0.0, shown_depth_mm(result, threshold_wt))
    axes.set_ylim(bottom=0.0)
    axes.set_xlabel("depth [mm]")
    axes.set_ylabel("content [wt%]")
    axes.set_title(f"Profiles after {result.time_h:g} h")
    axes.grid(alpha=0.3)
    axes.legend()


def _hardness(axes: Any, hardening: Hardening, limit_hv: float, shown_mm: float) -> None:
    axes.plot(hardening.depth_mm, hardening.hardness_hv, color="black", label="hardness")
    axes.axhline(limit_hv, color="grey", linestyle=":", linewidth=1.0)
    try:
        chd_mm = hardening.case_hardening_depth_mm(limit_hv)
    except ValueError:
        chd_mm = None
    if chd_mm:
        axes.axvline(chd_mm, color="grey", linestyle="--", linewidth=1.0)
        axes.plot([chd_mm], [limit_hv], "o", color="black", markersize=4,
                  label=f"CHD {chd_mm:.2f} mm at {limit_hv:g} HV")
    axes.set_xlim(0.0, shown_mm)
    axes.set_xlabel("depth [mm]")
    axes.set_ylabel("hardness [HV]")
    axes.set_title(f"Hardness after quenching to {hardening.quench_c:g} °C")
    axes.grid(alpha=0.3)
    austenite = axes.twinx()
    austenite.plot(hardening.depth_mm, 100.0 * hardening.retained_austenite, color="tab:green", linestyle="--",
                   linewidth=1.0, label="retained austenite")
    austenite.set_ylim(0.0, max(50.0, 100.0 * float(hardening.retained_austenite.max())))
    austenite.set_ylabel("retained austenite [%]", color="tab:green")
    lines = axes.get_legend_handles_labels()
    more = austenite.get_legend_handles_labels()
    axes.legend(lines[0] + more[0], lines[1] + more[1], loc="upper right")


def _surface(axes: Any, result: Result) -> None:
    history = result.history
    axes.plot(history.time_h, history.carbon_wt, color=_COLOURS["carbon"], label="carbon")
    if history.nitrogen_wt.any():
        axes.plot(history.time_h, history.nitrogen_wt, color=_COLOURS["nitrogen"], label="nitrogen")
    starts = [0.0, *(float(t) for t in result.stage_end_h[:-1])]
    for number, (start, end) in enumerate(zip(starts, result.stage_end_h), 1):
        if number > 1:
            axes.axvline(start, color="grey", linestyle=":", linewidth=1.0)
        axes.annotate(str(number), ((start + float(end)) / 2.0, 1.0), xycoords=("data", "axes fraction"),
                      xytext=(0, -4), textcoords="offset points", ha="center", va="top", color="grey")
    axes.set_xlim(0.0, float(result.stage_end_h[-1]))
    axes.set_ylim(0.0, 1.12 * max(float(history.carbon_wt.max()), float(history.nitrogen_wt.max())))
    axes.set_xlabel("time [h]")
    axes.set_ylabel("surface content [wt%]")
    axes.set_title("Surface over the recipe (stages numbered)")
    axes.grid(alpha=0.3)
    temperature = axes.twinx()
    times = [t for start, end in zip(starts, result.stage_end_h) for t in (start, float(end))]
    degrees = [stage.temperature_k(fraction) - constants.T_NORMAL for stage in result.stages for fraction in (0.0, 1.0)]
    temperature.plot(times, degrees, color="tab:red", linestyle="--", linewidth=1.0, label="temperature")
    low, high = min(degrees), max(degrees)
    temperature.set_ylim(low - 0.2 * (high - low) - 50.0, high + 20.0)
    temperature.set_ylabel("temperature [°C]", color="tab:red")
    lines = axes.get_legend_handles_labels()
    more = temperature.get_legend_handles_labels()
    axes.legend(lines[0] + more[0], lines[1] + more[1], loc="lower right")
