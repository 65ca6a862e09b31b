#!/usr/bin/env python3
"""talvenor.process against scipy's BDF method of lines on the same finite volumes.

    python benchmarks/process_peers.py            # 200 and 1,600 cells, 5 rounds
    python benchmarks/process_peers.py --quick    # 200 cells, 1 round (smoke test)

Needs scipy.  The peer is benchmarks/method_of_lines.py, the best a scipy
user would write: the semi-discrete problem of talvenor.process handed to
solve_ivp(method="BDF") with a banded Jacobian pattern and the diffusivities
vectorised in numpy.  Three problems: P1 constant D = 2e-11 m²/s (given to
simulate as that number), plate 3 mm,
core 0.2 wt% C, 1 h at 930 °C held at 1.0 wt% C; P2 the Slycke diffusivities,
the same plate, 2 h at 930 °C held at 1.1 wt% C then 1.5 h held at 0.8 wt%;
P3 examples/carbonitriding.toml.

Errors are max |ΔC| and |ΔN| in wt% over the profile (the surface and every
cell centre) against a reference converged in time that does not come from
the library: scipy at rtol 1e-10 on the same grid.  (Against the 1,600-cell
reference, a 200-cell run carries the same error of the grid whoever
integrates it, and scipy's error in time happens to cancel a part of it on
P3, which no tolerance of the library's could then match.)  For P1-P3 at 200 and 1,600
cells the table gives the time and error of simulate at its defaults, of
scipy at rtol 1e-6, and of the cheapest run of simulate (sweeping
``tolerance_wt``, four values a decade) whose errors are at most scipy's,
and how many times faster that run is than scipy's.  The targets: at least
20 times on 200 cells and 5 times on 1,600.  Times are medians over the
rounds, in one process.

Two checks follow, on 200 cells.  Agreement: scipy at rtol 1e-10 and simulate
at tolerance_wt 1e-10 solve the same discrete problem, so they must agree to
1e-6 wt% (P3 also with its surfaces held, to tell a held surface from one
behind a mass-transfer coefficient); the exit status is 1 if any does not.
Then simulate's time error alone (against that converged run on the same
grid) divided by the tolerance, for tolerances of 1e-2 to 1e-5 wt%.
"""

from __future__ import annotations

import argparse
import dataclasses
import statistics
import sys
import time
from pathlib import Path

import numpy as np
import scipy

import method_of_lines
from talvenor import process

ROOT = Path(__file__).resolve().parents[1]
CONVERGED = {"tolerance_wt": 1e-10}  # simulate converged in time
QUICK_CONVERGED = {"tolerance_wt": 1e-8}  # enough for the smoke test
PEER_RTOL = 1e-6
TIGHT = {"rtol": 1e-10, "atol": 1e-12}
QUICK_TIGHT = {"rtol": 1e-8, "atol": 1e-10}
# How many times faster than scipy the library is to be, at scipy's error.
TARGETS = {200: 20.0, 1600: 5.0}
AGREEMENT_WT = 1e-6
TOLERANCES_WT = (1e-2, 1e-3, 1e-4, 1e-5)
# The tolerances, from the loosest, for the run that matches scipy's error: four
# a decade, so that the match costs at most 10**0.25 too many steps.
LADDER = [10.0 ** (-k / 4) for k in range(4, 37)]


@dataclasses.dataclass(frozen=True)
class Problem:
    name: str
    recipe: process.Recipe
    diffusivity: object = None  # for both elements; None for the Slycke ones
    vectorised: object = None  # the same for the peer, over arrays

    def arguments(self, cells):
        """The arguments of simulate on ``cells``."""
        fields = self._common(cells)
        if self.diffusivity is not None:
            fields.update(carbon_diffusivity=self.diffusivity, nitrogen_diffusivity=self.diffusivity)
        return fields

    def peer_arguments(self, cells):
        """The arguments of method_of_lines.solve on ``cells``."""
        return self._common(cells) | {"diffusivity": self.vectorised}

    def _common(self, cells):
        recipe = self.recipe
        return dict(stages=recipe.stages, core_carbon_wt=recipe.core_carbon_wt, core_nitrogen_wt=recipe.core_nitrogen_wt,
                    geometry=recipe.geometry, depth_mm=recipe.depth_mm, cells=cells)


def constant_vectorised(element, y_carbon, y_nitrogen, temperature_k):
    return np.full(y_carbon.shape, 2e-11)


def problems():
    Stage = process.Stage
    plate = {"steel": process.Steel(carbon_wt=0.2), "part": process.Part(geometry="plate", depth_mm=3.0)}
    p3 = process.read_recipe(ROOT / "examples" / "carbonitriding.toml")
    return [
        Problem("P1", process.Recipe(stages=(Stage(duration_h=1.0, temperature_c=930.0, carbon_potential_wt=1.0),),
                                     **plate), 2e-11, constant_vectorised),
        Problem("P2", process.Recipe(stages=(Stage(duration_h=2.0, temperature_c=930.0, carbon_potential_wt=1.1),
                                             Stage(duration_h=1.5, temperature_c=930.0, carbon_potential_wt=0.8)),
                                     **plate)),
        Problem("P3", p3),
    ]


def held(problem):
    """The problem with every surface held at its potential."""
    stages = tuple(dataclasses.replace(stage, carbon_transfer_m_s=None, nitrogen_transfer_m_s=None)
                   for stage in problem.recipe.stages)
    return dataclasses.replace(problem, name=f"{problem.name} held", recipe=dataclasses.replace(problem.recipe,
                                                                                               stages=stages))


