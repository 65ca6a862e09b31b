"""The command line: run a recipe file, or design a cycle and run it.

    talvenor-process RECIPE.toml [--threshold WT] [--quench C] [--limit-hv HV]
                                 [--csv FILE] [--plot FILE] [--report FILE.pdf]
    talvenor-process run RECIPE.toml [...]          (the same; for a file named like a command)
    talvenor-process design RECIPE.toml [--write FILE] [--csv FILE] [--plot FILE] [--report FILE.pdf]
    talvenor-process design (--core-carbon WT | --steel GRADE) --case-depth MM
                            --temperature C --boost-potential WT
                            --diffuse-potential WT [...]
    talvenor-process design-vacuum (--core-carbon WT | --steel GRADE) --case-depth MM
                                   --temperature C --flux G --surface-carbon WT [...]
    talvenor-process study RECIPE.toml [--samples N] [--seed S] [--workers N | --scheduler ADDRESS]
                           [--min-cpk X] [--csv FILE] [--plot FILE] [--report FILE.pdf]

(or ``python -m talvenor.process ...``).  A bad recipe file or argument ends
with exit status 2 and one line on standard error; nothing is written.  The
output files appear together at the end of a run, or not at all: a run that
fails or is interrupted (exit status 130) leaves them as they were.
Warnings about the recipe go to standard error, one line each.
A recipe whose ``[requirements]`` the result does not meet ends with exit
status 3, after the outputs are written; so does a study in which a
requirement is not capable.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from ..design.cycle import HUMP_WT
from ..model.steel import steel_grades
from ..schedule.part import GEOMETRIES
from ..standards import CASE_DEPTH_THRESHOLD_WT, CHD_LIMIT_HV
from . import commands, design_drawing, study
from .failure import PROGRAM, Failure

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (by default ``sys.argv[1:]``);
    return the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    # A recipe file alone is the run command, as it always was.
    if argv and argv[0] not in (*_COMMANDS, "-h", "--help"):
        argv.insert(0, "run")
    try:
        args = _parser().parse_args(argv)
        status: int = args.command(args)
        sys.stdout.flush()
        return status
    except Failure as failure:
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


_COMMANDS = ("run", "design", "design-vacuum", "study")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Carburizing and carbonitriding: run a recipe file and print the result, or "
                                  "design a cycle for a drawing or a case depth.",
        epilog=f"A recipe file alone runs it: {PROGRAM} RECIPE.toml is {PROGRAM} run RECIPE.toml.  "
               f"{PROGRAM} COMMAND --help tells more.")
    subcommands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    _run_parser(subcommands.add_parser(
        "run", help="run a recipe file and print the result",
        description="Run a carburizing or carbonitriding recipe file and print the result."))
    _design_parser(subcommands.add_parser(
        "design", help="design the shortest cycle that meets a drawing in a furnace (a recipe file with "
                       "[requirements] and [furnace]), or a gas boost/diffuse cycle for a case depth; and run it",
        usage=f"{PROGRAM} design RECIPE.toml [--write FILE] [--hump WT] [output options]\n"
              f"       {PROGRAM} design (--core-carbon WT | --steel GRADE) --case-depth MM --temperature C "
              "--boost-potential WT --diffuse-potential WT [options]",
        description="With a recipe file that gives [requirements] and [furnace] in place of stages: find the "
                    "shortest cycle of that furnace, heat-up and tail included, whose finished part meets every "
                    "band, print it and its verdict, and write the whole recipe with --write.  Without one: find "
                    "the shortest boost/diffuse carburizing cycle that gives a case depth, and run it."))
    _vacuum_parser(subcommands.add_parser(
        "design-vacuum", help="design the pulses of a low-pressure cycle for a case depth, and run it",
        description="Design the boost and diffuse pulses of a low-pressure carburizing cycle for a case depth, "
                    "and run it."))
    study.add_parser(subcommands)
    return parser


def _run_parser(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("recipe", metavar="RECIPE.toml", help="the recipe file")
    _output_options(parser)
    parser.set_defaults(command=commands.run)


def _design_parser(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("recipe", nargs="?", metavar="RECIPE.toml",
                        help="the drawing to design for: a recipe file with [requirements] and [furnace] tables "
                             "and no stages (then none of the options of the requirement below)")
    required = _requirement(parser, required=False)
    required.add_argument("--boost-potential", type=float, metavar="WT",
                          help="carbon potential of the boost in wt%%")
    required.add_argument("--diffuse-potential", type=float, metavar="WT",
                          help="carbon potential of the diffuse in wt%%")
    parser.add_argument("--transfer", type=float, metavar="M_S",
                        help="mass-transfer coefficient in m/s (default: surface held at the potential)")
    parser.add_argument("--hump", type=float, default=HUMP_WT, metavar="WT",
                        help="how far the final profile may rise above the diffuse potential, in wt%% "
                             f"(default {HUMP_WT:g}); with a recipe file, above the richest surface the drawing "
                             "allows")
    _part_options(parser)
    # Given or not, told apart: a recipe file's part is its own.
    parser.set_defaults(command=design_drawing.design, geometry=None, cells=None)


def _vacuum_parser(parser: argparse.ArgumentParser) -> None:
    required = _requirement(parser)
    required.add_argument("--flux", type=float, required=True, metavar="G",
                          help="carbon the atmosphere delivers in a boost, in g/m²h")
    required.add_argument("--surface-carbon", type=float, required=True, metavar="WT",
                          help="carbon content of the surface at the end, in wt%%")
    parser.add_argument("--limit", type=float, metavar="WT",
                        help="carbon content at which carbides form, in wt%% (default: the solubility of "
                             "carbon in austenite at the temperature)")
    parser.add_argument("--floor", type=float, metavar="WT",
                        help="carbon content of the surface at which a diffuse between boosts ends, in wt%% "
                             "(default: the surface carbon)")
    parser.add_argument("--min-pulse", type=float, default=1.0, metavar="MIN",
                        help="shortest boost or diffuse in minutes (default 1)")
    _part_options(parser)
    parser.set_defaults(command=commands.design_vacuum)


def _requirement(parser: argparse.ArgumentParser, required: bool = True) -> argparse._ArgumentGroup:
    """The options of a design's requirement that every design has
    (``required`` where the design has no other form)."""
    group = parser.add_argument_group("the requirement")
    group.add_argument("--core-carbon", type=float, metavar="WT",
                       help="carbon content of the steel in wt%% (or give --steel)")
    group.add_argument("--steel", metavar="GRADE",
                       help=f"the steel's grade, one of {', '.join(steel_grades())}; with --core-carbon, "
                            "that grade with another carbon content")
    group.add_argument("--case-depth", type=float, required=required, metavar="MM", help="case depth in mm")
    group.add_argument("--temperature", type=float, required=required, metavar="C", help="temperature in °C")
    return group


def _part_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--depth", type=float, metavar="MM",
                        help="depth of the part in mm (default: four times the case depth)")
    parser.add_argument("--geometry", choices=tuple(GEOMETRIES), default="plate",
                        help="shape of the part (default plate)")
    parser.add_argument("--cells", type=int, default=200, help="number of grid cells (default 200)")
    parser.add_argument("--write", metavar="FILE", help="write the designed recipe to FILE as TOML")
    _output_options(parser)


def _output_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--threshold", type=float, default=CASE_DEPTH_THRESHOLD_WT, metavar="WT",
                        help=f"carbon content that bounds the case, in wt%% (default {CASE_DEPTH_THRESHOLD_WT:g})")
    parser.add_argument("--quench", type=float, metavar="C",
                        help="quench to C °C and report the hardened case (overrides a recipe's [quench])")
    parser.add_argument("--severity", metavar="H",
                        help="the quench's severity: Grossmann's H in 1/inch ('inf' for an ideal quench) or "
                             "'still oil' or 'still water' (overrides a recipe's severity_h; default: the whole "
                             "section hardens)")
    parser.add_argument("--temper", nargs=2, type=float, metavar=("C", "H"),
                        help="temper at C °C for H hours after the quench (overrides a recipe's [temper])")
    parser.add_argument("--limit-hv", type=float, default=CHD_LIMIT_HV, metavar="HV",
                        help=f"hardness that bounds the hardened case, in HV (default {CHD_LIMIT_HV:g})")
    parser.add_argument("--csv", metavar="FILE", help="write the profile to FILE as CSV")
    parser.add_argument("--plot", metavar="FILE", help="draw the profiles and the surface into FILE, a PNG, PDF "
                                                       "or SVG by its suffix (needs matplotlib)")
    parser.add_argument("--report", metavar="FILE.pdf",
                        help="write the recipe, the summary and verdict, the plots and the profile table into "
                             "FILE.pdf (needs matplotlib)")
