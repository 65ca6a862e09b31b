"""The command line: run a recipe file, or design a boost/diffuse cycle.

    talvenor-process RECIPE.toml [--threshold WT] [--quench C] [--limit-hv HV]
                                 [--csv FILE] [--plot FILE] [--report FILE.pdf]
    talvenor-process design (--core-carbon WT | --steel GRADE) --case-depth MM
                            --temperature C --boost-potential WT
                            --diffuse-potential WT [...]

(or ``python -m talvenor.process ...``).  A bad recipe file or argument ends
with exit status 2 and one line on standard error; nothing is written.  The
output files appear together at the end of a run, or not at all: a run that
fails or is interrupted (exit status 130) leaves them as they were.
Warnings about the recipe go to standard error, one line each.
A recipe whose ``[requirements]`` the result does not meet ends with exit
status 3, after the outputs are written.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib.util
import math
import os
import sys
import time
import warnings
from collections.abc import Sequence
from typing import TextIO

import numpy as np

from . import checks
from .design import PART_DEPTH_PER_CASE_DEPTH, design_boost_diffuse
from .surface import Boost
from .vacuum import design_vacuum_cycle
from .hardening import Hardening
from .output_files import OutputFiles
from .plot import shown_depth_mm
from .recipe import Recipe, Stage
from .recipe_file import RecipeError, format_recipe, read_recipe
from .report import write_report
from .result import Result
from .simulation import simulate
from .solubility import carbon_limit
from .solver import GEOMETRIES
from .requirements import Verdict
from .steel import Steel, steel_grades
from .surface import SurfaceCondition

__all__ = ["main"]

PROGRAM = "talvenor-process"
# Steps of the printed profile table, in mm; the smallest that gives at most
# this many rows is used.
_TABLE_STEPS_MM = (0.05, 0.1, 0.2, 0.25, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0)
_TABLE_ROWS = 30
# ISO 18203 applies the 550 HV limit only where the core is below 450 HV at
# three times the case-hardening depth.
_ISO_LIMIT_HV, _ISO_CORE_HV, _ISO_CORE_DEPTHS = 550.0, 450.0, 3.0
# The formats --plot draws; a path without a suffix gets the first.
_PLOT_FORMATS = ("png", "pdf", "svg")
# The output options, and what each writes as its message says.
_WRITTEN = {"csv": "Profile", "plot": "Plot", "report": "Report", "write": "Recipe"}
# The exit status of a run whose result fails one of its requirements.
_FAILED = 3


class _Failure(Exception):
    """Ends the command with one line on standard error and this exit status."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.status = status


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (by default ``sys.argv[1:]``);
    return the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        if argv[:1] == ["design"]:
            status = _design(_design_parser().parse_args(argv[1:]))
        elif argv[:1] == ["design-vacuum"]:
            status = _design_vacuum(_vacuum_parser().parse_args(argv[1:]))
        else:
            status = _run(_run_parser().parse_args(argv))
        sys.stdout.flush()
        return status
    except _Failure as failure:
        print(f"{PROGRAM}: {failure}", file=sys.stderr)
        return failure.status
    except BrokenPipeError:
        # Whoever read the output has gone (as head does): stop quietly, and
        # leave nothing for the interpreter to flush into the closed pipe.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130


def _run_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Run a carburizing or carbonitriding recipe file and print the result.",
        epilog=f"To design a boost/diffuse cycle for a case depth instead: {PROGRAM} design --help; a "
               f"low-pressure cycle: {PROGRAM} design-vacuum --help")
    parser.add_argument("recipe", metavar="RECIPE.toml", help="the recipe file")
    _output_options(parser)
    return parser


