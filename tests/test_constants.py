"""The constants module: thirteen stored doubles, each as a float attribute and a no-argument function."""

import importlib.machinery
import struct

import pytest

import talvenor
import talvenor._talvenor
from conftest import load_extension

# function name, attribute name, shortest repr of the stored double, description line
TABLE = [
    ("pi", "PI", "3.141592653589793", "Mathematical constant \u03c0 (pi)."),
    ("avogadro", "AVOGADRO", "6.02214076e+23", "Avogadro's number [1/mol]."),
    ("boltzmann", "BOLTZMANN", "1.380649e-23", "Boltzmann constant [J/K]."),
    ("electron_charge", "ELECTRON_CHARGE", "1.602176634e-19", "Elementary charge [C]."),
    ("faraday", "FARADAY", "96485.33212", "Faraday constant [C/mol]."),
    ("gas_constant", "GAS_CONSTANT", "8.31446261815324", "Universal gas constant [J/(mol\u00b7K)]."),
    ("gravity", "GRAVITY", "9.80665",
     "Conventional gravitational acceleration on Earth [m/s\u00b2]."),
    ("planck", "PLANCK", "6.62607015e-34", "Planck constant [J\u00b7s]."),
    ("speed_of_light", "SPEED_OF_LIGHT", "299792458.0", "Speed of light in vacuum [m/s]."),
    ("stefan_boltzmann", "STEFAN_BOLTZMANN", "5.670374419e-08",
     "Stefan-Boltzmann constant [W/(m\u00b2\u00b7K\u2074)]."),
    ("t_reference", "T_REFERENCE", "298.15", "Thermodynamic reference temperature [K]."),
    ("t_normal", "T_NORMAL", "273.15", "Normal state reference temperature [K]."),
    ("p_normal", "P_NORMAL", "101325.0", "Normal state reference pressure [Pa]."),
]
FUNCTIONS = [row[0] for row in TABLE]


def bits(value):
    return struct.pack("<d", value)


@pytest.fixture(params=["package", "submodule", "bare"])
def constants(request, bare_modules_dir):
    """The constants module as the package loads it, as _talvenor's submodule, and under its bare name."""
    if request.param == "package":
        return talvenor.constants
    if request.param == "submodule":
        return talvenor._talvenor.constants
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    return load_extension("constants", bare_modules_dir / f"constants{suffix}")


@pytest.mark.parametrize("function, attribute, text, description", TABLE)
def test_function_and_attribute_hold_the_literal(constants, function, attribute, text, description):
    expected = float(text)
    from_call = getattr(constants, function)()
    from_attribute = getattr(constants, attribute)
    for value in (from_call, from_attribute):
        assert type(value) is float
        assert bits(value) == bits(expected)
        assert repr(value) == text


@pytest.mark.parametrize("function, attribute, text, description", TABLE)
def test_function_metadata(constants, function, attribute, text, description):
    func = getattr(constants, function)
    assert func.__name__ == function
    assert func.__text_signature__ == "()"
    assert func.__doc__ == f"{description}\n\nFunctional alias for constants.{attribute}."
    assert func.__self__ is None


def test_each_call_returns_a_new_float(constants):
    first, second = constants.pi(), constants.pi()
    assert first == second and first is not second


def test_all_lists_functions_then_attributes(constants):
    assert type(constants.__all__) is list
    assert len(constants.__all__) == 26
    assert constants.__all__ == FUNCTIONS + [row[1] for row in TABLE]
    assert (constants.__all__[0], constants.__all__[-1]) == ("pi", "P_NORMAL")


def test_functions_ignore_rebound_and_deleted_attributes(constants, monkeypatch):
    monkeypatch.setattr(constants, "PI", 3.0)
    monkeypatch.delattr(constants, "GAS_CONSTANT")
    assert bits(constants.pi()) == bits(3.141592653589793)
    assert bits(constants.gas_constant()) == bits(8.31446261815324)


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("args, kwargs", [((0,), {}), ((), {"x": 0}), ((1.0, 2.0), {})])
def test_arguments_are_rejected(function, args, kwargs):
    with pytest.raises(TypeError, match=rf"{function}\(\) takes no (keyword )?arguments"):
        getattr(talvenor.constants, function)(*args, **kwargs)
