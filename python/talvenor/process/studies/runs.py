"""The runs of a study, in chunks: in this process, or on any
:class:`concurrent.futures.Executor` (a process pool over all cores by
default, or a Dask cluster's executor).

A chunk carries the recipe, the inputs and its rows of draws, and gives back
the quantities of its runs, so that what a run gives does not depend on
where it ran.  A run that fails is recorded with its message; a chunk whose
worker or executor fails ends the study.
"""

from __future__ import annotations

import contextlib
import math
import multiprocessing
import multiprocessing.forkserver
import os
import signal
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed
from dataclasses import dataclass, field
from typing import Any, TypeVar

import numpy as np
from numpy.typing import NDArray

from ..pipeline import Outcome
from ..recipe import Recipe
from ..requirements import QUANTITIES, Requirements
from ..verdicts import finished_part
from .inputs import Input, varied

__all__ = ["Task", "Runs", "run_all", "quantities_of", "process_pool", "stop_pool", "cpu_count", "chunk_runs_for",
           "CARBIDE"]

#: The column of the carbide at the surface, in g/m², which every study has.
CARBIDE = "carbide_g_m2"
# The most runs in a chunk: enough that sending it costs little against its
# runs (from about 1 ms each), few enough that the progress moves and the
# workers finish together.
_MOST_CHUNK_RUNS = 128
# Chunks per worker aimed at, for the same reasons.
_CHUNKS_PER_WORKER = 8

_READERS = {f"{quantity.key}_{quantity.unit_key}": quantity for quantity in QUANTITIES}
_Done = TypeVar("_Done")


@dataclass(frozen=True)
class Task:
    """What every chunk of a study needs: the recipe, the inputs drawn, the
    quantities read, and the function that gives a recipe's outcome."""

    recipe: Recipe
    inputs: tuple[Input, ...]
    quantities: tuple[str, ...]
    evaluator: Callable[[Recipe], Outcome]


@dataclass
class Runs:
    """What the runs gave, one row each: the quantities (NaN where a run
    failed), whether the part met every requirement, the message of a
    failure ("" for none), and the warnings of each run."""

    values: NDArray[np.float64]
    passed: NDArray[np.bool_]
    errors: list[str] = field(default_factory=list)
    warnings: list[tuple[str, ...]] = field(default_factory=list)

    @classmethod
    def empty(cls, samples: int, quantities: int) -> Runs:
        return cls(np.full((samples, quantities), math.nan), np.zeros(samples, dtype=bool), [""] * samples,
                   [()] * samples)

    def put(self, first: int, chunk: Runs) -> None:
        """Put the runs of ``chunk`` in place, from the run ``first`` on."""
        end = first + chunk.passed.size
        self.values[first:end] = chunk.values
        self.passed[first:end] = chunk.passed
        self.errors[first:end] = chunk.errors
        self.warnings[first:end] = chunk.warnings


def quantities_of(recipe: Recipe) -> tuple[str, ...]:
    """The quantities a study of ``recipe`` reads, named as their keys: the
    CHD, the hardness and the retained austenite where the recipe is
    quenched, the hardness at the depth its requirements give, the case
    depth, the surface's carbon and nitrogen, and the carbide."""
    requirements = recipe.requirements or Requirements()
    return (*(name for name, quantity in _READERS.items() if (recipe.quench_c is not None or not quantity.hardened)
              and (quantity.key != "hardness_at_depth" or requirements.hardness_depth_mm is not None)), CARBIDE)


# Recording warnings changes the filters of the whole process: one chunk at a
# time records them (chunks run in threads take turns).
_RECORDING = threading.Lock()


def run_chunk(task: Task, draws: NDArray[np.float64]) -> Runs:
    """The runs of the rows of ``draws``, one after another (their recipes
    first, which is quicker than one by one)."""
    runs = Runs.empty(draws.shape[0], len(task.quantities))
    with _RECORDING, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        recipes = []
        for values in draws:
            recipes.append((_attempt(varied, task.recipe, task.inputs, values), _said(caught)))
        for row, (recipe, said) in enumerate(recipes):
            done = recipe if isinstance(recipe, _Failed) else _attempt(task.evaluator, recipe)
            values = done if isinstance(done, _Failed) else _attempt(_read, done, task.quantities)
            if isinstance(values, _Failed):
                runs.errors[row] = values.message
                _said(caught)
                continue
            assert isinstance(done, Outcome)
            runs.values[row] = values
            runs.passed[row] = done.passed
            runs.warnings[row] = (*said, *done.warnings, *_said(caught))
    return runs


def _said(caught: list[warnings.WarningMessage]) -> tuple[str, ...]:
    """The messages of the warnings ``caught`` so far, which are then forgotten."""
    messages = tuple(str(warning.message) for warning in caught)
    del caught[:]
    return messages


