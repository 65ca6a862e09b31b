"""``simulate``: a recipe applied to a steel part."""

from __future__ import annotations

import copy
import dataclasses
import math
from collections.abc import Callable, Iterable, Sequence

import numpy as np

from .. import constants, slycke
from . import checks
from .composition import MOLAR_MASS_CARBON, MOLAR_MASS_IRON, MOLAR_MASS_NITROGEN, site_fractions, weight_percent
from .recipe import Stage
from .result import Profile, Result, SurfaceHistory
from .solubility import AUSTENITE_RANGE_C, carbon_limit
from .solver import ELEMENTS, Diffusivity, Grid, Run, Trajectory, integrate
from .steel import Steel

__all__ = ["simulate", "Runner"]

#: The tolerance of the time steps, in wt%, unless asked otherwise.
TOLERANCE_WT = 1e-2


def simulate(stages: Iterable[Stage], *, core_carbon_wt: float | None = None,
             core_nitrogen_wt: float | None = None, steel: Steel | None = None,
             depth_mm: float = 3.0, geometry: str = "plate", cells: int = 200,
             carbon_diffusivity: Diffusivity | None = None, nitrogen_diffusivity: Diffusivity | None = None,
             density_kg_m3: float = 7870.0, record_times_h: Sequence[float] = (),
             tolerance_wt: float = TOLERANCE_WT, steps_per_stage: int | None = None,
             progress: Callable[[float], None] | None = None) -> Result:
    """Carbon and nitrogen profiles that a recipe leaves in a steel part.

    Carbon and nitrogen diffuse in austenite by Fick's second law in their
    site fractions, each with a diffusivity that depends on both and on the
    temperature, from the core composition everywhere at the start.

    Parameters
    ----------
    stages : iterable of Stage
        The recipe, in order.
    core_carbon_wt, core_nitrogen_wt : float
        Composition of the steel before treatment, in wt% (nitrogen 0.0
        unless given); or give ``steel`` instead.
    steel : Steel, optional
        The steel, whose carbon and nitrogen are the core composition and
        whose ``alloy_factor`` multiplies every carbon potential of the
        recipe (nitrogen potentials are not scaled).
    depth_mm : float
        Thickness of a plate treated on one face with no flux through the
        other (or half the thickness of a plate treated on both faces), or
        the radius of a cylinder or a sphere treated all round; from 0.01 to
        10,000 mm.
    geometry : {"plate", "cylinder", "sphere"}
        Shape of the part.
    cells : int
        Number of equal cells over ``depth_mm``, from 3 to 100,000.
    carbon_diffusivity, nitrogen_diffusivity : callable, optional
        ``f(composition, temperature_kelvin) -> float`` in m²/s, where
        ``composition`` is the list ``[y_C, y_N]`` of site fractions; by
        default the Slycke diffusivities of :mod:`talvenor.slycke`.
    density_kg_m3 : float
        Density of the steel, for the uptake.
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
        stage (see :func:`carbon_solubility_wt`) and carbide left at the end.

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
    stages = tuple(stages)
    if not stages:
        raise ValueError("stages must hold at least one Stage")
    for i, stage in enumerate(stages):
        if not isinstance(stage, Stage):
            raise TypeError(f"stages[{i}] must be a Stage, got {stage!r}")
    steel = _steel(steel, core_carbon_wt, core_nitrogen_wt)
    depth_mm = checks.depth_mm("depth_mm", depth_mm)
    density_kg_m3 = checks.real("density_kg_m3", density_kg_m3, "positive")
    geometry = checks.geometry("geometry", geometry)
    cells = checks.cells("cells", cells)
    tolerance_wt = checks.real("tolerance_wt", tolerance_wt, "positive")
    if steps_per_stage is not None:
        steps_per_stage = checks.integer("steps_per_stage", steps_per_stage, minimum=1)
    stage_end_h = np.cumsum([stage.duration_h for stage in stages])
    record_times_h = [checks.real("record_times_h", t, "not negative") for t in record_times_h]
    for t in record_times_h:
        if t > stage_end_h[-1]:
            raise ValueError(f"record_times_h must lie within the recipe's {float(stage_end_h[-1])!r} h, got {t!r}")

    slycke_limit = carbon_diffusivity is None or nitrogen_diffusivity is None
    diffusivities = (
        _diffusivity("carbon_diffusivity", carbon_diffusivity, slycke.create_carbon_diffusivity),
        _diffusivity("nitrogen_diffusivity", nitrogen_diffusivity, slycke.create_nitrogen_diffusivity),
    )
    core = np.array([float(y) for y in site_fractions(steel.carbon_wt, steel.nitrogen_wt)])
    # What acts on the surface: the carbon potentials as the steel reaches them.
    acting = tuple(_alloyed(stage, steel.alloy_factor, f"stage {number} of {len(stages)}")
                   for number, stage in enumerate(stages, 1))
    if slycke_limit:
        _refuse_singular(acting, core)

    grid = Grid.build(depth_mm * 1e-3, cells, geometry)
    grams = _grams(density_kg_m3)
    total_s = float(stage_end_h[-1]) * 3600.0
    trajectory = integrate(grid, acting, core, diffusivities, grams=(float(grams[0]), float(grams[1])),
                           carbon_limit_wt=carbon_limit(steel), slycke_limit=slycke_limit, tolerance_wt=tolerance_wt,
                           steps_per_stage=steps_per_stage, record_times_s=[t * 3600.0 for t in record_times_h],
                           progress=None if progress is None else lambda t: progress(t / total_s))
    with np.errstate(all="ignore"):  # a number that overflows is refused below, without numpy's warnings
        result = _result(trajectory, grid, core, grams, stages, stage_end_h, geometry, steel)
    _refuse_non_finite((result, *result.profiles, result.history))
    warnings = _warnings(acting, steel, slycke_limit)
    if result.carbide_g_m2 > 0.0:
        warnings += (f"{result.carbide_g_m2:.3g} g/m² of carbide is left at the surface at the end of the recipe",)
    return dataclasses.replace(result, warnings=warnings)


class Runner:
    """A part of ``steel`` treated one stage at a time, as a design builds its
    recipe: each stage starts from the state the ones before left, and runs
    for its duration or until the surface gets where it is to end.  The
    diffusivities are the Slycke ones, the density 7870 kg/m³.
    """

    def __init__(self, steel: Steel, *, depth_mm: float, geometry: str, cells: int) -> None:
        self.steel = steel
        self.grid = Grid.build(depth_mm * 1e-3, cells, geometry)
        self.grams = _grams(7870.0)
        core = np.array([float(y) for y in site_fractions(steel.carbon_wt, steel.nitrogen_wt)])
        diffusivities = (slycke.create_carbon_diffusivity(), slycke.create_nitrogen_diffusivity())
        self._run = Run(self.grid, core, diffusivities, (float(self.grams[0]), float(self.grams[1])),
                        carbon_limit(steel), True, TOLERANCE_WT, None, None)
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
        it ran."""
        self._run.stage(stage, self.time_s, to_limit=to_limit, falls_to_wt=falls_to_wt)
        elapsed = self._run.times_s[-1] - self.time_s
        self.time_s += elapsed
        return stage if elapsed == stage.duration_s else stage.cut_short(elapsed / 3600.0)

    @property
    def surface_carbon_wt(self) -> float:
        return float(weight_percent(*self._run.surface)[0])

    @property
    def carbide_g_m2(self) -> float:
        return float(self.grams[0] * self._run.carbide)

    def case_depth_mm(self, threshold_wt: float) -> float:
        """The case depth of the present profile (inf where it is deeper than the part)."""
        y = self._run.profile()
        carbon_wt, nitrogen_wt = weight_percent(y[0], y[1])
        depth_mm = np.concatenate(([0.0], self.grid.centres_m() * 1e3))
        try:
            return Profile(self.time_s / 3600.0, depth_mm, carbon_wt, nitrogen_wt, 0.0, 0.0).case_depth_mm(threshold_wt)
        except ValueError:
            return math.inf


