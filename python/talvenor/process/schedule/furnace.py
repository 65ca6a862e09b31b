"""The furnace a cycle is designed for: what it can do, and the parts of
every cycle that are not designed (the heat-up, and the tail down to the
hardening temperature)."""

from __future__ import annotations

from dataclasses import dataclass, fields
from typing import Any

from .. import _validate
from ..model.solubility import austenite_temperature
from .stage import Stage

__all__ = ["Furnace", "FURNACE_KINDS", "COOLING_RATE_C_H", "MIN_PULSE_MIN"]

#: The kinds of furnace: gas carburizing at a carbon potential, and
#: low-pressure (vacuum) carburizing at a carbon flux.
FURNACE_KINDS = ("gas", "vacuum")
#: The cool-down to the hardening temperature, in °C per hour, where neither
#: ``cooling_rate_c_h`` nor ``cooling_h`` is given: a batch furnace's
#: setting, not physics.
COOLING_RATE_C_H = 100.0
#: The shortest pulse of a vacuum furnace in minutes, unless given.
MIN_PULSE_MIN = 1.0

# The keys that belong to one kind of furnace only.
_GAS_KEYS = ("carbon_potential_range_wt", "carbon_transfer_m_s", "tail_potential_wt")
_VACUUM_KEYS = ("carbon_flux_g_m2_h", "carbon_limit_wt", "min_pulse_min")


