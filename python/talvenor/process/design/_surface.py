"""The surface a design aims at: the carbon contents at which the finished
surface meets the drawing's surface bands."""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass

import numpy as np

from ..metallurgy.hardening import harden
from ..requirements import Requirements
from ..schedule.stage import Stage
from ..simulation import simulate
from ..verdicts import Verdicts, check
from ._trials import Trials

__all__ = ["Window", "window"]

# The bands read at the surface, which its carbon content decides.
_SURFACE_KEYS = ("surface_hardness_min_hrc", "surface_hardness_max_hrc", "surface_hardness_min_hv",
                 "surface_hardness_max_hv", "surface_carbon_min_wt", "surface_carbon_max_wt",
                 "retained_austenite_min_pct", "retained_austenite_max_pct")
# The carbon contents tried, in wt% apart, and how many times the step is
# halved about each end of the window.
_STEP_WT = 0.1
_HALVINGS = 2


@dataclass(frozen=True)
class Window:
    """The surface carbon contents in wt% that meet the surface bands, from
    ``low_wt`` to ``high_wt``, and the one aimed at, ``aim_wt`` (their
    middle).  ``met`` is False where no content meets them all: then
    ``aim_wt`` is the content that comes nearest, and ``verdicts`` what it
    gives."""

    low_wt: float
    high_wt: float
    aim_wt: float
    met: bool
    verdicts: Verdicts


def window(trials: Trials, top_wt: float) -> Window:
    """The window of surface carbon in which the finished surface meets the
    drawing's surface bands, from above the core up to ``top_wt``: each
    content is hardened as the whole section would be at that content (the
    surface's quench and temper, from the end of the tail), and checked.
    Without surface bands, the content at which the surface is hardest.

    Raises
    ------
    ValueError
        Where the drawing has no surface band and no quench, so that nothing
        tells what the surface should be.
    """
    surface = _surface_requirements(trials.requirements)
    core_wt = trials.steel.carbon_wt
    contents = np.arange(core_wt + _STEP_WT, top_wt + 1e-9, _STEP_WT)
    if surface is None and trials.quench_c is None:
        raise ValueError("the requirements say nothing of the surface, and without a quench no hardness tells what "
                         "it should be: give a surface carbon, hardness or retained austenite band")
    read = _Reader(trials, surface)
    readings = [read(float(content)) for content in contents]
    if surface is None:
        hardest = float(contents[int(np.argmax([hardening_hv for hardening_hv, _ in readings]))])
        return Window(hardest, hardest, hardest, True, Verdicts())
    verdicts = [verdicts for _, verdicts in readings]
    passed = np.array([v.passed for v in verdicts])
    if not passed.any():
        best = max(range(len(verdicts)), key=lambda i: _nearness(verdicts[i]))
        aim = float(contents[best])
        return Window(aim, aim, aim, False, verdicts[best])
    first, last = _widest_run(passed)
    low = _edge(read, contents, verdicts, first, first - 1)
    high = _edge(read, contents, verdicts, last, last + 1)
    return Window(low, high, 0.5 * (low + high), True, verdicts[first])


def _surface_requirements(requirements: Requirements) -> Requirements | None:
    """The surface bands of ``requirements`` alone (None where it has none)."""
    given = {key: getattr(requirements, key) for key in _SURFACE_KEYS if getattr(requirements, key) is not None}
    return Requirements(**given) if given else None


class _Reader:
    """For a carbon content: the surface hardness in HV, and the verdicts on
    the surface bands, of a part of that content throughout (quenched from
    the end of the furnace's tail)."""

    def __init__(self, trials: Trials, surface: Requirements | None) -> None:
        self.trials, self.surface = trials, surface
        temperature_c = trials.furnace.temperatures_c[1]
        self.base = simulate(trials.furnace.tail(temperature_c, trials.steel.carbon_wt) or
                             (Stage(duration_h=1.0 / 60.0, temperature_c=temperature_c),), steel=trials.steel,
                             part=trials.part)

    def __call__(self, content_wt: float) -> tuple[float, Verdicts]:
        trials = self.trials
        result = dataclasses.replace(self.base, carbon_wt=np.full_like(self.base.carbon_wt, content_wt))
        hardening = None if trials.quench_c is None else harden(
            result, quench_c=trials.quench_c, austenite_hv=trials.austenite_hv, severity_h=trials.severity_h,
            temper=trials.temper)
        return (math.nan if hardening is None else hardening.surface_hardness_hv,
                Verdicts() if self.surface is None else check(result, self.surface, hardening))


def _widest_run(passed: np.ndarray) -> tuple[int, int]:
    """The first and the last index of the longest run of True in ``passed``."""
    runs: list[tuple[int, int]] = []
    start = None
    for i, ok in enumerate([*passed, False]):
        if ok and start is None:
            start = i
        elif not ok and start is not None:
            runs.append((start, i - 1))
            start = None
    return max(runs, key=lambda run: run[1] - run[0])


def _edge(read: _Reader, contents: np.ndarray, verdicts: list[Verdicts], inside: int, outside: int) -> float:
    """Where the bands stop being met between the content at ``inside``
    (met) and the one at ``outside`` (not met, or beyond the contents
    tried): the step between them halved a few times, then the zero of the
    margin of the band that fails, as linear between the two."""
    if not 0 <= outside < len(contents):
        return float(contents[inside])
    (met_wt, met), (missed_wt, missed) = (float(contents[inside]), verdicts[inside]), (float(contents[outside]),
                                                                                       verdicts[outside])
    for _ in range(_HALVINGS):
        middle_wt = 0.5 * (met_wt + missed_wt)
        middle = read(middle_wt)[1]
        if middle.passed:
            met_wt, met = middle_wt, middle
        else:
            missed_wt, missed = middle_wt, middle
    crossings = [met_wt + verdict.margin / (verdict.margin - failed.margin) * (missed_wt - met_wt)
                 for verdict, failed in zip(met, missed)
                 if not failed.passed and math.isfinite(failed.margin) and math.isfinite(verdict.margin)]
    if not crossings:
        return met_wt
    return max(crossings) if missed_wt < met_wt else min(crossings)


def _nearness(verdicts: Verdicts) -> tuple[int, float]:
    """How near ``verdicts`` come to passing: the bands met, then the worst
    margin as a share of its band (its width, or its end for a band open on
    one side)."""
    shares = []
    for verdict in verdicts:
        low, high = verdict.band
        end = low if high is None else high
        scale = (high - low) if low is not None and high is not None else abs(end) if end is not None else 1.0
        shares.append(verdict.margin / scale if scale > 0.0 and math.isfinite(verdict.margin) else -math.inf)
    return sum(verdict.passed for verdict in verdicts), min(shares, default=0.0)
