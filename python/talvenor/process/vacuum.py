"""Recipe design for low-pressure carburizing: the pulses of boost and diffuse."""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable
from typing import Any

from . import checks
from .design import PART_DEPTH_PER_CASE_DEPTH
from .recipe import Stage
from .simulation import Runner, simulate
from .solubility import austenite_temperature, carbon_solubility_wt
from .steel import Steel

__all__ = ["design_vacuum_cycle"]

# No cycle is sought beyond this many pulses or hours.
_MOST_PULSES = 100
_LONGEST_H = 100.0
# The case depth is sought to this fraction of the one asked for.
_CASE_TOLERANCE = 1e-3
# What the finished cycle must meet, when simulated on its own.
_CASE_ACCURACY = 5e-3
_SURFACE_ACCURACY_WT = 0.01
_CARBIDE_G_M2 = 1e-3


def design_vacuum_cycle(*, case_depth_mm: float, temperature_c: float, carbon_flux_g_m2_h: float,
                        surface_carbon_wt: float, core_carbon_wt: float | None = None, steel: Steel | None = None,
                        threshold_wt: float = 0.35, carbon_limit_wt: float | None = None,
                        diffuse_floor_wt: float | None = None, min_pulse_min: float = 1.0, geometry: str = "plate",
                        depth_mm: float | None = None, cells: int = 200) -> list[Stage]:
    """The pulses of a low-pressure carburizing cycle that give a case depth.

    The cycle is the one vacuum furnaces run: boosts at the carbon flux of
    the atmosphere, each until the surface reaches the carbon limit and no
    longer, so that no carbide forms, and between them diffuse pulses
    without gas, each until the surface has fallen to ``diffuse_floor_wt``.
    After each boost the design asks whether a final diffuse, until the
    surface falls to ``surface_carbon_wt``, would give the case; the first
    time it would, that last boost is shortened (a root search on its
    length) so that the final diffuse gives ``case_depth_mm`` at
    ``threshold_wt`` within 0.5 % and the surface within 0.01 wt%.  Every
    pulse lasts at least ``min_pulse_min`` minutes, as furnaces cannot switch
    the gas faster: a diffuse after which the next boost would reach the
    limit sooner is lengthened until that boost lasts as long; a last boost
    that would be shorter stays at that length, and the case then comes out
    deeper than asked for (a warning says by how much).

    The model is that of :func:`simulate` with the Slycke diffusivities, a
    boost of constant flux (all of it enters the part below the limit), and
    the limit at the solubility of carbon in austenite, so the design holds
    for 727-1148 °C.

    Parameters
    ----------
    case_depth_mm : float
        Required case depth in mm, where the carbon falls to ``threshold_wt``.
    temperature_c : float
        Temperature of the whole cycle in °C, 727 to 1148.
    carbon_flux_g_m2_h : float
        Carbon the atmosphere delivers during a boost, in g per m² of treated
        surface and hour.
    surface_carbon_wt : float
        Carbon content of the surface at the end of the cycle, in wt%: above
        the core and below the limit.
    core_carbon_wt : float, optional
        Carbon content of the steel in wt%; or give ``steel``.
    steel : Steel, optional
        The steel, whose carbon is the core and whose alloy factor scales the
        carbon solubility.
    threshold_wt : float
        Carbon content that bounds the case, between the core and
        ``surface_carbon_wt``.
    carbon_limit_wt : float, optional
        Carbon content at which carbides form, in wt%; by default the
        solubility at ``temperature_c`` (:func:`carbon_solubility_wt`) times
        the steel's alloy factor.
    diffuse_floor_wt : float, optional
        Carbon content of the surface at which an intermediate diffuse ends,
        at most ``surface_carbon_wt`` (the default, which gives the fewest
        pulses).
    min_pulse_min : float
        Shortest boost or diffuse in minutes.
    geometry, depth_mm, cells : optional
        The part, as for :func:`simulate`; by default a plate four times as
        deep as the case.

    Returns
    -------
    list of Stage
        Boost, diffuse, boost, ..., the last boost and the final diffuse.

    Raises
    ------
    ValueError
        For an argument out of range, naming it: a surface target at or
        above the limit or at or below the core, a threshold not between
        them, a case deeper than the part allows, a flux that is not
        positive; where no cycle of up to 100 pulses or 100 h gives the
        case; and where the finished cycle, simulated on its own, misses
        the case, the surface or leaves carbide.

    Examples
    --------
    >>> stages = design_vacuum_cycle(case_depth_mm=0.8, temperature_c=960.0, carbon_flux_g_m2_h=80.0,
    ...                              surface_carbon_wt=0.7, core_carbon_wt=0.2)
    >>> len(stages), round(sum(stage.duration_h for stage in stages), 2)
    (8, 2.22)
    """
    if (steel is None) == (core_carbon_wt is None):
        raise ValueError("give either core_carbon_wt or steel")
    if steel is None:
        steel = Steel(carbon_wt=checks.real("core_carbon_wt", core_carbon_wt, "not negative"))
    case_depth_mm = checks.real("case_depth_mm", case_depth_mm, "positive")
    temperature_c = austenite_temperature("temperature_c", temperature_c)
    flux = checks.real("carbon_flux_g_m2_h", carbon_flux_g_m2_h, "positive")
    surface_carbon_wt = checks.real("surface_carbon_wt", surface_carbon_wt, "positive")
    threshold_wt = checks.real("threshold_wt", threshold_wt, "positive")
    min_pulse_h = checks.real("min_pulse_min", min_pulse_min, "positive") / 60.0
    if carbon_limit_wt is not None:
        carbon_limit_wt = checks.real("carbon_limit_wt", carbon_limit_wt, "positive")
    limit_wt = carbon_limit_wt if carbon_limit_wt is not None else \
        steel.alloy_factor * carbon_solubility_wt(temperature_c)
    core_wt = steel.carbon_wt
    if not core_wt < surface_carbon_wt < limit_wt:
        raise ValueError(f"surface_carbon_wt {surface_carbon_wt!r} must lie between the core's {core_wt!r} wt% and "
                         f"the carbon limit {limit_wt:.4g} wt% at {temperature_c:g} °C")
    if not core_wt < threshold_wt < surface_carbon_wt:
        raise ValueError(f"threshold_wt {threshold_wt!r} must lie between the core's {core_wt!r} wt% and "
                         f"surface_carbon_wt {surface_carbon_wt!r}")
    floor_wt = surface_carbon_wt if diffuse_floor_wt is None else \
        checks.real("diffuse_floor_wt", diffuse_floor_wt, "positive")
    if not threshold_wt < floor_wt <= surface_carbon_wt:
        raise ValueError(f"diffuse_floor_wt {floor_wt!r} must lie above threshold_wt {threshold_wt!r} and at most "
                         f"at surface_carbon_wt {surface_carbon_wt!r}")
    depth_mm = checks.real("depth_mm", PART_DEPTH_PER_CASE_DEPTH * case_depth_mm if depth_mm is None else depth_mm,
                           "positive")
    part: dict[str, Any] = dict(depth_mm=depth_mm, geometry=checks.geometry("geometry", geometry),
                cells=checks.integer("cells", cells, minimum=3))
    runner = Runner(steel, **part)
    deepest_mm = float(runner.grid.centres_m()[-1] * 1e3)
    if case_depth_mm >= deepest_mm:
        raise ValueError(f"case_depth_mm {case_depth_mm!r} is deeper than the part allows: the profile of the "
                         f"{geometry} of depth_mm {depth_mm!r} on {cells} cells ends at {deepest_mm:.4g} mm")

    boost = Stage(duration_h=_LONGEST_H, temperature_c=temperature_c, carbon_flux_g_m2_h=flux,
                  carbon_limit_wt=carbon_limit_wt)
    diffuse = Stage(duration_h=_LONGEST_H, temperature_c=temperature_c, carbon_limit_wt=carbon_limit_wt)

    def boost_to_limit(start: Runner) -> Stage:
        return start.copy().advance(boost, to_limit=True)

    def finish(start: Runner, boost_h: float) -> tuple[float, list[Stage]]:
        """The case after a boost of ``boost_h`` from ``start`` and a final
        diffuse, and those two stages."""
        run = start.copy()
        last = run.advance(boost.cut_short(boost_h))
        final = run.advance(diffuse, falls_to_wt=surface_carbon_wt)
        return run.case_depth_mm(threshold_wt), [last, final]

    stages: list[Stage] = []
    for _ in range(_MOST_PULSES):
        full = boost_to_limit(runner)
        if full.duration_h < min_pulse_h and not stages:
            raise ValueError(f"carbon_flux_g_m2_h {flux!r} brings the surface to the limit of {limit_wt:.4g} wt% in "
                             f"{60.0 * full.duration_h:.2g} min, less than min_pulse_min {min_pulse_min!r}")
        if finish(runner, full.duration_h)[0] >= case_depth_mm:
            last, exact = _last_pulse(finish, runner, full.duration_h, min_pulse_h, case_depth_mm)
            stages += last
            break
        runner.advance(full)
        runner, pause = _intermediate_diffuse(runner, diffuse, floor_wt, min_pulse_h, boost_to_limit)
        stages += [full, pause]
        if runner.time_s > 3600.0 * _LONGEST_H:
            break
    else:
        raise ValueError(f"no cycle of up to {_MOST_PULSES} pulses gives the case depth of {case_depth_mm!r} mm")
    if sum(stage.duration_h for stage in stages) > _LONGEST_H:
        raise ValueError(f"no cycle of up to {_LONGEST_H:g} h gives the case depth of {case_depth_mm!r} mm")
    _check(stages, steel, part, case_depth_mm if exact else None, threshold_wt, surface_carbon_wt, limit_wt)
    return stages


