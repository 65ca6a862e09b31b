"""Random argument shapes and random inputs, compared with small models.

The first group draws positional arguments and keyword dictionaries for every
constructor and call of the three classes and compares the outcome (the
result, or the exception class and message) with a pure-Python model of the
argument parser and of the steps that follow it.  The second group draws
composition arrays and temperatures for the two Slycke diffusivities and
compares them with the model formula, operation by operation.  Every example
also checks that the call gave back every reference it took.

Conversions that the library hands to the interpreter (PyFloat_AsDouble,
PySequence_Check) are taken from the interpreter itself through ctypes, so
the interpreter's own messages need no copy here.

HYPOTHESIS_PROFILE=thorough runs many more examples.
"""

import contextlib
import ctypes
import gc
import math
import os
import struct
import sys
import warnings
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from talvenor import diffusion, slycke
from ieee import c_exp, combine, ieee_div

settings.register_profile("fuzz", max_examples=100, deadline=None)
settings.register_profile("fuzz-thorough", max_examples=4000, deadline=None)
fuzz = settings(
    settings.get_profile("fuzz-thorough" if os.environ.get("HYPOTHESIS_PROFILE") == "thorough" else "fuzz"),
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

ActivationEnergy = diffusion.ActivationEnergy
PreExponentialFactor = diffusion.PreExponentialFactor
ArrheniusModifiedDiffusivity = diffusion.ArrheniusModifiedDiffusivity


def _panic_class():
    try:
        slycke.create_carbon_diffusivity()([], 1.0)
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        return type(error)
    raise AssertionError("a composition of no entries did not fault")


PANIC = _panic_class()

_float_as_double = ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.py_object)(("PyFloat_AsDouble", ctypes.pythonapi))
_sequence_check = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(("PySequence_Check", ctypes.pythonapi))


# ---------------------------------------------------------------------------
# the model
# ---------------------------------------------------------------------------

NOT_GIVEN = object()
NOT_AN_ARRAY = "array must be a list or numpy array"
NOT_CALLABLE = "callback must be callable with signature: fn(x[], T)"
STR_ARRAY = "Can't extract `str` to `Vec`"
SHORT = "composition array must have at least two elements"
MODE = ("Must provide either (pre_exponential, activation_energy) objects or "
        "(pre_exponential_func, activation_energy_func) functions")


class ModelPanic(Exception):
    """What the model raises where the library raises PanicException."""


class Signature:
    def __init__(self, cls, function, params, required):
        self.full = f"{cls}.{function}()"
        self.params, self.required = params, required


def lossy(text):
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def quoted(names):
    words = [f"'{name}'" for name in names]
    if len(words) <= 2:
        return " and ".join(words)
    return ", ".join(words[:-1]) + ", and " + words[-1]


def text_of(obj, unraisable):
    """str() of obj as a message shows it; a failing str() goes to the unraisable hook."""
    try:
        return lossy(str(obj))
    except Exception:
        unraisable.append(id(obj))
        return f"<unprintable {type(obj).__name__} object>"


def key_name(key):
    """The key's text as the parser compares it, or None where it has none (not a str, lone surrogates)."""
    if not isinstance(key, str):
        return None
    try:
        return str.encode(key, "utf-8").decode("utf-8")
    except UnicodeEncodeError:
        return None


def parse(sig, args, kwargs, unraisable):
    count, given = len(sig.params), len(args)
    slots = list(args[:count]) + [NOT_GIVEN] * max(0, count - given)
    if given > count:
        verb = "was" if given == 1 else "were"
        if sig.required == count:
            raise TypeError(f"{sig.full} takes {count} positional arguments but {given} {verb} given")
        raise TypeError(f"{sig.full} takes from {sig.required} to {count} positional arguments "
                        f"but {given} {verb} given")
    for key, value in kwargs.items():
        name = key_name(key)
        if name not in sig.params:
            raise TypeError(f"{sig.full} got an unexpected keyword argument '{text_of(key, unraisable)}'")
        index = sig.params.index(name)
        if slots[index] is not NOT_GIVEN:
            raise TypeError(f"{sig.full} got multiple values for argument '{name}'")
        slots[index] = value
    missing = [sig.params[i] for i in range(given, sig.required) if slots[i] is NOT_GIVEN]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        raise TypeError(f"{sig.full} missing {len(missing)} required positional {noun}: {quoted(missing)}")
    return slots