def _design_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=f"{PROGRAM} design",
        description="Find the shortest boost/diffuse carburizing cycle that gives a case depth, and run it.")
    required = _requirement(parser)
    required.add_argument("--boost-potential", type=float, required=True, metavar="WT",
                          help="carbon potential of the boost in wt%%")
    required.add_argument("--diffuse-potential", type=float, required=True, metavar="WT",
                          help="carbon potential of the diffuse in wt%%")
    parser.add_argument("--transfer", type=float, metavar="M_S",
                        help="mass-transfer coefficient in m/s (default: surface held at the potential)")
    parser.add_argument("--hump", type=float, default=0.05, metavar="WT",
                        help="how far the final profile may rise above the diffuse potential, in wt%% "
                             "(default 0.05)")
    _part_options(parser)
    return parser


def _vacuum_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=f"{PROGRAM} design-vacuum",
        description="Design the boost and diffuse pulses of a low-pressure carburizing cycle for a case depth, "
                    "and run it.")
    required = _requirement(parser)
    required.add_argument("--flux", type=float, required=True, metavar="G",
                          help="carbon the atmosphere delivers in a boost, in g/m²h")
    required.add_argument("--surface-carbon", type=float, required=True, metavar="WT",
                          help="carbon content of the surface at the end, in wt%%")
    parser.add_argument("--limit", type=float, metavar="WT",
                        help="carbon content at which carbides form, in wt%% (default: the solubility of "
                             "carbon in austenite at the temperature, times the steel's alloy factor)")
    parser.add_argument("--floor", type=float, metavar="WT",
                        help="carbon content of the surface at which a diffuse between boosts ends, in wt%% "
                             "(default: the surface carbon)")
    parser.add_argument("--min-pulse", type=float, default=1.0, metavar="MIN",
                        help="shortest boost or diffuse in minutes (default 1)")
    _part_options(parser)
    return parser


def _requirement(parser: argparse.ArgumentParser) -> argparse._ArgumentGroup:
    """The options of a design's requirement that every design has."""
    required = parser.add_argument_group("the requirement")
    required.add_argument("--core-carbon", type=float, metavar="WT",
                          help="carbon content of the steel in wt%% (or give --steel)")
    required.add_argument("--steel", metavar="GRADE",
                          help=f"the steel's grade, one of {', '.join(steel_grades())}; with --core-carbon, "
                               "that grade with another carbon content")
    required.add_argument("--case-depth", type=float, required=True, metavar="MM", help="case depth in mm")
    required.add_argument("--temperature", type=float, required=True, metavar="C", help="temperature in °C")
    return required


def _part_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--depth", type=float, metavar="MM",
                        help="depth of the part in mm (default: four times the case depth)")
    parser.add_argument("--geometry", choices=tuple(GEOMETRIES), default="plate",
                        help="shape of the part (default plate)")
    parser.add_argument("--cells", type=int, default=200, help="number of grid cells (default 200)")
    parser.add_argument("--write", metavar="FILE", help="write the designed recipe to FILE as TOML")
    _output_options(parser)


def _output_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--threshold", type=float, default=0.35, metavar="WT",
                        help="carbon content that bounds the case, in wt%% (default 0.35)")
    parser.add_argument("--quench", type=float, metavar="C",
                        help="quench to C °C and report the hardened case (overrides a recipe's [quench])")
    parser.add_argument("--limit-hv", type=float, default=_ISO_LIMIT_HV, metavar="HV",
                        help="hardness that bounds the hardened case, in HV (default 550)")
    parser.add_argument("--csv", metavar="FILE", help="write the profile to FILE as CSV")
    parser.add_argument("--plot", metavar="FILE", help="draw the profiles and the surface into FILE, a PNG, PDF "
                                                       "or SVG by its suffix (needs matplotlib)")
    parser.add_argument("--report", metavar="FILE.pdf",
                        help="write the recipe, the summary and verdict, the plots and the profile table into "
                             "FILE.pdf (needs matplotlib)")


