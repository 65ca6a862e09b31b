"""Tests for the Slycke carbon and nitrogen diffusivities, checked bit for bit
against a Python transcription of the model in its order of operations."""

import itertools
import math
import random
import sys

import numpy as np
import pytest

from talvenor import diffusion, slycke
from ieee import assert_same, c_exp, combine, ieee_div

INF, NAN = math.inf, math.nan
NEG_R = -8.31446261815324
K = -38.487153613672334
SHORT = "composition array must have at least two elements"
FACTORIES = {"carbon": slycke.create_carbon_diffusivity, "nitrogen": slycke.create_nitrogen_diffusivity}
Q_AT_ZERO = {"carbon": 155000.0, "nitrogen": 168600.0}
SCALE = {"carbon": 4.84e-5, "nitrogen": 9.1e-5}


def reference_d0_q(species, x):
    x0, x1 = float(x[0]), float(x[1])
    s = (x1 * 0.72) + x0
    q = (s * (-570000.0)) + Q_AT_ZERO[species]
    linear = x1 if species == "carbon" else x0
    a = (1.0 - (linear * 5.0)) * SCALE[species]
    e = c_exp(s * K)
    b = 1.0 - ((x0 + x1) * 5.0)
    return ieee_div(e, b) * a, q


def reference(species, x, T):
    d0, q = reference_d0_q(species, x)
    return combine(d0, q, float(T))


@pytest.fixture(params=sorted(FACTORIES))
def species(request):
    return request.param


@pytest.fixture
def model(species):
    return FACTORIES[species]()


def test_exponent_factor_is_minus_320_over_r():
    assert K == -320 / 8.31446261815324 == -320 / -NEG_R


def test_results_are_diffusivity_instances_and_fresh(species):
    first, second = FACTORIES[species](), FACTORIES[species]()
    assert type(first) is diffusion.ArrheniusModifiedDiffusivity
    assert first is not second
    for x, T in (([0.01, 0.02], 1173.15), ([0.0, 0.0], 900.0), ([0.3, -0.1], 500.0)):
        assert_same(first(x, T), second(x, T), x)


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((None,), {}), ((), {"x": 1}), (([0.0, 0.0], 1000.0), {})])
def test_factories_refuse_arguments(species, args, kwargs):
    with pytest.raises(TypeError):
        FACTORIES[species](*args, **kwargs)


@pytest.mark.parametrize("T", [300.0, 1173.15, 2000, 1e-3, -700.0, INF, NAN, 0.0])
def test_zero_composition_exact(species, model, T):
    # Every factor of D0 is exact at x = 0: D0 is the scale, Q the constant term.
    expected = SCALE[species] * c_exp(ieee_div(Q_AT_ZERO[species], float(T) * NEG_R))
    assert_same(model([0.0, 0.0], T), expected, T)
    assert_same(model([0, 0], T), expected, T)
    assert model([0.0, 0.0], INF) == SCALE[species]


def test_shared_composition_term():
    x = [0.01, 0.01]
    carbon, nitrogen = slycke.create_carbon_diffusivity(), slycke.create_nitrogen_diffusivity()
    s = (0.01 * 0.72) + 0.01
    shared = ieee_div(math.exp(s * K), 1.0 - ((0.01 + 0.01) * 5.0))
    assert carbon(x, INF) == shared * ((1.0 - 0.05) * 4.84e-5)
    assert nitrogen(x, INF) == shared * ((1.0 - 0.05) * 9.1e-5)
    q_carbon = (s * (-570000.0)) + 155000.0
    for T in (800.0, 1173.15, 1500.0):
        assert_same(carbon(x, T), combine(carbon(x, INF), q_carbon, T), T)
        assert_same(nitrogen(x, T), combine(nitrogen(x, INF), q_carbon + 13600.0, T), T)


@pytest.mark.parametrize("x", [[0.01, 0.01], [0.004, 0.012], [0.1, -0.05], [-0.2, 0.3]])
def test_temperature_enters_only_through_the_exponential(model, species, x):
    # At T = inf the exponential term is exp(-0.0) = 1: the result is D0 itself.
    d0, q = reference_d0_q(species, x)
    assert_same(model(x, INF), d0, x)
    for T in (300.0, 1173.15, 2346.3, 5000.0):
        assert_same(model(x, T), combine(model(x, INF), q, T), (x, T))


@pytest.mark.parametrize("extra", [[0.5], [0.5, 7.0], [NAN], [INF, -1.0]])
def test_entries_after_the_second_are_ignored(model, extra):
    for x in ([0.01, 0.01], [0.0, 0.2], [0.03, 0.005]):
        assert_same(model(x + extra, 1173.15), model(x, 1173.15), x + extra)


