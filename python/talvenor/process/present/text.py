"""An outcome as text: the summary, the profile table and the verdicts that
the command line prints and the report shows."""

from __future__ import annotations

import math

import numpy as np

from ..metallurgy.conversions import HV_RANGE, hv_to_hrc
from ..metallurgy.hardening import Hardening
from ..model.steel import Steel
from ..pipeline import Outcome
from ..schedule.furnace_log import FurnaceLog, LogSegment
from ..schedule.stage import Stage
from ..standards import CHD_LIMIT_HV, ISO_18203_CORE_DEPTHS, ISO_18203_CORE_HV
from ..verdicts import Verdict, Verdicts
from .extent import shown_depth_mm

__all__ = ["printout", "summary", "profile_table", "verdict_lines", "verdict_text", "duration_text"]

# Steps of the profile table, in mm; the smallest that gives at most this
# many rows is used.
_TABLE_STEPS_MM = (0.05, 0.1, 0.2, 0.25, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0)
_TABLE_ROWS = 30


def printout(outcome: Outcome, heading: str) -> str:
    """What the command line prints of ``outcome`` under ``heading``: the
    summary, the profile table and the verdicts."""
    return "\n".join([heading, *summary(outcome), "", *profile_table(outcome), *verdict_lines(outcome)])


def summary(outcome: Outcome) -> list[str]:
    """The lines of the summary: the steel and the part, the stages, the
    surface, the case depth and the uptake, and the hardened case."""
    recipe, result = outcome.recipe, outcome.result
    part = recipe.part
    return [*([] if recipe.job is None else [f"Job          {recipe.job}", ""]),
            f"Steel {_steel(recipe.steel)}; {part.geometry} of depth {part.depth_mm:g} mm on {part.cells} cells",
            *_jominy(recipe.steel), *([] if recipe.log is None else _log(recipe.log)),
            "", *_stage_table(outcome), "",
            f"Surface      {result.surface_carbon_wt:.3f} wt% C, {result.surface_nitrogen_wt:.3f} wt% N",
            *_boost_lines(outcome),
            f"Case depth   {_case_depth(outcome)}",
            f"Uptake       {result.carbon_uptake_g_m2:.2f} g/m² C, {result.nitrogen_uptake_g_m2:.2f} g/m² N",
            *([] if outcome.hardening is None else _hardened(outcome.hardening, outcome.limit_hv))]


def profile_table(outcome: Outcome) -> list[str]:
    """The lines of the profile table, down to a few case depths; with a
    hardened case, a row at the CHD, marked."""
    result, hardening = outcome.result, outcome.hardening
    tempered = hardening is not None and hardening.temper is not None
    lines = [f"{'depth [mm]':>10}  {'C [wt%]':>7}  {'N [wt%]':>7}" + ("" if hardening is None else
             (f"  {'HV q':>5}" if tempered else "") + f"  {'HV':>5}  {'RA [%]':>6}")]
    deepest = shown_depth_mm(result, outcome.threshold_wt)
    step = next((s for s in _TABLE_STEPS_MM if deepest / s <= _TABLE_ROWS), _TABLE_STEPS_MM[-1])
    depths = step * np.arange(math.floor(deepest / step + 1e-9) + 1)
    columns = [result.carbon_wt, result.nitrogen_wt]
    chd_mm = math.nan
    if hardening is not None:
        columns += [hardening.hardness_hv, 100.0 * hardening.retained_austenite,
                    *([hardening.quenched_hardness_hv] if tempered else [])]
        chd_mm = hardening.case_hardening_depth_mm(outcome.limit_hv, beyond_part="inf")
        if 0.0 < chd_mm <= depths[-1]:
            depths = np.union1d(depths, [chd_mm])
    for depth, *values in zip(depths, *(np.interp(depths, result.depth_mm, column) for column in columns)):
        lines.append(f"{depth:10.2f}  {values[0]:7.3f}  {values[1]:7.3f}"
                     + (f"  {values[4]:5.0f}" if tempered else "")
                     + ("" if hardening is None else f"  {values[2]:5.0f}  {values[3]:6.1f}")
                     + (f"  CHD at {outcome.limit_hv:g} HV" if depth == chd_mm else ""))
    return lines


def verdict_lines(outcome: Outcome) -> list[str]:
    """The table of verdicts and the verdict on them all, after a blank line
    (none where the recipe has no requirements)."""
    verdicts = outcome.verdicts
    if not verdicts:
        return []
    stock_mm = 0.0 if outcome.recipe.requirements is None else outcome.recipe.requirements.grinding_stock_mm
    ground = [f"Ground       {stock_mm:g} mm off after hardening: the bands are read from the finished surface"
              ] if stock_mm else []
    return ["", *ground, Verdict.HEADING, *map(str, verdicts), f"Verdict      {verdict_text(verdicts)}"]


def verdict_text(verdicts: Verdicts) -> str:
    """Whether all requirements are met, and which are not."""
    failed = verdicts.failed
    return (f"pass: all {len(verdicts)} requirements are met" if not failed else
            f"fail: {len(failed)} of {len(verdicts)} requirements are not met ({', '.join(failed)})")


