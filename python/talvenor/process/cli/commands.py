"""The commands: parse, evaluate, present."""

from __future__ import annotations

import argparse
import re
import sys
import warnings

from ..design import design_boost_diffuse, design_vacuum_cycle
from ..io.recipe_file import RecipeError, format_recipe, read_recipe
from ..model.steel import Steel, steel_of
from ..pipeline import Outcome, evaluate
from ..present.design_text import pulse_table
from ..recipe import Recipe
from ..requirements import needs_hardened_case
from ..schedule.part import Part
from ..schedule.stage import Stage
from .failure import PROGRAM, Failure
from .outputs import Outputs
from .progress import Progress

__all__ = ["run", "design", "design_vacuum", "read"]

# The exit status of a run whose result fails one of its requirements.
_FAILED = 3


def read(path: str) -> Recipe:
    """The recipe of the file ``path``; a bad file ends the command."""
    try:
        return read_recipe(path)
    except RecipeError as error:
        raise Failure(str(error)) from None


def run(args: argparse.Namespace) -> int:
    """Run a recipe file: print its outcome, write the outputs asked for."""
    outputs = Outputs(args, recipe=args.recipe)
    recipe = read(args.recipe)
    if (needs := needs_hardened_case(recipe.requirements)) and recipe.quench_c is None and args.quench is None:
        raise Failure(f"{args.recipe}: [requirements]: {needs}: give a [quench] table or --quench")
    with outputs:
        with Progress(sys.stderr) as progress:
            outcome = _evaluate(recipe, args, args.recipe, progress)
        outputs.present(outcome, f"Recipe {args.recipe}")
        outputs.commit()
    return 0 if outcome.passed else _FAILED


def design(args: argparse.Namespace) -> int:
    """Design a boost/diffuse cycle, then run it as a recipe."""
    outputs = Outputs(args, recipe=None)
    steel = _design_steel(args, "design")
    try:
        boost, diffuse = design_boost_diffuse(
            case_depth_mm=args.case_depth, steel=steel, temperature_c=args.temperature,
            boost_potential_wt=args.boost_potential, diffuse_potential_wt=args.diffuse_potential,
            transfer_m_s=args.transfer, threshold_wt=args.threshold, hump_wt=args.hump, depth_mm=args.depth,
            geometry=args.geometry, cells=args.cells)
    except (TypeError, ValueError) as error:
        raise Failure(f"design: {_as_flags(str(error))}") from None
    total_h = boost.duration_h + diffuse.duration_h
    heading = (f"Design for a case depth of {args.case_depth:g} mm at {args.threshold:g} wt% C: "
               f"boost {boost.duration_h:.2f} h, diffuse {diffuse.duration_h:.2f} h, {total_h:.2f} h in all")
    return _run_design(args, outputs, steel, (boost, diffuse), heading)


def design_vacuum(args: argparse.Namespace) -> int:
    """Design the pulses of a low-pressure cycle, then run it as a recipe."""
    outputs = Outputs(args, recipe=None)
    steel = _design_steel(args, "design-vacuum")
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            stages = design_vacuum_cycle(
                case_depth_mm=args.case_depth, temperature_c=args.temperature, carbon_flux_g_m2_h=args.flux,
                surface_carbon_wt=args.surface_carbon, steel=steel, threshold_wt=args.threshold,
                carbon_limit_wt=args.limit, diffuse_floor_wt=args.floor, min_pulse_min=args.min_pulse,
                geometry=args.geometry, depth_mm=args.depth, cells=args.cells)
    except (TypeError, ValueError) as error:
        raise Failure(f"design-vacuum: {_as_flags(str(error))}") from None
    for warning in caught:
        print(f"{PROGRAM}: design-vacuum: warning: {warning.message}", file=sys.stderr)
    pulses = [(boost.duration_h, diffuse.duration_h) for boost, diffuse in zip(stages[::2], stages[1::2])]
    total_h = sum(stage.duration_h for stage in stages)
    heading = "\n".join([
        f"Design for a case depth of {args.case_depth:g} mm at {args.threshold:g} wt% C, surface "
        f"{args.surface_carbon:g} wt% C: {len(pulses)} pulses, {60.0 * total_h:.1f} min in all", "",
        *pulse_table(pulses), ""])
    return _run_design(args, outputs, steel, tuple(stages), heading)


def _run_design(args: argparse.Namespace, outputs: Outputs, steel: Steel, stages: tuple[Stage, ...],
                heading: str) -> int:
    """Run the designed ``stages``, print the ``heading`` and the summary,
    and write the outputs asked for, the recipe among them."""
    part = Part.for_case(args.case_depth, depth_mm=args.depth, geometry=args.geometry, cells=args.cells)
    recipe = Recipe(stages=stages, steel=steel, part=part, quench_c=args.quench, severity_h=args.severity,
                    temper=args.temper)
    with outputs:
        outcome = _evaluate(recipe, args, "design", None)
        outputs.present(outcome, heading)
        outputs.write_text("write", format_recipe(recipe))
        outputs.commit()
    return 0


def _design_steel(args: argparse.Namespace, command: str) -> Steel:
    """The steel of a design: the grade of --steel, its carbon replaced by
    --core-carbon where both are given."""
    if args.steel is None and args.core_carbon is None:
        raise Failure(f"{command}: give the steel: --core-carbon or --steel")
    try:
        return steel_of(args.steel, args.core_carbon, caller=command)
    except (TypeError, ValueError) as error:
        raise Failure(f"{command}: {_as_flags(str(error))}") from None


# The keywords of the designs that a message may name, and their options.
_FLAGS = {"case_depth_mm": "--case-depth", "temperature_c": "--temperature", "boost_potential_wt": "--boost-potential",
          "diffuse_potential_wt": "--diffuse-potential", "transfer_m_s": "--transfer", "hump_wt": "--hump",
          "threshold_wt": "--threshold", "depth_mm": "--depth", "carbon_flux_g_m2_h": "--flux",
          "surface_carbon_wt": "--surface-carbon", "carbon_limit_wt": "--limit", "diffuse_floor_wt": "--floor",
          "min_pulse_min": "--min-pulse", "core_carbon_wt": "--core-carbon", "carbon_wt": "--core-carbon"}
_KEYWORDS = re.compile(r"\b(" + "|".join(sorted(_FLAGS, key=len, reverse=True)) + r")\b|^(cells|geometry)(?= must)")


def _as_flags(message: str) -> str:
    """``message`` of a design, with its keywords named as the options the user typed."""
    return _KEYWORDS.sub(lambda match: _FLAGS.get(match.group(0), f"--{match.group(0)}"), message)


def _evaluate(recipe: Recipe, args: argparse.Namespace, name: str, progress: Progress | None) -> Outcome:
    """The outcome of ``recipe`` with the options of ``args``; its warnings on standard error."""
    try:
        outcome = evaluate(recipe, quench_c=args.quench, severity_h=args.severity, temper=args.temper,
                           threshold_wt=args.threshold, limit_hv=args.limit_hv, progress=progress)
    except ValueError as error:
        raise Failure(f"{name}: {error}") from None
    for warning in outcome.warnings:
        print(f"{PROGRAM}: {name}: warning: {warning}", file=sys.stderr)
    return outcome
