"""The front end of the solver: a recipe applied to a steel part, all at once
(:func:`simulate`) or a stage at a time (:class:`Runner`)."""

from __future__ import annotations

import copy
import dataclasses
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from . import _validate
from .model.diffusivity import Diffusivities, Diffusivity, Domain
from .model.solubility import AUSTENITE_RANGE_C, carbon_limit_wt, carbon_limits_wt
from .model.steel import Steel, steel_of
from .results import Profile, Result, SurfaceHistory
from .schedule.furnace_log import FurnaceLog, LogSegment, span_name
from .schedule.part import Part
from .schedule.stage import Stage
from .solvers import ELEMENTS, Failure, Grid, Run, Trajectory, integrate
from .standards import CARBIDE_TOLERANCE_G_M2
from .units import grams_per_site_fraction_m, site_fractions, weight_percent

__all__ = ["simulate", "Runner", "TOLERANCE_WT"]

#: The tolerance of the time steps, in wt%, unless asked otherwise.
TOLERANCE_WT = 1e-2

if TYPE_CHECKING:
    _Array = NDArray[np.float64]
    _Span = Stage | LogSegment


def simulate(stages: Iterable[Stage] | FurnaceLog, *, core_carbon_wt: float | None = None,
             core_nitrogen_wt: float | None = None, steel: Steel | str | None = None, part: Part | None = None,
             depth_mm: float | None = None, geometry: str | None = None, cells: int | None = None,
             carbon_diffusivity: Diffusivity | float | None = None,
             nitrogen_diffusivity: Diffusivity | float | None = None,
             density_kg_m3: float | None = None, record_times_h: Sequence[float] = (),
             tolerance_wt: float = TOLERANCE_WT, steps_per_stage: int | None = None,
             progress: Callable[[float], None] | None = None) -> Result:
    """Carbon and nitrogen profiles that a recipe leaves in a steel part.

    Carbon and nitrogen diffuse in austenite by Fick's second law in their
    site fractions, each with a diffusivity that depends on both and on the
    temperature, from the core composition everywhere at the start.

    Parameters
    ----------
    stages : iterable of Stage, or FurnaceLog
        The recipe, in order; or the cycle as a furnace recorded it.  A log's
        temperature and potentials are interpolated within each time step,
        and the integrator restarts only where a surface condition changes
        kind (the ammonia switched on, say), not at every sample.
    core_carbon_wt, core_nitrogen_wt : float
        Composition of the steel before treatment, in wt% (nitrogen 0.0
        unless given); or give ``steel`` instead.  Given with ``steel``,
        they replace its own, as for a heat's analysis.
    steel : Steel or str, optional
        The steel (or the name of one of the grades of :meth:`Steel.grade`),
        whose carbon and nitrogen are the core composition and whose
        ``alloy_factor`` multiplies every carbon potential of the recipe
        (nitrogen potentials are not scaled).
    part : Part, optional
        The part (by default ``Part()``, a plate of 3 mm on 200 cells);
        ``geometry``, ``depth_mm``, ``cells`` and ``density_kg_m3`` given
        as well replace its own.
    depth_mm : float, optional
        Thickness of a plate treated on one face with no flux through the
        other (or half the thickness of a plate treated on both faces), or
        the radius of a cylinder or a sphere treated all round; from 0.01 to
        10,000 mm (default 3).
    geometry : {"plate", "cylinder", "sphere"}, optional
        Shape of the part (default ``"plate"``).
    cells : int, optional
        Number of equal cells over ``depth_mm``, from 3 to 100,000 (default 200).
    carbon_diffusivity, nitrogen_diffusivity : callable or float, optional
        ``f(composition, temperature_kelvin) -> float`` in m²/s, where
        ``composition`` is the list ``[y_C, y_N]`` of site fractions, called
        for every face of the grid; or a constant D in m²/s, which the run
        evaluates natively, as it does the Slycke diffusivities of
        :mod:`talvenor.slycke`, the default.
    density_kg_m3 : float, optional
        Density of the steel, for the uptake (default 7870).
    record_times_h : sequence of float
        Times since the start of the recipe, in hours, at which to keep the
        profile as well (see ``Result.profiles``).
    tolerance_wt : float
        Accuracy of the time integration, in wt%: the time steps are chosen
        so that the error they make in the profiles of each stage stays
        within about this much (default 0.01).
    steps_per_stage : int, optional
        A fixed number of time steps per stage instead, equal in the square
        root of the time since the start of the stage; the results converge
        as it grows.
    progress : callable, optional
        Called after every time step with the fraction of the recipe's time
        done, from 0 to 1.

    Returns
    -------
    Result
        The profiles at the end, the uptake, the surface over time, the
        profiles at ``record_times_h``, the steel (built from the core
        contents where no ``steel`` was given) and the warnings: with the
        default diffusivities a stage outside 727–1148 °C, where they do not
        hold, and for any a carbon potential above the carbon limit of its
        stage (see :func:`carbon_solubility_wt`) and carbide left at the end
        (more than ``standards.CARBIDE_TOLERANCE_G_M2``, 0.05 g/m²).

    Raises
    ------
    ValueError
        For an argument out of range, or when a stage drives the composition
        to where the default diffusivities are singular (about 4 wt% carbon
        and nitrogen together) or a diffusivity returns a negative or
        non-finite value or no time step meets ``tolerance_wt`` (one below
        what the arithmetic resolves), the message naming the stage; and
        when a number of the result overflows to one that is not finite.

    Examples
    --------
    >>> from talvenor import process
    >>> result = process.simulate(
    ...     [process.Stage(duration_h=4.0, temperature_c=930.0, carbon_potential_wt=0.8)],
    ...     core_carbon_wt=0.2, depth_mm=3.0)
    >>> round(result.case_depth_mm(threshold_wt=0.4), 2)
    0.7
    """
    log = stages if isinstance(stages, FurnaceLog) else None
    spans = _stages(stages)
    steel = steel_of(steel, core_carbon_wt, core_nitrogen_wt, caller="simulate")
    part = _part(part, geometry=geometry, depth_mm=depth_mm, cells=cells, density_kg_m3=density_kg_m3)
    tolerance_wt = _validate.real("tolerance_wt", tolerance_wt, "positive")
    if steps_per_stage is not None:
        steps_per_stage = _validate.integer("steps_per_stage", steps_per_stage, minimum=1)
    stage_end_h = np.cumsum([stage.duration_h for stage in spans])
    record_times_h = _record_times(record_times_h, float(stage_end_h[-1]))
    diffusivities = Diffusivities.of(carbon_diffusivity, nitrogen_diffusivity)
    core = _core(steel)
    # What acts on the surface: the carbon potentials as the steel reaches them.
    acting = tuple(_alloyed(stage, steel.alloy_factor, span_name(stage, number, len(spans)))
                   for number, stage in enumerate(spans, 1))
    if diffusivities.domain is not None:
        _refuse_singular(acting, core, diffusivities.domain)
    _refuse_limits_below_core(spans, steel)
    grid, grams = Grid.of(part), grams_per_site_fraction_m(part.density_kg_m3)
    total_s = float(stage_end_h[-1]) * 3600.0
    trajectory = integrate(grid, acting, core, diffusivities, grams=(float(grams[0]), float(grams[1])), steel=steel,
                           tolerance_wt=tolerance_wt, steps_per_stage=steps_per_stage,
                           record_times_s=[t * 3600.0 for t in record_times_h],
                           progress=None if progress is None else lambda t: progress(t / total_s))
    with np.errstate(all="ignore"):  # a number that overflows is refused below, without numpy's warnings
        result = _result(trajectory, grid, core, grams, spans, stage_end_h, part.geometry, steel)
    _refuse_non_finite((result, *result.profiles, result.history))
    return dataclasses.replace(result, warnings=_warnings(acting, steel, diffusivities.domain, result.carbide_g_m2),
                               log=log)


