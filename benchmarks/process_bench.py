#!/usr/bin/env python3
"""Speed of talvenor.process against the native Slycke call it is built on,
and of low-pressure carburizing: the designed example and its design.

    python benchmarks/process_bench.py            # 21 rounds
    python benchmarks/process_bench.py --quick    # 3 rounds (smoke test)

Everything runs in one process.  A round times one simulation of each recipe
and 96,000 native Slycke calls with a list, in an order shuffled per round;
the table gives medians over the rounds.  96,000 is one carbon and one
nitrogen evaluation per cell per simulated minute of a 4-hour recipe on the
default 200 cells, and the target is that a 4-hour recipe with both elements
takes at most 0.3 of the time of those calls.  The calls run in a compiled
timeit loop whose names are locals, as in benchmarks/bench.py.  More rows:
the designed low-pressure cycle of examples/vacuum_carburizing.toml, whose
target is at most four times the first four-hour gas recipe, and its design
(a 1 mm case at 960 °C), whose target is 50 ms; the gas design of a 1 mm
case at 930 °C, 30 ms; examples/gas_carburizing.toml evaluated as the
command line does, at least 300 runs a second.  And a 10-hour gas cycle of four
plain stages against the same cycle as a furnace log sampled every 10 s,
clean and with the noise of a thermocouple and an oxygen probe (0.4 °C and
3 % of the potential, seeded): the target is that a log takes at most three
times its stages.  Last, the designs to the drawing of the 20MnCr5 gear
(design_cycle of examples/gear_design.toml, gas, and of
examples/gear_design_vacuum.toml, vacuum, each with its heat-up, tail,
quench and temper), whose targets are 2 s and 3 s.
"""

import argparse
import random
import statistics
import sys
import time
import timeit
from pathlib import Path

import numpy as np

from talvenor import process, slycke

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
VACUUM = process.read_recipe(EXAMPLES / "vacuum_carburizing.toml")
GAS = process.read_recipe(EXAMPLES / "gas_carburizing.toml")
DRAWINGS = {kind: process.read_recipe(EXAMPLES / name)
            for kind, name in (("gas", "gear_design.toml"), ("vacuum", "gear_design_vacuum.toml"))}

CALLS = 96_000

Stage = process.Stage
RECIPES = {
    # The example of the process documentation: carburizing, then nitrogen
    # in a cooling ramp.
    "4 h: boost, diffuse, carbonitride ramp": [
        Stage(duration_h=2.0, temperature_c=930.0, carbon_potential_wt=1.1, carbon_transfer_m_s=2e-7),
        Stage(duration_h=1.5, temperature_c=930.0, carbon_potential_wt=0.8, carbon_transfer_m_s=2e-7),
        Stage(duration_h=0.5, temperature_c=930.0, end_temperature_c=850.0,
              carbon_potential_wt=0.8, nitrogen_potential_wt=0.3),
    ],
    # Both elements move in every stage.
    "4 h: carbonitriding, 3 stages": [
        Stage(duration_h=2.0, temperature_c=880.0, carbon_potential_wt=0.8, carbon_transfer_m_s=2e-7,
              nitrogen_potential_wt=0.25, nitrogen_transfer_m_s=1e-7),
        Stage(duration_h=1.5, temperature_c=880.0, carbon_potential_wt=0.7, carbon_transfer_m_s=2e-7,
              nitrogen_potential_wt=0.2, nitrogen_transfer_m_s=1e-7),
        Stage(duration_h=0.5, temperature_c=880.0, end_temperature_c=840.0,
              carbon_potential_wt=0.7, nitrogen_potential_wt=0.2),
    ],
    "4 h: carbonitriding, 1 stage": [
        Stage(duration_h=4.0, temperature_c=880.0, carbon_potential_wt=0.8, carbon_transfer_m_s=2e-7,
              nitrogen_potential_wt=0.25, nitrogen_transfer_m_s=1e-7),
    ],
}


# A 10-hour cycle of 20MnCr5 gears: boost, diffuse, cool to 850 °C, hold.
TEN_HOURS = [
    Stage(duration_h=6.0, temperature_c=930.0, carbon_potential_wt=1.15, carbon_transfer_m_s=2e-7),
    Stage(duration_h=2.5, temperature_c=930.0, carbon_potential_wt=0.75, carbon_transfer_m_s=2e-7),
    Stage(duration_h=1.0, temperature_c=930.0, end_temperature_c=850.0, carbon_potential_wt=0.75,
          carbon_transfer_m_s=2e-7),
    Stage(duration_h=0.5, temperature_c=850.0, carbon_potential_wt=0.75, carbon_transfer_m_s=2e-7),
]


