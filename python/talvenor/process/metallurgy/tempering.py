"""Tempering: how much of its hardness martensite keeps.

The Hollomon-Jaffe tempering parameter with a carbon-dependent constant,
K = 21.3 - 5.8 C (the time in hours), gives the temperature at which an hour
tempers as much as the temper given::

    T_eq = (T + 273) (K + log10 t) / K - 273        (°C)

and the martensite keeps the fraction f of its hardness (in HV), with
T = T_eq in °C and C in wt%::

    C < 0.45:  f = 1.304 (1 - 0.0013323 T) (1 - 0.3619482 C)
    C ≥ 0.45:  f = 1.102574 (1 - 0.0016554 T) (1 + 0.19088063 C)

f is capped at 1 (the formula exceeds 1 below about 130 °C, where martensite
does not soften measurably) and held at 0 where it would fall below.  Source:
the C-Q-T model, Integrating Materials and Manufacturing Innovation (2018),
doi 10.1007/s40192-018-0107-x, equations 20-23.  It was fitted to quenched
and tempered steels; a carburized case uses its low-temperature end.
Nitrogen counts as carbon.

Retained austenite is taken as unchanged by tempering: it decomposes in the
second stage of tempering, 200-300 °C, which is not modelled (a temper above
200 °C is warned of).  A temper above 600 °C is refused: there the formula
for C ≥ 0.45 wt% leaves martensite no hardness at all (it reaches 0 at
604 °C), which means nothing, and the steel nears its lower critical
temperature.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import _validate
from ..schedule.stage import LONGEST_STAGE_H

__all__ = ["Temper", "TEMPER_RANGE_C", "RETAINED_AUSTENITE_STABLE_C"]

#: The tempering temperatures in °C that the model takes.
TEMPER_RANGE_C = (0.0, 600.0)
#: Up to this temperature in °C retained austenite stays as it is.
RETAINED_AUSTENITE_STABLE_C = 200.0


@dataclass(frozen=True)
class Temper:
    """A temper after the quench: ``temperature_c`` (0 to 600 °C) for
    ``duration_h`` hours (positive, at most 10,000).

    Examples
    --------
    >>> temper = Temper(180.0, 2.0)
    >>> round(float(temper.equivalent_c(0.8)), 1), round(float(temper.martensite_fraction(0.8)), 3)
    (188.2, 0.875)
    """

    temperature_c: float
    duration_h: float

    def __post_init__(self) -> None:
        low, high = TEMPER_RANGE_C
        temperature = _validate.real("temperature_c", self.temperature_c)
        object.__setattr__(self, "temperature_c", _validate.bounded(
            "temperature_c", temperature, low=low, high=high, unit="°C", why="where the tempering model holds"))
        duration = _validate.real("duration_h", self.duration_h, "positive")
        object.__setattr__(self, "duration_h", _validate.bounded("duration_h", duration, high=LONGEST_STAGE_H,
                                                                 unit="h"))

    def equivalent_c(self, carbon_wt: ArrayLike) -> NDArray[np.float64]:
        """The temperature in °C at which an hour tempers martensite of
        ``carbon_wt`` as much as this temper does (Hollomon-Jaffe)."""
        k = 21.3 - 5.8 * np.asarray(carbon_wt, dtype=float)
        return np.asarray((self.temperature_c + 273.0) * (k + np.log10(self.duration_h)) / k - 273.0, dtype=float)

    def martensite_fraction(self, carbon_wt: ArrayLike) -> NDArray[np.float64]:
        """The fraction of its hardness in HV that martensite of ``carbon_wt``
        keeps, from 0 to 1."""
        c = np.asarray(carbon_wt, dtype=float)
        t = self.equivalent_c(c)
        lean = 1.304 * (1.0 - 0.0013323 * t) * (1.0 - 0.3619482 * c)
        rich = 1.102574 * (1.0 - 0.0016554 * t) * (1.0 + 0.19088063 * c)
        return np.clip(np.where(c < 0.45, lean, rich), 0.0, 1.0)

    @property
    def warnings(self) -> tuple[str, ...]:
        """What the model leaves out at this temper."""
        if self.temperature_c <= RETAINED_AUSTENITE_STABLE_C:
            return ()
        return (f"the temper at {self.temperature_c:g} °C is above {RETAINED_AUSTENITE_STABLE_C:g} °C, where retained "
                "austenite begins to decompose; that is not modelled, and the retained austenite is as quenched",)