def as_double(obj):
    return obj if type(obj) is float else _float_as_double(obj)


def temperature_of(obj):
    try:
        return as_double(obj)
    except TypeError as error:
        if type(error) is not TypeError:
            raise
        raise TypeError(f"argument 'temperature': {lossy(str(error))}") from None


def acceptable(array):
    if isinstance(array, list):
        return True
    try:
        getattr(array, "__array__")
    except Exception:
        return False
    return True


def extract_sequence(obj):
    if not _sequence_check(obj):
        raise TypeError(f"'{type(obj).__qualname__}' object is not an instance of 'Sequence'")
    return [as_double(item) for item in obj]


def evaluate(state, array, T):
    kind, member = state
    if not acceptable(array):
        raise TypeError(NOT_AN_ARRAY)
    if kind == "native":
        if isinstance(array, str):
            raise TypeError(STR_ARRAY)
        return member(extract_sequence(array))
    return as_double(member(array, T))


def slycke_functions(species):
    scale, q_at_zero = {"carbon": (4.84e-5, 155000.0), "nitrogen": (9.1e-5, 168600.0)}[species]

    def entries(xs):
        if len(xs) < 2:
            raise ModelPanic(SHORT)
        return xs[0], xs[1], (xs[1] * 0.72) + xs[0]

    def pre_exponential(xs):
        x0, x1, s = entries(xs)
        a = (1.0 - ((x1 if species == "carbon" else x0) * 5.0)) * scale
        e = c_exp(s * (-38.487153613672334))
        b = 1.0 - ((x0 + x1) * 5.0)
        return ieee_div(e, b) * a

    def activation_energy(xs):
        s = entries(xs)[2]
        return (s * (-570000.0)) + q_at_zero

    return ("native", pre_exponential), ("native", activation_energy)


class Built:
    """A model instance: its class and property states."""

    def __init__(self, cls, *states):
        self.cls, self.states = cls, states

    def __call__(self, array, T):
        if self.cls is ArrheniusModifiedDiffusivity:
            if not acceptable(array):
                raise TypeError(NOT_AN_ARRAY)
            d0 = evaluate(self.states[0], array, T)
            return combine(d0, evaluate(self.states[1], array, T), T)
        return evaluate(self.states[0], array, T)


def callback_state(obj):
    if not callable(obj):
        raise TypeError(NOT_CALLABLE)
    return ("callback", obj)


def call_sig(cls):
    return Signature(cls.__name__, "__call__", ["array", "temperature"], 2)


def model_property_new(cls):
    sig = Signature(cls.__name__, "__new__", ["callback"], 1)

    def model(args, kwargs, unraisable):
        (callback,) = parse(sig, args, kwargs, unraisable)
        return Built(cls, callback_state(callback))
    return model


ARRHENIUS_NEW = Signature("ArrheniusModifiedDiffusivity", "__new__",
                          ["pre_exponential_factor", "activation_energy", "pre_exponential_func",
                           "activation_energy_func"], 0)


def model_arrhenius_new(args, kwargs, unraisable):
    pef, ae, pef_func, ae_func = (None if s is NOT_GIVEN else s
                                  for s in parse(ARRHENIUS_NEW, args, kwargs, unraisable))
    for name, obj, cls in (("pre_exponential_factor", pef, PreExponentialFactor),
                           ("activation_energy", ae, ActivationEnergy)):
        if obj is not None and not isinstance(obj, cls):
            raise TypeError(f"argument '{name}': '{type(obj).__qualname__}' object is not an instance "
                            f"of '{cls.__name__}'")
    if (pef is None) == (pef_func is None) or (ae is None) == (ae_func is None):
        raise ValueError(MODE)
    pre = PROPERTY_STATES[pef] if pef is not None else callback_state(pef_func)
    act = PROPERTY_STATES[ae] if ae is not None else callback_state(ae_func)
    return Built(ArrheniusModifiedDiffusivity, pre, act)


def model_call(instance):
    sig = call_sig(instance.cls)

    def model(args, kwargs, unraisable):
        array, temperature = parse(sig, args, kwargs, unraisable)
        return instance(array, temperature_of(temperature))
    return model


