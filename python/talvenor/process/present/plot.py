"""A result as a picture: the profiles and the surface over the recipe."""

from __future__ import annotations

import math
import os
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np

from ..metallurgy.conversions import hrc_to_hv
from ..metallurgy.hardening import Hardening
from ..model.steel import Steel
from ..pipeline import Outcome
from ..requirements import Requirements
from ..results import Result
from ..standards import CARBIDE_TOLERANCE_G_M2, CASE_DEPTH_THRESHOLD_WT, CHD_LIMIT_HV
from .canvas import blank_figure
from .extent import shown_depth_mm

__all__ = ["plot_result", "plot_outcome", "result_figure", "plot_jominy", "jominy_figure"]

_COLOURS = {"carbon": "tab:blue", "nitrogen": "tab:orange"}
# The stages of a recipe are marked while they can be told apart: their
# boundaries while they are at most this many, the number of each that
# spans at least this share of the recipe.
_MOST_BOUNDARIES = 60
_LABEL_SHARE = 1.0 / 40.0
# The shading of a band of the requirements across a panel and as a bar of a
# surface or core value, whose width is a fraction of the panel's.
_ACROSS = dict(alpha=0.2, linewidth=0.0)
_BAR = dict(alpha=0.35, linewidth=0.0)
_BAR_WIDTH = 0.03


def plot_result(result: Result, path: str | os.PathLike[str], *, threshold_wt: float = CASE_DEPTH_THRESHOLD_WT,
                title: str | None = None, hardening: Hardening | None = None, limit_hv: float = CHD_LIMIT_HV,
                requirements: Requirements | None = None) -> None:
    """Draw ``result`` into an image file at ``path`` (PNG unless its suffix
    names another format that matplotlib writes).

    On the left the carbon and nitrogen profiles in wt% against depth in mm,
    with the threshold and the case depth; on the right the surface
    composition over the whole recipe, with the stage boundaries.  With
    ``hardening``, a panel between them shows the hardness in HV against
    depth, with ``limit_hv`` and the case-hardening depth.  With
    ``requirements``, its bands are shaded on the panels they belong to:
    depths across the panel, surface values as a bar at its left edge and
    the core hardness at its right edge.

    Raises
    ------
    ImportError
        Without matplotlib.
    """
    figure = result_figure(result, threshold_wt=threshold_wt, title=title, hardening=hardening, limit_hv=limit_hv,
                           requirements=requirements)
    figure.savefig(path, dpi=120)


def plot_outcome(outcome: Outcome, path: str | os.PathLike[str], *, title: str | None = None) -> None:
    """Draw ``outcome`` into an image file at ``path``: :func:`plot_result` of
    its result, its hardened case and the bands of its recipe's requirements."""
    plot_result(outcome.result, path, threshold_wt=outcome.threshold_wt, title=title, hardening=outcome.hardening,
                limit_hv=outcome.limit_hv, requirements=outcome.recipe.requirements)


def outcome_figure(outcome: Outcome, *, title: str | None = None, page_in: tuple[float, float] | None = None) -> Any:
    """The matplotlib Figure of ``outcome``: :func:`result_figure` of its
    result, its hardened case and the bands of its recipe's requirements."""
    return result_figure(outcome.result, threshold_wt=outcome.threshold_wt, title=title, hardening=outcome.hardening,
                         limit_hv=outcome.limit_hv, requirements=outcome.recipe.requirements, page_in=page_in)


def result_figure(result: Result, *, threshold_wt: float = CASE_DEPTH_THRESHOLD_WT, title: str | None = None,
                  hardening: Hardening | None = None, limit_hv: float = CHD_LIMIT_HV,
                  requirements: Requirements | None = None, page_in: tuple[float, float] | None = None) -> Any:
    """The matplotlib Figure that :func:`plot_result` draws: its panels side
    by side, or one above another on a page of ``page_in`` (width and height
    in inches)."""
    panels = 2 if hardening is None else 3
    if page_in is None:
        figure = blank_figure((5.0 * panels, 4.2))
        axes = figure.subplots(1, panels, width_ratios=(3, 2) if hardening is None else (3, 3, 2))
    else:
        figure = blank_figure(page_in)
        axes = figure.subplots(panels, 1)
    profile_axes, surface_axes = axes[0], axes[-1]
    if hardening is not None:
        _hardness(axes[1], hardening, limit_hv, shown_depth_mm(result, threshold_wt), requirements)
    _profiles(profile_axes, result, threshold_wt, requirements)
    _surface(surface_axes, result, CARBIDE_TOLERANCE_G_M2 if requirements is None
             else requirements.carbide_tolerance_g_m2)
    if title:
        figure.suptitle(title)
    return figure