@dataclass(frozen=True)
class _Failed:
    """Why a step of a run failed."""

    message: str


def _attempt(step: Callable[..., _Done], *args: Any) -> _Done | _Failed:
    """``step(*args)``, or, where it fails, why: a run's failure is a result of the study."""
    try:
        return step(*args)
    except Exception as error:
        return _Failed(str(error) if isinstance(error, ValueError) else f"{type(error).__name__}: {error}")


def _read(outcome: Outcome, names: Sequence[str]) -> list[float]:
    """The quantities ``names`` of ``outcome``, on the part as ground, as its verdicts read them."""
    requirements = outcome.recipe.requirements or Requirements()
    ground, hardening = finished_part(outcome.result, outcome.hardening, requirements.grinding_stock_mm)
    return [outcome.result.carbide_g_m2 if name == CARBIDE else _READERS[name].read(ground, hardening, requirements)
            for name in names]


def run_all(task: Task, draws: NDArray[np.float64], *, executor: Executor | None, chunk_runs: int,
            progress: Callable[[int], None] | None = None) -> Runs:
    """The runs of every row of ``draws``, in chunks of ``chunk_runs`` sent
    to ``executor`` (None: one after another in this process);
    ``progress(runs)`` is called as each chunk is done.

    Raises
    ------
    Exception
        Whatever a chunk's worker or the executor raised (a worker that
        died, a cluster that went away), after the chunks not yet started
        are cancelled.
    """
    runs = Runs.empty(draws.shape[0], len(task.quantities))
    starts = range(0, draws.shape[0], chunk_runs)
    if executor is None:
        for first in starts:
            runs.put(first, run_chunk(task, draws[first:first + chunk_runs]))
            if progress is not None:
                progress(min(first + chunk_runs, draws.shape[0]))
        return runs
    futures: dict[Future[Runs], int] = {}
    try:
        for first in starts:
            futures[executor.submit(run_chunk, task, draws[first:first + chunk_runs])] = first
        done = 0
        for future in as_completed(futures):
            chunk = future.result()
            runs.put(futures[future], chunk)
            done += chunk.passed.size
            if progress is not None:
                progress(done)
    except BaseException:
        for future in futures:
            future.cancel()
        raise
    return runs


def cpu_count() -> int:
    """The cores this process may run on."""
    count = getattr(os, "process_cpu_count", None)
    return (count() if count is not None else len(os.sched_getaffinity(0))) or 1


def chunk_runs_for(samples: int, workers: int) -> int:
    """The runs per chunk for ``samples`` runs on ``workers`` workers: about
    8 chunks a worker, at most 128 runs each."""
    return max(1, min(_MOST_CHUNK_RUNS, math.ceil(samples / (_CHUNKS_PER_WORKER * workers))))


def process_pool(workers: int) -> ProcessPoolExecutor:
    """A pool of ``workers`` processes forked from a server that has
    imported the library once (quick to start, and safe beside threads),
    whose workers leave Ctrl-C to this process, started: Ctrl-C while they
    start takes effect once they have (so that :func:`stop_pool` finds
    them all)."""
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["talvenor.process"])
    # A server started while Ctrl-C is ignored ignores it for good (a signal
    # ignored stays ignored across exec), and so do the workers it forks.
    with _interrupts(signal.SIG_IGN):
        multiprocessing.forkserver.ensure_running()
    pool = ProcessPoolExecutor(workers, mp_context=context, initializer=_leave_interrupts)
    try:
        with _interrupts_deferred():
            for future in [pool.submit(os.getpid) for _ in range(workers)]:
                future.result()
    except BaseException:
        stop_pool(pool)
        raise
    return pool


def _leave_interrupts() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)


@contextlib.contextmanager
def _interrupts_deferred() -> Iterator[None]:
    """Hold back Ctrl-C until the end of the block."""
    interrupted: list[object] = []
    with _interrupts(lambda *received: interrupted.append(received)):
        yield
    if interrupted:
        raise KeyboardInterrupt


@contextlib.contextmanager
def _interrupts(handler: Callable[..., object] | signal.Handlers) -> Iterator[None]:
    """Ctrl-C goes to ``handler`` within the block (where it can: Python
    takes signals in the main thread only)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    before = signal.signal(signal.SIGINT, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, before)


def stop_pool(pool: ProcessPoolExecutor) -> None:
    """End ``pool`` now: cancel what has not started and end its workers."""
    pool.shutdown(wait=False, cancel_futures=True)
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14
    if terminate is not None:
        terminate()
        return
    processes = list((getattr(pool, "_processes", None) or {}).values())
    for process in processes:
        process.terminate()
    for process in processes:
        process.join(timeout=5.0)
