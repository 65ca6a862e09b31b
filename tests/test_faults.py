"""Internal faults surfacing as PanicException, the resume path through callbacks, and cast errors."""

import struct
import sys
import textwrap

import pytest

import talvenor
from conftest import run_python

SHORT = "composition array must have at least two elements"
Diffusivity = talvenor.diffusion.ArrheniusModifiedDiffusivity
Energy, Factor = talvenor.diffusion.ActivationEnergy, talvenor.diffusion.PreExponentialFactor
FACTORIES = [talvenor.slycke.create_carbon_diffusivity, talvenor.slycke.create_nitrogen_diffusivity]


def one(x, T):
    return 1.0


def fault_of(call):
    """Run ``call`` and return what it raised, or "Exception" if ``except Exception`` caught it."""
    try:
        try:
            call()
        except Exception:
            return "Exception"
    except BaseException as error:
        return error
    pytest.fail("nothing was raised")


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("composition", [[0.05], []])
def test_short_composition_raises_panic(factory, composition):
    diffusivity = factory()
    before = diffusivity([0.01, 0.02], 1000.0)
    error = fault_of(lambda: diffusivity(composition, 1000.0))
    assert error != "Exception", "the fault was caught by except Exception"
    assert not isinstance(error, Exception)
    assert error.args == (SHORT,) and str(error) == SHORT
    after = diffusivity([0.01, 0.02], 1000.0)
    assert struct.pack("<d", after) == struct.pack("<d", before)


def test_panic_exception_class():
    carbon, nitrogen = (factory() for factory in FACTORIES)
    first = fault_of(lambda: carbon([0.05], 1000.0))
    second = fault_of(lambda: nitrogen([0.05], 1000.0))
    cls = type(first)
    assert type(second) is cls and first is not second
    assert (cls.__module__, cls.__name__, cls.__qualname__) == (
        "pyo3_runtime", "PanicException", "PanicException")
    assert cls.__bases__ == (BaseException,)
    assert cls.__doc__.startswith("\n") and cls.__doc__.endswith("\n")
    namespaces = [m for name, m in sys.modules.items() if name.split(".")[0] == "talvenor"]
    namespaces.append(talvenor._talvenor.constants)
    for module in namespaces:
        assert all(value is not cls for value in vars(module).values()), module.__name__


def test_panic_through_callback_is_resumed_as_new_exception():
    carbon = talvenor.slycke.create_carbon_diffusivity()
    inner = []

    def pre_exponential(x, T):
        try:
            return carbon([0.05], T)
        except BaseException as error:
            inner.append(error)
            raise

    outer = Diffusivity(pre_exponential_func=pre_exponential, activation_energy_func=one)
    error = fault_of(lambda: outer([0.1, 0.2], 1000.0))
    assert len(inner) == 1
    assert type(error) is type(inner[0])
    assert error is not inner[0]
    assert error.args == (SHORT,)
    assert carbon([0.01, 0.02], 1000.0) > 0.0


def test_panic_caught_inside_callback_does_not_resume(capfd):
    carbon = talvenor.slycke.create_carbon_diffusivity()

    def pre_exponential(x, T):
        try:
            carbon([0.05], T)
        except BaseException:
            return 2.0
        return 1.0

    outer = Diffusivity(pre_exponential_func=pre_exponential, activation_energy_func=lambda x, T: 0.0)
    assert outer([0.1, 0.2], 1000.0) == 2.0
    assert "resuming a panic" not in capfd.readouterr().err


def test_resume_writes_report_and_traceback():
    result = run_python(textwrap.dedent("""
        import talvenor
        carbon = talvenor.slycke.create_carbon_diffusivity()

        def pre_exponential(x, T):
            return carbon([0.05], T)

        outer = talvenor.diffusion.ArrheniusModifiedDiffusivity(
            pre_exponential_func=pre_exponential, activation_energy_func=lambda x, T: 1.0)
        try:
            outer([0.1, 0.2], 1000.0)
        except BaseException as error:
            print(type(error).__module__, type(error).__name__, error, sep="|")
    """))
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"pyo3_runtime|PanicException|{SHORT}\n"
    lines = result.stderr.splitlines()
    start = lines.index("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---")
    assert lines[start + 1] == "Python stack trace below:"
    assert lines[start + 2] == "Traceback (most recent call last):"
    rest = lines[start + 3:]
    assert any("in pre_exponential" in line for line in rest)
    assert f"pyo3_runtime.PanicException: {SHORT}" in rest


@pytest.mark.parametrize("args, kwargs, parameter, type_name, target", [
    ((), {"pre_exponential_factor": 2.0}, "pre_exponential_factor", "float", "PreExponentialFactor"),
    ((2.0,), {}, "pre_exponential_factor", "float", "PreExponentialFactor"),
    ((), {"activation_energy": 2}, "activation_energy", "int", "ActivationEnergy"),
    ((None, "x"), {}, "activation_energy", "str", "ActivationEnergy"),
    ((), {"pre_exponential_factor": [1.0]}, "pre_exponential_factor", "list", "PreExponentialFactor"),
    ((Energy(one),), {}, "pre_exponential_factor", "ActivationEnergy", "PreExponentialFactor"),
    ((Factor(one),) * 2, {}, "activation_energy", "PreExponentialFactor", "ActivationEnergy"),
])
def test_cast_error_wording(args, kwargs, parameter, type_name, target):
    with pytest.raises(TypeError) as info:
        Diffusivity(*args, **kwargs)
    assert str(info.value) == (
        f"argument '{parameter}': '{type_name}' object is not an instance of '{target}'")


def test_cast_error_uses_the_qualified_type_name():
    class Nested:
        pass

    with pytest.raises(TypeError) as info:
        Diffusivity(activation_energy=Nested())
    assert "'test_cast_error_uses_the_qualified_type_name.<locals>.Nested' object" in str(info.value)
