"""Recipe design for gas carburizing: the shortest boost/diffuse cycle for a case depth."""

from __future__ import annotations

import functools
from dataclasses import dataclass, field

from .. import _search, _validate
from ..model.solubility import austenite_temperature
from ..model.steel import Steel, steel_of
from ..schedule.part import Part
from ..schedule.stage import Stage
from ..simulation import Runner
from ..standards import CASE_DEPTH_THRESHOLD_WT
from ._part import design_part

__all__ = ["design_boost_diffuse"]

# The design is accurate to these fractions of the case depth and of hump_wt.
_CASE_TOLERANCE = 2e-3
_HUMP_TOLERANCE = 2e-3
# The shortest cycle is sought to this fraction of the longest boost.
_SEARCH_TOLERANCE = 5e-3
# No cycle is sought beyond this many hours of boost or of diffuse.
_LONGEST_H = 1000.0
# Where no time meets the tolerances above (the case jumps across the one
# asked for, as where the grid cannot follow it), times are told apart to
# this fraction of the search's range.
_XTOL = 1e-6


def design_boost_diffuse(core_carbon_wt: float | None = None, case_depth_mm: float | None = None, *,
                         steel: Steel | str | None = None, temperature_c: float, boost_potential_wt: float,
                         diffuse_potential_wt: float, transfer_m_s: float | None = None,
                         threshold_wt: float = CASE_DEPTH_THRESHOLD_WT, hump_wt: float = 0.05,
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
    core_carbon_wt : float, optional
        Carbon content of the steel in wt%; or give ``steel``.  Given with
        ``steel``, it replaces the steel's own, as for a heat's analysis.
    case_depth_mm : float
        Required case depth in mm: where the carbon content falls to
        ``threshold_wt`` at the end of the cycle.
    steel : Steel, optional
        The steel, whose carbon is the core and whose alloy factor scales
        the potentials, as in :func:`simulate`.
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
        The boost and the diffuse.  Simulated on the steel they
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
    (3.3, 0.4)
    """
    if case_depth_mm is None:
        raise TypeError("design_boost_diffuse() needs case_depth_mm")
    cycle = _Cycle.of(steel_of(steel, core_carbon_wt, caller="design_boost_diffuse"),
                      _validate.real("case_depth_mm", case_depth_mm, "positive"), temperature_c=temperature_c,
                      boost_wt=boost_potential_wt, diffuse_wt=diffuse_potential_wt, transfer_m_s=transfer_m_s,
                      threshold_wt=threshold_wt, hump_wt=hump_wt, depth_mm=depth_mm, geometry=geometry, cells=cells)
    return cycle.design()


@dataclass(frozen=True, eq=False)
class _Cycle:
    """A boost/diffuse cycle to design: what it must give, and on what."""

    steel: Steel
    case_depth_mm: float
    temperature_c: float
    boost_wt: float
    diffuse_wt: float
    transfer_m_s: float | None
    threshold_wt: float
    hump_wt: float
    part: Part
    # The deepest case of each total time tried, and its boost.
    _deepest: dict[float, tuple[float, float]] = field(default_factory=dict)

    @classmethod
    def of(cls, steel: Steel, case_depth_mm: float, *, temperature_c: float, boost_wt: float, diffuse_wt: float,
           transfer_m_s: float | None, threshold_wt: float, hump_wt: float, depth_mm: float | None, geometry: str,
           cells: int) -> _Cycle:
        """The cycle of the arguments of :func:`design_boost_diffuse`, checked."""
        cycle = cls(steel, case_depth_mm,
                    austenite_temperature("temperature_c", temperature_c,
                                          why="where the Slycke diffusivities of the design hold"),
                    _validate.real("boost_potential_wt", boost_wt, "not negative"),
                    _validate.real("diffuse_potential_wt", diffuse_wt, "not negative"),
                    _validate.optional("transfer_m_s", transfer_m_s, "positive"),
                    _validate.real("threshold_wt", threshold_wt, "not negative"),
                    _validate.real("hump_wt", hump_wt, "positive"),
                    design_part(case_depth_mm, depth_mm=depth_mm, geometry=geometry, cells=cells))
        cycle._check_potentials()
        cycle._check_grid()
        return cycle

    def _check_potentials(self) -> None:
        core_wt, threshold_wt = self.steel.carbon_wt, self.threshold_wt
        if self.boost_wt <= self.diffuse_wt:
            raise ValueError(f"boost_potential_wt {self.boost_wt!r} must be above diffuse_potential_wt "
                             f"{self.diffuse_wt!r}")
        if core_wt >= threshold_wt:
            raise ValueError(f"the core carbon {core_wt!r} wt% is at or above threshold_wt {threshold_wt!r}: the "
                             "whole part is, so it has no case depth")
        if not core_wt < threshold_wt < self.diffuse_wt:
            raise ValueError(f"threshold_wt {threshold_wt!r} must lie between core_carbon_wt {core_wt!r} and "
                             f"diffuse_potential_wt {self.diffuse_wt!r}, or the cycle has no case to speak of")

    def _check_grid(self) -> None:
        """Refuse a grid that does not resolve the case over a few cells, or
        the hump above the error of the profile, about (spacing / case
        depth)² of its range at second order: the search follows both."""
        part, case_mm = self.part, self.case_depth_mm
        spacing_mm = part.spacing_mm
        if case_mm < 2.0 * spacing_mm:
            raise ValueError(f"case_depth_mm {case_mm!r} is thinner than two cells of the grid, of "
                             f"{spacing_mm:.4g} mm each (depth_mm {part.depth_mm!r} on {part.cells} cells): more "
                             "cells are needed")
        resolved_wt = (spacing_mm / case_mm) ** 2 * (self.boost_wt - self.steel.carbon_wt)
        if self.hump_wt < resolved_wt:
            raise ValueError(f"hump_wt {self.hump_wt!r} is below what the grid resolves: on {part.cells} cells of "
                             f"{spacing_mm:.4g} mm the profile of this case is accurate to about {resolved_wt:.2g} "
                             "wt%; more cells or a larger hump_wt are needed")

    @functools.cached_property
    def untreated(self) -> Runner:
        """The part before treatment, from which every trial runs a copy."""
        return Runner(self.steel, self.part)

    def stage(self, duration_h: float, potential_wt: float) -> Stage:
        return Stage(duration_h=duration_h, temperature_c=self.temperature_c, carbon_potential_wt=potential_wt,
                     carbon_transfer_m_s=self.transfer_m_s)

    def outcome(self, boost_h: float, diffuse_h: float) -> tuple[float, float]:
        """The case depth (inf when deeper than the part) and the highest
        carbon content of the final profile of a boost and a diffuse, as
        :func:`simulate` gives them (the potentials as the steel reaches them)."""
        runner = self.untreated.copy()
        for duration_h, potential_wt in ((boost_h, self.boost_wt), (diffuse_h, self.diffuse_wt)):
            if duration_h > 0.0:
                runner.advance(self.stage(duration_h, potential_wt))
        profile = runner.profile()
        return profile.case_depth_mm(self.threshold_wt, beyond_part="inf"), float(profile.carbon_wt.max())

    def design(self) -> tuple[Stage, Stage]:
        """The shortest cycle whose deepest case is the one asked for, the
        total time sought through its square root, against which the case
        depth grows about evenly."""
        # No cycle of a total time gives a deeper case than the boost alone does.
        reach_mm = self.outcome(_LONGEST_H, 0.0)[0]
        if reach_mm < self.case_depth_mm:
            raise ValueError(f"no cycle of up to {_LONGEST_H:g} h gives the case depth: a boost alone of "
                             f"{_LONGEST_H:g} h reaches {reach_mm:.4g} mm")

        def shortfall(root_h: float) -> float:
            return self._within_part(self.deepest(root_h * root_h)[0]) - self.case_depth_mm

        low, f_low, high, f_high = _search.bracket(shortfall, 0.0, -self.case_depth_mm, 1.0, _LONGEST_H ** 0.5,
                                                   f"no cycle of up to {_LONGEST_H:g} h gives the case depth")
        root_h = _search.root(shortfall, low, f_low, high, f_high, xtol=_XTOL * high,
                              done=lambda value: abs(value) <= _CASE_TOLERANCE * self.case_depth_mm)
        return self._checked(root_h * root_h)

    def _within_part(self, case_mm: float) -> float:
        """``case_mm``, a case deeper than the part (inf) as deep as the part:
        the searches take finite values."""
        return min(case_mm, self.part.deepest_mm)

    def deepest(self, total_h: float) -> tuple[float, float]:
        """The deepest case that a cycle of ``total_h`` gives within the
        ceiling, and the boost that gives it."""
        if total_h not in self._deepest:
            self._deepest[total_h] = self._deepest_of(total_h)
        return self._deepest[total_h]

    def _deepest_of(self, total_h: float) -> tuple[float, float]:
        ceiling = self.diffuse_wt + self.hump_wt

        def overshoot(boost_h: float) -> float:
            return self.outcome(boost_h, total_h - boost_h)[1] - ceiling
        # The longer the boost, the shorter the diffuse after it, and the less
        # time that has to bring the carbon below the surface down.
        longest = total_h
        if (f_longest := overshoot(longest)) > 0.0:
            longest = _search.root(overshoot, 0.0, overshoot(0.0), longest, f_longest, xtol=_XTOL * longest,
                                   done=lambda value: -_HUMP_TOLERANCE * self.hump_wt <= value <= 0.0)
        # A longer boost mostly deepens the case, but near that limit it can
        # put in carbon that the diffuse only gives back to the atmosphere.
        boost_h, case_mm = _search.maximum(
            lambda boost_h: self._within_part(self.outcome(boost_h, total_h - boost_h)[0]), longest,
            xtol=_SEARCH_TOLERANCE * longest)
        return case_mm, boost_h

    def _checked(self, total_h: float) -> tuple[Stage, Stage]:
        """The best split of ``total_h``; refused where it needs no diffuse,
        or misses the case or the hump (the search takes them to move
        steadily with the durations: a recipe where they do not is refused,
        not misdesigned)."""
        boost_h = self.deepest(total_h)[1]
        diffuse_h = total_h - boost_h
        if diffuse_h <= _SEARCH_TOLERANCE * total_h:
            raise ValueError(f"a boost alone of {boost_h:.3g} h gives the case depth with a profile within hump_wt "
                             f"{self.hump_wt!r} of the diffuse potential: no diffuse stage is needed")
        case_mm, peak_wt = self.outcome(boost_h, diffuse_h)
        if abs(case_mm - self.case_depth_mm) > 0.01 * self.case_depth_mm or peak_wt > self.diffuse_wt + self.hump_wt:
            raise ValueError(f"no boost/diffuse cycle was found: the best try, a boost of {boost_h:.3g} h and a "
                             f"diffuse of {diffuse_h:.3g} h, gives a case depth of {case_mm:.4g} mm and "
                             f"{peak_wt:.4g} wt% C at the highest")
        return self.stage(boost_h, self.boost_wt), self.stage(diffuse_h, self.diffuse_wt)