def _last_pulse(finish: Callable[[Runner, float], tuple[float, list[Stage]]], runner: Runner, longest_h: float,
                shortest_h: float, case_depth_mm: float) -> tuple[list[Stage], bool]:
    """The last boost, at least ``shortest_h`` and at most ``longest_h``,
    whose final diffuse gives the case, and that diffuse; and whether they
    give it as asked (not deeper, for a boost as short as it can be)."""
    low, (f_low, stages) = shortest_h, finish(runner, shortest_h)
    f_low -= case_depth_mm
    if f_low >= 0.0:
        warnings.warn(f"the last boost lasts the shortest pulse, {60.0 * shortest_h:g} min, which gives a case of "
                      f"{f_low + case_depth_mm:.3f} mm instead of {case_depth_mm:g} mm", stacklevel=3)
        return stages, False
    high, (f_high, stages) = longest_h, finish(runner, longest_h)
    f_high -= case_depth_mm
    side = 0
    for _ in range(100):
        if abs(f_high) <= _CASE_TOLERANCE * case_depth_mm:
            return stages, True
        trial = low - f_low * (high - low) / (f_high - f_low)
        value, trial_stages = finish(runner, trial)
        value -= case_depth_mm
        if value >= 0.0:
            high, f_high, stages = trial, value, trial_stages
            f_low = 0.5 * f_low if side == 1 else f_low
            side = 1
        else:
            low, f_low = trial, value
            if abs(value) <= _CASE_TOLERANCE * case_depth_mm:
                return trial_stages, True
            f_high = 0.5 * f_high if side == -1 else f_high
            side = -1
    raise ValueError("the search for the last boost does not converge")