def _profiles(axes: Any, result: Result, threshold_wt: float, requirements: Requirements | None) -> None:
    nitrogen = bool(result.nitrogen_wt.any())
    axes.plot(result.depth_mm, result.carbon_wt, color=_COLOURS["carbon"], label="carbon")
    if nitrogen:
        axes.plot(result.depth_mm, result.nitrogen_wt, color=_COLOURS["nitrogen"], label="nitrogen")
    _mark_depth(axes, result.case_depth_mm(threshold_wt, beyond_part="inf"), threshold_wt,
                lambda depth_mm: f"case depth {depth_mm:.2f} mm at {threshold_wt:g} wt% C")
    axes.set_xlim(0.0, shown_depth_mm(result, threshold_wt))
    axes.set_ylim(bottom=0.0)
    if requirements is not None:
        _across(axes, _treated(requirements, requirements.band("case_depth", "mm")),
                f"case depth required at {requirements.case_depth_threshold_wt:g} wt% C")
        for element in ("carbon", "nitrogen"):
            _bar(axes, requirements.band(f"surface_{element}", "wt"), _COLOURS[element], f"surface {element} required")
    axes.set_xlabel("depth [mm]")
    axes.set_ylabel("content [wt%]")
    axes.set_title(f"Profiles after {result.time_h:.3g} h")
    axes.grid(alpha=0.3)
    axes.legend()


def _hardness(axes: Any, hardening: Hardening, limit_hv: float, shown_mm: float,
              requirements: Requirements | None) -> None:
    temper = hardening.temper
    if temper is not None:
        axes.plot(hardening.depth_mm, hardening.quenched_hardness_hv, color="grey", linestyle="--", linewidth=1.0,
                  label="as quenched")
    axes.plot(hardening.depth_mm, hardening.hardness_hv, color="black", label="hardness" if temper is None else
              f"tempered {temper.duration_h:g} h at {temper.temperature_c:g} °C")
    _mark_depth(axes, hardening.case_hardening_depth_mm(limit_hv, beyond_part="inf"), limit_hv,
                lambda depth_mm: f"CHD {depth_mm:.2f} mm at {limit_hv:g} HV")
    axes.set_xlim(0.0, shown_mm)
    if requirements is not None:
        _hardness_bands(axes, requirements)
    axes.set_xlabel("depth [mm]")
    axes.set_ylabel("hardness [HV]")
    axes.set_title(f"Hardness after quenching to {hardening.quench_c:g} °C"
                   + ("" if temper is None else " and tempering"))
    axes.grid(alpha=0.3)
    austenite = axes.twinx()
    austenite.plot(hardening.depth_mm, 100.0 * hardening.retained_austenite, color="tab:green", linestyle="--",
                   linewidth=1.0, label="retained austenite")
    austenite.set_ylim(0.0, max(50.0, 100.0 * float(hardening.retained_austenite.max())))
    austenite.set_ylabel("retained austenite [%]", color="tab:green")
    if requirements is not None:
        _bar(austenite, requirements.band("retained_austenite", "pct"), "tab:green", "retained austenite required",
             slot=1)
    lines = axes.get_legend_handles_labels()
    more = austenite.get_legend_handles_labels()
    axes.legend(lines[0] + more[0], lines[1] + more[1], loc="upper right")


def _hardness_bands(axes: Any, requirements: Requirements) -> None:
    """The bands of the hardened case: the CHD across the panel, the surface
    and the core hardness as bars at its edges, a hardness at a depth as a
    bar at that depth; bands in HRC in their HV."""
    _across(axes, _treated(requirements, requirements.band("chd", "mm")),
            f"CHD required at {requirements.chd_limit_hv:g} HV")
    for quantity, colour, right in (("surface_hardness", "black", False), ("core_hardness", "grey", True)):
        for band in (requirements.band(quantity, "hv"), _in_hv(requirements.band(quantity, "hrc"))):
            _bar(axes, band, colour, f"{quantity.replace('_', ' ')} required", right=right)
    depth_mm = requirements.hardness_depth_mm
    if depth_mm is not None:
        depth_mm += requirements.grinding_stock_mm
    bands = (requirements.band("hardness_at_depth", "hv"), _in_hv(requirements.band("hardness_at_depth", "hrc")))
    for low, high in bands:
        if depth_mm is not None and (low, high) != (None, None):
            bottom, top = axes.get_ylim()
            axes.plot([depth_mm, depth_mm], [bottom if low is None else low, top if high is None else high],
                      color="tab:purple", linewidth=6.0, alpha=0.35, solid_capstyle="butt",
                      label=f"hardness required at {depth_mm:g} mm")