def _run(args: argparse.Namespace) -> int:
    _check_plotting(args)
    _check_arguments(args, recipe=args.recipe)
    try:
        recipe = read_recipe(args.recipe)
    except RecipeError as error:
        raise _Failure(str(error)) from None
    hardened = () if recipe.requirements is None else recipe.requirements.needs_hardening
    if hardened and recipe.quench_c is None and args.quench is None:
        raise _Failure(f"{args.recipe}: [requirements]: {', '.join(hardened)} "
                       f"{'needs' if len(hardened) == 1 else 'need'} the hardened case: give a [quench] table or "
                       "--quench")
    with OutputFiles() as outputs:
        _reserve(args, outputs)
        with _Progress(sys.stderr) as progress:
            result = _simulate(recipe, args.recipe, progress)
        verdicts = _report(recipe, result, args, heading=f"Recipe {args.recipe}", outputs=outputs)
        _commit(args, outputs)
    return 0 if all(verdict.passed for verdict in verdicts) else _FAILED


def _design(args: argparse.Namespace) -> int:
    _check_plotting(args)
    _check_arguments(args, recipe=None)
    steel = _design_steel(args)
    try:
        boost, diffuse = design_boost_diffuse(
            steel.carbon_wt, args.case_depth, temperature_c=args.temperature,
            boost_potential_wt=args.boost_potential, diffuse_potential_wt=args.diffuse_potential,
            transfer_m_s=args.transfer, threshold_wt=args.threshold, hump_wt=args.hump, depth_mm=args.depth,
            geometry=args.geometry, cells=args.cells)
    except (TypeError, ValueError) as error:
        raise _Failure(f"design: {error}") from None
    total_h = boost.duration_h + diffuse.duration_h
    heading = (f"Design for a case depth of {args.case_depth:g} mm at {args.threshold:g} wt% C: "
               f"boost {boost.duration_h:.2f} h, diffuse {diffuse.duration_h:.2f} h, {total_h:.2f} h in all")
    return _run_design(args, steel, (boost, diffuse), heading)


def _design_vacuum(args: argparse.Namespace) -> int:
    _check_plotting(args)
    _check_arguments(args, recipe=None)
    steel = _design_steel(args)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            stages = design_vacuum_cycle(
                case_depth_mm=args.case_depth, temperature_c=args.temperature, carbon_flux_g_m2_h=args.flux,
                surface_carbon_wt=args.surface_carbon, steel=steel, threshold_wt=args.threshold,
                carbon_limit_wt=args.limit, diffuse_floor_wt=args.floor, min_pulse_min=args.min_pulse,
                geometry=args.geometry, depth_mm=args.depth, cells=args.cells)
    except (TypeError, ValueError) as error:
        raise _Failure(f"design-vacuum: {error}") from None
    for warning in caught:
        print(f"{PROGRAM}: design-vacuum: warning: {warning.message}", file=sys.stderr)
    pulses = [(boost.duration_h, diffuse.duration_h) for boost, diffuse in zip(stages[::2], stages[1::2])]
    total_h = sum(stage.duration_h for stage in stages)
    heading = "\n".join([
        f"Design for a case depth of {args.case_depth:g} mm at {args.threshold:g} wt% C, surface "
        f"{args.surface_carbon:g} wt% C: {len(pulses)} pulses, {60.0 * total_h:.1f} min in all", "",
        f"{'pulse':>5}  {'boost [min]':>11}  {'diffuse [min]':>13}",
        *(f"{number:>5}  {60.0 * boost_h:11.1f}  {60.0 * diffuse_h:13.1f}"
          for number, (boost_h, diffuse_h) in enumerate(pulses, 1)), ""])
    return _run_design(args, steel, tuple(stages), heading)


def _run_design(args: argparse.Namespace, steel: Steel, stages: tuple[Stage, ...], heading: str) -> int:
    """Run the designed ``stages``, print the ``heading`` and the summary,
    and write the outputs asked for, the recipe among them."""
    recipe = Recipe(stages=stages, steel=steel, geometry=args.geometry,
                    depth_mm=PART_DEPTH_PER_CASE_DEPTH * args.case_depth if args.depth is None else args.depth,
                    cells=args.cells, quench_c=args.quench)
    with OutputFiles() as outputs:
        _reserve(args, outputs)
        result = _simulate(recipe, "design", None)
        _report(recipe, result, args, heading=heading, outputs=outputs)
        if args.write:
            _write(outputs, args.write, format_recipe(recipe))
        _commit(args, outputs)
    return 0