class Runner:
    """A part of ``steel`` treated one stage at a time, as a design builds its
    recipe: each stage starts from the state the ones before left, and runs
    for its duration or until the surface gets where it is to end.  The
    diffusivities are the Slycke ones, and the steel's ``alloy_factor``
    scales the carbon potentials as :func:`simulate` scales them.
    """

    def __init__(self, steel: Steel, part: Part) -> None:
        self.steel, self.part = steel, part
        self.grid = Grid.of(part)
        self.grams = grams_per_site_fraction_m(part.density_kg_m3)
        self._run = Run(self.grid, _core(steel), Diffusivities.of(), (float(self.grams[0]), float(self.grams[1])),
                        steel, TOLERANCE_WT, None, None)
        self.time_s = 0.0

    def copy(self) -> Runner:
        """The part as it is now, to be treated on its own from here."""
        twin = copy.copy(self)
        twin._run = self._run.copy()
        return twin

    def advance(self, stage: Stage, *, to_limit: bool = False, falls_to_wt: float | None = None) -> Stage:
        """Apply ``stage``, to its end or, where that comes first, until a
        boost's surface reaches the carbon limit (``to_limit``) or the carbon
        at the surface falls to ``falls_to_wt``; return the stage as far as
        it ran.

        Raises
        ------
        ValueError
            Where the run cannot go on, saying why and how far into the
            treatment.
        """
        acting = _alloyed(stage, self.steel.alloy_factor, f"{self.time_s / 3600.0:.4g} h into the treatment")
        try:
            self._run.stage(acting, self.time_s, to_limit=to_limit, falls_to_wt=falls_to_wt)
        except Failure as failure:
            raise ValueError(f"{self.time_s / 3600.0:.4g} h into the treatment: {failure}") from None
        elapsed = float(self._run.history()[0][-1]) - self.time_s
        self.time_s += elapsed
        return stage if elapsed == stage.duration_s else stage.cut_short(elapsed / 3600.0)

    @property
    def surface_carbon_wt(self) -> float:
        return float(weight_percent(*self._run.surface)[0])

    @property
    def carbide_g_m2(self) -> float:
        return float(self.grams[0] * self._run.carbide)

    def profile(self) -> Profile:
        """The present profile (without the uptake)."""
        carbon_wt, nitrogen_wt = weight_percent(*self._run.profile())
        return Profile(self.time_s / 3600.0, self.grid.depths_mm(), carbon_wt, nitrogen_wt, 0.0, 0.0)


