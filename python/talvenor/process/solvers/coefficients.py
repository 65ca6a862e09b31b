"""The diffusivities of a stage at the compositions a step needs them at."""

from __future__ import annotations

import array
import itertools
import math
import numbers

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from ..model.diffusivity import Diffusivities, Domain
from .failure import Failure

__all__ = ["ELEMENTS", "Coefficients"]

ELEMENTS = ("carbon", "nitrogen")

if TYPE_CHECKING:
    _Array = NDArray[np.float64]


class Coefficients:
    """The ``diffusivities`` of a stage, each evaluated where a step needs it;
    a value that is not a finite real number, not negative, is a Failure
    that names the element, the composition and the temperature.  A stage
    whose range reaches the singularity of its domain (``singular``; None
    where it cannot) has that named instead where it is the cause."""

    def __init__(self, diffusivities: Diffusivities, singular: Domain | None) -> None:
        self.diffusivities = diffusivities
        self.singular = singular

    def at(self, element: int, compositions: list[list[float]], temperature: float) -> _Array:
        """D of an element at each of the ``compositions`` [y_C, y_N]."""
        values = list(map(self.diffusivities[element], compositions, itertools.repeat(temperature)))
        name = ELEMENTS[element]
        try:
            result = np.frombuffer(array.array("d", values), dtype=np.float64)
        except TypeError:
            j, value = next((j, v) for j, v in enumerate(values) if not isinstance(v, numbers.Real))
            raise Failure(f"the {name} diffusivity returned {value!r}, of type {type(value).__name__}, at "
                          f"{_where(compositions[j], temperature)}; it must return a real number") from None
        if not (result.min() >= 0.0 and result.max() < math.inf):
            j = int(np.flatnonzero(~((result >= 0.0) & (result < math.inf)))[0])
            self.check_reach(np.array(compositions[j])[:, None])
            raise Failure(f"the {name} diffusivity is {float(values[j])!r} m²/s at "
                          f"{_where(compositions[j], temperature)}; it must be finite and not negative")
        return result

    def at_surface(self, surface: list[float], temperature: float, active: list[int]) -> list[float]:
        """D of the ``active`` elements at the composition ``surface`` (0.0 for the others)."""
        diffusivity = [0.0, 0.0]
        for i in active:
            value = self.diffusivities[i](surface, temperature)
            if not (isinstance(value, float) and 0.0 <= value < math.inf):
                value = float(self.at(i, [surface], temperature)[0])  # names what is wrong
            diffusivity[i] = value
        return diffusivity

    def check_reach(self, y: _Array) -> None:
        """Refuse profiles ``y`` (2, n) that reach the singularity."""
        domain = self.singular
        if domain is None:
            return
        reach = domain.reach(y[0], y[1])
        if reach.max() >= 1.0:
            j = int(np.argmax(reach >= 1.0))
            raise Failure(f"carbon and nitrogen reach {domain.reach_name} = {float(reach[j])!r} "
                          f"(y_C = {float(y[0, j])!r}, y_N = {float(y[1, j])!r}), {domain.singular}")


def _where(composition: list[float], temperature: float) -> str:
    return f"y_C = {composition[0]!r}, y_N = {composition[1]!r} and {temperature!r} K"
