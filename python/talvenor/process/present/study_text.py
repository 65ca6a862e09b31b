"""A capability study as text: what varied, the capability table and what
drives the requirements that are not capable, as the command line prints
them and the report shows them."""

from __future__ import annotations

import math

from ..requirements import QUANTITIES
from ..studies import Capability, Study
from ..studies.statistics import MIN_CPK

__all__ = ["study_printout", "study_summary", "capability_table", "driver_lines", "capability_text", "number_text",
           "HEADING"]

# The decimals a quantity's values are shown with, by its unit: one more
# than a verdict shows, for a mean and a spread.
_DECIMALS = {quantity.unit: quantity.decimals + 1 for quantity in QUANTITIES} | {"g/m²": 3}
_WIDTH = 28

#: The heading of the capability table, aligned with its rows.
HEADING = (f"{'requirement':<{_WIDTH}}{'band':<18}{'mean':>9}{'σ':>9}{'Cpk':>7}{'% out':>8}  verdict")


def study_printout(study: Study, heading: str, min_cpk: float = MIN_CPK) -> str:
    """What the command line prints of ``study`` under ``heading``."""
    return "\n".join([heading, *study_summary(study), *capability_table(study, min_cpk),
                      *driver_lines(study, min_cpk)])


def study_summary(study: Study) -> list[str]:
    """The runs, the seed, the share of parts that met the drawing, what
    varied and how, and the study's notes."""
    failed = int(study.failed.sum())
    lines = [f"Runs         {study.samples:,}, seed {study.seed}"
             + (f"; {failed:,} failed ({_percent(failed / study.samples)} %)" if failed else ""),
             f"Parts        {_percent(study.pass_share)} % met every requirement"
             if study.recipe.requirements is not None else "Parts        the recipe states no requirements"]
    width = max((len(given.label) for given in study.drawn), default=0)
    for number, given in enumerate(study.drawn):
        low, high = given.centre - given.spread, given.centre + given.spread
        drawn = (f"normal, σ {given.spread:.4g}" if given.distribution == "normal" else
                 f"uniform, {low:.4g} to {high:.4g}")
        lines.append(f"{'Varied' if number == 0 else '':<13}{given.label:<{width}}  {drawn}")
    return lines + [*(f"Note         {note}" for note in study.notes)]


def capability_table(study: Study, min_cpk: float = MIN_CPK) -> list[str]:
    """The capability table, after a blank line: each requirement's band,
    mean, standard deviation, Cpk, share out of the band and verdict at
    ``min_cpk``; and the verdict on them all (none without requirements)."""
    if not study.capabilities:
        return []
    lines = ["", HEADING, *(_row(capability, min_cpk) for capability in study.capabilities)]
    if any(math.isnan(capability.mean) and capability.runs > 1 for capability in study.capabilities):
        lines.append("n/a: some runs lie off the scale (below 20 HRC or deeper than the part); read % out")
    return [*lines, f"Capability   {capability_text(study, min_cpk)}"]


def capability_text(study: Study, min_cpk: float = MIN_CPK) -> str:
    """Whether every requirement is capable at ``min_cpk``, and which are not."""
    short = [capability.name for capability in study.capabilities if not capability.capable(min_cpk)]
    count = len(study.capabilities)
    return (f"capable: all {count} requirements have Cpk ≥ {min_cpk:g}" if not short else
            f"not capable: {len(short)} of {count} requirements have Cpk below {min_cpk:g} ({', '.join(short)})")


def driver_lines(study: Study, min_cpk: float = MIN_CPK) -> list[str]:
    """The three inputs that drive each requirement that is not capable,
    by Spearman's rank correlation, after a blank line."""
    short = [capability for capability in study.capabilities if not capability.capable(min_cpk)]
    if not short or not study.drawn:
        return []
    labels = {given.name: given.label for given in study.drawn}
    lines = ["", "What drives them (Spearman's rank correlation with each input):"]
    for capability in short:
        drivers = [f"{correlation:+.2f}  {labels[name]}" for name, correlation in
                   study.sensitivity.drivers(capability.quantity)]
        for number, said in enumerate(drivers or ["cannot be told: it does not vary, or lies off the scale"]):
            lines.append(f"  {capability.name if number == 0 else '':<{_WIDTH}}{said}")
    return lines


def _row(capability: Capability, min_cpk: float) -> str:
    decimals = _DECIMALS.get(capability.unit, 3)
    low, high = (None if end is None else f"{end:.{decimals - 1}f}" for end in capability.band)
    band = (f"≥ {low}" if high is None else f"≤ {high}" if low is None else f"{low}–{high}") + f" {capability.unit}"
    return (f"{capability.name:<{_WIDTH}}{band:<18}{number_text(capability.mean, decimals):>9}"
            f"{number_text(capability.std, decimals):>9}{number_text(capability.cpk, 2):>7}"
            f"{_percent(capability.out_share):>8}  {'capable' if capability.capable(min_cpk) else 'not capable'}")


def number_text(value: float, decimals: int) -> str:
    """``value`` with ``decimals`` decimals; "n/a" for NaN, "∞" or "-∞" for an infinity."""
    if math.isnan(value):
        return "n/a"
    if math.isinf(value):
        return "∞" if value > 0 else "-∞"
    return f"{value:.{decimals}f}"


def _percent(share: float) -> str:
    return "n/a" if math.isnan(share) else f"{100.0 * share:.2f}"
