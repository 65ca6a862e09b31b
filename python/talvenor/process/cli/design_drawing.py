"""The design command: the cycle that meets the drawing of a recipe file in
its furnace; or, in the form it had first, a boost/diffuse cycle for a case
depth (:func:`.commands.design`).

    talvenor-process design RECIPE.toml [--write FILE] [--hump WT]
                                        [--csv FILE] [--plot FILE] [--report FILE.pdf]

The recipe file gives ``[steel]``, ``[part]``, ``[quench]``, ``[temper]``,
``[requirements]`` and ``[furnace]``, and no stages.  The command prints the
designed cycle (a vacuum cycle's pulses in minutes), its summary and its
verdict with the margins, and writes the whole recipe with ``--write``.
Where no cycle of the furnace meets the drawing, it prints the best cycle
found and its verdict, says on standard error which bands fail, by how
much, and what would help, writes nothing, and ends with exit status 3.
"""

from __future__ import annotations

import argparse
import sys

from ..design import DrawingNotMet, design_cycle
from ..io.recipe_file import format_recipe
from ..present import text
from ..present.design_text import design_heading
from . import commands
from .failure import Failure
from .outputs import Outputs

__all__ = ["design"]

# The options of the first form, which a recipe file gives itself, and the
# defaults of the first form's options that the second keeps apart.
_FIRST_FORM = {"core_carbon": "--core-carbon", "steel": "--steel", "case_depth": "--case-depth",
               "temperature": "--temperature", "boost_potential": "--boost-potential",
               "diffuse_potential": "--diffuse-potential", "transfer": "--transfer", "depth": "--depth",
               "geometry": "--geometry", "cells": "--cells"}
_REQUIRED = ("case_depth", "temperature", "boost_potential", "diffuse_potential")
_FIRST_DEFAULTS = {"geometry": "plate", "cells": 200}
# The exit status of a drawing that cannot be met.
_NOT_MET = 3


def design(args: argparse.Namespace) -> int:
    """Design to the drawing of ``args.recipe``, or the first form without one."""
    if args.recipe is None:
        missing = [_FIRST_FORM[name] for name in _REQUIRED if getattr(args, name) is None]
        if missing:
            raise Failure(f"design: give a recipe file with [requirements] and [furnace], or the case to design "
                          f"for: {', '.join(missing)} {'is' if len(missing) == 1 else 'are'} missing")
        for name, default in _FIRST_DEFAULTS.items():
            if getattr(args, name) is None:
                setattr(args, name, default)
        return commands.design(args)
    return _drawing(args)


def _drawing(args: argparse.Namespace) -> int:
    """Design the cycle of the recipe file's furnace that meets its drawing,
    print it and write the outputs asked for."""
    given = [flag for name, flag in _FIRST_FORM.items() if getattr(args, name) is not None]
    if given:
        raise Failure(f"design {args.recipe}: {given[0]} is for a design without a recipe file; the file gives "
                      "the steel, the part, the drawing and the furnace")
    outputs = Outputs(args, recipe=args.recipe)
    request = commands.read(args.recipe)
    if request.furnace is None or request.requirements is None:
        raise Failure(f"{args.recipe}: has no [furnace] table: design RECIPE.toml designs the cycle of a recipe "
                      "that gives its furnace and its [requirements] in place of stages (run this one with "
                      "talvenor-process run)")
    try:
        designed = design_cycle(
            request.requirements, request.steel, request.furnace, part=request.part,
            quench_c=request.quench_c if args.quench is None else args.quench,
            severity_h=request.severity_h if args.severity is None else args.severity,
            austenite_hv=request.austenite_hv, temper=request.temper if args.temper is None else args.temper,
            hump_wt=args.hump, job=request.job)
    except DrawingNotMet as unmet:
        print(text.printout(unmet.design.outcome, design_heading(unmet.design, args.recipe)))
        sys.stdout.flush()
        raise Failure(f"{args.recipe}: {unmet}; nothing written", _NOT_MET) from None
    except (TypeError, ValueError) as error:
        raise Failure(f"{args.recipe}: {error}") from None
    with outputs:
        outcome = commands._evaluate(designed.recipe, args, args.recipe, None)
        outputs.present(outcome, design_heading(designed, args.recipe))
        outputs.write_text("write", format_recipe(designed.recipe))
        outputs.commit()
    return 0 if outcome.passed else _NOT_MET
