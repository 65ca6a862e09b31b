"""Recipe design for low-pressure carburizing: the pulses of boost and diffuse."""

from __future__ import annotations

import math
from dataclasses import dataclass

from .. import _search, _validate
from ..model import solubility
from ..model.steel import Steel, steel_of
from ..schedule.part import Part
from ..schedule.stage import Stage
from ..simulation import Runner, simulate
from ..standards import CARBIDE_TOLERANCE_G_M2, CASE_DEPTH_THRESHOLD_WT
from ._part import design_part

__all__ = ["design_vacuum_cycle"]

# No cycle is sought beyond this many pulses or hours.
_MOST_PULSES = 100
_LONGEST_H = 100.0
# The case depth is sought to this fraction of the one asked for; where no
# last boost meets it (the case jumps across it), boosts are told apart to
# a second.
_CASE_TOLERANCE = 1e-3
_XTOL_H = 1.0 / 3600.0
# What the finished cycle must meet, when simulated on its own.
_CASE_ACCURACY = 5e-3
_SURFACE_ACCURACY_WT = 0.01


def design_vacuum_cycle(*, case_depth_mm: float, temperature_c: float, carbon_flux_g_m2_h: float,
                        surface_carbon_wt: float, core_carbon_wt: float | None = None, steel: Steel | str | None = None,
                        threshold_wt: float = CASE_DEPTH_THRESHOLD_WT, carbon_limit_wt: float | None = None,
                        diffuse_floor_wt: float | None = None, min_pulse_min: float = 1.0, geometry: str = "plate",
                        depth_mm: float | None = None, cells: int = 200,
                        carbide_tolerance_g_m2: float = CARBIDE_TOLERANCE_G_M2) -> list[Stage]:
    """The pulses of a low-pressure carburizing cycle that give a case depth.

    The cycle is the one vacuum furnaces run: boosts at the carbon flux of
    the atmosphere, each until the surface reaches the carbon limit and no
    longer, so that no carbide forms, and between them diffuse pulses
    without gas, each until the surface has fallen to ``diffuse_floor_wt``.
    After each boost the design asks whether a final diffuse, until the
    surface falls to ``surface_carbon_wt``, would give the case; the first
    time it would, that last boost is shortened (scipy's brentq on its
    length) so that the final diffuse gives ``case_depth_mm`` at
    ``threshold_wt`` within 0.5 % and the surface within 0.01 wt%.  Every
    pulse lasts at least ``min_pulse_min`` minutes, as furnaces cannot switch
    the gas faster: a diffuse after which the next boost would reach the
    limit sooner is lengthened until that boost lasts as long.  Where even a
    last boost of ``min_pulse_min`` would give too deep a case, the design
    shortens the boost before it instead (and, where that is not enough,
    the one before that), the boosts after it lasting ``min_pulse_min``; or
    else it makes do with one pulse fewer and lengthens the diffuse before
    the last boost, which then runs to the limit: so the case and the
    surface are met all the same.  Where no pulses of at least
    ``min_pulse_min`` give them (a single shortest boost already gives too
    deep a case), it refuses, saying so.

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
        Carbon content of the steel in wt%; or give ``steel``.  Given with
        ``steel``, it replaces the steel's own, as for a heat's analysis.
    steel : Steel, optional
        The steel, whose carbon is the core and whose ``carbide_limit_factor``
        scales the carbon solubility.
    threshold_wt : float
        Carbon content that bounds the case, between the core and
        ``surface_carbon_wt``.
    carbon_limit_wt : float, optional
        Carbon content at which carbides form, in wt%; by default the
        solubility at ``temperature_c`` (:func:`carbon_solubility_wt`) times
        the steel's ``carbide_limit_factor``.
    diffuse_floor_wt : float, optional
        Carbon content of the surface at which an intermediate diffuse ends,
        at most ``surface_carbon_wt`` (the default, which gives the fewest
        pulses).
    min_pulse_min : float
        Shortest boost or diffuse in minutes.
    geometry, depth_mm, cells : optional
        The part, as for :func:`simulate`; by default a plate four times as
        deep as the case.
    carbide_tolerance_g_m2 : float
        The carbide, in g of carbon per m², at and below which the surface
        counts as free of it, at any time of the cycle (default 0.05 g/m², a
        film of cementite 0.1 µm thick: see :mod:`talvenor.process.standards`).

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
        case, or no boosts of at least ``min_pulse_min`` give it; and where
        the finished cycle, simulated on its own, misses the case, the
        surface or leaves carbide.

    Examples
    --------
    >>> stages = design_vacuum_cycle(case_depth_mm=0.8, temperature_c=960.0, carbon_flux_g_m2_h=80.0,
    ...                              surface_carbon_wt=0.7, core_carbon_wt=0.2)
    >>> len(stages), round(sum(stage.duration_h for stage in stages), 2)
    (8, 2.22)
    """
    steel = steel_of(steel, core_carbon_wt, caller="design_vacuum_cycle")
    case_depth_mm = _validate.real("case_depth_mm", case_depth_mm, "positive")
    temperature_c = solubility.austenite_temperature("temperature_c", temperature_c)
    given_limit_wt = _validate.optional("carbon_limit_wt", carbon_limit_wt, "positive")
    surface_carbon_wt = _validate.real("surface_carbon_wt", surface_carbon_wt, "positive")
    threshold_wt = _validate.real("threshold_wt", threshold_wt, "positive")
    pulses = _Pulses(
        steel, case_depth_mm, threshold_wt, surface_carbon_wt,
        surface_carbon_wt if diffuse_floor_wt is None else _validate.real("diffuse_floor_wt", diffuse_floor_wt,
                                                                          "positive"),
        given_limit_wt if given_limit_wt is not None else solubility.carbon_limit_wt(steel, temperature_c),
        _validate.real("min_pulse_min", min_pulse_min, "positive"),
        Stage(duration_h=_LONGEST_H, temperature_c=temperature_c,
              carbon_flux_g_m2_h=_validate.real("carbon_flux_g_m2_h", carbon_flux_g_m2_h, "positive"),
              carbon_limit_wt=given_limit_wt),
        Stage(duration_h=_LONGEST_H, temperature_c=temperature_c, carbon_limit_wt=given_limit_wt),
        design_part(case_depth_mm, depth_mm=depth_mm, geometry=geometry, cells=cells),
        _validate.real("carbide_tolerance_g_m2", carbide_tolerance_g_m2, "not negative"))
    pulses.check_targets()
    stages = pulses.design(Runner(steel, pulses.part))
    pulses.check(stages)
    return stages


