"""The finite-volume operator of one time: face conductances and the surface flux."""

from __future__ import annotations

from dataclasses import dataclass

from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from .tridiagonal import Tridiagonal

__all__ = ["Operator"]

if TYPE_CHECKING:
    _Array = NDArray[np.float64]


@dataclass
class Operator:
    """The diffusivities at one time, as the surface flux ``source - g y_0``
    and the face conductances ``A D / h`` of the active elements use them."""

    faces: _Array  # (active elements, cells): the conductance to the next cell, none from the last
    g: _Array  # (active elements,)
    source: _Array  # (active elements,)

    def system(self, scale: _Array) -> Tridiagonal:
        """The matrix ``scale + A``, the elements' systems stacked: the
        conductance of the last face of an element, none, couples it to the
        next one."""
        faces = self.faces
        diagonal = scale + faces
        diagonal[:, 1:] += faces[:, :-1]
        diagonal[:, 0] += self.g
        return Tridiagonal(diagonal.ravel(), faces.ravel()[:-1])

    def rates(self, y: _Array) -> tuple[_Array, _Array]:
        """The rates V dy/dt of the profiles ``y``, and the surface fluxes."""
        flow = self.faces[:, :-1] * (y[:, :-1] - y[:, 1:])
        f = np.zeros(y.shape)
        f[:, 1:] = flow
        f[:, :-1] -= flow
        flux = self.surface_flux(y)
        f[:, 0] += flux
        return f, flux

    def surface_flux(self, y: _Array) -> _Array:
        return self.source - self.g * y[:, 0]