def _design_steel(args: argparse.Namespace) -> Steel:
    """The steel of a design: the grade of --steel, its carbon replaced by
    --core-carbon where both are given."""
    try:
        if args.steel is None:
            if args.core_carbon is None:
                raise ValueError("give the steel: --core-carbon or --steel")
            return Steel(carbon_wt=args.core_carbon)
        steel = Steel.grade(args.steel)
        return steel if args.core_carbon is None else dataclasses.replace(steel, carbon_wt=args.core_carbon)
    except (TypeError, ValueError) as error:
        raise _Failure(f"design: {error}") from None


def _check_plotting(args: argparse.Namespace) -> None:
    for option in ("plot", "report"):
        if getattr(args, option) and importlib.util.find_spec("matplotlib") is None:
            raise _Failure(f"--{option} needs matplotlib; install it with: python -m pip install 'talvenor[plot]'", 1)


def _simulate(recipe: Recipe, name: str, progress: _Progress | None) -> Result:
    try:
        result = simulate(recipe.stages, steel=recipe.steel, geometry=recipe.geometry,
                          depth_mm=recipe.depth_mm, cells=recipe.cells, progress=progress)
    except ValueError as error:
        raise _Failure(f"{name}: {error}") from None
    for warning in result.warnings:
        print(f"{PROGRAM}: {name}: warning: {warning}", file=sys.stderr)
    return result


def _report(recipe: Recipe, result: Result, args: argparse.Namespace, *, heading: str,
            outputs: OutputFiles) -> tuple[Verdict, ...]:
    """Print the summary and the verdict on the recipe's requirements, then
    write the CSV file, the plot and the report asked for, each to its
    temporary file in ``outputs``; return the verdicts."""
    try:
        case = _case_depth(result, args.threshold, recipe.core_carbon_wt)
        quench_c = recipe.quench_c if args.quench is None else checks.celsius("--quench", args.quench)
        hardening = None if quench_c is None else result.harden(quench_c=quench_c, austenite_hv=recipe.austenite_hv)
        summary = _summary(recipe, result, case_depth=case, hardening=hardening, limit_hv=args.limit_hv)
        table = _profile_table(result, args.threshold, hardening, args.limit_hv)
        verdicts = () if recipe.requirements is None else result.check(recipe.requirements, hardening)
    except ValueError as error:
        raise _Failure(str(error)) from None
    verdict_lines = ["", Verdict.HEADING, *map(str, verdicts), f"Verdict      {_verdict(verdicts)}"] if verdicts else []
    print("\n".join([heading, *summary, "", *table, *verdict_lines]))
    title = heading.splitlines()[0]
    if args.csv:
        columns = [result.depth_mm, result.carbon_wt, result.nitrogen_wt]
        header = "depth_mm,carbon_wt,nitrogen_wt"
        if hardening is not None:
            columns += [hardening.hardness_hv, 100.0 * hardening.retained_austenite]
            header += ",hardness_hv,retained_austenite_pct"
        rows = zip(*(column.tolist() for column in columns))
        _write(outputs, args.csv, header + "\n" + "".join(",".join(map(repr, row)) + "\n" for row in rows))
    if args.plot:
        try:
            result.plot(outputs.temporary(args.plot), threshold_wt=args.threshold, title=title,
                        hardening=hardening, limit_hv=args.limit_hv, requirements=recipe.requirements)
        except OSError as error:
            raise _Failure(f"{args.plot}: {error.strerror or error}", 1) from None
    if args.report:
        try:
            write_report(outputs.temporary(args.report), result, title=title, summary=[*summary, *verdict_lines],
                         table=table, subject=_verdict(verdicts) if verdicts else "", threshold_wt=args.threshold,
                         hardening=hardening, limit_hv=args.limit_hv, requirements=recipe.requirements)
        except OSError as error:
            raise _Failure(f"{args.report}: {error.strerror or error}", 1) from None
    return verdicts


