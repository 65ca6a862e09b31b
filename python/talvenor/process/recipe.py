"""A heat-treatment recipe: a list of stages."""

from __future__ import annotations

from dataclasses import dataclass, fields

from .. import constants
from . import checks
from .composition import site_fractions

__all__ = ["Recipe", "Stage", "SurfaceCondition"]


@dataclass(frozen=True, kw_only=True)
class Stage:
    """One stage of a recipe: a duration, a temperature and the surface conditions.

    Parameters
    ----------
    duration_h : float
        Duration in hours, positive and at most 10,000.
    temperature_c : float
        Temperature at the start of the stage, in °C, below 1,400 °C (where
        steel melts).
    end_temperature_c : float, optional
        Temperature at the end of the stage, in °C, reached by a linear ramp;
        by default the temperature stays at ``temperature_c``.
    carbon_potential_wt, nitrogen_potential_wt : float, optional
        Potential of the atmosphere in wt%.  Without a potential the surface
        is closed to that element (no flux, as in a vacuum diffuse step).
    carbon_transfer_m_s, nitrogen_transfer_m_s : float, optional
        Mass-transfer coefficient beta in m/s: the flux into the part is
        beta (y_potential - y_surface) in site fractions.  Without one, a
        given potential holds the surface at that composition.

    Notes
    -----
    A potential is converted to a site fraction together with the other
    element's potential of the same stage (0 where it has none), as one
    composition.

    Examples
    --------
    >>> boost = Stage(duration_h=2.0, temperature_c=930.0,
    ...               carbon_potential_wt=1.1, carbon_transfer_m_s=2e-7)
    >>> boost.carbon.potential_wt, boost.nitrogen.potential_wt
    (1.1, None)
    """

    duration_h: float
    temperature_c: float
    end_temperature_c: float | None = None
    carbon_potential_wt: float | None = None
    carbon_transfer_m_s: float | None = None
    nitrogen_potential_wt: float | None = None
    nitrogen_transfer_m_s: float | None = None

    def __post_init__(self) -> None:
        for field in fields(self):
            value = getattr(self, field.name)
            if value is None and field.default is None:
                continue
            object.__setattr__(self, field.name, checks.real(field.name, value))
        if self.duration_h <= 0.0:
            raise ValueError(f"duration_h must be positive, got {self.duration_h!r}")
        checks.bounded("duration_h", self.duration_h, high=checks.LONGEST_STAGE_H, unit="h")
        for name in ("temperature_c", "end_temperature_c"):
            value = getattr(self, name)
            if value is None:
                continue
            if value + constants.T_NORMAL <= 0.0:
                raise ValueError(f"{name} must be above absolute zero ({-constants.T_NORMAL} °C), got {value!r}")
            checks.bounded(name, value, high=checks.MELTING_C, below=True, unit="°C", why="where steel melts")
        for element in ("carbon", "nitrogen"):
            potential = getattr(self, f"{element}_potential_wt")
            transfer = getattr(self, f"{element}_transfer_m_s")
            if transfer is not None and potential is None:
                raise ValueError(f"{element}_transfer_m_s = {transfer!r} is given without {element}_potential_wt")
            if transfer is not None and transfer <= 0.0:
                raise ValueError(f"{element}_transfer_m_s must be positive, got {transfer!r}")
            if potential is not None and potential < 0.0:
                raise ValueError(f"{element}_potential_wt must not be negative, got {potential!r}")
        if (self.carbon_potential_wt or 0.0) + (self.nitrogen_potential_wt or 0.0) >= 100.0:
            raise ValueError("carbon_potential_wt + nitrogen_potential_wt must be below 100, got "
                             f"{self.carbon_potential_wt!r} + {self.nitrogen_potential_wt!r}")

    @property
    def duration_s(self) -> float:
        return self.duration_h * 3600.0

    def temperature_k(self, fraction: float) -> float:
        """The temperature in K at ``fraction`` (0 to 1) of the stage."""
        start = self.temperature_c
        end = start if self.end_temperature_c is None else self.end_temperature_c
        # A float also for a numpy fraction, so that messages show plain numbers.
        return float(start + (end - start) * fraction + constants.T_NORMAL)

    @property
    def carbon(self) -> SurfaceCondition:
        """The surface condition for carbon."""
        return self._condition(0)

    @property
    def nitrogen(self) -> SurfaceCondition:
        """The surface condition for nitrogen."""
        return self._condition(1)

    def _condition(self, index: int) -> SurfaceCondition:
        carbon_wt, nitrogen_wt = self.carbon_potential_wt, self.nitrogen_potential_wt
        potential_wt = (carbon_wt, nitrogen_wt)[index]
        if potential_wt is None:
            return SurfaceCondition(None, None, None)
        potential_y = float(site_fractions(carbon_wt or 0.0, nitrogen_wt or 0.0)[index])
        return SurfaceCondition(potential_wt, potential_y, (self.carbon_transfer_m_s, self.nitrogen_transfer_m_s)[index])


@dataclass(frozen=True)
class SurfaceCondition:
    """What the atmosphere of a stage does to one element at the surface.

    ``potential_wt`` is None for a closed surface; ``transfer_m_s`` is None
    where the surface is held at the potential, whose site fraction is
    ``potential_y``.
    """

    potential_wt: float | None
    potential_y: float | None
    transfer_m_s: float | None

    @property
    def closed(self) -> bool:
        return self.potential_wt is None

    @property
    def held(self) -> bool:
        return self.potential_wt is not None and self.transfer_m_s is None


@dataclass(frozen=True, kw_only=True)
class Recipe:
    """A recipe applied to a part: the stages, the steel and the part's shape.

    The fields are the arguments of :func:`simulate` of the same names;
    :func:`read_recipe` reads one from a TOML file.
    """

    stages: tuple[Stage, ...]
    core_carbon_wt: float
    core_nitrogen_wt: float = 0.0
    geometry: str = "plate"
    depth_mm: float = 3.0
    cells: int = 200
