"""Recipe design: the shortest boost/diffuse cycle for a case depth."""

from __future__ import annotations

import functools
import math
from collections.abc import Callable

from .recipe import Stage
from . import checks
from .simulation import simulate
from .solubility import AUSTENITE_RANGE_C
from .solver import Grid

__all__ = ["PART_DEPTH_PER_CASE_DEPTH", "design_boost_diffuse"]

#: The depth of the plate that a design assumes unless told otherwise, in case
#: depths: deep enough that the far face makes no difference.
PART_DEPTH_PER_CASE_DEPTH = 4.0

# The design is accurate to these fractions of the case depth and of hump_wt.
_CASE_TOLERANCE = 2e-3
_HUMP_TOLERANCE = 2e-3
# The shortest cycle is sought to this fraction of the longest boost.
_SEARCH_TOLERANCE = 5e-3
# No cycle is sought beyond this many hours of boost or of diffuse.
_LONGEST_H = 1000.0


def design_boost_diffuse(core_carbon_wt: float, case_depth_mm: float, *, temperature_c: float,
                         boost_potential_wt: float, diffuse_potential_wt: float,
                         transfer_m_s: float | None = None, threshold_wt: float = 0.35, hump_wt: float = 0.05,
                         depth_mm: float | None = None, geometry: str = "plate",
                         cells: int = 200) -> tuple[Stage, Stage]:
    """The shortest boost/diffuse carburizing cycle that gives a case depth.

    A boost at ``boost_potential_wt`` carries carbon in quickly; the diffuse
    that follows, at ``diffuse_potential_wt``, lets it spread and brings the
    carbon below the surface down from the boost's level.  For a given total
    time, the design finds the split that gives the deepest case while the
    final profile stays within ``hump_wt`` of the diffuse potential, and
    then the shortest total time whose deepest case is the one asked for.
    (The longest boost the hump allows is often, but not always, the best:
    near that limit a longer boost can put in carbon that the diffuse only
    gives back to the atmosphere.)

    Parameters
    ----------
    core_carbon_wt : float
        Carbon content of the steel in wt%.
    case_depth_mm : float
        Required case depth in mm: where the carbon content falls to
        ``threshold_wt`` at the end of the cycle.
    temperature_c : float
        Temperature of both stages in °C, from 727 to 1148 °C, where the
        Slycke diffusivities hold.
    boost_potential_wt, diffuse_potential_wt : float
        Carbon potentials of the two stages in wt%; the boost's must be the
        higher.
    transfer_m_s : float, optional
        Mass-transfer coefficient of both stages in m/s; without one both
        stages hold the surface at their potential.
    threshold_wt : float
        Carbon content that bounds the case, between the core content and the
        diffuse potential.
    hump_wt : float
        How far the final carbon profile may rise above the diffuse potential
        anywhere, in wt%.
    depth_mm, geometry, cells : optional
        The part, as for :func:`simulate`; by default a plate four times as
        deep as the case, which acts as an infinitely deep one.

    Returns
    -------
    tuple of Stage
        The boost and the diffuse.  Simulated from the core composition they
        give a case depth within 1 % of ``case_depth_mm`` and a final carbon
        profile nowhere above ``diffuse_potential_wt + hump_wt``.

    Raises
    ------
    ValueError
        When no such cycle exists, saying why: the boost potential is not
        above the diffuse one, the threshold is not between the core content
        and the diffuse potential, the case is deeper than the part or than
        1,000 h of boost reach, or the profile of a boost alone already stays
        within ``hump_wt``, so that no diffuse is needed; when the grid is too
        coarse for the case (thinner than two cells) or for ``hump_wt`` (below
        the error of the profile, about (depth_mm / cells / case_depth_mm)²
        times the boost potential less the core content); and for an
        argument out of range.

    Examples
    --------
    >>> boost, diffuse = design_boost_diffuse(0.2, 1.0, temperature_c=930.0, boost_potential_wt=1.1,
    ...                                       diffuse_potential_wt=0.8)
    >>> round(boost.duration_h, 2), round(diffuse.duration_h, 2)
    (3.26, 0.43)
    """
    core_carbon_wt = checks.real("core_carbon_wt", core_carbon_wt, "not negative")
    case_depth_mm = checks.real("case_depth_mm", case_depth_mm, "positive")
    boost_potential_wt = checks.real("boost_potential_wt", boost_potential_wt, "not negative")
    diffuse_potential_wt = checks.real("diffuse_potential_wt", diffuse_potential_wt, "not negative")
    threshold_wt = checks.real("threshold_wt", threshold_wt, "not negative")
    hump_wt = checks.real("hump_wt", hump_wt, "positive")
    low_c, high_c = AUSTENITE_RANGE_C
    temperature_c = checks.bounded("temperature_c", checks.real("temperature_c", temperature_c), low=low_c,
                                   high=high_c, unit="°C", why="where the Slycke diffusivities of the design hold")
    if depth_mm is None:
        depth_mm = PART_DEPTH_PER_CASE_DEPTH * case_depth_mm
        if depth_mm < checks.DEPTH_RANGE_MM[0]:
            raise ValueError(f"case_depth_mm {case_depth_mm!r} is too thin: the part of {PART_DEPTH_PER_CASE_DEPTH:g} "
                             f"case depths that the design assumes, {depth_mm:g} mm, is thinner than the thinnest "
                             f"part, {checks.DEPTH_RANGE_MM[0]:g} mm")
    depth_mm = checks.depth_mm("depth_mm", depth_mm)
    cells = checks.cells("cells", cells)
    geometry = checks.geometry("geometry", geometry)
    if boost_potential_wt <= diffuse_potential_wt:
        raise ValueError(f"boost_potential_wt {boost_potential_wt!r} must be above diffuse_potential_wt "
                         f"{diffuse_potential_wt!r}")
    if core_carbon_wt >= threshold_wt:
        raise ValueError(f"the core carbon {core_carbon_wt!r} wt% is at or above threshold_wt {threshold_wt!r}: the "
                         "whole part is, so it has no case depth")
    if not core_carbon_wt < threshold_wt < diffuse_potential_wt:
        raise ValueError(f"threshold_wt {threshold_wt!r} must lie between core_carbon_wt {core_carbon_wt!r} and "
                         f"diffuse_potential_wt {diffuse_potential_wt!r}, or the cycle has no case to speak of")
    deepest_mm = float(Grid.build(depth_mm, cells, geometry).centres_m()[-1])
    if case_depth_mm >= deepest_mm:
        raise ValueError(f"case_depth_mm {case_depth_mm!r} is deeper than the part allows: the profile of the "
                         f"{geometry} of depth_mm {depth_mm!r} on {cells} cells ends at {deepest_mm:.4g} mm")
    # The search follows the case and the hump on the grid, which must
    # resolve both: the case over a few cells, and the hump above the error
    # of the profile, about (spacing / case depth)² of its range at second order.
    spacing_mm = depth_mm / cells
    if case_depth_mm < 2.0 * spacing_mm:
        raise ValueError(f"case_depth_mm {case_depth_mm!r} is thinner than two cells of the grid, of "
                         f"{spacing_mm:.4g} mm each (depth_mm {depth_mm!r} on {cells} cells): more cells are needed")
    resolved_wt = (spacing_mm / case_depth_mm) ** 2 * (boost_potential_wt - core_carbon_wt)
    if hump_wt < resolved_wt:
        raise ValueError(f"hump_wt {hump_wt!r} is below what the grid resolves: on {cells} cells of {spacing_mm:.4g} mm "
                         f"the profile of this case is accurate to about {resolved_wt:.2g} wt%; more cells or a "
                         "larger hump_wt are needed")

    def stage(duration_h: float, potential_wt: float) -> Stage:
        return Stage(duration_h=duration_h, temperature_c=temperature_c, carbon_potential_wt=potential_wt,
                     carbon_transfer_m_s=transfer_m_s)

    def outcome(boost_h: float, diffuse_h: float) -> tuple[float, float]:
        """The case depth (inf when deeper than the part) and the highest
        carbon content of the cycle's final profile."""
        stages = [stage(boost_h, boost_potential_wt)] if boost_h > 0.0 else []
        if diffuse_h > 0.0:
            stages.append(stage(diffuse_h, diffuse_potential_wt))
        result = simulate(stages, core_carbon_wt=core_carbon_wt, depth_mm=depth_mm, geometry=geometry, cells=cells)
        try:
            case_mm = result.case_depth_mm(threshold_wt)
        except ValueError:
            case_mm = math.inf
        return case_mm, float(result.carbon_wt.max())

    # No cycle of a total time gives a deeper case than the boost alone does.
    reach_mm = outcome(_LONGEST_H, 0.0)[0]
    if reach_mm < case_depth_mm:
        raise ValueError(f"no cycle of up to {_LONGEST_H:g} h gives the case depth: a boost alone of "
                         f"{_LONGEST_H:g} h reaches {reach_mm:.4g} mm")
    ceiling = diffuse_potential_wt + hump_wt

    def close_to_ceiling(value: float) -> bool:
        return -_HUMP_TOLERANCE * hump_wt <= value <= 0.0

    @functools.cache
    def deepest(total_h: float) -> tuple[float, float]:
        """The deepest case that a cycle of ``total_h`` gives within the
        ceiling, and the boost that gives it."""
        def overshoot(boost_h: float) -> float:
            return outcome(boost_h, total_h - boost_h)[1] - ceiling
        # The longer the boost, the shorter the diffuse after it, and the less
        # time that has to bring the carbon below the surface down.
        longest = total_h
        if (f_longest := overshoot(longest)) > 0.0:
            longest = _root(overshoot, 0.0, overshoot(0.0), longest, f_longest, close_to_ceiling, "the boost")
        # A longer boost mostly deepens the case, but near that limit it can
        # put in carbon that the diffuse only gives back to the atmosphere.
        boost_h, case_mm = _maximum(lambda boost_h: outcome(boost_h, total_h - boost_h)[0], longest)
        return case_mm, boost_h

    # The total is sought through its square root, against which the case
    # depth grows about evenly.
    def shortfall(root_h: float) -> float:
        return deepest(root_h * root_h)[0] - case_depth_mm

    low, f_low, high, f_high = _bracket(shortfall, -case_depth_mm, 1.0)
    root_h = _root(shortfall, low, f_low, high, f_high, lambda value: abs(value) <= _CASE_TOLERANCE * case_depth_mm,
                   "the cycle")
    total_h = root_h * root_h
    boost_h = deepest(total_h)[1]
    diffuse_h = total_h - boost_h
    if diffuse_h <= _SEARCH_TOLERANCE * total_h:
        raise ValueError(f"a boost alone of {boost_h:.3g} h gives the case depth with a profile within hump_wt "
                         f"{hump_wt!r} of the diffuse potential: no diffuse stage is needed")
    # The search takes the case and the hump to move steadily with the
    # durations; a recipe where they do not is refused, not misdesigned.
    case_mm, peak_wt = outcome(boost_h, diffuse_h)
    if abs(case_mm - case_depth_mm) > 0.01 * case_depth_mm or peak_wt > ceiling:
        raise ValueError(f"no boost/diffuse cycle was found: the best try, a boost of {boost_h:.3g} h and a diffuse "
                         f"of {diffuse_h:.3g} h, gives a case depth of {case_mm:.4g} mm and {peak_wt:.4g} wt% C at "
                         "the highest")
    return stage(boost_h, boost_potential_wt), stage(diffuse_h, diffuse_potential_wt)