def _case_depth(result: Result, threshold_wt: float, core_carbon_wt: float) -> str:
    try:
        case_mm = result.case_depth_mm(threshold_wt)
    except ValueError:
        if core_carbon_wt > threshold_wt:
            return f"none: the core's {core_carbon_wt:g} wt% C is above the threshold, {threshold_wt:g} wt% C"
        return f"deeper than the part's {result.depth_mm[-1]:.2f} mm (at {threshold_wt:g} wt% C)"
    if case_mm == 0.0:
        return f"none, the surface is at or below {threshold_wt:g} wt% C"
    return f"{case_mm:.2f} mm (at {threshold_wt:g} wt% C)"


def _hardened(hardening: Hardening, limit_hv: float) -> list[str]:
    """The lines of the summary on the hardened case."""
    if not math.isfinite(limit_hv) or limit_hv <= 0.0:
        raise ValueError(f"--limit-hv must be finite and positive, got {limit_hv!r}")
    hrc = hardening.surface_hardness_hrc
    lines = ["", f"Quench       to {hardening.quench_c:g} °C",
             f"Hardness     {hardening.surface_hardness_hv:.0f} HV"
             + (f" ({hrc:.1f} HRC)" if math.isfinite(hrc) else " (below 20 HRC)")
             + f" at the surface, {hardening.core_hardness_hv:.0f} HV in the core"]
    try:
        chd_mm = hardening.case_hardening_depth_mm(limit_hv)
    except ValueError:
        lines.append(f"CHD          deeper than the part's {hardening.depth_mm[-1]:.2f} mm (at {limit_hv:g} HV)")
        chd_mm = 0.0
    else:
        lines.append(f"CHD          {chd_mm:.2f} mm (at {limit_hv:g} HV)" if chd_mm > 0.0
                     else f"CHD          none, the hardness stays below {limit_hv:g} HV")
    # The hardness at three times the CHD, or at the deepest point where the part is thinner.
    core_hv = float(np.interp(_ISO_CORE_DEPTHS * chd_mm, hardening.depth_mm, hardening.hardness_hv))
    if chd_mm > 0.0 and limit_hv <= _ISO_LIMIT_HV and core_hv >= _ISO_CORE_HV:
        lines.append(f"             ISO 18203 asks for a limit above {_ISO_LIMIT_HV:g} HV: the core is {core_hv:.0f} "
                     f"HV at {_ISO_CORE_DEPTHS:g} times the CHD, not below {_ISO_CORE_HV:g} HV")
    lines.append(f"Austenite    {100.0 * float(hardening.retained_austenite[0]):.1f} % retained at the surface")
    return lines