def logged(stages, every_s=10.0, noise=False):
    """``stages`` as a furnace recorded them every ``every_s``, with or without its instruments' noise."""
    ends = np.cumsum([stage.duration_h for stage in stages])
    time_h = np.arange(0.0, ends[-1] * 3600.0 + every_s / 2, every_s) / 3600.0
    which = np.minimum(np.searchsorted(ends, time_h, side="right"), len(stages) - 1)
    temperature = np.array([stages[i].temperature_k((t - ends[i] + stages[i].duration_h) / stages[i].duration_h)
                            for i, t in zip(which, time_h)]) - 273.15
    carbon = np.array([stages[i].carbon_potential_wt for i in which])
    if noise:
        rng = np.random.default_rng(1184)
        temperature += rng.normal(0.0, 0.4, time_h.size)
        carbon *= 1.0 + rng.normal(0.0, 0.03, time_h.size)
    return process.FurnaceLog(time_h=time_h, temperature_c=temperature, carbon_potential_wt=carbon,
                              carbon_transfer_m_s=2e-7)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="3 rounds instead of 21")
    parser.add_argument("--rounds", type=int, help="timing rounds (default 21, quick 3)")
    options = parser.parse_args(argv)
    rounds = options.rounds or (3 if options.quick else 21)

    carbon = slycke.create_carbon_diffusivity()
    calls = timeit.Timer("f(a, b)", setup="f = _f; a = _a; b = _b",
                         globals={"_f": carbon, "_a": [0.01, 0.002], "_b": 1200.0})

    def timed(work):
        def run():
            start = time.perf_counter()
            work()
            return time.perf_counter() - start
        return run

    def simulation(stages):
        return timed(lambda: process.simulate(stages, core_carbon_wt=0.2))

    vacuum_name = f"vacuum example, {len(VACUUM.stages)} stages"
    design_name = "design_vacuum_cycle, 1 mm at 960 °C"

    reference_name = f"{CALLS} slycke calls, list"
    candidates = {reference_name: lambda: calls.timeit(CALLS)}
    candidates.update({name: simulation(stages) for name, stages in RECIPES.items()})
    candidates[vacuum_name] = timed(lambda: process.simulate(VACUUM.stages, steel=VACUUM.steel,
                                                             depth_mm=VACUUM.depth_mm, cells=VACUUM.cells))
    candidates[design_name] = timed(lambda: process.design_vacuum_cycle(
        case_depth_mm=1.0, temperature_c=960.0, carbon_flux_g_m2_h=100.0, surface_carbon_wt=0.7,
        steel=VACUUM.steel))
    gas_design_name = "design_boost_diffuse, 1 mm at 930 °C"
    candidates[gas_design_name] = timed(lambda: process.design_boost_diffuse(
        0.2, 1.0, temperature_c=930.0, boost_potential_wt=1.1, diffuse_potential_wt=0.8))
    example_name = "gas_carburizing.toml, evaluated"
    candidates[example_name] = timed(lambda: process.evaluate(GAS))
    drawing_names = {kind: f"design_cycle, {kind} gear drawing" for kind in DRAWINGS}
    for kind, request in DRAWINGS.items():
        candidates[drawing_names[kind]] = timed(lambda request=request: process.design_cycle(
            request.requirements, request.steel, request.furnace, part=request.part, quench_c=request.quench_c,
            severity_h=request.severity_h, temper=request.temper))
    ten_hours = "10 h: 4 plain stages"
    logs = {"10 h: the same, a log every 10 s": logged(TEN_HOURS),
            "10 h: the same, a log with noise": logged(TEN_HOURS, noise=True)}
    candidates[ten_hours] = simulation(TEN_HOURS)
    candidates.update({name: simulation(log) for name, log in logs.items()})
    times = {name: [] for name in candidates}
    for run in candidates.values():
        run()  # warm up
    order = list(candidates)
    shuffle = random.Random(20261208)
    for _ in range(rounds):
        shuffle.shuffle(order)
        for name in order:
            times[name].append(candidates[name]())

    print(f"talvenor.process, Python {sys.version.split()[0]}, {rounds} rounds, 200 cells, "
          f"tolerance {process.simulation.TOLERANCE_WT:g} wt%")
    reference = statistics.median(times[reference_name])
    width = max(map(len, candidates))
    print(f"{'candidate':<{width}}  {'median ms':>9}  {'min ms':>7}  {'max ms':>7}  {'/calls':>6}")
    for name, samples in times.items():
        median = statistics.median(samples)
        print(f"{name:<{width}}  {median * 1e3:>9.2f}  {min(samples) * 1e3:>7.2f}  {max(samples) * 1e3:>7.2f}"
              f"  {median / reference:>6.2f}")
    worst = max(statistics.median(times[name]) for name in RECIPES) / reference
    gas = statistics.median(times[next(iter(RECIPES))])
    vacuum = statistics.median(times[vacuum_name]) / gas
    design_ms = 1e3 * statistics.median(times[design_name])
    gas_design_ms = 1e3 * statistics.median(times[gas_design_name])
    per_second = 1.0 / statistics.median(times[example_name])
    log = max(statistics.median(times[name]) for name in logs) / statistics.median(times[ten_hours])
    drawing_s = {kind: statistics.median(times[name]) for kind, name in drawing_names.items()}

    def verdict(met):
        return "ok" if met else "MISSED"

    print(f"summary: slowest recipe / {CALLS} calls = {worst:.2f} (<=0.3 {verdict(worst <= 0.3)}); "
          f"vacuum example / gas recipe = {vacuum:.2f} (<=4 {verdict(vacuum <= 4.0)}); "
          f"vacuum design = {design_ms:.0f} ms (<=50 {verdict(design_ms <= 50.0)}); "
          f"gas design = {gas_design_ms:.0f} ms (<=30 {verdict(gas_design_ms <= 30.0)}); "
          f"gas example = {per_second:.0f} runs/s (>=300 {verdict(per_second >= 300.0)}); "
          f"slower log / its stages = {log:.2f} (<=3 {verdict(log <= 3.0)}); "
          f"gas drawing design = {drawing_s['gas']:.2f} s (<=2 {verdict(drawing_s['gas'] <= 2.0)}); "
          f"vacuum drawing design = {drawing_s['vacuum']:.2f} s (<=3 {verdict(drawing_s['vacuum'] <= 3.0)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