# ---------------------------------------------------------------------------
# running both sides
# ---------------------------------------------------------------------------

PROBE = ([0.01, 0.02], 600.0)


def kind(cls):
    """A class as an outcome names it: by identity, without holding a reference that the counts would see."""
    return (id(cls), f"{cls.__module__}.{cls.__qualname__}")


def outcome(thunk):
    """("value", float), ("built", class, probe outcome) or ("raise", class, message, shown context)."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            value = thunk()
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        if isinstance(error, KeyboardInterrupt):
            raise
        # A discarded error must not show up as the context of the one raised.
        context = error.__context__ if not error.__suppress_context__ else None
        return ("raise", kind(PANIC if type(error) is ModelPanic else type(error)), str(error),
                None if context is None else kind(type(context)))
    if isinstance(value, float):
        return ("value", value)
    if isinstance(value, (Built, ActivationEnergy, PreExponentialFactor, ArrheniusModifiedDiffusivity)):
        cls = value.cls if isinstance(value, Built) else type(value)
        return ("built", kind(cls), outcome(lambda: value(*PROBE)))
    return ("other", kind(type(value)))


def describe(result):
    """A short label of an outcome, for --hypothesis-show-statistics."""
    if result[0] != "raise":
        return result[0]
    return f"{result[1][1]}: {' '.join(result[2].split()[1:4])[:40]}"


def same(actual, expected):
    if actual[0] != expected[0]:
        return False
    if actual[0] == "value":
        a, b = actual[1], expected[1]
        return type(a) is float and (math.isnan(a) and math.isnan(b) or struct.pack("<d", a) == struct.pack("<d", b))
    if actual[0] == "built":
        return actual[1] == expected[1] and same(actual[2], expected[2])
    return actual[1:] == expected[1:]


@contextlib.contextmanager
def gc_paused():
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


@contextlib.contextmanager
def unraisable_recorded():
    seen = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda report: seen.append(id(report.object))
    try:
        yield seen
    finally:
        sys.unraisablehook = previous


def check(call, model, args, kwargs, keep=()):
    """Runs the model, then the call, and compares; the call must leave every reference count as it was."""
    expected_unraisable = []
    expected = outcome(lambda: model(args, kwargs, expected_unraisable))
    tracked = [*args, *kwargs.keys(), *kwargs.values(), *keep, *PROPERTY_STATES, *CALLBACKS]
    # No collection inside the window: freeing earlier examples' garbage would lower the counts.
    with unraisable_recorded() as unraisable, gc_paused():
        before = [sys.getrefcount(obj) for obj in tracked]
        actual = outcome(lambda: call(*args, **kwargs))
        after = [sys.getrefcount(obj) for obj in tracked]
    event(describe(expected))
    assert same(actual, expected), f"\n  actual:   {actual}\n  expected: {expected}"
    assert unraisable == expected_unraisable
    changed = [(repr(obj)[:60], b, a) for obj, b, a in zip(tracked, before, after) if a != b]
    assert not changed, f"reference counts changed (object, before, after): {changed}"
    return actual


# ---------------------------------------------------------------------------
# values and keys
# ---------------------------------------------------------------------------

def d0_source(x, T):
    return 2.0


def q_source(x, T):
    return 5000.0


def pe_callback(x, T):
    return 3.0


def ae_callback(x, T):
    return -7000.0


def fixed(x, T):
    return 1.5


def returns_text(x, T):
    return "1.5"


class CallableObject:
    def __call__(self, x, T):
        return 0.5


class FloatSub(float):
    pass


class TypeErrorSub(TypeError):
    pass


class ListSub(list):
    pass


class ArrayAttribute:
    __array__ = None


class StrWithArray(str):
    __array__ = None


class MappingArray(dict):
    __array__ = None


class Indexable:
    def __index__(self):
        return 7


class FloatRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error("no float here")

    def __repr__(self):
        return f"FloatRaises({self.error.__name__})"


class FloatReturnsInt:
    def __float__(self):
        return 1


class RaisingArrayProperty:
    def __init__(self, error):
        self.error = error

    @property
    def __array__(self):
        raise self.error("__array__")


class RaisingGetattr:
    def __getattr__(self, name):
        raise ValueError(name)


class IteratesOther(list):
    """Stores one list and iterates another."""

    def __init__(self, stored, iterated):
        super().__init__(stored)
        self.iterated = iterated

    def __iter__(self):
        return iter(self.iterated)

    def __repr__(self):
        return f"{type(self).__name__}(stored={list.__repr__(self)}, iterated={self.iterated!r})"


class BadLength(IteratesOther):
    def __len__(self):
        raise RuntimeError("no length")


class DistinctKey(str):
    """A key equal only to itself: it can stand beside a plain str of the same text."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other

    def __str__(self):
        return "<" + str.__str__(self) + ">"


