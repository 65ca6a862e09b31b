"""talvenor's diffusion classes and Slycke model written in plain Python.

This is the code a user would write without the native library, with the same
checks and the same results as ``talvenor.diffusion`` and ``talvenor.slycke``:

- a composition array is a list (or list subclass) or any object with an
  attribute ``__array__``; anything else is a TypeError;
- the temperature is converted to float first, then the array is checked;
- a built-in model converts the array to a list of floats each time one of
  its two properties is evaluated, and refuses fewer than two entries;
- every floating-point step is one Python float operation, in the order the
  native code performs it, so finite results are bit-for-bit the same.

Where IEEE arithmetic gives an infinity (a zero divisor, an overflowing
exponential) Python raises ZeroDivisionError or OverflowError instead; the
native library returns the IEEE value. Argument-count errors come from the
Python interpreter and are worded as it words them.

The benchmarks time this module against the native one; tests check that the
two agree.
"""

import math

__all__ = [
    "GAS_CONSTANT",
    "PanicException",
    "PreExponentialFactor",
    "ActivationEnergy",
    "ArrheniusModifiedDiffusivity",
    "create_carbon_diffusivity",
    "create_nitrogen_diffusivity",
]

GAS_CONSTANT = 8.31446261815324  # J/(mol K)
_NEGATIVE_GAS_CONSTANT = -8.31446261815324


class PanicException(BaseException):
    """An internal fault of a model function, such as a too-short composition."""


def _real(value):
    """float(value) for a real number; unlike float(), text is refused."""
    if type(value) is float:
        return value
    if isinstance(value, float):
        # The stored value, as the native conversion reads it, even for a
        # subclass that overrides __float__.
        return float.__float__(value)
    kind = type(value)
    if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        raise TypeError(f"must be real number, not {kind.__name__}")
    return float(value)


def _temperature(value):
    try:
        return _real(value)
    except TypeError as error:
        raise TypeError(f"argument 'temperature': {error}") from error.__cause__


def _is_composition_array(array):
    if isinstance(array, list):
        return True
    try:
        getattr(array, "__array__")
    except Exception:
        return False
    return True


def _check_composition_array(array):
    if not _is_composition_array(array):
        raise TypeError("array must be a list or numpy array")


def _is_sequence(value):
    # What the interpreter counts as a sequence: indexable, and not a dict.
    return hasattr(type(value), "__getitem__") and not isinstance(value, dict)


def _composition(array):
    """The entries of a composition array as a new list of floats."""
    if not isinstance(array, list):
        if isinstance(array, str):
            raise TypeError("Can't extract `str` to `Vec`")
        if not _is_sequence(array):
            raise TypeError(f"'{type(array).__qualname__}' object is not an instance of 'Sequence'")
    return [item if type(item) is float else _real(item) for item in array]


class _Property:
    """A material property f(x, T): a Python function or a built-in model."""

    __slots__ = ("_callback", "_model")

    def __init__(self, callback):
        if not callable(callback):
            raise TypeError("callback must be callable with signature: fn(x[], T)")
        self._callback = callback
        self._model = None

    @classmethod
    def _from_model(cls, model):
        prop = object.__new__(cls)
        prop._callback = None
        prop._model = model
        return prop

    def _evaluate(self, array, temperature):
        _check_composition_array(array)
        if self._model is not None:
            return self._model(_composition(array), temperature)
        return _real(self._callback(array, temperature))

    def __call__(self, array, temperature):
        temperature = _temperature(temperature)
        return self._evaluate(array, temperature)


class PreExponentialFactor(_Property):
    """The pre-exponential factor D0(x, T) [m²/s], from a function fn(x, T)."""

    __slots__ = ()


class ActivationEnergy(_Property):
    """The activation energy Q(x, T) [J/mol], from a function fn(x, T)."""

    __slots__ = ()


def _instance_of(name, value, kind):
    if not isinstance(value, kind):
        raise TypeError(
            f"argument '{name}': '{type(value).__qualname__}' object is not an instance of '{kind.__qualname__}'"
        )


