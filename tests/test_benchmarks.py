"""The benchmark suite: a smoke run of benchmarks/bench.py, and the agreement of
its pure-Python model (benchmarks/pure.py) with the native library, results
bit for bit and errors by class and message."""

import importlib.util
import math
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import needs_python_allocator
from talvenor import diffusion, slycke

try:
    import numpy
except ImportError:
    numpy = None

_BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"
_spec = importlib.util.spec_from_file_location("talvenor_pure_model", _BENCHMARKS / "pure.py")
pure = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(pure)

SUMMARY_KEYS = [
    "slycke_list/atan2=",
    "pure_slycke/native_slycke=",
    "pure_callback/native_callback=",
    "gas_constant/random=",
    "create_carbon/atan2=",
]


def test_quick_benchmark_run():
    completed = subprocess.run(
        [sys.executable, str(_BENCHMARKS / "bench.py"), "--quick"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    lines = completed.stdout.strip().splitlines()
    assert "bit-identical" in completed.stdout
    assert any(line.startswith("floor: staticmethod(math.atan2)") for line in lines)
    assert "GROWS" not in completed.stdout
    summary = lines[-1]
    assert summary.startswith("summary: ")
    for key in SUMMARY_KEYS:
        assert key in summary
    ratios = [float(part.split("=", 1)[1].split()[0]) for part in summary[len("summary: ") :].split("; ")]
    assert len(ratios) == len(SUMMARY_KEYS)
    assert all(math.isfinite(ratio) and ratio > 0 for ratio in ratios)


# ---------------------------------------------------------------------------
# Agreement. Each case is called with (diffusion module, slycke module): the
# native pair or pure.py in both roles.


class ListSubclass(list):
    pass


class ArraySequence:
    """Not a list, but indexable and carrying __array__."""

    __array__ = None

    def __init__(self, *values):
        self.values = values

    def __len__(self):
        return len(self.values)

    def __getitem__(self, index):
        return self.values[index]


class NotASequence:
    __array__ = None


class TextWithArray(str):
    __array__ = None


class Threshold:
    """A real number through __index__ only."""

    def __index__(self):
        return 1000


def carbon(s, x, T):
    return s.create_carbon_diffusivity()(x, T)


def nitrogen(s, x, T):
    return s.create_nitrogen_diffusivity()(x, T)


def d0(x, T):
    return 2.3e-5 * (1.0 + x[0]) * (T / 1000.0)


def q(x, T):
    return 148000.0 - 1.0e5 * x[0] + 3.0 * T


def callback(d, x, T):
    return d.ArrheniusModifiedDiffusivity(pre_exponential_func=d0, activation_energy_func=q)(x, T)


def from_properties(d, x, T):
    return d.ArrheniusModifiedDiffusivity(d.PreExponentialFactor(d0), d.ActivationEnergy(q))(x, T)


def _value_cases():
    compositions = [[0.0, 0.0], [0.01, 0.002], [0.06, 0.015], [0.002, 0.03, 7.0], [1, 0], [0.0, True]]
    temperatures = [650.0, 1123.15, 1200, 1500.5]
    for x in compositions:
        for T in temperatures:
            yield pytest.param(lambda d, s, x=x, T=T: carbon(s, x, T), id=f"carbon-{x}-{T}")
            yield pytest.param(lambda d, s, x=x, T=T: nitrogen(s, x, T), id=f"nitrogen-{x}-{T}")
            yield pytest.param(lambda d, s, x=x, T=T: callback(d, x, T), id=f"callback-{x}-{T}")
    for x in compositions[:3]:
        yield pytest.param(lambda d, s, x=x: from_properties(d, x, 1000.0), id=f"properties-{x}")
        yield pytest.param(lambda d, s, x=x: d.PreExponentialFactor(d0)(x, 1100), id=f"factor-{x}")
        yield pytest.param(lambda d, s, x=x: d.ActivationEnergy(q)(x, 1100.0), id=f"energy-{x}")


numpy_only = pytest.mark.skipif(numpy is None, reason="numpy is not installed")

VALUE_CASES = [
    *_value_cases(),
    pytest.param(
        lambda d, s: s.create_carbon_diffusivity()(array=[0.02, 0.004], temperature=1250.0), id="carbon-keywords"
    ),
    pytest.param(lambda d, s: carbon(s, ListSubclass([0.02, 0.004]), 1250.0), id="carbon-list-subclass"),
    pytest.param(lambda d, s: carbon(s, ArraySequence(0.02, 0.004), 1250.0), id="carbon-array-attribute"),
    pytest.param(lambda d, s: carbon(s, [0.02, 0.004], Threshold()), id="carbon-index-temperature"),
    pytest.param(
        lambda d, s: carbon(s, numpy.array([0.02, 0.004]), numpy.float64(1250.0)), id="carbon-numpy", marks=numpy_only
    ),
    pytest.param(
        lambda d, s: callback(d, numpy.array([0.02, 0.004]), 1250.0), id="callback-numpy", marks=numpy_only
    ),
    # The callback gets the composition object itself and the temperature as a float.
    pytest.param(
        lambda d, s: (lambda x: d.PreExponentialFactor(lambda a, T: a is x)(x, 900))([0.1, 0.2]), id="passes-array"
    ),
    pytest.param(lambda d, s: d.PreExponentialFactor(lambda a, T: type(T) is float)([0.1], 900), id="float-T"),
    pytest.param(lambda d, s: d.PreExponentialFactor(lambda a, T: 7)([0.1], 900), id="int-result"),
]


def _raise(error):
    raise error


ERROR_CASES = [
    # Tuples and other non-list sequences without __array__ are refused.
    pytest.param(lambda d, s: carbon(s, (0.01, 0.002), 1200.0), id="carbon-tuple"),
    pytest.param(lambda d, s: callback(d, (0.01, 0.002), 1200.0), id="callback-tuple"),
    pytest.param(lambda d, s: d.PreExponentialFactor(d0)((0.01,), 1200.0), id="factor-tuple"),
    pytest.param(lambda d, s: carbon(s, "ab", 1200.0), id="carbon-str"),
    # Fewer than two entries: an internal fault of the model.
    pytest.param(lambda d, s: carbon(s, [0.01], 1200.0), id="carbon-one-entry"),
    pytest.param(lambda d, s: carbon(s, [], 1200.0), id="carbon-empty"),
    pytest.param(lambda d, s: nitrogen(s, [0.01], 1200.0), id="nitrogen-one-entry"),
    pytest.param(lambda d, s: carbon(s, numpy.array([0.01]), 1200.0), id="carbon-numpy-short", marks=numpy_only),
    # The temperature is converted before the array is looked at.
    pytest.param(lambda d, s: carbon(s, [0.01, 0.0], "1200"), id="temperature-str"),
    pytest.param(lambda d, s: carbon(s, [0.01, 0.0], None), id="temperature-none"),
    pytest.param(lambda d, s: carbon(s, (0.01,), "1200"), id="temperature-first"),
    pytest.param(lambda d, s: carbon(s, [0.01], None), id="temperature-before-length"),
    pytest.param(lambda d, s: callback(d, (0.01,), "hot"), id="callback-temperature-first"),
    # Entries are real numbers; text is not parsed.
    pytest.param(lambda d, s: carbon(s, ["0.01", 0.0], 1200.0), id="entry-str"),
    pytest.param(lambda d, s: carbon(s, [0.01, None], 1200.0), id="entry-none"),
    pytest.param(lambda d, s: carbon(s, TextWithArray("ab"), 1200.0), id="str-with-array"),
    pytest.param(lambda d, s: carbon(s, NotASequence(), 1200.0), id="array-not-a-sequence"),
    pytest.param(lambda d, s: carbon(s, [10**400, 0.0], 1200.0), id="entry-overflow"),
    # Callback results and failures.
    pytest.param(lambda d, s: d.PreExponentialFactor(lambda x, T: "1.0")([0.0], 1000.0), id="result-str"),
    pytest.param(
        lambda d, s: d.ArrheniusModifiedDiffusivity(
            pre_exponential_func=d0, activation_energy_func=lambda x, T: _raise(ZeroDivisionError("no energy"))
        )([0.0], 1000.0),
        id="callback-raises",
    ),
    pytest.param(lambda d, s: d.ActivationEnergy(q)([], 1000.0), id="callback-index-error"),
    # Construction.
    pytest.param(lambda d, s: d.ArrheniusModifiedDiffusivity(), id="construct-nothing"),
    pytest.param(lambda d, s: d.ArrheniusModifiedDiffusivity(pre_exponential_func=d0), id="construct-one-func"),
    pytest.param(
        lambda d, s: d.ArrheniusModifiedDiffusivity(
            d.PreExponentialFactor(d0), d.ActivationEnergy(q), d0, q
        ),
        id="construct-both-sources",
    ),
    pytest.param(
        lambda d, s: d.ArrheniusModifiedDiffusivity(pre_exponential_func=1, activation_energy_func=q),
        id="construct-not-callable",
    ),
    pytest.param(
        lambda d, s: d.ArrheniusModifiedDiffusivity(d.ActivationEnergy(q), d.ActivationEnergy(q)),
        id="construct-wrong-property",
    ),
    pytest.param(
        lambda d, s: d.ArrheniusModifiedDiffusivity(3, activation_energy_func=q), id="construct-int-property"
    ),
    pytest.param(
        lambda d, s: d.ArrheniusModifiedDiffusivity(pre_exponential_func=d0, activation_energy=d.PreExponentialFactor(q)),
        id="construct-wrong-energy",
    ),
    pytest.param(lambda d, s: d.PreExponentialFactor(None), id="factor-not-callable"),
]


def outcome(case, d, s):
    """('value', hex) or ('error', class or fault marker, message)."""
    try:
        result = case(d, s)
    except Exception as error:
        return ("error", type(error), str(error))
    except BaseException as error:
        # The native fault class and pure.py's stand-in both derive from
        # BaseException only; they agree by name.
        return ("error", f"BaseException subclass {type(error).__name__}", str(error))
    assert type(result) is float
    return ("value", result.hex())


@pytest.mark.parametrize("case", VALUE_CASES)
def test_values_agree_bit_for_bit(case):
    native = outcome(case, diffusion, slycke)
    assert native[0] == "value"
    assert outcome(case, pure, pure) == native


# Site fractions and temperatures where every step stays finite (pure.py raises
# where IEEE arithmetic would give an infinity).
site_fraction = st.floats(min_value=0.0, max_value=0.09)
temperature = st.floats(min_value=300.0, max_value=3000.0)
extra_entries = st.lists(st.floats(allow_nan=False), max_size=3)


@settings(max_examples=300, deadline=None)
@given(site_fraction, site_fraction, extra_entries, temperature)
def test_models_agree_bit_for_bit_over_the_domain(x0, x1, rest, T):
    x = [x0, x1, *rest]
    for native, python in [
        (slycke.create_carbon_diffusivity(), pure.create_carbon_diffusivity()),
        (slycke.create_nitrogen_diffusivity(), pure.create_nitrogen_diffusivity()),
        (
            diffusion.ArrheniusModifiedDiffusivity(pre_exponential_func=d0, activation_energy_func=q),
            pure.ArrheniusModifiedDiffusivity(pre_exponential_func=d0, activation_energy_func=q),
        ),
    ]:
        assert python(x, T).hex() == native(x, T).hex()


@pytest.mark.parametrize("case", ERROR_CASES)
def test_errors_agree(case):
    native = outcome(case, diffusion, slycke)
    assert native[0] == "error"
    assert outcome(case, pure, pure) == native


def test_short_composition_is_a_base_exception_fault():
    expected = "composition array must have at least two elements"
    for module in (slycke, pure):
        with pytest.raises(BaseException) as raised:
            module.create_carbon_diffusivity()([0.5], 1000.0)
        assert not isinstance(raised.value, Exception)
        assert type(raised.value).__name__ == "PanicException"
        assert str(raised.value) == expected


def test_temperature_error_keeps_no_context():
    for module in (slycke, pure):
        with pytest.raises(TypeError) as raised:
            module.create_carbon_diffusivity()([0.0, 0.0], "hot")
        assert raised.value.__cause__ is None
        assert raised.value.__suppress_context__


def test_native_composition_read_at_each_property_evaluation():
    # The model reads the array once for D0 and once for Q: an entry whose
    # conversion counts its calls shows both reads, natively and in pure.py.
    class Counted:
        def __init__(self, value):
            self.value = value
            self.reads = 0

        def __float__(self):
            self.reads += 1
            return self.value

    for module in (slycke, pure):
        entry = Counted(0.01)
        module.create_carbon_diffusivity()([entry, 0.002], 1200.0)
        assert entry.reads == 2


# ---------------------------------------------------------------------------
# The benchmark's own checks catch what they are there to catch.


@pytest.fixture(scope="module")
def bench():
    found = importlib.util.spec_from_file_location("talvenor_bench", _BENCHMARKS / "bench.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_agreement_check_sees_one_ulp(bench, monkeypatch, capsys):
    assert bench.check_agreement()
    monkeypatch.setattr(bench.pure, "_CARBON_SCALE", math.nextafter(bench.pure._CARBON_SCALE, 1.0))
    assert not bench.check_agreement()
    assert "carbon" in capsys.readouterr().out


def test_memory_check_is_flat_for_the_native_calls(bench, capsys):
    runs = [
        (label, driver, call, min(count, 20_000), *rest)
        for label, driver, call, count, *rest in bench.memory_runs(True)
    ]
    assert bench.measure_memory(runs)
    assert "GROWS" not in capsys.readouterr().out


@needs_python_allocator
def test_memory_check_sees_a_leak_of_objects(bench, capsys):
    kept = []
    assert not bench.measure_memory([("leaks a list per call", bench._repeat, (lambda: kept.append([]), ()), 5000)])
    assert "GROWS" in capsys.readouterr().out


@needs_python_allocator
def test_memory_check_sees_a_leak_of_c_heap(bench, capsys):
    if bench.c_heap_bytes() is None:
        pytest.skip("no mallinfo2 on this C library")
    import ctypes

    malloc = ctypes.CDLL(None).malloc
    malloc.restype = ctypes.c_void_p
    malloc.argtypes = [ctypes.c_size_t]
    # 2000 blocks of 1 KiB never freed; the pointers are ints, so few Python blocks stay.
    assert not bench.measure_memory([("leaks C heap", bench._repeat, (malloc, (1024,)), 2000)])
    assert "GROWS" in capsys.readouterr().out