class UnprintableKey(str):
    def __str__(self):
        raise RuntimeError("unprintable")


PE = PreExponentialFactor(pe_callback)
AE = ActivationEnergy(ae_callback)
PROPERTY_STATES = {PE: ("callback", pe_callback), AE: ("callback", ae_callback)}
CALLBACKS = [d0_source, q_source, pe_callback, ae_callback, fixed, returns_text]

CALLABLES = [d0_source, q_source, fixed, returns_text, float, CallableObject(), PE, AE]
ARRAYS = [[0.01, 0.02], [], [0.05], ListSub([0.1, 0.2]), np.array([0.01, 0.02]), ArrayAttribute(),
          [0.1, "x"], IteratesOther([0.1, 0.2], [0.3])]
TEMPERATURES = [600.0, 300, True, -0.0, math.inf, math.nan, FloatSub(450.0), np.float32(700.5)]
JUNK = [None, "300", (0.01, 0.02), object(), 2 ** 2000, b"x", FloatRaises(ValueError), FloatRaises(TypeError),
        RaisingArrayProperty(KeyError), {"array": 1}]
EVERYTHING = CALLABLES + ARRAYS + TEMPERATURES + JUNK

NAMES = ["callback", "array", "temperature", *ARRHENIUS_NEW.params]


def _near_misses(name):
    return [name.upper(), name.capitalize(), name + "_", "_" + name, name[:-1], name + "s",
            name.replace("_", ""), name + " ", name + "\x00", name + "\u0301", "\u200b" + name,
            name.replace("a", "\u0430"), name.replace("e", "\uff45")]


NEAR_MISSES = sorted({miss for name in NAMES for miss in _near_misses(name)} - set(NAMES))
ODD = ["", " ", "cb", "x", "température", "ｃａｌｌｂａｃｋ", "\U0001f525", "\U0010ffff", "a\x00b", "\ufeffarray"]

surrogate = st.integers(0xD800, 0xDFFF).map(chr)
keys = st.one_of(
    st.sampled_from(NAMES),
    st.sampled_from(NEAR_MISSES),
    st.sampled_from(ODD),
    st.tuples(st.sampled_from(["", "array", "cb"]), surrogate, st.sampled_from(["", "x", "temperature"]))
    .map("".join),
    st.text(max_size=6),
    st.sampled_from(NAMES + ["cb"]).map(DistinctKey),
    st.sampled_from(NAMES + ["zz"]).map(UnprintableKey),
    st.sampled_from([1, -2, None, ("callback",), b"array"]),
)


def fitting(pools):
    """Arguments that name only real parameters: a value for each from its pool, the first ones by position
    and a random selection of the others by keyword, in random order, sometimes with one name given again
    by a second key of the same text."""
    names = list(pools)

    def build(values, positional, chosen, again):
        keywords = {name: values[name] for name in chosen if names.index(name) >= positional}
        if again is not None:
            keywords[DistinctKey(again)] = values[again]
        return [values[name] for name in names[:positional]], keywords

    return st.builds(build, st.fixed_dictionaries({name: st.sampled_from(pool) for name, pool in pools.items()}),
                     st.integers(0, len(names)), st.permutations(names).flatmap(
                         lambda order: st.one_of(st.just(order), st.integers(0, len(order)).map(lambda n: order[:n]))),
                     st.one_of(st.none(), st.sampled_from(names)))


