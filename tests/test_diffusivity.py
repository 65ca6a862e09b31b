"""Tests for diffusion.ArrheniusModifiedDiffusivity: construction modes,
evaluation order and the bit-exact combination D0 * exp(Q / (T * -R))."""

import itertools
import math
import random
import sys

import pytest

from talvenor import diffusion
from ieee import assert_same, combine

ArrheniusModifiedDiffusivity = diffusion.ArrheniusModifiedDiffusivity
PreExponentialFactor = diffusion.PreExponentialFactor
ActivationEnergy = diffusion.ActivationEnergy

NEG_R = -8.31446261815324
INF = math.inf
NAN = math.nan
MODE_ERROR = (
    "Must provide either (pre_exponential, activation_energy) objects or "
    "(pre_exponential_func, activation_energy_func) functions"
)
CALLBACK_ERROR = "callback must be callable with signature: fn(x[], T)"
ARRAY_ERROR = "array must be a list or numpy array"


# Distinct values per source, so that a result shows which sources were used.
D0_OBJECT, Q_OBJECT, D0_FUNC, Q_FUNC = 2.0, 1000.0, 3.0, -2000.0


def source(name):
    return {
        "pre_exponential_factor": PreExponentialFactor(lambda x, T: D0_OBJECT),
        "activation_energy": ActivationEnergy(lambda x, T: Q_OBJECT),
        "pre_exponential_func": lambda x, T: D0_FUNC,
        "activation_energy_func": lambda x, T: Q_FUNC,
    }[name]


NAMES = ("pre_exponential_factor", "activation_energy", "pre_exponential_func", "activation_energy_func")
VALID_ROWS = {
    (True, True, False, False): (D0_OBJECT, Q_OBJECT),
    (True, False, False, True): (D0_OBJECT, Q_FUNC),
    (False, True, True, False): (D0_FUNC, Q_OBJECT),
    (False, False, True, True): (D0_FUNC, Q_FUNC),
}


@pytest.mark.parametrize("absent", ["omitted", "none"])
@pytest.mark.parametrize("row", list(itertools.product([True, False], repeat=4)))
def test_construction_mode_table(row, absent):
    kwargs = {}
    for name, is_given in zip(NAMES, row):
        if is_given:
            kwargs[name] = source(name)
        elif absent == "none":
            kwargs[name] = None
    if row not in VALID_ROWS:
        with pytest.raises(ValueError) as info:
            ArrheniusModifiedDiffusivity(**kwargs)
        assert str(info.value) == MODE_ERROR
        return
    d = ArrheniusModifiedDiffusivity(**kwargs)
    assert type(d) is ArrheniusModifiedDiffusivity
    d0, q = VALID_ROWS[row]
    for T in (300.0, 1173.15):
        assert_same(d([0.1], T), combine(d0, q, T), row)


def test_positional_construction():
    d = ArrheniusModifiedDiffusivity(None, source("activation_energy"), source("pre_exponential_func"))
    assert_same(d([], 500.0), combine(D0_FUNC, Q_OBJECT, 500.0), "positional")
    with pytest.raises(TypeError, match=r"^ArrheniusModifiedDiffusivity\.__new__\(\) takes from 0 to 4 "
                       r"positional arguments but 5 were given$"):
        ArrheniusModifiedDiffusivity(1, 2, 3, 4, 5)


def fn(x, T):
    return 1.0


