"""What a design to the drawing tries its cycles on: the steel, the part,
the quench and the drawing, and the depth it aims at."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from ..metallurgy.tempering import Temper
from ..model.steel import Steel
from ..pipeline import Outcome, evaluate
from ..recipe import Job, Recipe
from ..requirements import Requirements
from ..schedule.furnace import Furnace
from ..schedule.part import Part
from ..schedule.stage import Stage

__all__ = ["Aim", "Trials"]


@dataclass(frozen=True)
class Aim:
    """The depth a design aims at: the band of ``key`` (``"chd_mm"`` or
    ``"case_depth_mm"``), ``depth_mm`` within it, met to ``tolerance_mm``."""

    key: str
    band: tuple[float | None, float | None]
    depth_mm: float
    tolerance_mm: float

    @classmethod
    def of(cls, requirements: Requirements, margin_mm: float | None) -> Aim:
        """The aim of ``requirements``: the middle of its CHD band (else of
        its case-depth band), or the lower end plus ``margin_mm``.

        Raises
        ------
        ValueError
            Without a depth band, with a band open above and no margin, or a
            margin beyond the band.
        """
        key = "chd" if requirements.band("chd", "mm") != (None, None) else "case_depth"
        low, high = requirements.band(key, "mm")
        if low is None and high is None:
            raise ValueError("the requirements give no depth to design for: give chd_min_mm and chd_max_mm (or "
                             "case_depth_min_mm and case_depth_max_mm)")
        if margin_mm is None:
            if low is None or high is None:
                raise ValueError(f"the band of {key}_min_mm {low!r} to {key}_max_mm {high!r} is open at one end, so "
                                 "it has no middle to aim at: give aim_margin_mm, how far above its lower end to aim")
            depth_mm = 0.5 * (low + high)
        else:
            if low is None:
                raise ValueError(f"aim_margin_mm is a margin above {key}_min_mm, which is not given")
            depth_mm = low + margin_mm
            if high is not None and depth_mm > high:
                raise ValueError(f"aim_margin_mm {margin_mm!r} aims above the band, at {depth_mm:g} mm; "
                                 f"{key}_max_mm is {high!r}")
        if depth_mm <= 0.0:
            raise ValueError(f"the depth aimed at, {depth_mm!r} mm, must be positive")
        return cls(f"{key}_mm", (low, high), depth_mm, max(2e-3 * depth_mm, 1e-3))


@dataclass(eq=False)
class Trials:
    """The cycles a design tries, each run and checked as a recipe of these
    (:func:`evaluate`): how many were, and what the drawing reads of them."""

    requirements: Requirements
    steel: Steel
    part: Part
    furnace: Furnace
    aim: Aim
    quench_c: float | None
    severity_h: float | None
    austenite_hv: float
    temper: Temper | None
    job: Job | None
    runs: int = 0
    _outcomes: dict[tuple[Stage, ...], Outcome] = field(default_factory=dict)

    def recipe(self, stages: tuple[Stage, ...]) -> Recipe:
        return Recipe(stages=stages, steel=self.steel, part=self.part, quench_c=self.quench_c,
                      austenite_hv=self.austenite_hv, requirements=self.requirements, severity_h=self.severity_h,
                      temper=self.temper, job=self.job)

    def outcome(self, stages: tuple[Stage, ...]) -> Outcome:
        """The outcome of the cycle of ``stages`` (each cycle is run once)."""
        if stages not in self._outcomes:
            self.runs += 1
            self._outcomes[stages] = evaluate(self.recipe(stages))
        return self._outcomes[stages]

    def depth_mm(self, outcome: Outcome) -> float:
        """The depth aimed at as the drawing reads it (a depth beyond the part as deep as the part)."""
        verdict = outcome.verdicts.get(self.aim.key)
        assert verdict is not None
        return min(verdict.value, self.part.deepest_mm) if not math.isnan(verdict.value) else 0.0

    def surface_wt(self, outcome: Outcome) -> float:
        """The carbon at the finished surface, in wt%."""
        return self.finished_surface_wt(outcome.result.depth_mm, outcome.result.carbon_wt)

    def peak_wt(self, depth_mm: np.ndarray, carbon_wt: np.ndarray) -> float:
        """The most carbon below the finished surface, in wt%."""
        stock_mm = self.requirements.grinding_stock_mm
        kept = carbon_wt[depth_mm >= stock_mm]
        return float(max(np.interp(stock_mm, depth_mm, carbon_wt), kept.max(initial=0.0)))

    def finished_surface_wt(self, depth_mm: np.ndarray, carbon_wt: np.ndarray) -> float:
        """The carbon at the finished surface of a profile, in wt%."""
        return float(np.interp(self.requirements.grinding_stock_mm, depth_mm, carbon_wt))
