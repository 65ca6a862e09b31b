"""How deep the pictures and tables of a profile go."""

from __future__ import annotations

from ..results import Result

__all__ = ["shown_depth_mm"]

# Profiles are shown to this many case depths, where they have long reached
# the core composition; the rest of a thick part tells nothing.
_SHOWN_CASE_DEPTHS = 2.5


def shown_depth_mm(result: Result, threshold_wt: float) -> float:
    """How deep a picture or table of the profiles of ``result`` goes: a few
    case depths, or the whole part where there is no case within it."""
    deepest = float(result.depth_mm[-1])
    case_mm = result.case_depth_mm(threshold_wt, beyond_part="inf")
    return min(deepest, _SHOWN_CASE_DEPTHS * case_mm) if 0.0 < case_mm < float("inf") else deepest