pef, aef = (lambda: PreExponentialFactor(fn)), (lambda: ActivationEnergy(fn))


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        # Instance tests come first, pre_exponential_factor before activation_energy.
        (dict(pre_exponential_factor=5), TypeError,
         "argument 'pre_exponential_factor': 'int' object is not an instance of 'PreExponentialFactor'"),
        (dict(pre_exponential_factor=5, activation_energy=aef(), pre_exponential_func=fn, activation_energy_func=fn),
         TypeError, "argument 'pre_exponential_factor': 'int' object is not an instance of 'PreExponentialFactor'"),
        (dict(pre_exponential_factor=aef(), activation_energy=pef()), TypeError,
         "argument 'pre_exponential_factor': 'ActivationEnergy' object is not an instance of 'PreExponentialFactor'"),
        (dict(activation_energy=pef()), TypeError,
         "argument 'activation_energy': 'PreExponentialFactor' object is not an instance of 'ActivationEnergy'"),
        (dict(pre_exponential_factor=pef(), activation_energy=pef()), TypeError,
         "argument 'activation_energy': 'PreExponentialFactor' object is not an instance of 'ActivationEnergy'"),
        (dict(activation_energy=fn, pre_exponential_func=fn), TypeError,
         "argument 'activation_energy': 'function' object is not an instance of 'ActivationEnergy'"),
        # The combination is tested before callability.
        (dict(pre_exponential_func=5), ValueError, MODE_ERROR),
        (dict(pre_exponential_func=5, activation_energy_func=5, activation_energy=aef()), ValueError, MODE_ERROR),
        (dict(pre_exponential_factor=pef(), pre_exponential_func=fn, activation_energy=aef()), ValueError, MODE_ERROR),
        (dict(pre_exponential_func=5, activation_energy_func=fn), TypeError, CALLBACK_ERROR),
        (dict(pre_exponential_func=fn, activation_energy_func="f"), TypeError, CALLBACK_ERROR),
        (dict(pre_exponential_factor=pef(), activation_energy_func=5), TypeError, CALLBACK_ERROR),
        (dict(activation_energy=aef(), pre_exponential_func=[]), TypeError, CALLBACK_ERROR),
    ],
)
def test_construction_failures(kwargs, exc, message):
    with pytest.raises(exc) as info:
        ArrheniusModifiedDiffusivity(**kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_no_reference_to_property_objects_but_to_callbacks():
    d0_cb, q_cb = (lambda x, T: 1.0), (lambda x, T: 2.0)
    pe, ae = PreExponentialFactor(d0_cb), ActivationEnergy(q_cb)
    counts = lambda: [sys.getrefcount(o) for o in (pe, ae, d0_cb, q_cb)]  # noqa: E731
    before = counts()
    d = ArrheniusModifiedDiffusivity(pe, ae)
    assert counts() == [before[0], before[1], before[2] + 1, before[3] + 1]
    del d
    assert counts() == before
    d = ArrheniusModifiedDiffusivity(pre_exponential_func=d0_cb, activation_energy=ae)
    assert counts() == [before[0], before[1], before[2] + 1, before[3] + 1]
    del d
    assert counts() == before
    for _ in range(200):
        for kwargs in (dict(pre_exponential_func=d0_cb), dict(pre_exponential_func=d0_cb, activation_energy_func=5),
                       dict(pre_exponential_factor=pe, activation_energy=pe), dict(pre_exponential_factor=ae)):
            try:
                ArrheniusModifiedDiffusivity(**kwargs)
            except (TypeError, ValueError):
                pass
            else:
                raise AssertionError(kwargs)
    del kwargs
    assert counts() == before


def recording():
    calls = []

    def d0(x, T):
        calls.append(("d0", x, T))
        return 2.0

    def q(x, T):
        calls.append(("q", x, T))
        return 100.0

    return calls, d0, q


@pytest.mark.parametrize("use_objects", [False, True])
def test_sources_receive_the_array_object_and_a_float_temperature(use_objects):
    calls, d0, q = recording()
    if use_objects:
        d = ArrheniusModifiedDiffusivity(PreExponentialFactor(d0), ActivationEnergy(q))
    else:
        d = ArrheniusModifiedDiffusivity(pre_exponential_func=d0, activation_energy_func=q)

    class Marked(list):
        pass

    class WithArray:
        __array__ = None

    for array in ([0.1, 0.2], [], Marked([1]), WithArray()):
        calls.clear()
        assert_same(d(temperature=300, array=array), combine(2.0, 100.0, 300.0), "keywords")
        assert [c[0] for c in calls] == ["d0", "q"]
        assert all(c[1] is array for c in calls)
        assert all(type(c[2]) is float and c[2] == 300.0 for c in calls)


@pytest.mark.parametrize("array", [(0.1, 0.2), "ab", {0: 1}, 5, None, range(2)])
def test_array_refused_before_any_callback(array):
    calls, d0, q = recording()
    d = ArrheniusModifiedDiffusivity(pre_exponential_func=d0, activation_energy_func=q)
    with pytest.raises(TypeError) as info:
        d(array, 300.0)
    assert str(info.value) == ARRAY_ERROR
    # The temperature is converted before the array is looked at.
    with pytest.raises(TypeError) as info:
        d(array, "hot")
    assert str(info.value).startswith("argument 'temperature': ")
    assert calls == []


@pytest.mark.parametrize("failing, expected_calls", [("d0", ["d0"]), ("q", ["d0", "q"])])
def test_failing_source_stops_the_evaluation(failing, expected_calls):
    calls, boom = [], KeyError("boom")

    def source_for(name, value):
        def f(x, T):
            calls.append(name)
            if name == failing and calls.count(name) == 1:
                raise boom
            return value
        return f

    d = ArrheniusModifiedDiffusivity(pre_exponential_func=source_for("d0", 2.0),
                                     activation_energy_func=source_for("q", 0.0))
    with pytest.raises(KeyError) as info:
        d([0.1], 300.0)
    assert info.value is boom
    assert calls == expected_calls
    assert d([0.1], 300.0) == 2.0  # usable after the failure


@pytest.mark.parametrize(
    "d0, q, expected",
    [(3.0, 1.0, 0.0), (3.0, -1.0, INF), (3.0, 0.0, NAN), (-3.0, 1.0, -0.0), (-3.0, -1.0, -INF)],
)
@pytest.mark.parametrize("T", [0.0, 0, False])
def test_zero_temperature(d0, q, expected, T):
    d = ArrheniusModifiedDiffusivity(pre_exponential_func=lambda x, T: d0, activation_energy_func=lambda x, T: q)
    assert_same(d([], T), expected, (d0, q))


SPECIAL = [0.0, -0.0, 1.0, -1.0, INF, -INF, NAN, 5e-324, -5e-324, 1.7976931348623157e308, 1e-300, 1e300]


def test_python_sources_bit_exact():
    # D0 and Q are read from the composition, so one instance covers them all.
    d = ArrheniusModifiedDiffusivity(pre_exponential_func=lambda x, T: x[0], activation_energy_func=lambda x, T: x[1])
    temps = SPECIAL + [300.0, 1173.15, -500.0, 273]
    values = SPECIAL + [4.84e-5, 155000.0, -570000.0, 7, -3]
    for d0, q, T in itertools.product(values, values, temps):
        assert_same(d([d0, q], T), combine(float(d0), float(q), float(T)), (d0, q, T))
    rng = random.Random(20240611)
    for _ in range(3000):
        d0 = rng.choice([rng.uniform(-1e-3, 1e-3), rng.expovariate(1e4), rng.choice(SPECIAL)])
        q = rng.choice([rng.uniform(-4e5, 4e5), rng.uniform(-1e3, 1e3), rng.choice(SPECIAL)])
        T = rng.choice([rng.uniform(-3000.0, 3000.0), rng.uniform(1e-3, 10.0), rng.choice(SPECIAL)])
        assert_same(d([d0, q], T), combine(d0, q, T), (d0, q, T))