def _bracket(f: Callable[[float], float], f_zero: float, guess: float) -> tuple[float, float, float, float]:
    """Points ``low, f(low), high, f(high)`` around the root of the
    increasing ``f``, with ``f(0) = f_zero < 0``: ``high`` doubles from
    ``guess`` until ``f(high)`` is no longer negative."""
    low, f_low, high = 0.0, f_zero, guess
    while (f_high := f(high)) < 0.0:
        if high * high > _LONGEST_H:
            raise ValueError(f"no cycle of up to {_LONGEST_H:g} h gives the case depth")
        low, f_low, high = high, f_high, 2.0 * high
    return low, f_low, high, f_high


def _root(f: Callable[[float], float], low: float, f_low: float, high: float, f_high: float,
          done: Callable[[float], bool], what: str) -> float:
    """A point between ``low`` and ``high`` at which ``done(f(x))`` holds,
    for an increasing ``f`` with ``f(low) < 0 <= f(high)``, by the Illinois
    variant of false position (halving where ``f`` is infinite)."""
    if done(f_high):
        return high
    side = 0
    for _ in range(100):
        if high - low <= 4.0 * math.ulp(high):
            # f jumps across the root, as where the grid cannot follow it: the
            # last point on the low side is the best there is.
            return low
        x = 0.5 * (low + high) if math.isinf(f_high) else (low * f_high - high * f_low) / (f_high - f_low)
        value = f(x)
        if done(value):
            return x
        if value >= 0.0:
            high, f_high = x, value
            if side > 0:
                f_low *= 0.5
            side = 1
        else:
            low, f_low = x, value
            if side < 0:
                f_high *= 0.5
            side = -1
    raise ValueError(f"the search for {what} does not converge")


def _maximum(f: Callable[[float], float], high: float) -> tuple[float, float]:
    """Where the unimodal ``f`` is greatest on (0, high], and that greatest
    value, by golden-section search to a fraction of ``high``."""
    ratio = (math.sqrt(5.0) - 1.0) / 2.0
    low, tolerance = 0.0, _SEARCH_TOLERANCE * high
    a, b = high - ratio * high, ratio * high
    f_a, f_b = f(a), f(b)
    while high - low > tolerance:
        if f_a >= f_b:
            high, b, f_b = b, a, f_a
            a = high - ratio * (high - low)
            f_a = f(a)
        else:
            low, a, f_a = a, b, f_b
            b = low + ratio * (high - low)
            f_b = f(b)
    return (a, f_a) if f_a >= f_b else (b, f_b)
