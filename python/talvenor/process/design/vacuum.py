"""Recipe design for low-pressure carburizing: the pulses of boost and diffuse."""

from __future__ import annotations

import warnings
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
        case; and where the finished cycle, simulated on its own, misses
        the case, the surface or leaves carbide.

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
    stages, exact = pulses.design()
    pulses.check(stages, exact)
    return stages


@dataclass(frozen=True, eq=False)
class _Pulses:
    """The pulses to design: what they must give, and on what.  ``boost``
    and ``diffuse`` are a boost and a diffuse of the longest cycle, which the
    pulses are cut short from."""

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

    @property
    def min_pulse_h(self) -> float:
        return self.min_pulse_min / 60.0

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

    def design(self) -> tuple[list[Stage], bool]:
        """The pulses, and whether they give the case as asked (not deeper,
        for a last boost as short as it can be)."""
        runner = Runner(self.steel, self.part)
        stages: list[Stage] = []
        for _ in range(_MOST_PULSES):
            full = self.boost_to_limit(runner)
            if full.duration_h < self.min_pulse_h and not stages:
                raise ValueError(f"carbon_flux_g_m2_h {self.boost.carbon_flux_g_m2_h!r} brings the surface to the "
                                 f"limit of {self.limit_wt:.4g} wt% in {60.0 * full.duration_h:.2g} min, less than "
                                 f"min_pulse_min {self.min_pulse_min!r}")
            if self.finish(runner, full.duration_h)[0] >= self.case_depth_mm:
                last, exact = self.last_pulse(runner, full.duration_h)
                return stages + last, exact
            runner.advance(full)
            runner, pause = self.intermediate_diffuse(runner)
            stages += [full, pause]
            if runner.time_s > 3600.0 * _LONGEST_H:
                raise ValueError(f"no cycle of up to {_LONGEST_H:g} h gives the case depth of "
                                 f"{self.case_depth_mm!r} mm")
        raise ValueError(f"no cycle of up to {_MOST_PULSES} pulses gives the case depth of {self.case_depth_mm!r} mm")

    def boost_to_limit(self, start: Runner) -> Stage:
        """The boost from ``start`` until the surface reaches the limit."""
        return start.copy().advance(self.boost, to_limit=True)

    def finish(self, start: Runner, boost_h: float) -> tuple[float, list[Stage]]:
        """The case after a boost of ``boost_h`` from ``start`` and a final
        diffuse, and those two stages."""
        run = start.copy()
        last = run.advance(self.boost.cut_short(boost_h))
        final = run.advance(self.diffuse, falls_to_wt=self.surface_carbon_wt)
        return run.profile().case_depth_mm(self.threshold_wt, beyond_part="inf"), [last, final]

    def last_pulse(self, runner: Runner, longest_h: float) -> tuple[list[Stage], bool]:
        """The last boost, at least the shortest pulse and at most ``longest_h``,
        whose final diffuse gives the case, and that diffuse; and whether
        they give it as asked (not deeper, for a boost as short as it can be)."""
        case_mm, shortest = self.finish(runner, self.min_pulse_h)
        if case_mm >= self.case_depth_mm:
            warnings.warn(f"the last boost lasts the shortest pulse, {60.0 * self.min_pulse_h:g} min, which gives a "
                          f"case of {case_mm:.3f} mm instead of {self.case_depth_mm:g} mm", stacklevel=4)
            return shortest, False
        return _last_pulse(self, runner, case_mm - self.case_depth_mm, longest_h), True

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

    def check(self, stages: list[Stage], exact: bool) -> None:
        """Refuse a cycle that, simulated on its own, misses what it was
        designed for: the case depth, where it is to be met (else it may be
        deeper), the surface, and no carbide."""
        if sum(stage.duration_h for stage in stages) > _LONGEST_H:
            raise ValueError(f"no cycle of up to {_LONGEST_H:g} h gives the case depth of {self.case_depth_mm!r} mm")
        result = simulate(stages, steel=self.steel, part=self.part)
        case_mm = result.case_depth_mm(self.threshold_wt, beyond_part="inf")
        failures = []
        if exact and not abs(case_mm - self.case_depth_mm) <= _CASE_ACCURACY * self.case_depth_mm:
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


def _last_pulse(pulses: _Pulses, runner: Runner, f_low: float, longest_h: float) -> list[Stage]:
    """The last boost, from the shortest pulse (whose final diffuse gives
    ``f_low`` less than the case) to ``longest_h``, whose final diffuse gives
    the case; and that diffuse."""
    finished: dict[float, list[Stage]] = {}

    def shortfall(boost_h: float) -> float:
        case_mm, finished[boost_h] = pulses.finish(runner, boost_h)
        return case_mm - pulses.case_depth_mm

    f_high = shortfall(longest_h)
    boost_h = _search.root(shortfall, pulses.min_pulse_h, f_low, longest_h, f_high, xtol=_XTOL_H,
                           done=lambda value: abs(value) <= _CASE_TOLERANCE * pulses.case_depth_mm)
    return finished[boost_h] if boost_h in finished else pulses.finish(runner, boost_h)[1]


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