def _intermediate_diffuse(runner: Runner, diffuse: Stage, floor_wt: float, shortest_h: float,
                          boost_to_limit: Callable[[Runner], Stage]) -> tuple[Runner, Stage]:
    """A diffuse from ``runner`` until the surface falls to ``floor_wt``, at
    least ``shortest_h``, and long enough that the next boost lasts that
    long too: the part after it, and the diffuse."""
    def trial(duration_h: float) -> tuple[Runner, Stage]:
        run = runner.copy()
        return run, run.advance(diffuse.cut_short(duration_h))

    run = runner.copy()
    stage = run.advance(diffuse, falls_to_wt=floor_wt)
    if stage.duration_h < shortest_h:
        run, stage = trial(shortest_h)
    if boost_to_limit(run).duration_h < shortest_h:
        # The next boost lengthens with the diffuse before it.
        low, high = stage.duration_h, 2.0 * stage.duration_h
        while boost_to_limit(trial(high)[0]).duration_h < shortest_h:
            low, high = high, 2.0 * high
            if high > _LONGEST_H:
                raise ValueError("no diffuse lets the next boost last min_pulse_min")
        while high - low > 1e-3 * shortest_h:
            middle = 0.5 * (low + high)
            if boost_to_limit(trial(middle)[0]).duration_h < shortest_h:
                low = middle
            else:
                high = middle
        run, stage = trial(high)
    return run, stage


def _check(stages: list[Stage], steel: Steel, part: dict[str, Any], case_depth_mm: float | None,
           threshold_wt: float, surface_carbon_wt: float, limit_wt: float) -> None:
    """Refuse a cycle that, simulated on its own, misses what it was
    designed for: the case depth, where it is to be met (else it may be
    deeper), the surface, and no carbide."""
    result = simulate(stages, steel=steel, **part)
    try:
        case_mm = result.case_depth_mm(threshold_wt)
    except ValueError:
        case_mm = math.inf
    failures = []
    if case_depth_mm is not None and not abs(case_mm - case_depth_mm) <= _CASE_ACCURACY * case_depth_mm:
        failures.append(f"a case depth of {case_mm:.4g} mm")
    if abs(result.surface_carbon_wt - surface_carbon_wt) > _SURFACE_ACCURACY_WT:
        failures.append(f"a surface of {result.surface_carbon_wt:.4g} wt%")
    if result.peak_carbide_g_m2 > _CARBIDE_G_M2:
        failures.append(f"{result.peak_carbide_g_m2:.3g} g/m² of carbide")
    if result.peak_surface_carbon_wt > limit_wt + _SURFACE_ACCURACY_WT:
        failures.append(f"a surface of {result.peak_surface_carbon_wt:.4g} wt% at the highest")
    if failures:
        raise ValueError(f"no sound cycle was found: the best try, of {len(stages)} pulses, gives "
                         + " and ".join(failures))
