# Composition-dependent properties and the Arrhenius-type diffusivity
#     D(x, T) = D0(x, T) * exp(-Q(x, T) / (R * T))
# with D in m^2/s, Q in J/mol, T in K and R the gas constant in J/(mol K).
from collections.abc import Callable
from typing import Any, Protocol, Self, TypeAlias, final, type_check_only

__all__ = ["PreExponentialFactor", "ActivationEnergy", "ArrheniusModifiedDiffusivity"]

@type_check_only
class _SupportsArray(Protocol):
    # Any object with an ``__array__`` attribute (a numpy array, for one) is
    # accepted as a composition; the attribute is only looked up, never called.
    @property
    def __array__(self) -> object: ...

# A composition: a list of numbers, or an array-like object such as a numpy
# array.  Tuples and other sequences are refused at run time.
_Composition: TypeAlias = list[float] | _SupportsArray

# A property function fn(x, T): called with the composition exactly as it was
# passed in (the same list or array object) and the temperature as a float.
_PropertyFunction: TypeAlias = Callable[[Any, float], float]

@final
class PreExponentialFactor:
    """The pre-exponential factor D0(x, T) [m²/s], from a function fn(x, T)."""

    def __new__(cls, callback: _PropertyFunction) -> Self: ...
    def __call__(self, array: _Composition, temperature: float) -> float: ...

@final
class ActivationEnergy:
    """The activation energy Q(x, T) [J/mol], from a function fn(x, T)."""

    def __new__(cls, callback: _PropertyFunction) -> Self: ...
    def __call__(self, array: _Composition, temperature: float) -> float: ...

@final
class ArrheniusModifiedDiffusivity:
    """D(x, T) = D0(x, T) * exp(-Q(x, T) / (R * T)) [m²/s].

    Give one source per role: ``pre_exponential_factor`` or
    ``pre_exponential_func`` for D0, and ``activation_energy`` or
    ``activation_energy_func`` for Q.  Any other combination raises
    ValueError.
    """

    def __new__(
        cls,
        pre_exponential_factor: PreExponentialFactor | None = None,
        activation_energy: ActivationEnergy | None = None,
        pre_exponential_func: _PropertyFunction | None = None,
        activation_energy_func: _PropertyFunction | None = None,
    ) -> Self: ...
    def __call__(self, array: _Composition, temperature: float) -> float: ...
