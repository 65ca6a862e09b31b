"""From a recipe to its outcome: the run, the hardened case and the verdicts.

:func:`evaluate` is what the command line prints a summary of, as a record
that Python code and the report read.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

from . import _validate
from .metallurgy.hardening import Hardening, harden, quench_temperature_c
from .metallurgy.tempering import Temper
from .recipe import Recipe
from .requirements import needs_hardened_case
from .results import Result
from .simulation import simulate
from .standards import CARBIDE_TOLERANCE_G_M2, CASE_DEPTH_THRESHOLD_WT, CHD_LIMIT_HV
from .verdicts import Verdicts, check

__all__ = ["Outcome", "evaluate"]


@dataclass(frozen=True, eq=False)
class Outcome:
    """What a recipe gives: :func:`evaluate` returns one.

    Attributes
    ----------
    recipe : Recipe
        The recipe evaluated.
    result : Result
        Its run.
    hardening : Hardening or None
        The hardened case, where the recipe (or the evaluation) asks for a quench.
    verdicts : Verdicts
        The verdict on each band of the recipe's requirements; empty without any.
    threshold_wt : float
        The carbon content at which the case depth is read, in wt%.
    limit_hv : float
        The hardness at which the case-hardening depth is read, in HV.
    """

    recipe: Recipe
    result: Result
    hardening: Hardening | None
    verdicts: Verdicts
    threshold_wt: float = CASE_DEPTH_THRESHOLD_WT
    limit_hv: float = CHD_LIMIT_HV

    @property
    def warnings(self) -> tuple[str, ...]:
        """What makes the run and the hardened case doubtful, one line each
        (see :attr:`Result.warnings` and :attr:`Hardening.warnings`)."""
        return self.result.warnings + (() if self.hardening is None else self.hardening.warnings)

    @property
    def passed(self) -> bool:
        """Whether the part meets every band of the requirements (also where there is none)."""
        return self.verdicts.passed

    @property
    def carbide_tolerance_g_m2(self) -> float:
        """The carbide at and below which the part counts as free of it: the
        requirements', or ``standards.CARBIDE_TOLERANCE_G_M2``."""
        requirements = self.recipe.requirements
        return CARBIDE_TOLERANCE_G_M2 if requirements is None else requirements.carbide_tolerance_g_m2

    @property
    def case_depth_mm(self) -> float:
        """The case depth at :attr:`threshold_wt`, inf where it is deeper than the part."""
        return self.result.case_depth_mm(self.threshold_wt, beyond_part="inf")

    @property
    def chd_mm(self) -> float | None:
        """The case-hardening depth at :attr:`limit_hv`, inf where it is
        deeper than the part; None without a hardened case."""
        if self.hardening is None:
            return None
        return self.hardening.case_hardening_depth_mm(self.limit_hv, beyond_part="inf")


def evaluate(recipe: Recipe, *, quench_c: float | None = None, severity_h: float | str | None = None,
             temper: Temper | None = None, threshold_wt: float = CASE_DEPTH_THRESHOLD_WT,
             limit_hv: float = CHD_LIMIT_HV, progress: Callable[[float], None] | None = None) -> Outcome:
    """Run ``recipe``, harden the part where it is quenched, and check it
    against the recipe's requirements.

    Parameters
    ----------
    recipe : Recipe
        The recipe.
    quench_c : float, optional
        A quench temperature in °C in place of the recipe's own (or where it
        has none).
    severity_h, temper : optional
        A quench severity and a temper in place of the recipe's own (see
        :func:`harden`).
    threshold_wt : float
        The carbon content in wt% at which :attr:`Outcome.case_depth_mm` is
        read (the requirements read theirs at their own).
    limit_hv : float
        The hardness in HV at which :attr:`Outcome.chd_mm` is read (the
        requirements read theirs at their own).
    progress : callable, optional
        As for :func:`simulate`.

    Raises
    ------
    ValueError
        For an argument out of range; for requirements that need the
        hardened case of a recipe without a quench; and as :func:`simulate`
        and :func:`harden` do.

    Examples
    --------
    >>> from talvenor import process
    >>> shaft = process.Recipe(
    ...     stages=(process.Stage(duration_h=4.0, temperature_c=930.0, carbon_potential_wt=0.8),),
    ...     steel=process.Steel.grade("16MnCr5"), part=process.Part(geometry="cylinder", depth_mm=10.0),
    ...     quench_c=60.0, requirements=process.Requirements(chd_min_mm=0.7, core_hardness_max_hv=400.0))
    >>> outcome = evaluate(shaft)
    >>> round(outcome.chd_mm, 2), outcome.passed, outcome.verdicts.failed
    (0.79, False, ('Core hardness',))
    """
    if not isinstance(recipe, Recipe):
        raise TypeError(f"recipe must be a Recipe, got {recipe!r}")
    quench_c = recipe.quench_c if quench_c is None else quench_temperature_c("quench_c", quench_c)
    threshold_wt = _validate.real("threshold_wt", threshold_wt, "not negative")
    limit_hv = _validate.real("limit_hv", limit_hv, "positive")
    if (needs := needs_hardened_case(recipe.requirements)) and quench_c is None:
        raise ValueError(f"[requirements]: {needs}: give the recipe a quench")
    result = simulate(recipe.schedule, steel=recipe.steel, part=recipe.part, progress=progress)
    hardening = None if quench_c is None else harden(
        result, quench_c=quench_c, austenite_hv=recipe.austenite_hv,
        severity_h=recipe.severity_h if severity_h is None else severity_h,
        temper=recipe.temper if temper is None else temper)
    verdicts = Verdicts() if recipe.requirements is None else check(result, recipe.requirements, hardening)
    return Outcome(recipe, result, hardening, verdicts, threshold_wt, limit_hv)