def shapes(pools):
    """Arguments of any shape, or arguments that fit the parameters."""
    good = st.sampled_from([value for pool in pools.values() for value in pool])
    values = st.one_of(good, st.sampled_from(EVERYTHING))
    anything = st.tuples(st.lists(values, max_size=6), st.lists(st.tuples(keys, values), max_size=4).map(dict))
    fit = fitting(pools)
    return st.one_of(fit, fit, anything)  # fitting arguments twice as often: they reach the later steps


CARBON = slycke.create_carbon_diffusivity()
NITROGEN = slycke.create_nitrogen_diffusivity()
FUNCTIONS = ArrheniusModifiedDiffusivity(pre_exponential_func=d0_source, activation_energy_func=q_source)
AE_INSTANCE = ActivationEnergy(fixed)
PEF_INSTANCE = PreExponentialFactor(returns_text)

NEW = {"callback": CALLABLES + [5, None, "f"]}
CALL = {"array": ARRAYS + ["0.1", None, StrWithArray("0.1"), RaisingArrayProperty(KeyError)],
        "temperature": TEMPERATURES + ["300", None, FloatRaises(ValueError), FloatRaises(TypeErrorSub)]}
TARGETS = {
    "ActivationEnergy.__new__": (ActivationEnergy, model_property_new(ActivationEnergy), NEW),
    "PreExponentialFactor.__new__": (PreExponentialFactor, model_property_new(PreExponentialFactor), NEW),
    "ArrheniusModifiedDiffusivity.__new__": (
        ArrheniusModifiedDiffusivity, model_arrhenius_new,
        {"pre_exponential_factor": [PE, None, None, AE, d0_source],
         "activation_energy": [AE, None, None, PE, 2.0],
         "pre_exponential_func": [d0_source, PE, None, 5],
         "activation_energy_func": [q_source, float, None, "f"]}),
    "ActivationEnergy.__call__": (AE_INSTANCE, model_call(Built(ActivationEnergy, ("callback", fixed))), CALL),
    "PreExponentialFactor.__call__": (
        PEF_INSTANCE, model_call(Built(PreExponentialFactor, ("callback", returns_text))), CALL),
    "ArrheniusModifiedDiffusivity.__call__ (functions)": (
        FUNCTIONS,
        model_call(Built(ArrheniusModifiedDiffusivity, ("callback", d0_source), ("callback", q_source))), CALL),
    "ArrheniusModifiedDiffusivity.__call__ (carbon)": (
        CARBON, model_call(Built(ArrheniusModifiedDiffusivity, *slycke_functions("carbon"))), CALL),
}


# ---------------------------------------------------------------------------
# argument shapes
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("target", list(TARGETS))
@fuzz
@given(data=st.data())
def test_argument_shapes_match_the_model(target, data):
    call, model, pools = TARGETS[target]
    args, kwargs = data.draw(shapes(pools), label="args, kwargs")
    check(call, model, args, kwargs, keep=[call])


# ---------------------------------------------------------------------------
# Slycke compositions and temperatures
# ---------------------------------------------------------------------------

SPECIES = {"carbon": CARBON, "nitrogen": NITROGEN}

# Entries near the points where a factor of the model is zero or changes sign.
special_entries = st.sampled_from([0.0, -0.0, 0.2, 0.1, 0.05, -0.2, 1.0 / 7.2, 0.2 / 1.72, 1e-300, 5e-324,
                                   1e308, math.inf, -math.inf, math.nan])
# Doubles spread evenly over [0, 0.25): most of them round differently when an operation is regrouped.
site_fractions = st.integers(0, 2 ** 52 - 1).map(lambda n: n * (0.25 / 2 ** 52))
float_entries = st.one_of(site_fractions, site_fractions, st.floats(-0.5, 0.5), special_entries, st.floats())
number_entries = st.one_of(
    float_entries,
    st.integers(-(2 ** 1023), 2 ** 1023),
    st.booleans(),
    float_entries.map(FloatSub),
    st.floats(width=32).map(np.float32),
    st.integers(-(2 ** 63), 2 ** 63 - 1).map(np.int64),
    st.sampled_from([Indexable(), Decimal("0.015"), Fraction(1, 30), np.float64(0.03)]),
)


def _numpy(values, dtype):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return np.array(values).astype(dtype)