@dataclass(frozen=True, kw_only=True)
class Furnace:
    """A carburizing furnace as a design sees it, and the fixed parts of its
    cycles: the ``[furnace]`` table of a recipe file that asks for a design.

    Every cycle is: the heat-up, with the atmosphere off; the carburizing
    the design chooses (a boost and a diffuse in gas, pulses in vacuum); the
    cool-down to the hardening temperature and the hold there (the tail);
    then the quench.  The defaults below are a batch furnace's usual
    settings, not physics: set them to the furnace's own.

    Parameters
    ----------
    kind : {"gas", "vacuum"}
        Gas carburizing at a carbon potential, with mass transfer or with
        the surface held at the potential; or low-pressure (vacuum)
        carburizing, boosts at a carbon flux and diffuses without gas.
    temperature_c : float, optional
        The carburizing temperature in °C, from 727 to 1148 (where the Slycke
        diffusivities and the carbon solubility hold).
    temperature_range_c : (float, float), optional
        The range the design may choose the carburizing temperature from,
        instead of ``temperature_c`` (give one of the two).
    carbon_potential_range_wt : (float, float)
        Gas: the lowest and the highest carbon potential in wt% that the
        atmosphere can hold.  The boost runs at the highest (at most the
        carbon solubility, so that no carbide forms), the diffuse at what the
        surface is aimed at.
    carbon_transfer_m_s : float, optional
        Gas: the mass-transfer coefficient of the atmosphere in m/s; without
        one the surface is held at the potential.
    tail_potential_wt : float, optional
        Gas: the carbon potential of the cool-down and the hold; by default
        that of the diffuse.
    carbon_flux_g_m2_h : float
        Vacuum: the carbon a boost delivers, in g per m² of surface and hour.
    carbon_limit_wt : float, optional
        Vacuum: the carbon content at which carbide forms at the surface; by
        default the carbon solubility at the temperature times the steel's
        ``carbide_limit_factor``.
    min_pulse_min : float
        Vacuum: the shortest boost or diffuse in minutes (default 1).
    heat_up_h : float
        The heat-up in hours, with the atmosphere off (default 1 h).
    heat_up_from_c : float, optional
        Where the heat-up is a ramp: the temperature in °C it starts at (727
        °C at the lowest, as the part is austenite from there); by default
        the part spends ``heat_up_h`` at the carburizing temperature.
    hardening_c : float, optional
        The temperature in °C the part is cooled to and quenched from
        (default 850 °C); None quenches from the carburizing temperature.
    cooling_rate_c_h : float, optional
        The cool-down to ``hardening_c`` in °C per hour (default 100).
    cooling_h : float, optional
        Or its duration in hours (give one of the two).
    hold_h : float
        The hold at ``hardening_c`` before the quench, in hours (default 0.5).
    longest_h : float
        The longest cycle the design may choose, heat-up and tail included,
        in hours (default 100).

    Raises
    ------
    ValueError, TypeError
        For a value out of range or of the wrong type, a key of the other
        kind of furnace, or a missing one; the message names it.

    Examples
    --------
    >>> furnace = Furnace(kind="gas", temperature_c=930.0, carbon_potential_range_wt=(0.6, 1.15),
    ...                   carbon_transfer_m_s=2e-7)
    >>> [(stage.duration_h, stage.temperatures_c) for stage in furnace.tail(930.0, 0.7)]
    [(0.8, (930.0, 850.0)), (0.5, (850.0, 850.0))]
    """

    kind: str
    temperature_c: float | None = None
    temperature_range_c: tuple[float, float] | None = None
    carbon_potential_range_wt: tuple[float, float] | None = None
    carbon_transfer_m_s: float | None = None
    tail_potential_wt: float | None = None
    carbon_flux_g_m2_h: float | None = None
    carbon_limit_wt: float | None = None
    min_pulse_min: float | None = None
    heat_up_h: float = 1.0
    heat_up_from_c: float | None = None
    hardening_c: float | None = 850.0
    cooling_rate_c_h: float | None = None
    cooling_h: float | None = None
    hold_h: float = 0.5
    longest_h: float = 100.0

    def __post_init__(self) -> None:
        kind = _validate.one_of("kind", self.kind, FURNACE_KINDS)
        others = _VACUUM_KEYS if kind == "gas" else _GAS_KEYS
        given = [name for name in others if getattr(self, name) is not None]
        if given:
            raise ValueError(f"{given[0]} is a key of a {'vacuum' if kind == 'gas' else 'gas'} furnace, not of a "
                             f"{kind} one")
        self._check_temperatures()
        if kind == "gas":
            self._check_gas()
        else:
            self._check_vacuum()
        for name in ("heat_up_h", "hold_h"):
            self._set(name, _validate.real(name, getattr(self, name), "not negative"))
        self._set("longest_h", _validate.real("longest_h", self.longest_h, "positive"))
        if self.cooling_rate_c_h is not None and self.cooling_h is not None:
            raise ValueError("give cooling_rate_c_h or cooling_h, not both")
        self._set("cooling_rate_c_h", _validate.optional("cooling_rate_c_h", self.cooling_rate_c_h, "positive"))
        self._set("cooling_h", _validate.optional("cooling_h", self.cooling_h, "positive"))

    def _set(self, name: str, value: Any) -> None:
        object.__setattr__(self, name, value)

    def _check_temperatures(self) -> None:
        if (self.temperature_c is None) == (self.temperature_range_c is None):
            raise ValueError("give the carburizing temperature: temperature_c or temperature_range_c, one of the two")
        if self.temperature_c is not None:
            self._set("temperature_c", _carburizing_c("temperature_c", self.temperature_c))
        else:
            self._set("temperature_range_c", _range("temperature_range_c", self.temperature_range_c, _carburizing_c))
        low_c, high_c = self.temperatures_c
        if self.heat_up_from_c is not None:
            start_c = _carburizing_c("heat_up_from_c", self.heat_up_from_c)
            self._set("heat_up_from_c", _validate.bounded("heat_up_from_c", start_c, high=low_c, unit="°C",
                                                          why="the carburizing temperature"))
        if self.hardening_c is not None:
            hardening_c = _carburizing_c("hardening_c", self.hardening_c)
            self._set("hardening_c", _validate.bounded("hardening_c", hardening_c, high=low_c, unit="°C",
                                                       why="the carburizing temperature"))

    def _check_gas(self) -> None:
        if self.carbon_potential_range_wt is None:
            raise ValueError("a gas furnace needs carbon_potential_range_wt, the lowest and the highest carbon "
                             "potential its atmosphere can hold")
        self._set("carbon_potential_range_wt",
                  _range("carbon_potential_range_wt", self.carbon_potential_range_wt,
                         lambda name, value: _validate.real(name, value, "positive")))
        self._set("carbon_transfer_m_s", _validate.optional("carbon_transfer_m_s", self.carbon_transfer_m_s,
                                                            "positive"))
        self._set("tail_potential_wt", _validate.optional("tail_potential_wt", self.tail_potential_wt, "positive"))

    def _check_vacuum(self) -> None:
        if self.carbon_flux_g_m2_h is None:
            raise ValueError("a vacuum furnace needs carbon_flux_g_m2_h, the carbon a boost delivers")
        self._set("carbon_flux_g_m2_h", _validate.real("carbon_flux_g_m2_h", self.carbon_flux_g_m2_h, "positive"))
        self._set("carbon_limit_wt", _validate.optional("carbon_limit_wt", self.carbon_limit_wt, "positive"))
        self._set("min_pulse_min", MIN_PULSE_MIN if self.min_pulse_min is None
                  else _validate.real("min_pulse_min", self.min_pulse_min, "positive"))

    @property
    def temperatures_c(self) -> tuple[float, float]:
        """The lowest and the highest carburizing temperature the design may choose, in °C."""
        if self.temperature_range_c is not None:
            return self.temperature_range_c
        assert self.temperature_c is not None
        return self.temperature_c, self.temperature_c

    def given(self) -> dict[str, Any]:
        """The keys that differ from their defaults (with the kind), as a ``[furnace]`` table holds them."""
        # A vacuum furnace fills in its shortest pulse, which is then its default.
        defaults = {field.name: MIN_PULSE_MIN if field.name == "min_pulse_min" and self.kind == "vacuum"
                    else field.default for field in fields(self)}
        return {name: getattr(self, name) for name, default in defaults.items()
                if name == "kind" or getattr(self, name) != default}

    def heat_up(self, temperature_c: float) -> tuple[Stage, ...]:
        """The heat-up to ``temperature_c``, with the surface closed (none
        where ``heat_up_h`` is 0)."""
        if self.heat_up_h == 0.0:
            return ()
        start_c = temperature_c if self.heat_up_from_c is None else self.heat_up_from_c
        return (Stage(duration_h=self.heat_up_h, temperature_c=start_c,
                      end_temperature_c=None if start_c == temperature_c else temperature_c),)

    def cooling_time_h(self, temperature_c: float) -> float:
        """How long the cool-down from ``temperature_c`` to the hardening temperature lasts, in hours."""
        if self.hardening_c is None or self.hardening_c == temperature_c:
            return 0.0
        if self.cooling_h is not None:
            return self.cooling_h
        rate = COOLING_RATE_C_H if self.cooling_rate_c_h is None else self.cooling_rate_c_h
        return (temperature_c - self.hardening_c) / rate

    def tail(self, temperature_c: float, potential_wt: float | None = None) -> tuple[Stage, ...]:
        """The cool-down from ``temperature_c`` to the hardening temperature
        and the hold there: in gas at ``tail_potential_wt`` (else
        ``potential_wt``) with the furnace's mass transfer, in vacuum with the
        surface closed."""
        atmosphere: dict[str, Any] = {}
        if self.kind == "gas":
            potential = self.tail_potential_wt if self.tail_potential_wt is not None else potential_wt
            if potential is None:
                raise ValueError("the tail of a gas furnace needs a carbon potential: give tail_potential_wt")
            atmosphere = dict(carbon_potential_wt=potential, carbon_transfer_m_s=self.carbon_transfer_m_s)
        hardening_c = temperature_c if self.hardening_c is None else self.hardening_c
        stages = []
        if (cooling_h := self.cooling_time_h(temperature_c)) > 0.0:
            stages.append(Stage(duration_h=cooling_h, temperature_c=temperature_c, end_temperature_c=hardening_c,
                                **atmosphere))
        if self.hold_h > 0.0:
            stages.append(Stage(duration_h=self.hold_h, temperature_c=hardening_c, **atmosphere))
        return tuple(stages)

    def fixed_h(self, temperature_c: float) -> float:
        """The hours of a cycle at ``temperature_c`` that the design does not choose: the heat-up and the tail."""
        return self.heat_up_h + self.cooling_time_h(temperature_c) + self.hold_h


def _carburizing_c(name: str, value: object) -> float:
    return austenite_temperature(name, value, why="where the Slycke diffusivities and the carbon solubility hold")


def _range(name: str, value: object, check: Any) -> tuple[float, float]:
    """``value``, a pair (low, high) whose ends pass ``check(name, end)``, in order."""
    if not isinstance(value, tuple | list) or len(value) != 2:
        raise ValueError(f"{name} must be a pair [low, high], got {value!r}")
    low, high = (check(name, end) for end in value)
    if low > high:
        raise ValueError(f"{name} must be [low, high] with low at most high, got {list(value)!r}")
    return float(low), float(high)