def surfaces(problem):
    """How the problem's surfaces are set: held, beta (mass transfer) or both."""
    kinds = {"beta" if condition.transfer_m_s is not None else "held"
             for stage in problem.recipe.stages for condition in (stage.carbon, stage.nitrogen)
             if not condition.closed}
    return "+".join(sorted(kinds, reverse=True))


def timed(run, rounds):
    """The median time of ``run()`` over ``rounds`` calls in s, and its last result."""
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def errors(profile, reference):
    """max |ΔC| and max |ΔN| in wt% against ``reference`` interpolated to the profile's depths."""
    return tuple(float(np.max(np.abs(getattr(profile, name)
                                     - np.interp(profile.depth_mm, reference.depth_mm, getattr(reference, name)))))
                 for name in ("carbon_wt", "nitrogen_wt"))


def within(error, bound):
    return all(e <= b for e, b in zip(error, bound))


def cell(seconds, error):
    return f"{seconds * 1e3:8.1f} {error[0]:8.1e} {error[1]:8.1e}"


def compare(problem, cells, reference, rounds):
    """One row of the table: simulate at its defaults, scipy, and simulate at scipy's error."""
    arguments = problem.arguments(cells)
    own_s, own = timed(lambda: process.simulate(**arguments), rounds)
    peer_s, peer = timed(lambda: method_of_lines.solve(**problem.peer_arguments(cells), rtol=PEER_RTOL), rounds)
    peer_error = errors(peer, reference)
    row = f"{problem.name:<4} {cell(own_s, errors(own, reference))}  {cell(peer_s, peer_error)}  "
    for tolerance in LADDER:
        error = errors(process.simulate(**arguments, tolerance_wt=tolerance), reference)
        if within(error, peer_error):
            match_s, _ = timed(lambda: process.simulate(**arguments, tolerance_wt=tolerance), rounds)
            return row + f"{tolerance:>12.3g} {cell(match_s, error)} {peer_s / match_s:8.1f}", peer_s / match_s
    return row + f"not reached by tolerance_wt={LADDER[-1]:g}", 0.0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="200 cells only, 1 round")
    parser.add_argument("--rounds", type=int, help="timing rounds (default 5, quick 1)")
    options = parser.parse_args(argv)
    rounds = options.rounds or (1 if options.quick else 5)
    grids = (200,) if options.quick else (200, 1600)
    cases = problems()

    print(f"talvenor.process against scipy {scipy.__version__} solve_ivp BDF, Python {sys.version.split()[0]}, "
          f"{rounds} rounds")
    # The smoke test makes do with references converged less far.
    converged = QUICK_CONVERGED if options.quick else CONVERGED
    tight = QUICK_TIGHT if options.quick else TIGHT
    print(f"errors: max |ΔC|, |ΔN| in wt% against scipy on the same grid at rtol {tight['rtol']:g}")
    header = f"{'ms':>8} {'C err':>8} {'N err':>8}"
    missed = []
    for cells in grids:
        print(f"\n{cells} cells")
        print(f"{'':<4} {'talvenor default':^26}  {f'scipy BDF rtol {PEER_RTOL:g}':^26}  "
              f"{'talvenor at scipy error':^39} {'scipy /':>8}")
        print(f"{'':<4} {header}  {header}  tolerance_wt {header} {'talvenor':>8}")
        for problem in cases:
            reference = method_of_lines.solve(**problem.peer_arguments(cells), **tight)
            row, speedup = compare(problem, cells, reference, rounds)
            print(row, flush=True)
            if speedup < TARGETS[cells]:
                missed.append(f"{problem.name} on {cells} cells ({speedup:.1f} < {TARGETS[cells]:g})")

    cells = 200
    print(f"\nagreement on {cells} cells: scipy at rtol {tight['rtol']:g} against simulate at tolerance_wt "
          f"{converged['tolerance_wt']:g} (at most {AGREEMENT_WT:g} wt%)")
    exact = {}
    failed = []
    for problem in cases + [held(cases[2])]:
        exact[problem.name] = process.simulate(**problem.arguments(cells), **converged)
        difference = errors(method_of_lines.solve(**problem.peer_arguments(cells), **tight), exact[problem.name])
        verdict = "ok" if within(difference, (AGREEMENT_WT, AGREEMENT_WT)) else "DIFFERENT"
        print(f"{problem.name:<8} {surfaces(problem):<10} C {difference[0]:8.1e}  N {difference[1]:8.1e}  {verdict}")
        if verdict != "ok":
            failed.append(problem.name)

    print(f"\ntime error / tolerance_wt on {cells} cells (max of C and N, against the converged run)")
    print(f"{'tolerance_wt':>12} " + " ".join(f"{p.name:>6}" for p in cases))
    for tolerance in TOLERANCES_WT:
        ratios = [max(errors(process.simulate(**p.arguments(cells), tolerance_wt=tolerance), exact[p.name]))
                  / tolerance for p in cases]
        print(f"{tolerance:>12g} " + " ".join(f"{ratio:6.2f}" for ratio in ratios))

    speed = (f"at least {', '.join(f'{t:g}x on {c}' for c, t in TARGETS.items() if c in grids)} faster: "
             + ("ok" if not missed else "MISSED for " + ", ".join(missed)))
    if failed:
        print(f"\nsummary: simulate and scipy differ by more than {AGREEMENT_WT:g} wt% in {', '.join(failed)}; {speed}")
        return 1
    print(f"\nsummary: simulate and scipy agree to {AGREEMENT_WT:g} wt% on every problem; {speed}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