valid_compositions = st.one_of(
    st.lists(float_entries, min_size=2, max_size=4),
    st.lists(number_entries, min_size=2, max_size=4),
    st.lists(float_entries, min_size=2, max_size=4).map(ListSub),
    st.tuples(st.lists(st.none(), max_size=3), st.lists(number_entries, min_size=2, max_size=3))
    .map(lambda pair: IteratesOther(*pair)),
    st.tuples(st.lists(float_entries, min_size=2, max_size=3),
              st.sampled_from([np.float64, np.float32, np.longdouble, object])).map(lambda p: _numpy(*p)),
    st.tuples(st.lists(st.integers(-128, 127), min_size=2, max_size=3),
              st.sampled_from([np.int8, np.int64, np.uint8, np.bool_])).map(lambda p: _numpy(*p)),
)

valid_temperatures = st.one_of(
    st.floats(),
    st.sampled_from([0.0, -0.0, 1e-310, 300.0, 1200.0, -1200.0, math.inf, -math.inf, math.nan]),
    st.integers(-(2 ** 1023), 2 ** 1023),
    st.booleans(),
    st.floats().map(FloatSub),
    st.floats(width=32).map(np.float32),
    st.sampled_from([Decimal("1173.15"), Fraction(2401, 2), Indexable()]),
)

junk_entries = st.sampled_from([None, "0.1", b"1", [0.1], (0.1,), object(), complex(1, 0), 2 ** 1100,
                                FloatRaises(ValueError), FloatRaises(TypeError), FloatReturnsInt()])

odd_arrays = st.sampled_from([
    RaisingArrayProperty(KeyError), RaisingArrayProperty(AttributeError), RaisingArrayProperty(RuntimeError),
    RaisingGetattr(), ArrayAttribute(), MappingArray(a=1), StrWithArray("0.1"), np.str_("0.1"), "0.01, 0.02",
    b"\x00\x01", range(3), {0.1: 0.2}, None, 0.5, np.float64(0.5), np.array(0.5), np.array([[0.1, 0.2]]),
    np.array([[0.1], [0.2]]), np.array(["0.5", "0.25"]), np.array(["0.5", "x"]),
    np.array([0.1, None, 0.2], dtype=object), np.array([1 + 0j, 2 + 0j])])

any_compositions = st.one_of(
    valid_compositions,
    odd_arrays,
    odd_arrays,
    st.lists(number_entries, max_size=1),
    st.lists(st.one_of(number_entries, junk_entries), max_size=4),
    st.tuples(st.lists(float_entries, max_size=3), st.lists(st.one_of(number_entries, junk_entries), max_size=3))
    .map(lambda pair: IteratesOther(*pair)),
    st.tuples(st.lists(float_entries, max_size=3), st.lists(number_entries, max_size=3))
    .map(lambda pair: BadLength(*pair)),
    st.lists(float_entries, max_size=3).map(tuple),
)

any_temperatures = st.one_of(
    valid_temperatures,
    st.sampled_from(["300", None, 2 ** 2000, complex(300, 0), [300.0], FloatRaises(ValueError),
                     FloatRaises(TypeError), FloatRaises(TypeErrorSub), FloatReturnsInt(), np.array([1.0, 2.0])]),
)

by_keyword = st.booleans()


def _slycke_case(species, array, temperature, keywords):
    model = model_call(Built(ArrheniusModifiedDiffusivity, *slycke_functions(species)))
    if keywords:
        return model, (), {"temperature": temperature, "array": array}
    return model, (array, temperature), {}


@fuzz
@given(species=st.sampled_from(sorted(SPECIES)), array=valid_compositions, temperature=valid_temperatures,
       keywords=by_keyword)
def test_slycke_valid_inputs_follow_the_formula(species, array, temperature, keywords):
    model, args, kwargs = _slycke_case(species, array, temperature, keywords)
    # The model gave a value, not an error, and the result is that value bit for bit.
    assert check(SPECIES[species], model, args, kwargs, keep=[array, temperature])[0] == "value"


@fuzz
@given(species=st.sampled_from(sorted(SPECIES)), array=any_compositions, temperature=any_temperatures,
       keywords=by_keyword)
def test_slycke_any_input_matches_the_model(species, array, temperature, keywords):
    model, args, kwargs = _slycke_case(species, array, temperature, keywords)
    check(SPECIES[species], model, args, kwargs, keep=[array, temperature])
