"""A stage of a recipe: a time at a temperature or on a ramp, and the atmosphere."""

from __future__ import annotations

import dataclasses
import functools
from dataclasses import dataclass, fields
from typing import Any, ClassVar

import numpy as np
from numpy.typing import NDArray

from .. import _validate, units
from ..model import atmosphere
from ..model.solubility import AUSTENITE_RANGE_C, carbon_limit_wt
from ..model.steel import Steel
from ..model.surface import Boost, SurfaceCondition, condition
from ..units import site_fractions

__all__ = ["Stage", "LONGEST_STAGE_H", "MELTING_C"]

# Limits that keep a run physically meaningful and its time bounded: the
# longest stage, and where steel melts.
LONGEST_STAGE_H = 10_000.0
MELTING_C = 1400.0

# The keys of an atmosphere reading, and of its instruments.
_READINGS = ("probe_mv", "co2_pct", "dew_point_c", "co_pct", "h2_pct", "process_factor")
_INSTRUMENTS = ("probe_mv", "co2_pct", "dew_point_c")

# The default of duration_h, which tells that it was not given (by what it
# is, not by its value: a NaN given is refused as any other NaN).
_NOT_GIVEN = float("nan")


@dataclass(frozen=True, kw_only=True)
class Stage:
    """One stage of a recipe: a duration, a temperature and the surface conditions.

    Parameters
    ----------
    duration_h : float
        Duration in hours, positive and at most 10,000.
    duration_min : float, optional
        The duration in minutes instead, as pulses and short steps are
        written: give one of the two (``duration_h`` is then set from it,
        and both must agree where both are given).
    temperature_c : float
        Temperature at the start of the stage, in °C, below 1,400 °C (where
        steel melts).
    end_temperature_c : float, optional
        Temperature at the end of the stage, in °C, reached by a linear ramp;
        by default the temperature stays at ``temperature_c``.
    carbon_potential_wt, nitrogen_potential_wt : float, optional
        Potential of the atmosphere in wt%.  Without a potential the surface
        is closed to that element (no flux, as in a vacuum diffuse step).
    probe_mv, co2_pct, dew_point_c : float, optional
        The carbon potential as the furnace's instrument reads it, in place
        of ``carbon_potential_wt`` (one of the three): the oxygen probe's
        voltage in mV, the CO2 in vol%, or the dew point in °C, with the gas's
        ``co_pct`` and ``h2_pct`` (vol%; endogas, 20 and 40, by default) and,
        for the probe, optionally the controller's ``process_factor``: see
        :func:`talvenor.process.atmosphere.carbon_potential_wt`.  It sets
        ``carbon_potential_wt``, at the stage's temperature (a ramp needs the
        potential itself).
    carbon_transfer_m_s, nitrogen_transfer_m_s : float, optional
        Mass-transfer coefficient beta in m/s: the flux into the part is
        beta (y_potential - y_surface) in site fractions.  Without one, a
        given potential holds the surface at that composition.
    carbon_flux_g_m2_h : float, optional
        A boost of low-pressure carburizing in place of a carbon potential:
        the carbon that the atmosphere delivers per m² of treated surface
        and hour, positive.  All of it enters the part while the surface is
        below the carbon limit; there the surface stays, and what the part
        cannot take forms carbide at the surface.
    carbon_limit_wt : float, optional
        The carbon content at which carbides form at the surface, in wt%:
        by default the carbon solubility of austenite at the stage's
        temperature (:func:`carbon_solubility_wt`, 727-1148 °C) times the
        steel's ``carbide_limit_factor``; given, it is used as it is.  It bounds the
        surface of a boost, and of any stage while carbide remains.

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

    duration_h: float = _NOT_GIVEN
    duration_min: float | None = None
    temperature_c: float
    end_temperature_c: float | None = None
    carbon_potential_wt: float | None = None
    probe_mv: float | None = None
    co2_pct: float | None = None
    dew_point_c: float | None = None
    co_pct: float | None = None
    h2_pct: float | None = None
    process_factor: float | None = None
    carbon_transfer_m_s: float | None = None
    carbon_flux_g_m2_h: float | None = None
    carbon_limit_wt: float | None = None
    nitrogen_potential_wt: float | None = None
    nitrogen_transfer_m_s: float | None = None

    def __post_init__(self) -> None:
        self._take_duration()
        self._take_reading()
        for field in fields(self):
            value = getattr(self, field.name)
            if value is None and field.default is None:
                continue
            object.__setattr__(self, field.name, _validate.real(field.name, value))
        if self.duration_h <= 0.0:
            raise ValueError(f"duration_h must be positive, got {self.duration_h!r}")
        _validate.bounded("duration_h", self.duration_h, high=LONGEST_STAGE_H, unit="h")
        for name in ("temperature_c", "end_temperature_c"):
            value = getattr(self, name)
            if value is not None:
                _validate.celsius(name, value)
                _validate.bounded(name, value, high=MELTING_C, below=True, unit="°C", why="where steel melts")
        for element in ("carbon", "nitrogen"):
            potential = getattr(self, f"{element}_potential_wt")
            transfer = getattr(self, f"{element}_transfer_m_s")
            if transfer is not None and potential is None:
                raise ValueError(f"{element}_transfer_m_s = {transfer!r} is given without {element}_potential_wt")
            if transfer is not None and transfer <= 0.0:
                raise ValueError(f"{element}_transfer_m_s must be positive, got {transfer!r}")
            if potential is not None and potential < 0.0:
                raise ValueError(f"{element}_potential_wt must not be negative, got {potential!r}")
        self._check_boost()
        if (self.carbon_potential_wt or 0.0) + (self.nitrogen_potential_wt or 0.0) >= 100.0:
            raise ValueError("carbon_potential_wt + nitrogen_potential_wt must be below 100, got "
                             f"{self.carbon_potential_wt!r} + {self.nitrogen_potential_wt!r}")

    def _take_duration(self) -> None:
        """Set ``duration_h`` from ``duration_min`` where that is given instead."""
        if self.duration_min is None:
            if self.duration_h is _NOT_GIVEN:
                raise TypeError("Stage() needs its duration: give duration_h or duration_min")
            return
        minutes = _validate.real("duration_min", self.duration_min)
        if minutes <= 0.0:
            raise ValueError(f"duration_min must be positive, got {minutes!r}")
        if self.duration_h is not _NOT_GIVEN and self.duration_h != minutes / 60.0:
            raise ValueError(f"give duration_h or duration_min, not both: got duration_h = {self.duration_h!r} and "
                             f"duration_min = {self.duration_min!r}")
        object.__setattr__(self, "duration_h", minutes / 60.0)

    @property
    def reading(self) -> dict[str, float]:
        """The atmosphere reading the carbon potential comes from, as given
        (empty where the potential is given itself)."""
        return {name: getattr(self, name) for name in _READINGS if getattr(self, name) is not None}

    def _take_reading(self) -> None:
        """Set ``carbon_potential_wt`` from an atmosphere reading given instead."""
        reading = self.reading
        if not any(name in reading for name in _INSTRUMENTS):
            if reading:
                raise ValueError(f"{', '.join(reading)} without a reading: give probe_mv, co2_pct or dew_point_c")
            return
        if self.carbon_flux_g_m2_h is not None:
            raise ValueError("an atmosphere reading and carbon_flux_g_m2_h are both given: a boost has no potential")
        if self.end_temperature_c not in (None, self.temperature_c):
            raise ValueError("an atmosphere reading gives the potential at one temperature: on a ramp, give "
                             "carbon_potential_wt (or a furnace log)")
        potential = atmosphere.carbon_potential_wt(self.temperature_c, **reading)
        if self.carbon_potential_wt is not None and self.carbon_potential_wt != potential:
            given = ", ".join(f"{key} = {value!r}" for key, value in reading.items())
            raise ValueError(f"give carbon_potential_wt or an atmosphere reading, not both: got carbon_potential_wt = "
                             f"{self.carbon_potential_wt!r} and {given}")
        object.__setattr__(self, "carbon_potential_wt", potential)

    def _check_boost(self) -> None:
        flux, limit = self.carbon_flux_g_m2_h, self.carbon_limit_wt
        if flux is not None:
            if flux <= 0.0:
                raise ValueError(f"carbon_flux_g_m2_h must be positive, got {flux!r}")
            for name in ("carbon_potential_wt", "carbon_transfer_m_s"):
                if getattr(self, name) is not None:
                    raise ValueError(f"carbon_flux_g_m2_h = {flux!r} and {name} = {getattr(self, name)!r} are both "
                                     "given: a boost delivers its flux whatever the potential")
            low, high = AUSTENITE_RANGE_C
            start, end = self.temperatures_c
            if limit is None and not (low <= start <= high and low <= end <= high):
                raise ValueError(f"carbon_flux_g_m2_h needs carbon_limit_wt at {start:g} °C"
                                 f"{'' if end == start else f' to {end:g} °C'}: the carbon solubility "
                                 f"that limits the surface by default is known from {low:g} to {high:g} °C")
        if limit is not None and not 0.0 < limit < 100.0:
            raise ValueError(f"carbon_limit_wt must lie between 0 and 100, got {limit!r}")

    @property
    def duration_s(self) -> float:
        return self.duration_h * 3600.0

    @property
    def temperatures_c(self) -> tuple[float, float]:
        """The temperatures in °C at the start and at the end of the stage."""
        return self.temperature_c, self.temperature_c if self.end_temperature_c is None else self.end_temperature_c

    #: Whether the surface conditions change within the stage: they do not.
    varying: ClassVar[bool] = False

    @property
    def temperature_range_c(self) -> tuple[float, float]:
        """The lowest and the highest temperature of the stage, in °C."""
        start, end = self.temperatures_c
        return (start, end) if start <= end else (end, start)

    def peak_potential_y(self) -> tuple[float, float]:
        """The site fractions of the potentials (0 where there is none)."""
        return self.carbon.potential_y or 0.0, self.nitrogen.potential_y or 0.0

    def corners(self) -> tuple[float, ...]:
        """Where the steps of the stage must end, as fractions of it: at its end."""
        return (1.0,)

    def temperature_curve(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """The times from the start of the stage in hours, and the temperatures in °C, at its ends."""
        return np.array([0.0, self.duration_h]), np.array(self.temperatures_c)

    @property
    def ramped(self) -> bool:
        """Whether the temperature changes over the stage."""
        start, end = self.temperatures_c
        return end != start

    def cut_short(self, duration_h: float) -> Stage:
        """The stage cut short after ``duration_h``, where a ramp has got to by then."""
        fraction = duration_h / self.duration_h
        end_c = None if self.end_temperature_c is None else units.to_celsius(self.temperature_k(fraction))
        return dataclasses.replace(self, duration_h=duration_h, duration_min=None, end_temperature_c=end_c)

    def alloyed(self, alloy_factor: float) -> Stage:
        """The stage with its carbon potential as a steel of ``alloy_factor``
        reaches it (see :class:`Steel`)."""
        if self.carbon_potential_wt is None or alloy_factor == 1.0:
            return self
        readings: dict[str, Any] = dict.fromkeys(_READINGS)
        return dataclasses.replace(self, carbon_potential_wt=alloy_factor * self.carbon_potential_wt, **readings)

    def temperature_k(self, fraction: float) -> float:
        """The temperature in K at ``fraction`` (0 to 1) of the stage."""
        start, end = self.temperatures_c
        # A float also for a numpy fraction, so that messages show plain numbers.
        return float(units.to_kelvin(start + (end - start) * fraction))

    def carbon_limit_at(self, steel: Steel, fraction: float) -> float:
        """The carbon content in wt% at which carbide forms at the surface of
        ``steel`` at ``fraction`` of the stage: the stage's own
        ``carbon_limit_wt`` where it gives one, else
        :func:`~talvenor.process.model.solubility.carbon_limit_wt` at its
        temperature then.

        Raises
        ------
        ValueError
            Without a limit of its own, at a temperature outside 727-1148 °C.
        """
        if self.carbon_limit_wt is not None:
            return self.carbon_limit_wt
        return carbon_limit_wt(steel, units.to_celsius(self.temperature_k(fraction)))

    @functools.cached_property
    def carbon(self) -> SurfaceCondition:
        """The surface condition for carbon."""
        return self._condition(0)

    @functools.cached_property
    def nitrogen(self) -> SurfaceCondition:
        """The surface condition for nitrogen."""
        return self._condition(1)

    def _condition(self, index: int) -> SurfaceCondition:
        if index == 0 and self.carbon_flux_g_m2_h is not None:
            return Boost(self.carbon_flux_g_m2_h)
        carbon_wt, nitrogen_wt = self.carbon_potential_wt, self.nitrogen_potential_wt
        potential_y = float(site_fractions(carbon_wt or 0.0, nitrogen_wt or 0.0)[index])
        return condition((carbon_wt, nitrogen_wt)[index], potential_y,
                         (self.carbon_transfer_m_s, self.nitrogen_transfer_m_s)[index])