def _grams(density_kg_m3: float) -> np.ndarray:
    """Grams of carbon and of nitrogen per m² of treated surface per unit of
    site fraction times metres."""
    return density_kg_m3 * 1e3 / MOLAR_MASS_IRON * np.array([MOLAR_MASS_CARBON, MOLAR_MASS_NITROGEN])


def _steel(steel: Steel | None, core_carbon_wt: float | None, core_nitrogen_wt: float | None) -> Steel:
    """The steel simulated: ``steel``, or one of the core contents given."""
    if steel is not None:
        if core_carbon_wt is not None or core_nitrogen_wt is not None:
            raise ValueError("give either steel or core_carbon_wt and core_nitrogen_wt, not both: the steel's "
                             "carbon_wt and nitrogen_wt are the core composition")
        if not isinstance(steel, Steel):
            raise TypeError(f"steel must be a Steel, got {steel!r}")
        return steel
    if core_carbon_wt is None:
        raise TypeError("simulate() needs the steel: give steel or core_carbon_wt")
    return Steel(carbon_wt=checks.real("core_carbon_wt", core_carbon_wt, "not negative"),
                 nitrogen_wt=checks.real("core_nitrogen_wt", 0.0 if core_nitrogen_wt is None else core_nitrogen_wt,
                                         "not negative"))