class Unreached(ValueError):
    """No cycle of the pulses within the time or the pulses allowed gives
    the case; ``deepest`` is the cycle that comes nearest."""

    def __init__(self, message: str, deepest: list[Stage]) -> None:
        super().__init__(message)
        self.deepest = deepest


@dataclass
class _Mark:
    """The part before a boost of the pulses, the stages before it, how long
    that boost lasts until the surface reaches the limit, and the part
    before the diffuse that led to it (None for the first boost); and the
    case that boost to the limit and a final diffuse give."""

    runner: Runner
    stages: list[Stage]
    full_h: float
    before_pause: Runner | None
    reach_mm: float = math.nan


@dataclass(frozen=True, eq=False)
class _Pulses:
    """The pulses to design: what they must give, and on what.  ``boost``
    and ``diffuse`` are a boost and a diffuse of the longest cycle, which the
    pulses are cut short from.  ``case_depth_mm`` is what :meth:`finish`
    reads, the case at ``threshold_wt`` after the final diffuse; a design of
    a whole cycle reads another depth there."""

    steel: Steel
    case_depth_mm: float
    threshold_wt: float
    surface_carbon_wt: float
    floor_wt: float
    limit_wt: float
    min_pulse_min: float
    boost: Stage
    diffuse: Stage
    part: Part
    carbide_tolerance_g_m2: float
    longest_h: float = _LONGEST_H

    @property
    def min_pulse_h(self) -> float:
        return self.min_pulse_min / 60.0

    @property
    def tolerance_mm(self) -> float:
        """How near the case depth the search stops."""
        return _CASE_TOLERANCE * self.case_depth_mm

    def check_targets(self) -> None:
        """Refuse a surface, threshold or floor out of order with the core and the limit."""
        core_wt, surface_wt, threshold_wt = self.steel.carbon_wt, self.surface_carbon_wt, self.threshold_wt
        if not core_wt < surface_wt < self.limit_wt:
            raise ValueError(f"surface_carbon_wt {surface_wt!r} must lie between the core's {core_wt!r} wt% and "
                             f"the carbon limit {self.limit_wt:.4g} wt% at {self.boost.temperature_c:g} °C")
        if not core_wt < threshold_wt < surface_wt:
            raise ValueError(f"threshold_wt {threshold_wt!r} must lie between the core's {core_wt!r} wt% and "
                             f"surface_carbon_wt {surface_wt!r}")
        if not threshold_wt < self.floor_wt <= surface_wt:
            raise ValueError(f"diffuse_floor_wt {self.floor_wt!r} must lie above threshold_wt {threshold_wt!r} and "
                             f"at most at surface_carbon_wt {surface_wt!r}")

    def design(self, start: Runner) -> list[Stage]:
        """The pulses from the part as ``start`` is: boosts to the limit and
        diffuses to the floor until a last boost and the final diffuse give
        the case."""
        runner = start.copy()
        stages: list[Stage] = []
        marks: list[_Mark] = []
        before_pause = None
        for _ in range(_MOST_PULSES):
            full = self.boost_to_limit(runner)
            if full.duration_h < self.min_pulse_h and not stages:
                raise ValueError(f"carbon_flux_g_m2_h {self.boost.carbon_flux_g_m2_h!r} brings the surface to the "
                                 f"limit of {self.limit_wt:.4g} wt% in {60.0 * full.duration_h:.2g} min, less than "
                                 f"min_pulse_min {self.min_pulse_min!r}")
            marks.append(mark := _Mark(runner.copy(), list(stages), full.duration_h, before_pause))
            mark.reach_mm = self.finish(runner, stages, full.duration_h)[0]
            if mark.reach_mm >= self.case_depth_mm:
                return self.last_pulses(marks)
            runner.advance(full)
            before_pause = runner.copy()
            runner, pause = self.intermediate_diffuse(runner)
            stages += [full, pause]
            if runner.time_s - start.time_s > 3600.0 * self.longest_h:
                raise Unreached(f"no cycle of up to {self.longest_h:g} h gives the case depth of "
                                f"{self.case_depth_mm!r} mm", self.reached(marks))
        raise Unreached(f"no cycle of up to {_MOST_PULSES} pulses gives the case depth of {self.case_depth_mm!r} mm",
                        self.reached(marks))

    def reached(self, marks: list[_Mark]) -> list[Stage]:
        """The deepest cycle within the time: the last of ``marks`` whose
        boost to the limit and final diffuse end the cycle in time (else the
        first)."""
        for mark in reversed(marks[1:]):
            stages = mark.stages + self.finish(mark.runner, mark.stages, mark.full_h)[1]
            if sum(stage.duration_h for stage in stages) <= self.longest_h:
                return stages
        return marks[0].stages + self.finish(marks[0].runner, marks[0].stages, marks[0].full_h)[1]

    def boost_to_limit(self, start: Runner) -> Stage:
        """The boost from ``start`` until the surface reaches the limit."""
        return start.copy().advance(self.boost, to_limit=True)

    def finish(self, start: Runner, before: list[Stage], boost_h: float) -> tuple[float, list[Stage]]:
        """The case after a boost of ``boost_h`` from ``start`` (which the
        stages ``before`` have led to) and a final diffuse, and those two
        stages."""
        run = start.copy()
        last = run.advance(self.boost.cut_short(boost_h))
        final = run.advance(self.diffuse, falls_to_wt=self.surface_carbon_wt)
        return run.profile().case_depth_mm(self.threshold_wt, beyond_part="inf"), [last, final]

    def last_pulses(self, marks: list[_Mark]) -> list[Stage]:
        """The pulses that end the cycle, given the marks before each boost
        so far: the last boost between the shortest pulse and the boost to
        the limit, whose final diffuse gives the case.  Where even the
        shortest gives too deep a case: an earlier boost shortened (the
        latest that can be) with the boosts after it the shortest pulse; or
        else one pulse fewer, the diffuse before the last of them lengthened
        until its boost to the limit gives the case."""
        mark = marks[-1]
        case_mm, stages = self.finish(mark.runner, mark.stages, self.min_pulse_h)
        f_high = case_mm - self.case_depth_mm
        if f_high < -self.tolerance_mm:
            return mark.stages + _last_pulse(self, mark, f_high)
        if f_high <= self.tolerance_mm:
            return mark.stages + stages
        for back, earlier in enumerate(reversed(marks[:-1]), 1):
            case_mm, stages = self.rearranged(earlier, self.min_pulse_h, back)
            f_low = case_mm - self.case_depth_mm
            if f_low <= self.tolerance_mm:
                return earlier.stages + (stages if f_low >= -self.tolerance_mm
                                         else _shortened(self, earlier, back, f_low, f_high))
            f_high = f_low
        if len(marks) > 2:
            return _prolonged(self, marks[-2])
        raise ValueError(f"no boosts of at least min_pulse_min {self.min_pulse_min!r} give the case depth of "
                         f"{self.case_depth_mm!r} mm: {len(marks)} pulses give at least {case_mm:.4g} mm, and "
                         f"{len(marks) - 1} at most {marks[0].reach_mm:.4g} mm; a lower carbon flux or a "
                         f"shorter min_pulse_min would give it" if len(marks) > 1 else
                         f"even a single boost of min_pulse_min {self.min_pulse_min!r} gives a case of "
                         f"{case_mm:.4g} mm, deeper than case_depth_mm {self.case_depth_mm!r}; a lower carbon flux "
                         "or a shorter min_pulse_min would give it")

    def prolonged(self, mark: _Mark, pause_h: float) -> tuple[float, list[Stage]]:
        """The case, and the stages from the diffuse before ``mark`` on, of
        that diffuse lasting ``pause_h``, the boost after it to the limit
        and the final diffuse."""
        assert mark.before_pause is not None
        run = mark.before_pause.copy()
        pause = run.advance(self.diffuse.cut_short(pause_h))
        before = mark.stages[:-1] + [pause]
        case_mm, last = self.finish(run, before, self.boost_to_limit(run).duration_h)
        return case_mm, [pause, *last]

    def rearranged(self, mark: _Mark, boost_h: float, later: int) -> tuple[float, list[Stage]]:
        """The case, and the stages from ``mark`` on, of a boost of
        ``boost_h`` there followed by ``later`` boosts of the shortest pulse,
        each after an intermediate diffuse, and the final diffuse."""
        run = mark.runner.copy()
        stages = [run.advance(self.boost.cut_short(boost_h))]
        for number in range(later):
            run, pause = self.intermediate_diffuse(run)
            stages.append(pause)
            if number < later - 1:
                stages.append(run.advance(self.boost.cut_short(self.min_pulse_h)))
        case_mm, last = self.finish(run, mark.stages + stages, self.min_pulse_h)
        return case_mm, stages + last

    def intermediate_diffuse(self, runner: Runner) -> tuple[Runner, Stage]:
        """A diffuse from ``runner`` until the surface falls to the floor, at
        least the shortest pulse, and long enough that the next boost lasts
        that long too: the part after it, and the diffuse."""
        run = runner.copy()
        stage = run.advance(self.diffuse, falls_to_wt=self.floor_wt)
        if stage.duration_h < self.min_pulse_h:
            run, stage = self.diffused(runner, self.min_pulse_h)
        if (short_h := self.boost_to_limit(run).duration_h - self.min_pulse_h) < 0.0:
            run, stage = self.diffused(runner, _lengthened(self, runner, stage.duration_h, short_h))
        return run, stage

    def diffused(self, runner: Runner, duration_h: float) -> tuple[Runner, Stage]:
        """The part after a diffuse of ``duration_h`` from ``runner``, and that diffuse."""
        run = runner.copy()
        return run, run.advance(self.diffuse.cut_short(duration_h))

    def check(self, stages: list[Stage]) -> None:
        """Refuse a cycle that, simulated on its own, misses what it was
        designed for: the case depth, the surface, and no carbide."""
        if sum(stage.duration_h for stage in stages) > _LONGEST_H:
            raise ValueError(f"no cycle of up to {_LONGEST_H:g} h gives the case depth of {self.case_depth_mm!r} mm")
        result = simulate(stages, steel=self.steel, part=self.part)
        case_mm = result.case_depth_mm(self.threshold_wt, beyond_part="inf")
        failures = []
        if not abs(case_mm - self.case_depth_mm) <= _CASE_ACCURACY * self.case_depth_mm:
            failures.append(f"a case depth of {case_mm:.4g} mm")
        if abs(result.surface_carbon_wt - self.surface_carbon_wt) > _SURFACE_ACCURACY_WT:
            failures.append(f"a surface of {result.surface_carbon_wt:.4g} wt%")
        if result.peak_carbide_g_m2 > self.carbide_tolerance_g_m2:
            failures.append(f"{result.peak_carbide_g_m2:.3g} g/m² of carbide")
        if result.peak_surface_carbon_wt > self.limit_wt + _SURFACE_ACCURACY_WT:
            failures.append(f"a surface of {result.peak_surface_carbon_wt:.4g} wt% at the highest")
        if failures:
            raise ValueError(f"no sound cycle was found: the best try, of {len(stages)} pulses, gives "
                             + " and ".join(failures))