def _stage_table(outcome: Outcome) -> list[str]:
    """The stages (or the stretches of a log): duration, temperature, and the
    surface conditions."""
    result = outcome.result
    rows = [(str(number) if isinstance(stage, Stage) else "log", duration_text(stage.duration_h), _temperature(stage),
             _carbon(stage) + (", carbide" if peak_g_m2 > outcome.carbide_tolerance_g_m2 else ""),
             _nitrogen(stage))
            for number, (stage, peak_g_m2) in enumerate(zip(result.stages, _carbide_by_stage(outcome)), 1)]
    width = max(24, *(len(row[3]) for row in rows))
    lines = [f"{'stage':>5}  {'time':>9}  {'temperature [°C]':<17}  {'carbon':<{width}}  nitrogen"]
    lines += [f"{number:>5}  {time:>9}  {degrees:<17}  {carbon:<{width}}  {nitrogen}"
              for number, time, degrees, carbon, nitrogen in rows]
    return [*lines, f"{'total':>5}  {duration_text(float(result.stage_end_h[-1])):>9}"]


def _carbon(stage: Stage | LogSegment) -> str:
    """The carbon surface condition of ``stage``: of a log, its range; of an
    atmosphere reading, the potential it gives and the reading."""
    if isinstance(stage, LogSegment):
        return _log_condition(stage.carbon_potential, stage.carbon_transfer_m_s)
    if not stage.reading:
        return str(stage.carbon)
    reading = ", ".join(_reading(name, value) for name, value in stage.reading.items())
    return f"{stage.carbon_potential_wt:.3f} wt% ({reading})" + (
        "" if stage.carbon_transfer_m_s is None else f", β {stage.carbon_transfer_m_s:g} m/s")


def _nitrogen(stage: Stage | LogSegment) -> str:
    if isinstance(stage, LogSegment):
        return _log_condition(stage.nitrogen_potential, stage.nitrogen_transfer_m_s)
    return str(stage.nitrogen)


def _log_condition(potentials: np.ndarray | None, transfer_m_s: float | None) -> str:
    """A surface condition of a log: the range of its potentials."""
    if potentials is None:
        return "closed"
    low, high = float(potentials.min()), float(potentials.max())
    held = "held at " if transfer_m_s is None else ""
    return f"{held}{low:.2f} to {high:.2f} wt%" + ("" if transfer_m_s is None else f", β {transfer_m_s:g} m/s")


def _reading(name: str, value: float) -> str:
    """An atmosphere reading as an instrument shows it."""
    return {"probe_mv": f"probe {value:g} mV", "co2_pct": f"CO2 {value:g} %", "dew_point_c": f"dew point {value:g} °C",
            "co_pct": f"CO {value:g} %", "h2_pct": f"H2 {value:g} %", "process_factor": f"PF {value:g}"}[name]


def _log(log: FurnaceLog) -> list[str]:
    """A line on the furnace log the run followed."""
    low, high = float(log.temperature_c.min()), float(log.temperature_c.max())
    return [f"Log          {log.name or 'furnace log'}: {log.time_h.size:,} samples over "
            f"{duration_text(log.duration_h)}, {low:.0f} to {high:.0f} °C"]


def duration_text(duration_h: float) -> str:
    """A duration in hours, or in minutes where it is shorter than an hour."""
    return f"{duration_h:.2f} h" if duration_h >= 1.0 else f"{60.0 * duration_h:.1f} min"


def _boost_lines(outcome: Outcome) -> list[str]:
    """The peak surface carbon against the limit and the carbide, for a recipe with boosts."""
    recipe, result = outcome.recipe, outcome.result
    # The carbon limit of each boost at its start, and the boosts that have it.
    limits: dict[float, list[int]] = {}
    for number, stage in enumerate(result.stages, 1):
        if stage.carbon.limited:
            limits.setdefault(stage.carbon_limit_at(recipe.steel, 0.0), []).append(number)
    if not limits:
        return []
    if len(limits) == 1:
        told = f"the limit {next(iter(limits)):.3f} wt%"
    else:
        told = "the limits " + ", ".join(f"{limit_wt:.3f} wt% (stage{'s' if len(numbers) > 1 else ''} "
                                         f"{', '.join(map(str, numbers))})" for limit_wt, numbers in limits.items())
    return [f"Peak         {result.peak_surface_carbon_wt:.3f} wt% C at the surface, {told}",
            f"Carbide      {result.carbide_g_m2:.2f} g/m² left at the end, {result.peak_carbide_g_m2:.2f} g/m² "
            "at the most"]


def _carbide_by_stage(outcome: Outcome) -> list[float]:
    """The most carbide at the surface in each stage, in g/m²."""
    result = outcome.result
    history = result.history
    return [float(history.carbide_g_m2[(history.time_h >= start) & (history.time_h <= end)].max(initial=0.0))
            for start, end in zip(result.stage_start_h, result.stage_end_h)]


