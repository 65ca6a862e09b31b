"""Correct use of every public name of talvenor, for mypy --strict.

tests/test_typing.py type-checks this file against the stubs and also runs
it, so every line here is both well typed and working code.  assert_type
pins the types the stubs give.
"""

from __future__ import annotations

import math
from typing import Any, assert_type

import numpy as np

import talvenor
from talvenor import _talvenor, calphad, constants, diffusion, slycke
from talvenor.diffusion import ActivationEnergy, ArrheniusModifiedDiffusivity, PreExponentialFactor


class Composition:
    """A minimal array-like object: a sequence with an ``__array__`` attribute."""

    def __init__(self, *values: float) -> None:
        self.values = list(values)

    def __array__(self) -> list[float]:
        return self.values

    def __getitem__(self, index: int) -> float:
        return self.values[index]

    def __len__(self) -> int:
        return len(self.values)


def d0_of(x: Any, temperature: float) -> float:
    return 2.0e-5


def q_of(x: Any, temperature: float) -> float:
    return 140000.0 + 10.0 * temperature


def check_versions() -> None:
    assert_type(talvenor.__version__, str)
    assert_type(talvenor.version(), str)
    assert_type(_talvenor.version(), str)
    assert_type(_talvenor.__version__, str)
    assert talvenor.version() == talvenor.__version__ == "1.0.0"
    assert _talvenor.constants.GAS_CONSTANT == constants.GAS_CONSTANT
    assert calphad.__name__ == "talvenor.calphad"
    assert talvenor.constants is constants
    assert talvenor.diffusion is diffusion
    assert talvenor.slycke is slycke
    assert talvenor.calphad is calphad


def check_constants() -> None:
    pairs: list[tuple[float, float]] = [
        (constants.PI, constants.pi()),
        (constants.AVOGADRO, constants.avogadro()),
        (constants.BOLTZMANN, constants.boltzmann()),
        (constants.ELECTRON_CHARGE, constants.electron_charge()),
        (constants.FARADAY, constants.faraday()),
        (constants.GAS_CONSTANT, constants.gas_constant()),
        (constants.GRAVITY, constants.gravity()),
        (constants.PLANCK, constants.planck()),
        (constants.SPEED_OF_LIGHT, constants.speed_of_light()),
        (constants.STEFAN_BOLTZMANN, constants.stefan_boltzmann()),
        (constants.T_REFERENCE, constants.t_reference()),
        (constants.T_NORMAL, constants.t_normal()),
        (constants.P_NORMAL, constants.p_normal()),
    ]
    for attribute, function in pairs:
        assert attribute == function
    assert_type(constants.PI, float)
    assert_type(constants.p_normal(), float)


def check_diffusion() -> None:
    d0 = PreExponentialFactor(d0_of)
    q = ActivationEnergy(callback=q_of)
    assert_type(d0([0.0, 0.0], 1000.0), float)
    assert q(array=[0.0], temperature=1000) == 150000.0  # an int temperature is a float

    from_objects = ArrheniusModifiedDiffusivity(d0, q)
    from_functions = ArrheniusModifiedDiffusivity(
        pre_exponential_func=d0_of, activation_energy_func=lambda x, t: 150000.0
    )
    mixed = ArrheniusModifiedDiffusivity(pre_exponential_factor=d0, activation_energy_func=q_of)
    mixed_other_way = ArrheniusModifiedDiffusivity(None, q, d0_of, None)
    expected = 2.0e-5 * math.exp(-150000.0 / (constants.GAS_CONSTANT * 1000.0))
    for diffusivity in (from_objects, from_functions, mixed, mixed_other_way):
        assert_type(diffusivity, ArrheniusModifiedDiffusivity)
        assert math.isclose(diffusivity([0.01, 0.0], 1000.0), expected, rel_tol=1e-12)


def check_slycke() -> None:
    carbon = slycke.create_carbon_diffusivity()
    nitrogen = slycke.create_nitrogen_diffusivity()
    assert_type(carbon, ArrheniusModifiedDiffusivity)
    assert_type(nitrogen, diffusion.ArrheniusModifiedDiffusivity)
    y = [0.0375, 0.0]  # site fractions [y_C, y_N]
    from_list = carbon(y, 1203.15)
    assert carbon(np.array(y), 1203.15) == from_list
    assert carbon(Composition(0.0375, 0.0), 1203.15) == from_list
    assert carbon(array=y, temperature=1203.15) == from_list
    assert 0.0 < nitrogen([0.0, 0.01], 1200.0) < 1.0e-9
    try:
        carbon([0.05], 1200.0)
    except BaseException as error:  # PanicException derives from BaseException
        assert str(error) == "composition array must have at least two elements"
    else:
        raise AssertionError("a one-entry composition was accepted")


def main() -> None:
    check_versions()
    check_constants()
    check_diffusion()
    check_slycke()


if __name__ == "__main__":
    main()
