"""A run, stage after stage, on the kernel (:mod:`talvenor._kernel`)."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from ... import _kernel
from ..model.diffusivity import Diffusivities
from ..model.steel import Steel
from ..model.surface import SurfaceCondition
from ..schedule.furnace_log import LogSegment, span_name
from ..schedule.stage import Stage
from .failure import Failure
from .grid import Grid

__all__ = ["Trajectory", "integrate", "Run"]

if TYPE_CHECKING:
    _Array = NDArray[np.float64]

ELEMENTS = ("carbon", "nitrogen")


@dataclass(frozen=True, eq=False)
class Trajectory:
    """What a run leaves: its history, a point at the start of each stage and
    at the end of each step, the profiles at the record times, and the
    profile at the end.  Profiles are (2, cells + 1) in site fractions, the
    surface first."""

    times_s: _Array
    surfaces: _Array  # (points, 2)
    uptakes: _Array  # (points, 2)
    carbides: _Array
    records: list[tuple[float, _Array]]
    final: _Array


def integrate(grid: Grid, stages: Sequence[Stage | LogSegment], core: _Array, diffusivities: Diffusivities, *,
              grams: tuple[float, float], steel: Steel, tolerance_wt: float, steps_per_stage: int | None,
              record_times_s: Sequence[float], progress: Callable[[float], None] | None = None) -> Trajectory:
    """Run ``stages`` from the uniform composition ``core`` (2,) in site fractions.

    The steps keep the local error of each stage within ``tolerance_wt``,
    or are ``steps_per_stage`` to a stage where that is given.  A run keeps
    to the domain of the ``diffusivities``.  The profile at a record time is
    the end of the recipe cut short at that time.  ``progress`` is called
    after every step with the time done so far in s.  Failures are
    ValueErrors that name the stage.
    """
    run = Run(grid, core, diffusivities, grams, steel, tolerance_wt, steps_per_stage, progress)
    pending = sorted(record_times_s)
    records: list[tuple[float, _Array]] = []
    start = 0.0
    for number, stage in enumerate(stages, 1):
        end = start + stage.duration_s
        try:
            while pending and pending[0] < end:
                t = pending.pop(0)
                then = run
                if t > start:
                    then = run.copy()
                    then.stage(stage.cut_short((t - start) / 3600.0), start)
                records.append((t, then.profile()))
            run.stage(stage, start)
        except Failure as failure:
            raise ValueError(f"{span_name(stage, number, len(stages))}: {failure}") from None
        start = end
    records += [(t, run.profile()) for t in pending]
    times_s, surfaces, uptakes, carbides = run.history()
    return Trajectory(times_s, surfaces, uptakes, carbides, records, run.profile())


class Run:
    """The state of a run between recipe stages, and its history, kept by
    the kernel: the grid, the diffusivities (the Slycke ones evaluated
    there, without the interpreter's lock), the steel whose carbon limit
    bounds a boost, and the tolerance or the fixed steps."""

    def __init__(self, grid: Grid, core: _Array, diffusivities: Diffusivities, grams: tuple[float, float],
                 steel: Steel, tolerance_wt: float, steps: int | None,
                 progress: Callable[[float], None] | None) -> None:
        self.steel, self.progress = steel, progress
        # The ends of the fixed steps, as fractions of a stage: equal in the
        # square root of the time since its start.  The kernel evaluates the
        # Slycke diffusivities (None) and constants natively.
        fixed = None if steps is None else ((np.arange(1, steps + 1) / steps) ** 2).tolist()
        domain = diffusivities.domain
        self._kernel = _kernel.Run(
            grid.volumes.tolist(), grid.areas.tolist(), grid.spacing, core.tolist(), grams, tolerance_wt, fixed=fixed,
            carbon=diffusivities.carbon, nitrogen=diffusivities.nitrogen,
            singular_weight=None if domain is None else domain.singular_weight,
            reach_name=None if domain is None else domain.reach_name,
            singular_text=None if domain is None else domain.singular)

    def copy(self) -> Run:
        """A run from the present state with a history of its own."""
        twin = object.__new__(Run)
        twin.steel, twin.progress, twin._kernel = self.steel, None, self._kernel.copy()
        return twin

    def profile(self) -> _Array:
        """The present profile (2, cells + 1), the surface first."""
        y, surface, _, _ = self._kernel.state()
        profile = np.frombuffer(y, dtype=np.float64).reshape(2, -1)
        return np.concatenate((np.array(surface)[:, None], profile), axis=1)

    @property
    def surface(self) -> tuple[float, float]:
        """The composition of the surface now, in site fractions."""
        return self._kernel.state()[1]

    @property
    def carbide(self) -> float:
        """The carbide at the surface now, in site fraction times m."""
        return float(self._kernel.state()[3])

    def history(self) -> tuple[_Array, _Array, _Array, _Array]:
        """The times in s, the surfaces and the uptakes (points, 2) and the carbides of the history."""
        times, surfaces, uptakes, carbides = (np.frombuffer(part, dtype=np.float64)
                                              for part in self._kernel.history())
        return times, surfaces.reshape(-1, 2), uptakes.reshape(-1, 2), carbides

    def stage(self, stage: Stage | LogSegment, start_s: float, *, to_limit: bool = False,
              falls_to_wt: float | None = None) -> None:
        """Advance through one recipe stage.

        The stage ends early, within 1e-3 of a step, where a boost's surface
        reaches the carbon limit (``to_limit``; 0.001 wt% short of it) or
        where the carbon at the surface falls to ``falls_to_wt``; the history
        tells when.
        """
        self._kernel.stage(**_described(stage, self.steel), start_s=start_s, to_limit=to_limit,
                           falls_to_wt=falls_to_wt, progress=self.progress)


def _described(stage: Stage | LogSegment, steel: Steel) -> dict[str, Any]:
    """The keyword arguments that describe ``stage`` to the kernel."""
    times_h: Sequence[float]
    temperatures_c: Sequence[float]
    potentials: tuple[Sequence[float] | None, Sequence[float] | None]
    if isinstance(stage, LogSegment):
        times_h, temperatures_c = stage.time_h.tolist(), stage.temperature_c.tolist()
        potentials = (_listed(stage.carbon_potential), _listed(stage.nitrogen_potential))
    else:
        times_h, temperatures_c = (0.0, stage.duration_h), stage.temperatures_c
        potentials = (_constant(stage.carbon_potential_wt, stage.carbon), _constant(stage.nitrogen_potential_wt,
                                                                                       stage.nitrogen))
    return dict(duration_s=stage.duration_s, times_h=times_h, temperatures_c=temperatures_c,
                kinds=(_kind(stage.carbon), _kind(stage.nitrogen)), carbon_wt=potentials[0],
                nitrogen_wt=potentials[1], transfers_m_s=(stage.carbon_transfer_m_s or 0.0,
                                                          stage.nitrogen_transfer_m_s or 0.0),
                flux_g_m2_h=stage.carbon_flux_g_m2_h, limit_wt=stage.carbon_limit_wt,
                limit_factor=steel.carbide_limit_factor, limit_nitrogen_wt=stage.nitrogen_potential_wt or 0.0,
                corners=stage.corners(), varying=stage.varying)


def _listed(values: _Array | None) -> list[float] | None:
    return None if values is None else values.tolist()


def _constant(potential_wt: float | None, condition: SurfaceCondition) -> tuple[float, float] | None:
    """A stage's potential as the samples at its ends (none for a closed surface or a boost)."""
    return None if potential_wt is None or condition.limited else (potential_wt, potential_wt)


def _kind(condition: SurfaceCondition) -> int:
    """The kernel's number of the kind of ``condition``: closed, held, mass transfer, boost."""
    return 0 if condition.closed else 1 if condition.held else 3 if condition.limited else 2
