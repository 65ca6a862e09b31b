"""Design to the drawing: the shortest cycle in a furnace whose finished
part meets every band of the requirements, heat-up and tail included."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable

from scipy.optimize import minimize_scalar  # type: ignore[import-untyped]

from .. import _validate
from ..metallurgy import quenching
from ..metallurgy.hardening import austenite_hardness_hv, quench_temperature_c
from ..metallurgy.tempering import Temper
from ..model.solubility import carbon_limit_wt
from ..model.steel import Steel, steel_of
from ..recipe import Job
from ..requirements import Requirements, needs_hardened_case
from ..schedule.furnace import Furnace
from ..schedule.part import Part
from ._advice import advice, failure
from ._gas_cycle import Cycle, design_gas
from ._part import design_part
from ._records import CycleDesign, DrawingNotMet
from ._surface import Window, window
from ._trials import Aim, Trials
from ._vacuum_cycle import design_vacuum

__all__ = ["design_cycle", "CycleDesign", "DrawingNotMet", "HUMP_WT"]

#: How far the carbon below the finished surface of a gas cycle may rise
#: above the richest surface that meets the drawing, in wt%, unless told
#: otherwise: as for :func:`design_boost_diffuse`.
HUMP_WT = 0.05
# The temperature of a furnace that gives a range is chosen to this, in °C.
_TEMPERATURE_XTOL_C = 5.0


def design_cycle(requirements: Requirements, steel: Steel | str, furnace: Furnace, *, part: Part | None = None,
                 quench_c: float | None = None, severity_h: float | str | None = None, austenite_hv: float = 300.0,
                 temper: Temper | None = None, aim_margin_mm: float | None = None, hump_wt: float = HUMP_WT,
                 job: Job | None = None) -> CycleDesign:
    """The shortest cycle in ``furnace`` whose finished part meets every band
    of ``requirements``: heat-up, the carburizing the design chooses, and
    the tail down to the hardening temperature, then the quench and temper.

    The design aims the CHD (or, without a CHD band, the case depth) at the
    middle of its band, measured from the finished surface (after
    ``grinding_stock_mm``), or at its lower end plus ``aim_margin_mm``.  The
    surface it aims at the middle of the window of carbon contents at which
    the finished surface meets the drawing's surface bands (surface carbon,
    surface hardness, retained austenite), each content hardened as the
    surface is, with this quench, section and temper; without surface bands,
    at the content where the surface is hardest.  Then:

    - gas: a boost at the richest potential the atmosphere holds below the
      carbon solubility, and a diffuse (and tail) at the potential that puts
      the finished surface at its aim, set again after a first design where
      the surface misses it by more than 0.01 wt%.  The boost is as long as
      the depth needs (scipy's brentq on its square root); the diffuse is
      the shortest that brings the carbon everywhere below the finished
      surface to at most ``hump_wt`` above the richest surface of the
      window, and the finished surface at least halfway from that richest
      surface to its aim (within 0.02 wt% of the aim, or of the diffuse
      potential, where that is less): none where the tail does both already,
      as a diffuse hour deepens the case less than a boost hour, so that the
      shortest cycle has the least diffuse.  Where a diffuse is needed and the atmosphere's range allows
      it, a leaner boost is sought (scipy's bounded minimize_scalar) in case
      it needs less.
    - vacuum: the pulses of :func:`design_vacuum_cycle` from the part as the
      heat-up leaves it, each intermediate diffuse down to the surface aimed
      at and the final one until, after the tail, the finished surface is
      there, the last boost found so that the depth is the aim.

    Each candidate is run and checked as a whole recipe (:func:`evaluate`),
    so that the heat-up and the tail move the CHD as they do in the furnace;
    the part as the heat-up leaves it is kept and branched from
    (:meth:`Runner.copy`).  With a ``temperature_range_c``, the temperature
    of the shortest cycle is sought over the range (bounded minimize_scalar,
    to 5 °C): higher is faster to carburize, but slower to cool down.

    Parameters
    ----------
    requirements : Requirements
        The drawing: a CHD band (or a case-depth band) and the rest.
    steel : Steel or str
        The steel, or the name of a grade.
    furnace : Furnace
        The furnace and the fixed parts of its cycle.
    part : Part, optional
        The part (by default a plate four times as deep as the depth aimed
        at, on 200 cells: give the real section where the quench's severity
        matters).
    quench_c, severity_h, austenite_hv, temper : optional
        The quench and the temper, as for :func:`harden`; a quench is needed
        for the bands of the hardened case.
    aim_margin_mm : float, optional
        Aim at the lower end of the depth band plus this, in mm, instead of
        its middle (needed for a band open above).
    hump_wt : float
        Gas: how far the carbon below the finished surface may rise above the
        richest surface the drawing allows, in wt% (default 0.05).  Not a
        band of the drawing; it keeps a subsurface rich in carbon (retained
        austenite, carbides on cooling) out of the design.
    job : Job, optional
        What the recipe is for.

    Returns
    -------
    CycleDesign
        The recipe, its outcome (every band met), and how it was aimed.

    Raises
    ------
    DrawingNotMet
        Where no cycle meets every band: it says which fail and by how much
        at the best cycle found, and what would help (a higher temperature, a
        leaner potential, a sub-zero step, a steel with more hardenability);
        its ``design`` is that cycle.
    ValueError, TypeError
        For an argument out of range or of the wrong type; for requirements
        without a depth band, or with bands of the hardened case and no quench.

    Examples
    --------
    >>> furnace = Furnace(kind="gas", temperature_c=930.0, carbon_potential_range_wt=(0.5, 1.15),
    ...                   carbon_transfer_m_s=2e-7)
    >>> drawing = Requirements(chd_min_mm=0.6, chd_max_mm=0.8, surface_hardness_min_hrc=58.0,
    ...                        retained_austenite_max_pct=25.0, no_carbides=True)
    >>> design = design_cycle(drawing, "20MnCr5", furnace, part=Part(depth_mm=4.0), quench_c=60.0,
    ...                       severity_h="still oil", temper=Temper(180.0, 2.0))
    >>> design.passed, round(design.outcome.verdicts.get("chd_mm").value, 2), design.roles
    (True, 0.7, ('heat-up', 'boost', 'cool-down', 'hold'))
    """
    trials = _trials(requirements, steel, furnace, part=part, quench_c=quench_c, severity_h=severity_h,
                     austenite_hv=austenite_hv, temper=temper, aim_margin_mm=aim_margin_mm, job=job)
    hump_wt = _validate.real("hump_wt", hump_wt, "not negative")
    low_c, high_c = furnace.temperatures_c
    top_wt = furnace.carbon_limit_wt if furnace.carbon_limit_wt is not None else carbon_limit_wt(trials.steel, high_c)
    surface = window(trials, top_wt)

    def designed(temperature_c: float) -> CycleDesign:
        cycle = (design_gas(trials, temperature_c, surface, hump_wt) if furnace.kind == "gas"
                 else design_vacuum(trials, temperature_c, surface))
        return _design(trials, cycle, temperature_c, surface)

    ceiling_wt = surface.high_wt + hump_wt if furnace.kind == "gas" else math.inf
    design = designed(high_c)
    if low_c < high_c:
        design = _fastest_temperature(designed, design, low_c, high_c, furnace.longest_h,
                                      lambda design: not _failures(design, ceiling_wt, hump_wt, furnace.longest_h))
    design = dataclasses.replace(design, runs=trials.runs)
    failures = _failures(design, ceiling_wt, hump_wt, furnace.longest_h)
    if failures:
        raise DrawingNotMet(design, failures, advice(design, furnace, surface, ceiling_wt))
    return design


def _trials(requirements: Requirements, steel: Steel | str, furnace: Furnace, *, part: Part | None,
            quench_c: float | None, severity_h: float | str | None, austenite_hv: float, temper: Temper | None,
            aim_margin_mm: float | None, job: Job | None) -> Trials:
    """The trials of the arguments of :func:`design_cycle`, checked."""
    if not isinstance(requirements, Requirements):
        raise TypeError(f"requirements must be a Requirements, got {requirements!r}")
    if not isinstance(furnace, Furnace):
        raise TypeError(f"furnace must be a Furnace, got {furnace!r}")
    if temper is not None and not isinstance(temper, Temper):
        raise TypeError(f"temper must be a Temper or None, got {temper!r}")
    if job is not None and not isinstance(job, Job):
        raise TypeError(f"job must be a Job or None, got {job!r}")
    steel = steel_of(steel, None, caller="design_cycle")
    aim = Aim.of(requirements, _validate.optional("aim_margin_mm", aim_margin_mm, "not negative"))
    if (needs := needs_hardened_case(requirements)) and quench_c is None:
        raise ValueError(f"{needs}: give quench_c")
    if part is None:
        part = design_part(aim.depth_mm + requirements.grinding_stock_mm, depth_mm=None, geometry="plate", cells=200)
    elif not isinstance(part, Part):
        raise TypeError(f"part must be a Part, got {part!r}")
    if aim.depth_mm + requirements.grinding_stock_mm >= part.deepest_mm:
        raise ValueError(f"the depth aimed at, {aim.depth_mm:g} mm below the finished surface, is deeper than the "
                         f"part allows: its profile ends at {part.deepest_mm:.4g} mm")
    return Trials(requirements, steel, part, furnace, aim,
                  None if quench_c is None else quench_temperature_c("quench_c", quench_c),
                  None if severity_h is None else quenching.severity_h(severity_h),
                  austenite_hardness_hv("austenite_hv", austenite_hv), temper, job)


def _design(trials: Trials, cycle: Cycle, temperature_c: float, surface: Window) -> CycleDesign:
    return CycleDesign(cycle.outcome.recipe, cycle.outcome, cycle.roles, temperature_c, trials.aim.depth_mm,
                       surface.aim_wt, (surface.low_wt, surface.high_wt), cycle.peak_wt, trials.runs)


def _fastest_temperature(designed: Callable[[float], CycleDesign], first: CycleDesign, low_c: float,
                         high_c: float, longest_h: float, met: Callable[[CycleDesign], bool]) -> CycleDesign:
    """The design at the temperature from ``low_c`` to ``high_c`` (in whole
    °C, as a furnace is set) with the shortest cycle that meets the drawing
    (``first`` is that at ``high_c``); one that misses it counts as
    ``longest_h`` longer."""
    found = {high_c: first}

    def hours(temperature_c: float) -> float:
        temperature_c = min(max(float(round(temperature_c)), low_c), high_c)
        if temperature_c not in found:
            found[temperature_c] = designed(temperature_c)
        design = found[temperature_c]
        return design.total_h + (0.0 if met(design) else longest_h)

    minimize_scalar(hours, bounds=(low_c, high_c), method="bounded", options={"xatol": _TEMPERATURE_XTOL_C})
    return min(found.values(), key=lambda design: (not met(design), design.total_h))


def _failures(design: CycleDesign, ceiling_wt: float, hump_wt: float, longest_h: float) -> tuple[str, ...]:
    """Each band the design fails and by how much, one phrase each; the
    carbon below the surface above its ceiling; a cycle longer than allowed."""
    failures = [failure(verdict) for verdict in design.outcome.verdicts if not verdict.passed]
    if design.above(ceiling_wt):
        failures.append(f"carbon below the surface up to {design.peak_wt:.3f} wt%, above the {ceiling_wt:.3f} wt% "
                        f"that hump_wt {hump_wt:g} allows")
    if design.longer_than(longest_h):
        failures.append(f"a cycle of {design.total_h:.2f} h, longer than longest_h {longest_h:g} h")
    return tuple(failures)