def _treated(requirements: Requirements, band: tuple[float | None, float | None]) -> tuple[float | None, float | None]:
    """A band of depths below the ground surface as depths below the
    treated one, as the panels draw them."""
    stock = requirements.grinding_stock_mm
    return (None if band[0] is None else band[0] + stock, None if band[1] is None else band[1] + stock)


def _in_hv(band: tuple[float | None, float | None]) -> tuple[float | None, float | None]:
    """A band in HRC in HV."""
    low, high = band
    return (None if low is None else float(hrc_to_hv(low)), None if high is None else float(hrc_to_hv(high)))


def _surface(axes: Any, result: Result, tolerance_g_m2: float) -> None:
    history = result.history
    axes.plot(history.time_h, history.carbon_wt, color=_COLOURS["carbon"], label="carbon")
    if history.nitrogen_wt.any():
        axes.plot(history.time_h, history.nitrogen_wt, color=_COLOURS["nitrogen"], label="nitrogen")
    starts = result.stage_start_h.tolist()
    _stages(axes, result)
    _carbon_limit(axes, result, starts, tolerance_g_m2)
    axes.set_xlim(0.0, float(result.stage_end_h[-1]))
    log = result.log
    potential = None if log is None else log.carbon_potential_wt
    highest = max(float(history.carbon_wt.max()), float(history.nitrogen_wt.max()),
                  0.0 if potential is None else float(np.nanmax(potential, initial=0.0)))
    axes.set_ylim(0.0, 1.12 * highest)
    axes.set_xlabel("time [h]")
    axes.set_ylabel("surface content [wt%]")
    axes.set_title("Surface over the recipe (stages numbered)" if result.log is None else
                   f"Surface over the log{f' {result.log.name}' if result.log.name else ''}")
    axes.grid(alpha=0.3)
    if log is not None and potential is not None:
        axes.plot(log.time_h, potential, color=_COLOURS["carbon"], linewidth=0.6, alpha=0.6,
                  label="carbon potential (log)")
    temperature = axes.twinx()
    if log is None:
        curves = [stage.temperature_curve() for stage in result.stages]
        times = np.concatenate([start + time for start, (time, _) in zip(starts, curves)])
        degrees = np.concatenate([degrees for _, degrees in curves])
    else:
        times, degrees = log.time_h, log.temperature_c
    temperature.plot(times, degrees, color="tab:red", linestyle="--" if result.log is None else "-",
                     linewidth=1.0 if result.log is None else 0.6, label="temperature")
    low, high = float(degrees.min()), float(degrees.max())
    temperature.set_ylim(low - 0.2 * (high - low) - 50.0, high + 20.0)
    temperature.set_ylabel("temperature [°C]", color="tab:red")
    lines = axes.get_legend_handles_labels()
    more = temperature.get_legend_handles_labels()
    axes.legend(lines[0] + more[0], lines[1] + more[1], loc="lower right")


def _stages(axes: Any, result: Result) -> None:
    """The boundaries of the stages while there are few enough to tell
    apart, and the number of each stage wide enough to hold it."""
    starts, ends = result.stage_start_h, result.stage_end_h
    if starts.size <= _MOST_BOUNDARIES:
        for start in starts[1:].tolist():
            axes.axvline(start, color="grey", linestyle=":", linewidth=1.0)
    wide = (ends - starts) >= _LABEL_SHARE * float(ends[-1])
    for number in (np.flatnonzero(wide) + 1).tolist():
        start, end = float(starts[number - 1]), float(ends[number - 1])
        axes.annotate(str(number), ((start + end) / 2.0, 1.0), xycoords=("data", "axes fraction"),
                      xytext=(0, -4), textcoords="offset points", ha="center", va="top", color="grey")


def _mark_depth(axes: Any, depth: float, level: float, label: Callable[[float], str]) -> None:
    """The line of ``level``, and the ``depth`` where the profile falls to
    it, where there is one within the part."""
    axes.axhline(level, color="grey", linestyle=":", linewidth=1.0)
    if 0.0 < depth < math.inf:
        axes.axvline(depth, color="grey", linestyle="--", linewidth=1.0)
        axes.plot([depth], [level], "o", color="black", markersize=4, label=label(depth))


