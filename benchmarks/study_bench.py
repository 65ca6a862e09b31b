#!/usr/bin/env python3
"""Speed of capability studies: serial, on a pool of worker processes and on
a Dask cluster, and what a study adds to the time of its runs.

    python benchmarks/study_bench.py              # 1,000 runs, 5 rounds
    python benchmarks/study_bench.py --quick      # 100 runs, 1 round (smoke test)

The study is that of examples/gas_carburizing.toml with the variation of
its [variation] table: σ 4 °C of the temperature, 0.03 wt% of the carbon
potentials, 10 % of the mass-transfer coefficients, 1 % of the durations and
0.01 wt% of the steel's carbon, each one draw per run, seed 0.

It times, in a new order each round, taking the median of the rounds:

- the runs: evaluate() of each run's recipe, built beforehand, one after
  another (what the runs cost wherever they go), and apart with each
  recipe built in the loop (a varied recipe is validated as any is);
- serial: study(workers=1), everything in this process;
- pool: study() on a pool of 2 worker processes, already started (as a
  cluster is), and, apart, study(workers=2), which starts its own pool;
- cluster: study() on the executor of a distributed.LocalCluster of 2
  worker processes on 127.0.0.1, already started.

It prints the runs per second of each, the parallel efficiency (the rate on
2 workers over the serial rate, over 2; target ≥ 0.8) and the study's own
share (serial study over its runs, less 1; target < 5 %), and checks that
the serial, pool and cluster studies are identical, bit for bit: exit status
1 where they are not.  The targets are printed, not enforced: the machine
may be shared.
"""

import argparse
import contextlib
import random
import statistics
import sys
import time
from pathlib import Path

import numpy as np

from talvenor import process
from talvenor.process.studies.inputs import draw, inputs_of, varied
from talvenor.process.studies.runs import process_pool

RECIPE = Path(__file__).resolve().parents[1] / "examples" / "gas_carburizing.toml"
WORKERS = 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="100 runs, 1 round")
    parser.add_argument("--samples", type=int, help="runs per study (default 1000, quick 100)")
    parser.add_argument("--rounds", type=int, help="timing rounds (default 5, quick 1)")
    parser.add_argument("--no-cluster", action="store_true", help="leave out the Dask cluster")
    options = parser.parse_args()
    samples = options.samples or (100 if options.quick else 1000)
    rounds = options.rounds or (1 if options.quick else 5)
    recipe = process.read_recipe(RECIPE)
    inputs = inputs_of(recipe, recipe.variation)
    draws = draw(inputs, samples, np.random.default_rng(0))
    recipes = [varied(recipe, inputs, row) for row in draws]
    with contextlib.ExitStack() as stack:
        pool = process_pool(WORKERS)
        stack.callback(pool.shutdown)
        work = {"runs": lambda: [process.evaluate(each) for each in recipes],
                "runs, built": lambda: [process.evaluate(varied(recipe, inputs, row)) for row in draws],
                "serial": lambda: process.study(recipe, samples=samples, workers=1),
                "pool": lambda: process.study(recipe, samples=samples, executor=pool),
                "pool, started": lambda: process.study(recipe, samples=samples, workers=WORKERS)}
        if not options.no_cluster:
            executor = _cluster_executor(stack)
            work["cluster"] = lambda: process.study(recipe, samples=samples, executor=executor)
        for each in work.values():  # the workers import what they need; scipy.stats is imported
            each()
        times, studies = _timed(rounds, work)
    return _report(samples, rounds, times, studies)


def _cluster_executor(stack):
    from distributed import Client, LocalCluster

    cluster = stack.enter_context(LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                                               host="127.0.0.1", dashboard_address=None))
    return stack.enter_context(Client(cluster)).get_executor()


def _timed(rounds, work):
    """The median seconds of each work over the rounds, run in a new order
    each round (the machine may be shared), and what each gave last."""
    seconds, results = {name: [] for name in work}, {}
    order = list(work)
    for _ in range(rounds):
        random.shuffle(order)
        for name in order:
            start = time.perf_counter()
            results[name] = work[name]()
            seconds[name].append(time.perf_counter() - start)
    return ({name: statistics.median(seconds[name]) for name in work},
            {name: result for name, result in results.items() if not name.startswith("runs")})


def _identical(first, second):
    arrays = [(first.failed, second.failed), (first.passed, second.passed),
              *((first.inputs[name], second.inputs[name]) for name in first.inputs),
              *((first.quantities[name], second.quantities[name]) for name in first.quantities)]
    same_names = list(first.inputs) == list(second.inputs) and list(first.quantities) == list(second.quantities)
    return same_names and first.errors == second.errors and all(
        a.tobytes() == b.tobytes() for a, b in arrays)


def _report(samples, rounds, times, studies):
    print(f"talvenor.process study of {RECIPE.name}, {samples:,} runs, {rounds} round(s), Python "
          f"{sys.version.split()[0]}, {WORKERS} workers")
    print(f"{'where':<16}{'seconds':>9}{'runs/s':>10}{'efficiency':>12}")
    serial_rate = samples / times["serial"]
    for where, seconds in times.items():
        rate = samples / seconds
        efficiency = "" if where.startswith("runs") or where == "serial" else f"{rate / serial_rate / WORKERS:.2f}"
        print(f"{where:<16}{seconds:>9.2f}{rate:>10.0f}{efficiency:>12}")
    overhead = times["serial"] / times["runs"] - 1.0
    own = times["serial"] / times["runs, built"] - 1.0
    efficiencies = {where: samples / times[where] / serial_rate / WORKERS for where in ("pool", "cluster")
                    if where in times}
    same = all(_identical(studies["serial"], other) for other in studies.values())
    worst = min(efficiencies.values())
    print(f"summary: study/runs - 1 = {100.0 * overhead:.1f} % (<5 % {'ok' if overhead < 0.05 else 'MISSED'}; "
          f"{100.0 * own:.1f} % beyond building each run's recipe); "
          f"efficiency {worst:.2f} (>=0.8 {'ok' if worst >= 0.8 else 'MISSED'}); "
          f"studies identical: {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