def _stages(stages: Iterable[Stage] | FurnaceLog) -> tuple[_Span, ...]:
    if isinstance(stages, FurnaceLog):
        return stages.segments()
    stages = tuple(stages)
    if not stages:
        raise ValueError("stages must hold at least one Stage")
    for i, stage in enumerate(stages):
        if not isinstance(stage, Stage):
            raise TypeError(f"stages[{i}] must be a Stage, got {stage!r}")
    return stages


def _part(part: Part | None, **given: Any) -> Part:
    """``part`` (by default ``Part()``) with the values ``given`` (not None) in place of its own."""
    if part is not None and not isinstance(part, Part):
        raise TypeError(f"part must be a Part, got {part!r}")
    replaced = {name: value for name, value in given.items() if value is not None}
    return Part(**replaced) if part is None else dataclasses.replace(part, **replaced)


def _record_times(record_times_h: Sequence[float], total_h: float) -> list[float]:
    times = [_validate.real("record_times_h", t, "not negative") for t in record_times_h]
    for t in times:
        if t > total_h:
            raise ValueError(f"record_times_h must lie within the recipe's {total_h!r} h, got {t!r}")
    return times


def _core(steel: Steel) -> _Array:
    """The core composition of ``steel`` in site fractions (2,)."""
    return np.array([float(y) for y in site_fractions(steel.carbon_wt, steel.nitrogen_wt)])


def _alloyed(stage: _Span, alloy_factor: float, where: str) -> _Span:
    """``stage`` with its carbon potential multiplied by ``alloy_factor``."""
    try:
        return stage.alloyed(alloy_factor)
    except ValueError as error:
        raise ValueError(f"{where}: with the steel's alloy_factor {alloy_factor!r}, {error}") from None