def _summary(recipe: Recipe, result: Result, *, case_depth: str,
             hardening: Hardening | None = None, limit_hv: float = _ISO_LIMIT_HV) -> list[str]:
    """The lines of the printed summary of a run after its heading, with the
    hardened case where ``hardening`` is given."""
    lines = [f"Steel {_steel(recipe.steel)}; {recipe.geometry} of depth {recipe.depth_mm:g} mm on "
             f"{recipe.cells} cells",
             "",
             f"{'stage':>5}  {'hours':>6}  {'temperature [°C]':<17}  {'carbon':<24}  nitrogen"]
    carbide = _carbide_by_stage(result)
    for number, (stage, peak_g_m2) in enumerate(zip(recipe.stages, carbide), 1):
        carbon = _condition(stage.carbon) + (", carbide" if peak_g_m2 > 0.0 else "")
        lines.append(f"{number:>5}  {stage.duration_h:6.2f}  {_temperature(stage):<17}  "
                     f"{carbon:<24}  {_condition(stage.nitrogen)}")
    boosts = any(stage.carbon_flux_g_m2_h is not None for stage in recipe.stages)
    return [*lines, f"{'total':>5}  {float(result.stage_end_h[-1]):6.2f}",
            "",
            f"Surface      {result.surface_carbon_wt:.3f} wt% C, {result.surface_nitrogen_wt:.3f} wt% N",
            *([f"Peak         {result.peak_surface_carbon_wt:.3f} wt% C at the surface, the limit "
               f"{_boost_limit_wt(recipe):.3f} wt%",
               f"Carbide      {result.carbide_g_m2:.2f} g/m² left at the end, {result.peak_carbide_g_m2:.2f} g/m² "
               "at the most"] if boosts else []),
            f"Case depth   {case_depth}",
            f"Uptake       {result.carbon_uptake_g_m2:.2f} g/m² C, {result.nitrogen_uptake_g_m2:.2f} g/m² N",
            *(() if hardening is None else _hardened(hardening, limit_hv))]


def _carbide_by_stage(result: Result) -> list[float]:
    """The most carbide at the surface in each stage, in g/m²."""
    history, starts = result.history, [0.0, *result.stage_end_h[:-1]]
    return [float(history.carbide_g_m2[(history.time_h >= start) & (history.time_h <= end)].max(initial=0.0))
            for start, end in zip(starts, result.stage_end_h)]


def _boost_limit_wt(recipe: Recipe) -> float:
    """The lowest carbon limit of the boosts of ``recipe`` at their start, in wt%."""
    limit_wt = carbon_limit(recipe.steel)
    return min(limit_wt(stage, 0.0) for stage in recipe.stages if stage.carbon_flux_g_m2_h is not None)


def _profile_table(result: Result, threshold_wt: float, hardening: Hardening | None, limit_hv: float) -> list[str]:
    """The lines of the profile table, down to a few case depths; with
    ``hardening``, a row at the CHD, marked."""
    lines = [f"{'depth [mm]':>10}  {'C [wt%]':>7}  {'N [wt%]':>7}" + ("" if hardening is None else
                                                                   f"  {'HV':>5}  {'RA [%]':>6}")]
    deepest = shown_depth_mm(result, threshold_wt)
    step = next((s for s in _TABLE_STEPS_MM if deepest / s <= _TABLE_ROWS), _TABLE_STEPS_MM[-1])
    depths = step * np.arange(math.floor(deepest / step + 1e-9) + 1)
    columns = [result.carbon_wt, result.nitrogen_wt]
    chd_mm = math.nan
    if hardening is not None:
        columns += [hardening.hardness_hv, 100.0 * hardening.retained_austenite]
        try:
            chd_mm = hardening.case_hardening_depth_mm(limit_hv)
        except ValueError:
            pass
        if 0.0 < chd_mm <= depths[-1]:
            depths = np.union1d(depths, [chd_mm])
    for depth, *values in zip(depths, *(np.interp(depths, result.depth_mm, column) for column in columns)):
        lines.append(f"{depth:10.2f}  {values[0]:7.3f}  {values[1]:7.3f}"
                     + ("" if hardening is None else f"  {values[2]:5.0f}  {values[3]:6.1f}")
                     + (f"  CHD at {limit_hv:g} HV" if depth == chd_mm else ""))
    return lines


def _verdict(verdicts: tuple[Verdict, ...]) -> str:
    """Whether all requirements are met, and which are not."""
    failed = [verdict.name for verdict in verdicts if not verdict.passed]
    return (f"pass: all {len(verdicts)} requirements are met" if not failed else
            f"fail: {len(failed)} of {len(verdicts)} requirements are not met ({', '.join(failed)})")


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


def _temperature(stage: Stage) -> str:
    if stage.end_temperature_c is None or stage.end_temperature_c == stage.temperature_c:
        return f"{stage.temperature_c:g}"
    return f"{stage.temperature_c:g} to {stage.end_temperature_c:g}"


