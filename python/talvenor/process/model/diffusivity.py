"""The diffusivities of carbon and nitrogen that a run uses, and where they hold.

By default they are the Slycke diffusivities of :mod:`talvenor.slycke`, made
for austenite from 727 to 1148 °C and singular where 5 (y_C + y_N) reaches
1 (about 4 wt% carbon and nitrogen together).  A run outside that range is
warned of; one that reaches the singularity is refused.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable
from dataclasses import dataclass
from typing import TypeVar

import numpy as np
from numpy.typing import NDArray

from .solubility import AUSTENITE_RANGE_C

__all__ = ["Diffusivity", "Domain", "Diffusivities", "SLYCKE"]

#: ``f([y_C, y_N], temperature_kelvin) -> m²/s``, as the library's own diffusivities are called.
Diffusivity = Callable[[list[float], float], float]

# A site fraction, or site fractions at many points.
_Y = TypeVar("_Y", float, NDArray[np.float64])


@dataclass(frozen=True)
class Domain:
    """Where a pair of diffusivities holds.

    Attributes
    ----------
    name : str
        Their name in messages, such as ``"Slycke"``.
    temperature_range_c : tuple of float
        The temperatures in °C that they are made for, which
        ``range_name`` names.
    range_name : str
        What that range is, such as ``"the austenite range"``.
    singular_weight : float
        They are singular where ``singular_weight * (y_C + y_N)`` reaches 1.
    """

    name: str
    temperature_range_c: tuple[float, float]
    range_name: str
    singular_weight: float

    def reach(self, y_carbon: _Y, y_nitrogen: _Y) -> _Y:
        """How far a composition is towards the singularity, at 1."""
        return self.singular_weight * (y_carbon + y_nitrogen)

    @property
    def reach_name(self) -> str:
        """The expression of :meth:`reach`, for messages."""
        return f"{self.singular_weight:g} (y_C + y_N)"

    @property
    def singular(self) -> str:
        """The end of a message that a composition is out of reach."""
        return f"where the {self.name} diffusivities are singular"


#: The domain of the Slycke diffusivities.
SLYCKE = Domain("Slycke", AUSTENITE_RANGE_C, "the austenite range", 5.0)


@dataclass(frozen=True)
class Diffusivities:
    """The diffusivities of carbon and of nitrogen in a run (None for the
    Slycke one built in, which the run evaluates natively), and the domain
    that the run keeps to: None for diffusivities of the caller's own, whose
    range only the caller knows."""

    carbon: Diffusivity | float | None
    nitrogen: Diffusivity | float | None
    domain: Domain | None

    @classmethod
    def of(cls, carbon: Diffusivity | float | None = None,
           nitrogen: Diffusivity | float | None = None) -> Diffusivities:
        """``carbon`` and ``nitrogen`` (callables, or constants in m²/s), the
        Slycke diffusivities for either not given; a run with either of those
        keeps to their domain.

        Raises
        ------
        TypeError
            For a diffusivity that is neither callable nor a number.
        ValueError
            For a constant that is negative or not finite.
        """
        domain = SLYCKE if carbon is None or nitrogen is None else None
        return cls(_checked("carbon_diffusivity", carbon), _checked("nitrogen_diffusivity", nitrogen), domain)


def _checked(name: str, value: Diffusivity | float | None) -> Diffusivity | float | None:
    if value is None:
        return None
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        constant = float(value)
        if not (math.isfinite(constant) and constant >= 0.0):
            raise ValueError(f"{name} must be finite and not negative, got {constant!r}")
        return constant
    if not callable(value):
        raise TypeError(f"{name} must be callable as f(composition, temperature_kelvin), or a constant in m²/s, "
                        f"got {value!r}")
    return value