def _result(trajectory: Trajectory, grid: Grid, core: _Array, grams: _Array, stages: tuple[_Span, ...],
            stage_end_h: _Array, geometry: str, steel: Steel) -> Result:
    depth_mm = grid.depths_mm()

    def profile(time_s: float, y: _Array) -> Profile:
        carbon_wt, nitrogen_wt = weight_percent(y[0], y[1])
        uptake = grams * ((y[:, 1:] - core[:, None]) @ grid.volumes)
        return Profile(time_s / 3600.0, depth_mm, carbon_wt, nitrogen_wt, float(uptake[0]), float(uptake[1]))

    surface = np.array(trajectory.surfaces).T
    surface_carbon_wt, surface_nitrogen_wt = weight_percent(surface[0], surface[1])
    uptake = grams[:, None] * np.array(trajectory.uptakes).T
    history = SurfaceHistory(np.array(trajectory.times_s) / 3600.0, surface_carbon_wt, surface_nitrogen_wt,
                             uptake[0], uptake[1], grams[0] * np.array(trajectory.carbides))
    final = profile(float(stage_end_h[-1]) * 3600.0, trajectory.final)
    return Result(final.time_h, final.depth_mm, final.carbon_wt, final.nitrogen_wt, final.carbon_uptake_g_m2,
                  final.nitrogen_uptake_g_m2, stages=stages, stage_end_h=stage_end_h, history=history,
                  profiles=tuple(profile(t, y) for t, y in trajectory.records), geometry=geometry, steel=steel)


def _refuse_non_finite(records: Iterable[Profile | SurfaceHistory]) -> None:
    """Refuse a result that holds a number that is not finite, where the
    arithmetic has overflowed (a diffusivity or a density far out of scale)."""
    for record in records:
        for name in ("carbon_wt", "nitrogen_wt", "carbon_uptake_g_m2", "nitrogen_uptake_g_m2"):
            values = np.asarray(getattr(record, name))
            if not np.isfinite(values).all():
                where = ("the surface history" if isinstance(record, SurfaceHistory)
                         else f"the profile at {record.time_h:g} h")
                raise ValueError(f"the run gives {name} = {float(values[~np.isfinite(values)][0])!r} in {where}, "
                                 "not a finite number: the arithmetic overflows with these diffusivities, "
                                 "density or part")


def _warnings(stages: tuple[_Span, ...], steel: Steel, domain: Domain | None, carbide_g_m2: float) -> tuple[str, ...]:
    """What makes the run of ``stages`` (their carbon potentials as ``steel``
    reaches them) doubtful: a temperature outside the ``domain`` of the
    diffusivities, a carbon potential above the carbon limit of its stage,
    beyond which the austenite forms carbides, and carbide left at the end."""
    warnings = []
    for number, stage in enumerate(stages, 1):
        where = span_name(stage, number, len(stages))
        if domain is not None:
            warnings += [f"{where}: {warning}" for warning in _outside(stage, domain)]
        above = (_log_above_solubility(stage, steel) if isinstance(stage, LogSegment)
                 else _above_solubility(stage, steel))
        doubts = (*above, *_limit_above(stage, steel))
        warnings += [f"{where}: {warning}" for warning in doubts]
    if carbide_g_m2 > CARBIDE_TOLERANCE_G_M2:
        warnings.append(f"{carbide_g_m2:.3g} g/m² of carbide is left at the surface at the end of the recipe")
    return tuple(warnings)


def _outside(stage: _Span, domain: Domain) -> list[str]:
    """The temperature of ``stage`` outside the range of ``domain``, the
    coldest first, if any."""
    low_c, high_c = domain.temperature_range_c
    outside = [t for t in stage.temperature_range_c if not low_c <= t <= high_c]
    return [f"{outside[0]:g} °C is outside {low_c:g}–{high_c:g} °C, {domain.range_name} where the {domain.name} "
            "diffusivities hold; the profiles there are extrapolated"] if outside else []