class ArrheniusModifiedDiffusivity:
    """D(x, T) = D0(x, T) * exp(-Q(x, T) / (R * T)) [m²/s].

    Give one source per role: ``pre_exponential_factor`` or
    ``pre_exponential_func`` for D0, and ``activation_energy`` or
    ``activation_energy_func`` for Q.
    """

    __slots__ = ("_pre_exponential", "_activation_energy")

    def __init__(
        self,
        pre_exponential_factor=None,
        activation_energy=None,
        pre_exponential_func=None,
        activation_energy_func=None,
    ):
        if pre_exponential_factor is not None:
            _instance_of("pre_exponential_factor", pre_exponential_factor, PreExponentialFactor)
        if activation_energy is not None:
            _instance_of("activation_energy", activation_energy, ActivationEnergy)
        if (pre_exponential_factor is None) == (pre_exponential_func is None) or (activation_energy is None) == (
            activation_energy_func is None
        ):
            raise ValueError(
                "Must provide either (pre_exponential, activation_energy) objects or "
                "(pre_exponential_func, activation_energy_func) functions"
            )
        self._pre_exponential = _property(pre_exponential_factor, pre_exponential_func)
        self._activation_energy = _property(activation_energy, activation_energy_func)

    @classmethod
    def _from_models(cls, pre_exponential, activation_energy):
        diffusivity = object.__new__(cls)
        diffusivity._pre_exponential = _Property._from_model(pre_exponential)
        diffusivity._activation_energy = _Property._from_model(activation_energy)
        return diffusivity

    def __call__(self, array, temperature):
        temperature = _temperature(temperature)
        _check_composition_array(array)
        d0 = self._pre_exponential._evaluate(array, temperature)
        q = self._activation_energy._evaluate(array, temperature)
        t = temperature * _NEGATIVE_GAS_CONSTANT
        u = q / t
        return d0 * math.exp(u)


def _property(prop, function):
    """The state behind one role: a copy of the given property, or a new one."""
    if prop is not None:
        copy = object.__new__(_Property)
        copy._callback = prop._callback
        copy._model = prop._model
        return copy
    return _Property(function)


# The Slycke model of carbon and nitrogen diffusion in austenite. Entry 0 of
# the composition is x0, entry 1 is x1; later entries are ignored.

_X1_WEIGHT = 0.72
_ACTIVATION_SLOPE = -570000.0
_CARBON_ACTIVATION_AT_ZERO = 155000.0
_NITROGEN_ACTIVATION_AT_ZERO = 168600.0
_EXPONENT_FACTOR = -38.487153613672334  # -320 / R
_LINEAR_FACTOR = 5.0
_CARBON_SCALE = 4.84e-5
_NITROGEN_SCALE = 9.1e-5


def _composition_term(x):
    if len(x) < 2:
        raise PanicException("composition array must have at least two elements")
    return (x[1] * _X1_WEIGHT) + x[0]


def _pre_exponential(s, linear_entry, x0, x1, scale):
    a = (1.0 - (linear_entry * _LINEAR_FACTOR)) * scale
    e = math.exp(s * _EXPONENT_FACTOR)
    b = 1.0 - ((x0 + x1) * _LINEAR_FACTOR)
    return (e / b) * a


def _carbon_pre_exponential(x, temperature):
    s = _composition_term(x)
    return _pre_exponential(s, x[1], x[0], x[1], _CARBON_SCALE)


def _carbon_activation_energy(x, temperature):
    return (_composition_term(x) * _ACTIVATION_SLOPE) + _CARBON_ACTIVATION_AT_ZERO


def _nitrogen_pre_exponential(x, temperature):
    s = _composition_term(x)
    return _pre_exponential(s, x[0], x[0], x[1], _NITROGEN_SCALE)


def _nitrogen_activation_energy(x, temperature):
    return (_composition_term(x) * _ACTIVATION_SLOPE) + _NITROGEN_ACTIVATION_AT_ZERO


def create_carbon_diffusivity():
    return ArrheniusModifiedDiffusivity._from_models(_carbon_pre_exponential, _carbon_activation_energy)


def create_nitrogen_diffusivity():
    return ArrheniusModifiedDiffusivity._from_models(_nitrogen_pre_exponential, _nitrogen_activation_energy)
