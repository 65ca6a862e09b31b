"""The profile of an outcome as CSV."""

from __future__ import annotations

from ..pipeline import Outcome

__all__ = ["profile_csv"]


def profile_csv(outcome: Outcome) -> str:
    """The whole final profile of ``outcome`` as CSV text: a header
    ``depth_mm,carbon_wt,nitrogen_wt`` and a row per depth, with the hardness
    and the retained austenite after them where the part is hardened.  The
    numbers are written in full (their repr), so that they read back exactly.
    """
    result, hardening = outcome.result, outcome.hardening
    columns = [result.depth_mm, result.carbon_wt, result.nitrogen_wt]
    header = "depth_mm,carbon_wt,nitrogen_wt"
    if hardening is not None:
        columns += [hardening.hardness_hv, 100.0 * hardening.retained_austenite]
        header += ",hardness_hv,retained_austenite_pct"
    rows = zip(*(column.tolist() for column in columns))
    return header + "\n" + "".join(",".join(map(repr, row)) + "\n" for row in rows)