def _last_pulse(pulses: _Pulses, mark: _Mark, f_low: float) -> list[Stage]:
    """The last boost, from the shortest pulse (whose final diffuse gives
    ``f_low`` less than the case) to the boost to the limit, whose final
    diffuse gives the case; and that diffuse."""
    finished: dict[float, list[Stage]] = {}

    def shortfall(boost_h: float) -> float:
        case_mm, finished[boost_h] = pulses.finish(mark.runner, mark.stages, boost_h)
        return case_mm - pulses.case_depth_mm

    f_high = shortfall(mark.full_h)
    boost_h = _search.root(shortfall, pulses.min_pulse_h, f_low, mark.full_h, f_high, xtol=_XTOL_H,
                           done=lambda value: abs(value) <= pulses.tolerance_mm)
    return finished[boost_h] if boost_h in finished else pulses.finish(mark.runner, mark.stages, boost_h)[1]


def _shortened(pulses: _Pulses, mark: _Mark, later: int, f_low: float, f_high: float) -> list[Stage]:
    """The stages from ``mark`` on with its boost shortened, between the
    shortest pulse (which gives ``f_low`` less than the case) and the boost
    to the limit (``f_high`` more), so that with ``later`` boosts of the
    shortest pulse after it the cycle gives the case."""
    rearranged: dict[float, list[Stage]] = {}

    def shortfall(boost_h: float) -> float:
        case_mm, rearranged[boost_h] = pulses.rearranged(mark, boost_h, later)
        return case_mm - pulses.case_depth_mm

    boost_h = _search.root(shortfall, pulses.min_pulse_h, f_low, mark.full_h, f_high, xtol=_XTOL_H,
                           done=lambda value: abs(value) <= pulses.tolerance_mm)
    return rearranged[boost_h] if boost_h in rearranged else pulses.rearranged(mark, boost_h, later)[1]