def _carbon_limit(axes: Any, result: Result, starts: list[float], tolerance_g_m2: float) -> None:
    """The carbon limit over the boosts, and the times at which carbide (more
    than ``tolerance_g_m2``) is at the surface, shaded with its peak."""
    # One line for all the boosts, broken between them.
    times: list[float] = []
    limits: list[float] = []
    for start, end, stage in zip(starts, result.stage_end_h.tolist(), result.stages):
        if stage.carbon.limited:
            times += [start, end, math.nan]
            limits += [stage.carbon_limit_at(result.steel, 0.0), stage.carbon_limit_at(result.steel, 1.0), math.nan]
    if times:
        axes.plot(times, limits, color=_COLOURS["carbon"], linestyle=":", linewidth=1.0, label="carbon limit")
    history = result.history
    if result.peak_carbide_g_m2 > tolerance_g_m2:
        axes.fill_between(history.time_h, 0.0, 1.0, where=history.carbide_g_m2 > tolerance_g_m2,
                          transform=axes.get_xaxis_transform(), color="tab:grey", alpha=0.2, linewidth=0.0,
                          label=f"carbide, at most {result.peak_carbide_g_m2:.2g} g/m²")


def _across(axes: Any, band: tuple[float | None, float | None], label: str) -> None:
    """Shade the depths of ``band`` across the panel (an open end at the
    panel's edge)."""
    low, high = band
    if band != (None, None):
        left, right = axes.get_xlim()
        axes.axvspan(left if low is None else low, right if high is None else high, color="tab:olive", label=label,
                     **_ACROSS)


def _bar(axes: Any, band: tuple[float | None, float | None], colour: str, label: str, *, right: bool = False,
         slot: int = 0) -> None:
    """Shade the values of ``band`` as a bar at the left edge of the panel
    (the surface), or at its right edge (the core), ``slot`` bars in from
    it; an open end, or an end that is NaN, at the panel's edge."""
    low, high = band
    if band == (None, None):
        return
    bottom, top = axes.get_ylim()
    low = bottom if low is None or math.isnan(low) else low
    high = top if high is None or math.isnan(high) else high
    inner, outer = slot * _BAR_WIDTH, (slot + 1) * _BAR_WIDTH
    axes.axhspan(low, high, *((1.0 - outer, 1.0 - inner) if right else (inner, outer)), color=colour, label=label,
                 **_BAR)
    axes.set_ylim(min(bottom, low), top if high <= top else 1.05 * high)


def plot_jominy(steel: Steel, path: str | os.PathLike[str], *, title: str | None = None) -> None:
    """Draw the Jominy curve of ``steel`` (:meth:`Steel.jominy_hrc`) against
    its +H band, where it has one, into an image file at ``path``."""
    jominy_figure(steel, title=title).savefig(path, dpi=120)


def jominy_figure(steel: Steel, *, title: str | None = None) -> Any:
    """The matplotlib Figure that :func:`plot_jominy` draws."""
    figure = blank_figure((5.5, 4.0))
    axes = figure.subplots()
    distance_mm = np.linspace(1.5, 50.0, 200)
    kind = "measured" if steel.measured_jominy is not None else "Just's formula"
    axes.plot(distance_mm, steel.jominy_hrc(distance_mm), color="black", label=f"{steel.name or 'steel'} ({kind})")
    band = steel.jominy_band
    if band is not None:
        low = [math.nan if end is None else end for end in band.min_hrc]
        axes.fill_between(band.distance_mm, low, band.max_hrc, color="tab:olive", alpha=0.25, linewidth=0.0,
                          label=f"{band.name} band")
        axes.plot(band.distance_mm, band.max_hrc, color="tab:olive", linewidth=1.0)
        axes.plot(band.distance_mm, low, color="tab:olive", linewidth=1.0)
    axes.set_xlim(0.0, 50.0)
    axes.set_xlabel("distance from the quenched end [mm]")
    axes.set_ylabel("hardness [HRC]")
    axes.set_title(title or f"Jominy curve of {steel.name or 'the steel'}, DI {_quiet_di(steel):.0f} mm")
    axes.grid(alpha=0.3)
    axes.legend()
    return figure


def _quiet_di(steel: Steel) -> float:
    """The ideal diameter, without the warning of a composition out of A255's range."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return steel.ideal_diameter_mm