def _condition(condition: SurfaceCondition) -> str:
    if isinstance(condition, Boost):
        return f"boost {condition.flux_g_m2_h:g} g/m²h"
    if condition.closed:
        return "closed"
    if condition.held:
        return f"held at {condition.potential_wt:g} wt%"
    return f"{condition.potential_wt:g} wt%, β {condition.transfer_m_s:g} m/s"


def _write(outputs: OutputFiles, path: str, text: str) -> None:
    try:
        with open(outputs.temporary(path), "w", encoding="utf-8") as file:
            file.write(text)
    except OSError as error:
        raise _Failure(f"{path}: {error.strerror or error}", 1) from None


def _check_arguments(args: argparse.Namespace, *, recipe: str | None) -> None:
    """Refuse, before the run, a bad --threshold, a --plot format that cannot
    be drawn, and output files that are the recipe, each other or folders;
    a --plot without a suffix becomes a PNG."""
    try:
        checks.real("--threshold", args.threshold, "not negative")
    except ValueError as error:
        raise _Failure(str(error)) from None
    if args.plot:
        suffix = os.path.splitext(args.plot)[1]
        if not suffix:
            args.plot += f".{_PLOT_FORMATS[0]}"
        elif suffix[1:].lower() not in _PLOT_FORMATS:
            raise _Failure(f"--plot {args.plot}: cannot draw a {suffix!r} file; the formats are "
                           f"{', '.join(_PLOT_FORMATS)}")
    if args.report and os.path.splitext(args.report)[1].lower() != ".pdf":
        raise _Failure(f"--report {args.report}: a report is a PDF file, FILE.pdf")
    outputs = [(f"--{option}", getattr(args, option)) for option in _WRITTEN if getattr(args, option, None)]
    for number, (option, path) in enumerate(outputs):
        if os.path.isdir(path):
            raise _Failure(f"{option} {path}: is a folder, not a file")
        if recipe is not None and _same_file(path, recipe):
            raise _Failure(f"{option} {path}: is the recipe file, which the run would overwrite")
        for other, other_path in outputs[:number]:
            if _same_file(path, other_path):
                raise _Failure(f"{other} {other_path} and {option} {path} are the same file")


def _same_file(path: str, other: str) -> bool:
    if os.path.realpath(path) == os.path.realpath(other):
        return True
    try:
        return os.path.samefile(path, other)  # hard links
    except OSError:
        return False


def _reserve(args: argparse.Namespace, outputs: OutputFiles) -> None:
    """Make the temporary files of the outputs asked for."""
    try:
        for option in _WRITTEN:
            if getattr(args, option, None):
                outputs.reserve(getattr(args, option))
    except OSError as error:
        raise _Failure(f"{error.filename}: {error.strerror or error}", 1) from None


def _commit(args: argparse.Namespace, outputs: OutputFiles) -> None:
    """Move the outputs into place and say where each went."""
    try:
        outputs.commit()
    except OSError as error:
        raise _Failure(f"{error.filename}: {error.strerror or error}", 1) from None
    for option, what in _WRITTEN.items():
        if getattr(args, option, None):
            print(f"{what} written to {getattr(args, option)}")


class _Progress:
    """Shows how far a run has got on a terminal, once it has taken a while."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.shown = False
        self.next = time.monotonic() + 0.5

    def __enter__(self) -> _Progress | None:
        return self if self.stream.isatty() else None

    def __call__(self, fraction: float) -> None:
        now = time.monotonic()
        if now >= self.next:
            self.stream.write(f"\rrunning the recipe: {100.0 * fraction:3.0f} %")
            self.stream.flush()
            self.shown, self.next = True, now + 0.1

    def __exit__(self, *exc: object) -> None:
        if self.shown:
            self.stream.write("\r" + " " * 30 + "\r")
            self.stream.flush()