def _prolonged(pulses: _Pulses, mark: _Mark) -> list[Stage]:
    """The stages from the diffuse before ``mark`` on, that diffuse
    lengthened until the boost to the limit after it and the final diffuse
    give the case (the boost before the diffuse then brings more carbon
    deeper): the last resort of :meth:`_Pulses.last_pulses`."""
    shortest_h = mark.stages[-1].duration_h
    prolonged: dict[float, list[Stage]] = {}

    def shortfall(pause_h: float) -> float:
        case_mm, prolonged[pause_h] = pulses.prolonged(mark, pause_h)
        return case_mm - pulses.case_depth_mm

    low, f_low, high, f_high = _search.bracket(
        shortfall, shortest_h, mark.reach_mm - pulses.case_depth_mm, 2.0 * shortest_h, _LONGEST_H,
        f"no diffuse before the last boost gives the case depth of {pulses.case_depth_mm!r} mm")
    pause_h = _search.root(shortfall, low, f_low, high, f_high, xtol=_XTOL_H,
                           done=lambda value: abs(value) <= pulses.tolerance_mm)
    return mark.stages[:-1] + (prolonged[pause_h] if pause_h in prolonged else pulses.prolonged(mark, pause_h)[1])


def _lengthened(pulses: _Pulses, runner: Runner, shortest_h: float, f_shortest: float) -> float:
    """The shortest diffuse from ``runner``, of at least ``shortest_h``, after
    which the next boost lasts the shortest pulse, to 0.1 % of that pulse:
    the next boost lengthens with the diffuse before it (``f_shortest`` is
    how much shorter than the pulse it is after ``shortest_h``)."""
    def shortfall(duration_h: float) -> float:
        return pulses.boost_to_limit(pulses.diffused(runner, duration_h)[0]).duration_h - pulses.min_pulse_h

    low, f_low, high, f_high = _search.bracket(shortfall, shortest_h, f_shortest, 2.0 * shortest_h, _LONGEST_H,
                                               "no diffuse lets the next boost last min_pulse_min")
    return _search.crossing(shortfall, low, f_low, high, f_high, xtol=1e-3 * pulses.min_pulse_h).high
