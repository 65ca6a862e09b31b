"""A capability study: a recipe run many times with its inputs drawn from
how they vary, and what the runs say of the batch."""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from concurrent.futures import Executor
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from .. import _validate
from ..pipeline import Outcome, evaluate
from ..recipe import Recipe
from ..requirements import Requirements
from ..variation import Variation
from .inputs import Input, draw, inputs_of
from .runs import (CARBIDE, Runs, Task, chunk_runs_for, cpu_count, process_pool, quantities_of, run_all,
                   stop_pool)
from .statistics import MIN_CPK, Capability, Sensitivity, capability, sensitivity

__all__ = ["Study", "study", "MOST_SAMPLES"]

#: The most runs a study makes: a million, some 3 hours on 2 cores at 20 ms
#: a run, and a few hundred MB of results.
MOST_SAMPLES = 1_000_000


@dataclass(frozen=True, eq=False)
class Study:
    """A recipe run many times with its inputs drawn from how they vary:
    :func:`study` returns one.

    Attributes
    ----------
    recipe : Recipe
        The recipe as given.
    variation : Variation
        How its inputs varied.
    seed : int
        The seed the inputs were drawn with.
    drawn : tuple of Input
        What each input is and how it was drawn.
    inputs : mapping of str to ndarray
        The draws of each input, one per run, by :attr:`Input.name`: the
        furnace's as departures from the recipe (°C and wt% offsets, changes
        in percent), the steel's contents as themselves in wt%.
    quantities : mapping of str to ndarray
        What each run gave, by the keys of :class:`Requirements` without
        their ends (``"chd_mm"``, ``"case_depth_mm"``, ``"surface_carbon_wt"``,
        ``"surface_hardness_hrc"``, ``"retained_austenite_pct"``...) and
        ``"carbide_g_m2"``, read as the requirements read them (at their
        limit and threshold, by default 550 HV and 0.35 wt%): inf for a depth
        deeper than the part, NaN for a hardness below the Rockwell C scale
        and for every quantity of a run that failed.
    failed : ndarray of bool
        Whether each run failed (the varied recipe was out of range, or its
        run or hardening could not be done).
    errors : tuple of str
        Why each run failed; "" for a run that did not.
    warnings : tuple of tuple of str
        The warnings of each run (see :attr:`Outcome.warnings`).
    passed : ndarray of bool
        Whether each run met every requirement (False where it failed).
    capabilities : tuple of Capability
        For each band of the requirements (and ``no_carbides``), over the
        runs that did not fail.
    sensitivity : Sensitivity
        Of every quantity to every input, over the runs that did not fail.
    notes : tuple of str
        What the study assumed that the numbers do not show, one line each.
    """

    recipe: Recipe
    variation: Variation
    seed: int
    drawn: tuple[Input, ...]
    inputs: Mapping[str, NDArray[np.float64]]
    quantities: Mapping[str, NDArray[np.float64]]
    failed: NDArray[np.bool_]
    errors: tuple[str, ...]
    warnings: tuple[tuple[str, ...], ...]
    passed: NDArray[np.bool_]
    capabilities: tuple[Capability, ...]
    sensitivity: Sensitivity
    notes: tuple[str, ...]

    @property
    def samples(self) -> int:
        """The number of runs."""
        return int(self.failed.size)

    @property
    def pass_share(self) -> float:
        """The share of all runs that met every requirement (a failed run did not)."""
        return float(self.passed.mean())

    def capable(self, min_cpk: float = MIN_CPK) -> bool:
        """Whether every requirement has a Cpk of at least ``min_cpk``."""
        return all(capability.capable(min_cpk) for capability in self.capabilities)