def _case_depth(outcome: Outcome) -> str:
    result, threshold_wt = outcome.result, outcome.threshold_wt
    case_mm, core_wt = outcome.case_depth_mm, outcome.recipe.steel.carbon_wt
    if math.isinf(case_mm):
        if core_wt > threshold_wt:
            return f"none: the core's {core_wt:g} wt% C is above the threshold, {threshold_wt:g} wt% C"
        return f"deeper than the part's {result.depth_mm[-1]:.2f} mm (at {threshold_wt:g} wt% C)"
    if case_mm == 0.0:
        return f"none, the surface is at or below {threshold_wt:g} wt% C"
    return f"{case_mm:.2f} mm (at {threshold_wt:g} wt% C)"


def _jominy(steel: Steel) -> list[str]:
    """A line on the steel's Jominy curve against its +H band, where it has one."""
    band = steel.jominy_band
    if band is None:
        return []
    outside = band.outside(steel.jominy_hrc(np.array(band.distance_mm)))
    kind = "measured" if steel.measured_jominy is not None else "Just's formula"
    if not outside:
        return [f"Jominy       within the {band.name} band from J{band.distance_mm[0]:g} to "
                f"J{band.distance_mm[-1]:g} ({kind})"]
    distance, value, end = outside[0]
    return [f"Jominy       leaves the {band.name} band at J{distance:g}: {value:.1f} HRC, "
            f"{'above' if value > end else 'below'} {end:g} ({kind})"]


def _hardened(hardening: Hardening, limit_hv: float) -> list[str]:
    """The lines of the summary on the hardened case: as quenched and, with
    a temper, tempered."""
    quench = f"to {hardening.quench_c:g} °C"
    if hardening.severity_h is not None:
        quench += f", severity H {hardening.severity_h:g} in⁻¹"
    lines = ["", f"Quench       {quench}"]
    if hardening.temper is not None:
        temper = hardening.temper
        quenched = Hardening(hardening.depth_mm, hardening.ms_c, hardening.martensite, hardening.retained_austenite,
                             hardening.quenched_hardness_hv, hv_to_hrc(hardening.quenched_hardness_hv),
                             hardening.quench_c, hardening.austenite_hv)
        lines += [f"Temper       {temper.duration_h:g} h at {temper.temperature_c:g} °C",
                  f"As quenched  {_hardness(quenched)}", f"Tempered     {_hardness(hardening)}"]
    else:
        lines.append(f"Hardness     {_hardness(hardening)}")
    chd_mm = hardening.case_hardening_depth_mm(limit_hv, beyond_part="inf")
    if math.isinf(chd_mm):
        lines.append(f"CHD          deeper than the part's {hardening.depth_mm[-1]:.2f} mm (at {limit_hv:g} HV)")
    else:
        lines.append(f"CHD          {chd_mm:.2f} mm (at {limit_hv:g} HV)" if chd_mm > 0.0
                     else f"CHD          none, the hardness stays below {limit_hv:g} HV")
    core_hv = hardening.iso_18203_core_hv(limit_hv)
    if core_hv is not None:
        lines.append(f"             ISO 18203 asks for a limit above {CHD_LIMIT_HV:g} HV: the core is {core_hv:.0f} "
                     f"HV at {ISO_18203_CORE_DEPTHS:g} times the CHD, not below {ISO_18203_CORE_HV:g} HV")
    lines.append(f"Austenite    {100.0 * float(hardening.retained_austenite[0]):.1f} % retained at the surface")
    return lines


def _hardness(hardening: Hardening) -> str:
    """The hardness at the surface and in the core, in HV and HRC."""
    surface, core = hardening.surface_hardness_hv, hardening.core_hardness_hv
    return (f"{surface:.0f} HV{_rockwell(surface, hardening.surface_hardness_hrc)} at the surface, "
            f"{core:.0f} HV{_rockwell(core, hardening.core_hardness_hrc)} in the core")


def _rockwell(hv: float, hrc: float) -> str:
    """The Rockwell C hardness ``hrc`` of ``hv`` in brackets, or where it lies off the scale."""
    if math.isfinite(hrc):
        return f" ({hrc:.1f} HRC)"
    return " (below 20 HRC)" if hv < HV_RANGE[0] else " (above 68 HRC, beyond the scale)"


def _steel(steel: Steel) -> str:
    text = f"{steel.carbon_wt:g} wt% C, {steel.nitrogen_wt:g} wt% N"
    alloying = [f"{symbol} {content:g}" for symbol, content in
                (("Si", steel.silicon_wt), ("Mn", steel.manganese_wt), ("Cr", steel.chromium_wt),
                 ("Ni", steel.nickel_wt), ("Mo", steel.molybdenum_wt)) if content]
    if alloying:
        text += f" ({', '.join(alloying)} wt%)"
    if steel.alloy_factor != 1.0:
        text += f", alloy factor {steel.alloy_factor:g}"
    return text if steel.name is None else f"{steel.name}, {text}"


def _temperature(stage: Stage | LogSegment) -> str:
    if isinstance(stage, LogSegment):
        low, high = stage.temperature_range_c
        return f"{low:.0f} to {high:.0f}"
    start, end = stage.temperatures_c
    return f"{start:g}" if not stage.ramped else f"{start:g} to {end:g}"