def _alloyed(stage: Stage, alloy_factor: float, where: str) -> Stage:
    """``stage`` with its carbon potential multiplied by ``alloy_factor``."""
    if stage.carbon_potential_wt is None or alloy_factor == 1.0:
        return stage
    try:
        return dataclasses.replace(stage, carbon_potential_wt=alloy_factor * stage.carbon_potential_wt)
    except ValueError as error:
        raise ValueError(f"{where}: with the steel's alloy_factor {alloy_factor!r}, {error}") from None


def _result(trajectory: Trajectory, grid: Grid, core: np.ndarray, grams: np.ndarray,
            stages: tuple[Stage, ...], stage_end_h: np.ndarray, geometry: str, steel: Steel) -> Result:
    depth_mm = np.concatenate(([0.0], grid.centres_m() * 1e3))

    def profile(time_s: float, y: np.ndarray) -> Profile:
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


def _warnings(stages: tuple[Stage, ...], steel: Steel, slycke_diffusivities: bool) -> tuple[str, ...]:
    """What makes the run of ``stages`` (their carbon potentials as ``steel``
    reaches them) doubtful: with the Slycke diffusivities a temperature
    outside the austenite range, and a carbon potential above the carbon
    limit of its stage, beyond which the austenite forms carbides."""
    low_c, high_c = AUSTENITE_RANGE_C
    limit_wt = carbon_limit(steel)
    warnings = []
    for number, stage in enumerate(stages, 1):
        where = f"stage {number} of {len(stages)}"
        end_c = stage.temperature_c if stage.end_temperature_c is None else stage.end_temperature_c
        coldest, hottest = sorted((stage.temperature_c, end_c))
        outside = [t for t in (coldest, hottest) if not low_c <= t <= high_c]
        if slycke_diffusivities and outside:
            warnings.append(f"{where}: {outside[0]:g} °C is outside {low_c:g}–{high_c:g} °C, the austenite "
                            "range where the Slycke diffusivities hold; the profiles there are extrapolated")
        potential_wt = stage.carbon_potential_wt
        if potential_wt is not None and (stage.carbon_limit_wt is not None or (coldest <= high_c and hottest >= low_c)):
            # The austenite dissolves the least carbon at the coldest point of the stage.
            at_c = max(coldest, low_c)
            fraction = 0.0 if stage.end_temperature_c in (None, stage.temperature_c) else \
                (at_c - stage.temperature_c) / (end_c - stage.temperature_c)
            solubility_wt = limit_wt(stage, min(max(fraction, 0.0), 1.0))
            if potential_wt > solubility_wt:
                warnings.append(f"{where}: the carbon potential {potential_wt:g} wt% is above the carbon "
                                f"solubility {solubility_wt:.3g} wt% at {at_c:g} °C; carbides form")
    return tuple(warnings)


def _refuse_singular(stages: tuple[Stage, ...], core: np.ndarray) -> None:
    """Refuse compositions at which the Slycke diffusivities are singular."""
    if 5.0 * (core[0] + core[1]) >= 1.0:
        raise ValueError(f"the core composition reaches 5 (y_C + y_N) = {float(5.0 * (core[0] + core[1]))!r}, "
                         "where the Slycke diffusivities are singular")
    for number, stage in enumerate(stages, 1):
        if stage.carbon_limit_wt is not None:
            reach = 5.0 * float(sum(site_fractions(stage.carbon_limit_wt, stage.nitrogen_potential_wt or 0.0)))
            if reach >= 1.0:
                raise ValueError(f"stage {number} of {len(stages)}: the carbon limit {stage.carbon_limit_wt!r} wt% "
                                 f"reaches 5 (y_C + y_N) = {reach!r}, where the Slycke diffusivities are singular")
        given = [(element, condition) for element, condition in zip(ELEMENTS, (stage.carbon, stage.nitrogen))
                 if not condition.closed]
        reach = 5.0 * sum(condition.potential_y or 0.0 for _, condition in given)
        if reach >= 1.0:
            element, condition = given[0]
            raise ValueError(f"stage {number} of {len(stages)}: the {element} potential {condition.potential_wt!r} "
                             f"wt% reaches 5 (y_C + y_N) = {reach!r}, where the Slycke diffusivities are singular")


def _diffusivity(name: str, value: Diffusivity | None, default: Callable[[], Diffusivity]) -> Diffusivity:
    if value is None:
        return default()
    if not callable(value):
        raise TypeError(f"{name} must be callable as f(composition, temperature_kelvin), got {value!r}")
    return value