def test_zero_linear_factor(species):
    value = FACTORIES[species]()([0.2, 0.0], 1173.15)
    if species == "carbon":
        assert value == INF
    else:
        assert math.isnan(value)
    # (0.1 + 0.1) * 5.0 is also exactly 1.0; a is non-zero for both species.
    assert FACTORIES[species]()([0.1, 0.1], 1173.15) == INF


GRID_X = [0.0, -0.0, 0.001, 0.01, 0.05, 0.1, 0.2, 0.25, -0.1, 1.0, 2, 0, -1, INF, -INF, NAN, 1e300]
GRID_T = [0.0, -0.0, 1.0, 300.0, 1173.15, -500.0, INF, -INF, NAN, 1e-300, 1e308, 1000]


def test_grid_bit_exact(model, species):
    for x0, x1, T in itertools.product(GRID_X, GRID_X, GRID_T):
        assert_same(model([x0, x1], T), reference(species, [x0, x1], T), (x0, x1, T))


def test_random_bit_exact(model, species):
    rng = random.Random(0x51CE)
    for _ in range(4000):
        kind = rng.random()
        if kind < 0.6:
            x = [rng.uniform(0.0, 0.03), rng.uniform(0.0, 0.03)]
        elif kind < 0.9:
            x = [rng.uniform(-0.5, 0.5), rng.uniform(-0.5, 0.5)]
        else:
            x = [rng.choice(GRID_X), rng.uniform(-1.0, 1.0)]
            rng.shuffle(x)
        if rng.random() < 0.2:
            x.append(rng.uniform(-10.0, 10.0))
        T = rng.choice([rng.uniform(700.0, 1400.0), rng.uniform(-2000.0, 5000.0), rng.choice(GRID_T)])
        assert_same(model(x, T), reference(species, x, T), (x, T))


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int32])
def test_numpy_arrays_match_lists(model, dtype):
    rng = random.Random(7)
    for _ in range(50):
        values = np.array([rng.uniform(-3.0, 3.0) for _ in range(rng.choice([2, 3]))]).astype(dtype)
        as_list = [float(v) for v in values]
        for T in (1173.15, 600):
            assert_same(model(values, T), model(as_list, T), (dtype, as_list, T))
    assert_same(model(np.zeros(2, dtype=dtype), 1000.0), model([0.0, 0.0], 1000.0), dtype)


@pytest.mark.parametrize("array", [[0.05], [], np.array([0.05]), np.array([])])
def test_short_composition_panics(model, array):
    with pytest.raises(BaseException) as info:
        model(array, 1173.15)
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert not isinstance(exc, Exception)
    assert exc.args == (SHORT,)
    # The instance is unchanged and usable afterwards.
    assert model([0.01, 0.01], 1173.15) == model([0.01, 0.01], 1173.15) > 0.0


class StrWithArray(str):
    __array__ = None


class ArrayAttributeOnly:
    __array__ = None


@pytest.mark.parametrize(
    "array, message",
    [
        ((0.01, 0.01), "array must be a list or numpy array"),
        ("0.01", "array must be a list or numpy array"),
        (StrWithArray("ab"), "Can't extract `str` to `Vec`"),
        (ArrayAttributeOnly(), "'ArrayAttributeOnly' object is not an instance of 'Sequence'"),
        ([0.01, "0.01"], "must be real number, not str"),
        ([None, 0.01, 0.01], "must be real number, not NoneType"),
    ],
)
def test_refused_arrays(model, array, message):
    with pytest.raises(TypeError) as info:
        model(array, 1173.15)
    assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        model(array, "hot")
    assert str(info.value) == "argument 'temperature': must be real number, not str"


def test_no_reference_leaks(species):
    model = FACTORIES[species]()
    arrays = [[0.01, 0.02], [0.01, 0.02, 0.3], np.array([0.01, 0.02]), [0.05], [], ["a", "b"], (0.0, 0.0),
              StrWithArray("xy"), ArrayAttributeOnly()]
    temperature = float("1173.5")
    before = [sys.getrefcount(a) for a in arrays] + [sys.getrefcount(model), sys.getrefcount(temperature)]
    for _ in range(1000):
        for array in arrays:
            try:
                model(array, temperature)
            except BaseException:
                pass
    del array
    after = [sys.getrefcount(a) for a in arrays] + [sys.getrefcount(model), sys.getrefcount(temperature)]
    assert after == before