def study(recipe: Recipe, variation: Variation | None = None, *, samples: int = 1000, seed: int = 0,
          executor: Executor | None = None, workers: int | None = None, chunk_runs: int | None = None,
          evaluator: Callable[[Recipe], Outcome] = evaluate,
          progress: Callable[[int], None] | None = None) -> Study:
    """Run ``recipe`` ``samples`` times with its inputs drawn from
    ``variation``, and say how capable the process is of its requirements.

    All inputs are drawn first, column by column, from
    ``numpy.random.default_rng(seed)``; the runs are then farmed out.  So
    the same seed gives the same study, bit for bit, whatever runs it.
    A run that fails is recorded with its message, and counted; it does
    not stop the study.

    Parameters
    ----------
    recipe : Recipe
        The recipe: its nominal inputs, the part and its requirements.
    variation : Variation, optional
        How the inputs vary; by default the recipe's own ``variation``.
    samples : int
        The number of runs, from 1 to 1,000,000.
    seed : int
        The seed of the draws, not negative.
    executor : concurrent.futures.Executor, optional
        Where the runs go, in chunks: any executor, such as a Dask cluster's,
        ``distributed.Client(address).get_executor()``, whose workers have
        this library installed.  By default a pool of ``workers`` processes.
        (As with any process pool, a script that calls this must guard its
        main code with ``if __name__ == "__main__":``.)
    workers : int, optional
        The processes of the default pool: by default as many as the cores
        this process may use; 1 runs everything in this process.  Not with
        ``executor``.
    chunk_runs : int, optional
        The runs sent together; by default about 8 chunks per worker, at
        most 128 runs each.
    evaluator : callable, optional
        ``evaluator(recipe) -> Outcome``, what gives the outcome of each
        varied recipe: :func:`evaluate` by default.  Another must be
        picklable (a function of a module, or a :func:`functools.partial`
        of one) to reach the workers.
    progress : callable, optional
        ``progress(runs)``, called with the runs done so far as each chunk
        is done.

    Returns
    -------
    Study

    Raises
    ------
    ValueError
        For an argument out of range, a recipe without a variation, or a
        variation of what the recipe does not have (naming the key and the
        value); and whatever the executor raises when it fails (not when
        a run does).

    Examples
    --------
    >>> from talvenor import process
    >>> recipe = process.Recipe(
    ...     stages=(process.Stage(duration_h=2.0, temperature_c=930.0, carbon_potential_wt=0.9),),
    ...     steel=process.Steel(carbon_wt=0.2), part=process.Part(depth_mm=2.0, cells=60),
    ...     requirements=process.Requirements(case_depth_min_mm=0.5, case_depth_max_mm=0.8))
    >>> batch = study(recipe, process.Variation(temperature_c=5.0), samples=40, workers=1)
    >>> case = batch.capabilities[0]
    >>> case.name, case.runs, round(case.mean, 1), case.capable(1.33), case.out_share
    ('Case depth at 0.35 wt% C', 40, 0.6, True, 0.0)
    >>> batch.sensitivity.drivers("case_depth_mm")
    [('temperature_offset_c', 1.0)]
    """
    if not isinstance(recipe, Recipe):
        raise TypeError(f"recipe must be a Recipe, got {recipe!r}")
    variation = recipe.variation if variation is None else variation
    if variation is None:
        raise ValueError("the recipe has no variation: give one, or the recipe's [variation] table")
    if not isinstance(variation, Variation):
        raise TypeError(f"variation must be a Variation, got {variation!r}")
    samples = _validate.integer("samples", samples, minimum=1, maximum=MOST_SAMPLES)
    seed = _validate.integer("seed", seed, minimum=0)
    if executor is not None and workers is not None:
        raise ValueError(f"give executor or workers, not both: got workers = {workers!r}")
    if executor is not None and not isinstance(executor, Executor):
        raise TypeError(f"executor must be a concurrent.futures.Executor, got {executor!r}")
    workers = cpu_count() if workers is None else _validate.integer("workers", workers, minimum=1)
    drawn = inputs_of(recipe, variation)
    task = Task(recipe, drawn, quantities_of(recipe), evaluator)
    draws = draw(drawn, samples, np.random.default_rng(seed))
    if chunk_runs is None:
        chunk_runs = chunk_runs_for(samples, getattr(executor, "_max_workers", workers))
    chunk_runs = _validate.integer("chunk_runs", chunk_runs, minimum=1)
    runs = _runs(task, draws, executor, workers, chunk_runs, progress)
    return _study(recipe, variation, seed, drawn, draws, task.quantities, runs)


def _runs(task: Task, draws: NDArray[np.float64], executor: Executor | None, workers: int, chunk_runs: int,
          progress: Callable[[int], None] | None) -> Runs:
    """The runs on ``executor``; without one, on a pool of ``workers``
    processes that this ends, at once where the study is interrupted."""
    if executor is not None or workers == 1:
        return run_all(task, draws, executor=executor, chunk_runs=chunk_runs, progress=progress)
    pool = process_pool(min(workers, math.ceil(draws.shape[0] / chunk_runs)))
    try:
        runs = run_all(task, draws, executor=pool, chunk_runs=chunk_runs, progress=progress)
    except BaseException:
        stop_pool(pool)
        raise
    pool.shutdown()
    return runs


def _study(recipe: Recipe, variation: Variation, seed: int, drawn: tuple[Input, ...], draws: NDArray[np.float64],
           names: tuple[str, ...], runs: Runs) -> Study:
    failed = np.array([bool(error) for error in runs.errors], dtype=bool)
    inputs = {given.name: draws[:, column] for column, given in enumerate(drawn)}
    quantities = {name: runs.values[:, column] for column, name in enumerate(names)}
    kept = ~failed
    return Study(recipe, variation, seed, drawn, inputs, quantities, failed, tuple(runs.errors),
                 tuple(runs.warnings), runs.passed, _capabilities(recipe.requirements, quantities, kept),
                 sensitivity({name: values[kept] for name, values in inputs.items()},
                             {name: values[kept] for name, values in quantities.items()}),
                 _notes(recipe, variation, drawn))


def _capabilities(requirements: Requirements | None, quantities: Mapping[str, NDArray[np.float64]],
                  kept: NDArray[np.bool_]) -> tuple[Capability, ...]:
    if requirements is None:
        return ()
    bands = [(quantity.name(requirements), f"{quantity.key}_{quantity.unit_key}", quantity.unit,
              requirements.ends(quantity)) for quantity in requirements.given()]
    if requirements.no_carbides:
        bands.append(("No carbides", CARBIDE, "g/m²", (None, requirements.carbide_tolerance_g_m2)))
    return tuple(capability(name, key, unit, band, quantities[key][kept]) for name, key, unit, band in bands)


def _notes(recipe: Recipe, variation: Variation, drawn: tuple[Input, ...]) -> tuple[str, ...]:
    notes = []
    if not drawn:
        notes.append("Nothing varies: every run is the recipe as it is.")
    if recipe.log is not None and drawn:
        notes.append("The furnace log is varied as a whole: each input is one draw per run for all the log (every "
                     "temperature shifted alike, and so on); its potentials, as recorded, move with their own offsets "
                     "only.")
    elif any(given.stage is None and given.target not in ("quench",) and not given.target.endswith("_wt")
             for given in drawn):
        notes.append("The furnace's inputs are furnace-wide: one draw per run moves every stage alike"
                     + (f", except {', '.join(variation.per_stage)}, drawn per stage." if variation.per_stage else "."))
    if variation.steel_ranges:
        standard = "SAE J404" if (recipe.steel.name or "").startswith("SAE") else "EN 10084"
        notes.append(f"The steel is drawn uniformly within the cast ranges of {recipe.steel.name} ({standard}), each "
                     "element apart; a content given only as a maximum ranges from 0.")
    return tuple(notes)
