"""The records a simulation returns: profiles, the surface history, the result.

They hold data and what is read off it (case depths, peaks); what is made of
them (the hardened case, verdicts, plots) is done by the layers above.
:meth:`Result.harden`, :meth:`Result.check` and :meth:`Result.plot` are kept
as conveniences that call them: :func:`~talvenor.process.harden`,
:func:`~talvenor.process.check` and
:func:`~talvenor.process.present.plot.plot_result`, which are typed.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

from .model.steel import Steel
from .schedule.furnace_log import FurnaceLog, LogSegment
from .schedule.stage import Stage
from .standards import CASE_DEPTH_THRESHOLD_WT, CHD_LIMIT_HV, TOTAL_CASE_ABOVE_CORE_WT

__all__ = ["Profile", "SurfaceHistory", "Result"]

@dataclass(frozen=True, eq=False, repr=False)
class Profile:
    """Carbon and nitrogen contents against depth at one time.

    Attributes
    ----------
    time_h : float
        Time since the start of the recipe, in hours.
    depth_mm : ndarray
        Depth below the treated surface in mm: the surface itself (0.0),
        then the centre of every cell.
    carbon_wt, nitrogen_wt : ndarray
        Contents in wt% at those depths.
    carbon_uptake_g_m2, nitrogen_uptake_g_m2 : float
        Mass gained since the start of the recipe per m² of treated surface.
    """

    time_h: float
    depth_mm: NDArray[np.float64]
    carbon_wt: NDArray[np.float64]
    nitrogen_wt: NDArray[np.float64]
    carbon_uptake_g_m2: float
    nitrogen_uptake_g_m2: float

    def __repr__(self) -> str:
        return (f"{type(self).__name__}(time_h={self.time_h:.4g}, {self.depth_mm.size} points to "
                f"{self.depth_mm[-1]:.4g} mm, surface {self.surface_carbon_wt:.4g} wt% C "
                f"{self.surface_nitrogen_wt:.4g} wt% N, uptake {self.carbon_uptake_g_m2:.4g} g/m² C "
                f"{self.nitrogen_uptake_g_m2:.4g} g/m² N)")

    @property
    def surface_carbon_wt(self) -> float:
        """Carbon content at the treated surface, in wt%."""
        return float(self.carbon_wt[0])

    @property
    def surface_nitrogen_wt(self) -> float:
        """Nitrogen content at the treated surface, in wt%."""
        return float(self.nitrogen_wt[0])

    def case_depth_mm(self, threshold_wt: float = CASE_DEPTH_THRESHOLD_WT, element: str = "carbon", *,
                      beyond_part: Literal["raise", "inf"] = "raise") -> float:
        """The depth in mm at which the profile first falls to ``threshold_wt``.

        Linearly interpolated between the two points of the profile around
        the crossing; 0.0 when the surface is already at or below the
        threshold.

        Parameters
        ----------
        threshold_wt : float
            Content in wt% that bounds the case.
        element : {"carbon", "nitrogen"}
            The profile to read.
        beyond_part : {"raise", "inf"}
            What a profile that stays above the threshold over the whole
            depth gives (the case is deeper than the part as computed): a
            ValueError that says so, or ``inf``.

        Raises
        ------
        ValueError
            If the profile stays above the threshold over the whole depth
            and ``beyond_part`` is ``"raise"``, or for an unknown element or
            a threshold that is not finite.

        Examples
        --------
        >>> profile = Profile(0.0, np.array([0.0, 1.0]), np.array([1.0, 0.5]), np.zeros(2), 0.0, 0.0)
        >>> profile.case_depth_mm(0.75), profile.case_depth_mm(0.3, beyond_part="inf")
        (0.5, inf)
        """
        if element not in ("carbon", "nitrogen"):
            raise ValueError(f"element must be 'carbon' or 'nitrogen', got {element!r}")
        if beyond_part not in ("raise", "inf"):
            raise ValueError(f"beyond_part must be 'raise' or 'inf', got {beyond_part!r}")
        threshold = float(threshold_wt)
        if not np.isfinite(threshold):
            raise ValueError(f"threshold_wt must be finite, got {threshold!r}")
        profile = self.carbon_wt if element == "carbon" else self.nitrogen_wt
        below = np.flatnonzero(profile <= threshold)
        if below.size == 0:
            if beyond_part == "inf":
                return math.inf
            raise ValueError(f"the {element} profile stays above {threshold!r} wt% over the whole depth "
                             f"of {self.depth_mm[-1]:.4g} mm (lowest {profile.min():.4g} wt%)")
        i = int(below[0])
        if i == 0:
            return 0.0
        upper, lower = profile[i - 1], profile[i]
        fraction = (upper - threshold) / (upper - lower)
        return float(self.depth_mm[i - 1] + fraction * (self.depth_mm[i] - self.depth_mm[i - 1]))


@dataclass(frozen=True, eq=False)
class SurfaceHistory:
    """The surface over the whole recipe, at every point the solver computed.

    A time appears twice where a stage ends and the next begins, once with
    each stage's surface condition.

    Attributes
    ----------
    time_h : ndarray
        Time since the start of the recipe, in hours.
    carbon_wt, nitrogen_wt : ndarray
        Surface contents in wt%.
    carbon_uptake_g_m2, nitrogen_uptake_g_m2 : ndarray
        Mass gained per m² of treated surface up to each time: the
        time integral of the surface flux.
    carbide_g_m2 : ndarray
        Carbon held as carbide at the surface per m² of treated surface,
        where a boost has delivered more than the part could take.
    """

    time_h: NDArray[np.float64]
    carbon_wt: NDArray[np.float64]
    nitrogen_wt: NDArray[np.float64]
    carbon_uptake_g_m2: NDArray[np.float64]
    nitrogen_uptake_g_m2: NDArray[np.float64]
    carbide_g_m2: NDArray[np.float64]


@dataclass(frozen=True, eq=False, repr=False)
class Result(Profile):
    """The outcome of :func:`simulate`: the profile at the end of the recipe.

    Beyond the fields of :class:`Profile`:

    Attributes
    ----------
    stages : tuple of Stage or LogSegment
        The recipe: its stages, or the segments of its furnace log.
    stage_end_h : ndarray
        The time at which each stage ends, in hours.
    history : SurfaceHistory
        The surface composition and the uptake over time.
    profiles : tuple of Profile
        The profiles at the times asked for with ``record_times_h``.
    geometry : str
        ``"plate"``, ``"cylinder"`` or ``"sphere"``.
    steel : Steel
        The steel simulated.
    warnings : tuple of str
        What makes the result doubtful, one line each: a stage outside the
        range of the diffusivities, a carbon potential above the carbon
        solubility, carbide left at the surface.
    log : FurnaceLog or None
        The furnace log the run followed, if it followed one.
    """

    stages: tuple[Stage | LogSegment, ...]
    stage_end_h: NDArray[np.float64]
    history: SurfaceHistory
    profiles: tuple[Profile, ...]
    geometry: str
    steel: Steel
    warnings: tuple[str, ...] = ()
    log: FurnaceLog | None = None

    @property
    def peak_surface_carbon_wt(self) -> float:
        """The highest carbon content of the surface over the recipe, in wt%."""
        return float(self.history.carbon_wt.max())

    @property
    def carbide_g_m2(self) -> float:
        """The carbide left at the surface at the end, in g of carbon per m²."""
        return float(self.history.carbide_g_m2[-1])

    @property
    def peak_carbide_g_m2(self) -> float:
        """The most carbide at the surface over the recipe, in g of carbon per m²."""
        return float(self.history.carbide_g_m2.max())

    @property
    def stage_start_h(self) -> NDArray[np.float64]:
        """The time at which each stage starts, in hours."""
        return np.concatenate(([0.0], self.stage_end_h[:-1]))

    def total_case_depth_mm(self) -> float:
        """The total case depth in mm: where the carbon falls to the core's
        content plus 0.04 wt% (SAE J423), as :meth:`case_depth_mm` reads it."""
        return self.case_depth_mm(self.steel.carbon_wt + TOTAL_CASE_ABOVE_CORE_WT)

    # The conveniences below call the functions of the layers above, which
    # they import when called and do not name: a result knows nothing of
    # its consumers.

    def harden(self, *, quench_c: float = 60.0, austenite_hv: float = 300.0, severity_h: Any = None,
               temper: Any = None) -> Any:
        """The case after quenching to ``quench_c`` °C (of ``severity_h``, and
        tempered by ``temper``): :func:`~talvenor.process.harden` of this result."""
        from .metallurgy.hardening import harden
        return harden(self, quench_c=quench_c, austenite_hv=austenite_hv, severity_h=severity_h, temper=temper)

    def check(self, requirements: Any, hardening: Any = None) -> Any:
        """A :class:`Verdict` for every band of ``requirements``:
        :func:`~talvenor.process.check` of this result.

        The CHD, the hardness and the retained austenite are read from
        ``hardening`` (from :meth:`harden`), which they need: without it they
        are a ValueError.
        """
        from .verdicts import check
        return check(self, requirements, hardening)

    def plot(self, path: str | os.PathLike[str], *, threshold_wt: float = CASE_DEPTH_THRESHOLD_WT,
             title: str | None = None, hardening: Any = None, limit_hv: float = CHD_LIMIT_HV,
             requirements: Any = None) -> None:
        """Draw the result into an image file: the profiles with the threshold
        and the case depth, and the surface over the recipe with the stage
        boundaries.  PNG unless the suffix of ``path`` names another format.
        With ``hardening`` (from :meth:`harden`) a panel between them shows
        the hardness against depth with ``limit_hv`` and the case-hardening
        depth.  With ``requirements`` its bands are shaded on their panels
        (those of the hardened case only with ``hardening``).
        :func:`~talvenor.process.present.plot.plot_result` of this result.

        Raises
        ------
        ImportError
            Without matplotlib (``python -m pip install 'talvenor[plot]'``).
        """
        from .present.plot import plot_result
        plot_result(self, path, threshold_wt=threshold_wt, title=title, hardening=hardening, limit_hv=limit_hv,
                    requirements=requirements)
