"""The study command: a recipe run many times with its inputs drawn as its
``[variation]`` table says, and the capability of the process.

    talvenor-process study RECIPE.toml [--samples N] [--seed S]
                                       [--workers N | --scheduler ADDRESS] [--min-cpk X]
                                       [--csv FILE] [--plot FILE] [--report FILE.pdf]

It prints the capability table and what drives the requirements that are
not capable, and ends with exit status 3 where one is not.  The runs go to
a process per core, to ``--workers`` processes, or to the workers of the
Dask scheduler at ``--scheduler``.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import sys
from collections.abc import Callable, Iterator
from concurrent.futures import Executor
from typing import Any

from .. import _validate
from ..io.study_csv import write_study_csv
from ..pipeline import Outcome, evaluate
from ..present.study_plot import plot_study
from ..present.study_report import write_study_report
from ..present.study_text import study_printout
from ..recipe import Recipe
from ..requirements import needs_hardened_case
from ..standards import CASE_DEPTH_THRESHOLD_WT, CHD_LIMIT_HV
from ..studies import MIN_CPK, MOST_SAMPLES, Study, study
from ..studies.inputs import inputs_of
from ..studies.runs import chunk_runs_for
from .commands import read
from .failure import PROGRAM, Failure
from .outputs import Outputs

__all__ = ["add_parser", "run_study"]

# The exit status of a study in which a requirement is not capable.
_NOT_CAPABLE = 3
# How long to wait for a Dask scheduler, and for it to have a worker, in seconds.
_CONNECT_S = 5.0


def add_parser(subcommands: Any) -> None:
    """Add the study command to ``subcommands`` (of argparse)."""
    parser = subcommands.add_parser(
        "study", help="run a recipe many times with its inputs varied, and say how capable the process is",
        description="Run a recipe file many times with its inputs drawn as its [variation] table says, and print "
                    "the capability of the process for each requirement: mean, σ, Cpk and the share of parts out "
                    f"of the band.  Exit status {_NOT_CAPABLE} where a requirement is not capable.")
    parser.add_argument("recipe", metavar="RECIPE.toml", help="the recipe file, with a [variation] table")
    parser.add_argument("--samples", type=int, default=1000, metavar="N",
                        help=f"the number of runs, at most {MOST_SAMPLES:,} (default 1000)")
    parser.add_argument("--seed", type=int, default=0, metavar="S",
                        help="the seed of the draws; the same seed gives the same study (default 0)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, metavar="N",
                       help="the worker processes (default: one per core; 1 runs in this process)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the workers of the Dask scheduler at ADDRESS, such as tcp://host:8786 "
                            "(needs talvenor[cluster])")
    parser.add_argument("--min-cpk", type=float, default=MIN_CPK, metavar="X",
                        help=f"the Cpk a requirement needs to be capable (default {MIN_CPK:g})")
    parser.add_argument("--csv", metavar="FILE", help="write one row per run to FILE as CSV")
    parser.add_argument("--plot", metavar="FILE", help="draw the histograms and the sensitivities into FILE, a PNG, "
                                                       "PDF or SVG by its suffix (needs matplotlib)")
    parser.add_argument("--report", metavar="FILE.pdf",
                        help="write the study and the recipe's nominal run into FILE.pdf (needs matplotlib)")
    parser.set_defaults(command=run_study, threshold=CASE_DEPTH_THRESHOLD_WT, limit_hv=CHD_LIMIT_HV, quench=None,
                        severity=None, temper=None)


def run_study(args: argparse.Namespace) -> int:
    """Run the study of a recipe file: print its capability table, write the outputs asked for."""
    outputs = _StudyOutputs(args, recipe=args.recipe)
    _check_options(args)
    recipe = _recipe(args.recipe)
    nominal = _nominal(recipe, args.recipe) if args.report else None
    with _executor(args) as (executor, workers), outputs:
        with _progress_bar(args.samples) as progress:
            done = _study(recipe, args, executor, workers, progress)
        _warn(done, args.recipe)
        heading = f"Study of {args.recipe}"
        print(study_printout(done, heading, args.min_cpk))
        outputs.write("csv", lambda path: _write_csv(path, done))
        outputs.write("plot", lambda path: plot_study(done, path, title=heading, min_cpk=args.min_cpk))
        if args.report and nominal is not None:
            outputs.write("report", lambda path: write_study_report(path, done, nominal, title=heading,
                                                                    min_cpk=args.min_cpk))
        outputs.commit()
    return 0 if done.capable(args.min_cpk) else _NOT_CAPABLE


def _check_options(args: argparse.Namespace) -> None:
    try:
        _validate.integer("--samples", args.samples, minimum=1, maximum=MOST_SAMPLES)
        _validate.integer("--seed", args.seed, minimum=0)
        if args.workers is not None:
            _validate.integer("--workers", args.workers, minimum=1, maximum=1024)
        _validate.real("--min-cpk", args.min_cpk, "positive")
    except ValueError as error:
        raise Failure(str(error)) from None


def _recipe(path: str) -> Recipe:
    """The recipe of ``path``, which must have a variation that applies to it."""
    recipe = read(path)
    if recipe.variation is None:
        raise Failure(f"{path}: no [variation] table: say how the inputs vary from run to run, such as "
                      "temperature_c = 5.0")
    if (needs := needs_hardened_case(recipe.requirements)) and recipe.quench_c is None:
        raise Failure(f"{path}: [requirements]: {needs}: give a [quench] table")
    try:
        inputs_of(recipe, recipe.variation)
    except ValueError as error:
        raise Failure(f"{path}: [variation]: {error}") from None
    return recipe


def _nominal(recipe: Recipe, path: str) -> Outcome:
    """The outcome of the recipe as given, for the report."""
    try:
        return evaluate(recipe)
    except ValueError as error:
        raise Failure(f"{path}: {error}") from None


def _study(recipe: Recipe, args: argparse.Namespace, executor: Executor | None, workers: int | None,
           progress: Callable[[int], None] | None) -> Study:
    chunk_runs = None if executor is None or workers is None else chunk_runs_for(args.samples, workers)
    try:
        return study(recipe, samples=args.samples, seed=args.seed, executor=executor,
                     workers=None if executor is not None else args.workers, chunk_runs=chunk_runs,
                     progress=progress)
    except ValueError as error:
        raise Failure(f"{args.recipe}: {error}") from None
    except Exception as error:  # the executor's: a worker or the cluster lost
        raise Failure(f"{args.recipe}: the study stopped: {type(error).__name__}: {error}", 1) from None


def _warn(done: Study, path: str) -> None:
    """Say on standard error how many runs failed and warned, and the first of each."""
    for what, runs in (("failed", [number for number, error in enumerate(done.errors) if error]),
                       ("warned", [number for number, warned in enumerate(done.warnings) if warned])):
        if runs:
            first = runs[0]
            message = done.errors[first] if what == "failed" else "; ".join(done.warnings[first])
            print(f"{PROGRAM}: {path}: warning: {len(runs):,} of {done.samples:,} runs {what}; the first, run "
                  f"{first + 1}: {message}", file=sys.stderr)


def _write_csv(path: str, done: Study) -> None:
    with open(path, "w", encoding="utf-8", newline="") as file:
        write_study_csv(file, done)


@contextlib.contextmanager
def _executor(args: argparse.Namespace) -> Iterator[tuple[Executor | None, int | None]]:
    """The executor of a ``--scheduler`` and its workers' threads, or (None, None)."""
    if args.scheduler is None:
        yield None, None
        return
    try:
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise Failure("--scheduler needs dask.distributed; install it with: python -m pip install "
                      "'talvenor[cluster]'", 1) from None
    try:
        # A bad address first: a client made with one would take long to go away.
        if distributed.comm.parse_address(distributed.comm.resolve_address(args.scheduler))[0] == "inproc":
            raise ValueError("an address within this process names no scheduler")
        client = distributed.Client(args.scheduler, timeout=_CONNECT_S, set_as_default=False)
    except Exception as error:  # whatever a bad address or an unreachable scheduler raises
        raise Failure(f"--scheduler {args.scheduler}: cannot reach the scheduler: {error}") from None
    try:
        try:
            client.wait_for_workers(1, timeout=_CONNECT_S)
        except Exception:
            raise Failure(f"--scheduler {args.scheduler}: the scheduler has no workers") from None
        yield client.get_executor(), max(1, sum(client.nthreads().values()))
    finally:
        client.close()


@contextlib.contextmanager
def _progress_bar(samples: int) -> Iterator[Callable[[int], None] | None]:
    """A progress bar of the runs on standard error where it is a terminal
    (and tqdm is installed): the callable that moves it."""
    try:
        bars: Any = importlib.import_module("tqdm")
    except ImportError:
        bars = None
    if bars is None or not sys.stderr.isatty():
        yield None
        return
    with bars.tqdm(total=samples, unit="run", desc="study", file=sys.stderr, leave=False, dynamic_ncols=True) as bar:
        yield lambda done: bar.update(done - bar.n)


class _StudyOutputs(Outputs):
    """The outputs of a study: checked and written as those of a run are."""

    written = {"csv": "Runs", "plot": "Plot", "report": "Report"}