def _above_solubility(stage: Stage, steel: Steel) -> list[str]:
    """The carbon potential of ``stage`` where it lies above the carbon limit
    at the coldest point of the stage, where the austenite dissolves the least."""
    low_c, high_c = AUSTENITE_RANGE_C
    coldest, hottest = sorted(stage.temperatures_c)
    potential_wt = stage.carbon_potential_wt
    if potential_wt is None or (stage.carbon_limit_wt is None and not (coldest <= high_c and hottest >= low_c)):
        return []
    at_c = max(coldest, low_c)
    start_c, end_c = stage.temperatures_c
    fraction = 0.0 if not stage.ramped else (at_c - start_c) / (end_c - start_c)
    solubility_wt = stage.carbon_limit_at(steel, min(max(fraction, 0.0), 1.0))
    return [f"the carbon potential {potential_wt:g} wt% is above the carbon solubility {solubility_wt:.3g} wt% at "
            f"{at_c:g} °C; carbides form"] if potential_wt > solubility_wt else []


def _refuse_limits_below_core(stages: tuple[_Span, ...], steel: Steel) -> None:
    """Refuse a carbon limit at or below the core, where all the carbon a
    boost delivers would be carbide and no carbon would ever enter the part."""
    for number, stage in enumerate(stages, 1):
        if stage.carbon_limit_wt is not None and stage.carbon_limit_wt <= steel.carbon_wt:
            raise ValueError(f"stage {number} of {len(stages)}: carbon_limit_wt {stage.carbon_limit_wt!r} is at or "
                             f"below the core's {steel.carbon_wt!r} wt% C: no carbon could enter the part")


def _limit_above(stage: _Span, steel: Steel) -> list[str]:
    """A carbon limit of ``stage`` above the carbon solubility of austenite
    (as the steel's carbide_limit_factor scales it) at the coldest point of the
    stage, where carbides form before the surface gets there."""
    low_c, high_c = AUSTENITE_RANGE_C
    limit_wt, coldest = stage.carbon_limit_wt, min(stage.temperatures_c)
    if limit_wt is None or not low_c <= coldest <= high_c:
        return []
    solubility_wt = carbon_limit_wt(steel, coldest)
    return [f"carbon_limit_wt {limit_wt:g} wt% is above the carbon solubility {solubility_wt:.3g} wt% at "
            f"{coldest:g} °C; carbides form below it"] if limit_wt > solubility_wt else []


def _refuse_singular(stages: tuple[_Span, ...], core: _Array, domain: Domain) -> None:
    """Refuse compositions at which the diffusivities of ``domain`` are singular."""
    reach = domain.reach(core[0], core[1])
    if reach >= 1.0:
        raise ValueError(f"the core composition reaches {domain.reach_name} = {float(reach)!r}, {domain.singular}")
    for number, stage in enumerate(stages, 1):
        where = span_name(stage, number, len(stages))
        if stage.carbon_limit_wt is not None:
            reach = domain.reach(*(float(y) for y in site_fractions(stage.carbon_limit_wt,
                                                                     stage.nitrogen_potential_wt or 0.0)))
            if reach >= 1.0:
                raise ValueError(f"{where}: the carbon limit {stage.carbon_limit_wt!r} wt% reaches "
                                 f"{domain.reach_name} = {reach!r}, {domain.singular}")
        reach = domain.reach(*stage.peak_potential_y())
        if reach >= 1.0:
            potentials = (stage.carbon_potential_wt, stage.nitrogen_potential_wt)
            element, potential = next((e, p) for e, p in zip(ELEMENTS, potentials) if p is not None)
            raise ValueError(f"{where}: the {element} potential {potential!r} wt% reaches "
                             f"{domain.reach_name} = {reach!r}, {domain.singular}")


def _log_above_solubility(segment: LogSegment, steel: Steel) -> list[str]:
    """The carbon potential of a log where it rises furthest above the carbon
    limit at its temperature, within the range where that limit is known."""
    if segment.carbon_potential is None:
        return []
    limits = carbon_limits_wt(steel, segment.temperature_c)
    excess = np.where(np.isnan(limits), -np.inf, segment.carbon_potential - limits)
    i = int(np.argmax(excess))
    if excess[i] <= 0.0:
        return []
    potential_wt, at_c = float(segment.carbon_potential[i]), float(segment.temperature_c[i])
    return [f"the carbon potential {potential_wt:.3g} wt% at {segment.start_h + float(segment.time_h[i]):.4g} h is "
            f"above the carbon solubility {float(limits[i]):.3g} wt% at {at_c:.4g} °C; carbides form"]
