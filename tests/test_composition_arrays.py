"""Composition arrays whose __array__ lookup or conversion must run the ordinary
protocols: looked up through the type's own attribute hooks, or read entry by
entry through iteration, never straight from the type or from memory."""

import struct
import warnings

import numpy as np
import pytest

from talvenor import slycke

T = 1173.15
NOT_ARRAY = (TypeError, "array must be a list or numpy array")
carbon = slycke.create_carbon_diffusivity()


def outcome(array):
    """The result's bits, or the class and message of what the call raised."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # numpy's casting warnings, once per call site
        try:
            return struct.pack("<d", carbon(array, T))
        except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
            return type(error), str(error)


class Iterated(np.ndarray):
    """A subclass: converted by iterating it, as every non-list array is."""


def nan_payloads():
    return np.array([0x7FF0000000000001, 0x7FF8DEAD0000BEEF], dtype=np.uint64).view(np.float64)


def unaligned():
    return np.frombuffer(b"\0" + np.array([0.01, 0.002]).tobytes(), dtype=np.float64, offset=1)


ARRAYS = {
    "float64": lambda: np.array([0.01, 0.002, 7.5]),
    "specials": lambda: np.array([-0.0, 5e-324, np.inf, -1e308]),
    "nan-payloads": nan_payloads,
    "strided": lambda: np.array([0.01, 9.0, 0.002, 9.0])[::2],
    "reversed": lambda: np.array([0.002, 0.01])[::-1],
    "column": lambda: np.array([[0.01, 1.0], [0.002, 1.0]])[:, 0],
    "unaligned": unaligned,
    "big-endian": lambda: np.array([0.01, 0.002], dtype=">f8"),
    "float32": lambda: np.array([0.01, 0.002], dtype=np.float32),
    "int64": lambda: np.array([1, 0]),
    "bool": lambda: np.array([True, False]),
    "complex": lambda: np.array([0.01 + 0j, 0.002 + 0j]),
    "object-floats": lambda: np.array([0.01, 0.002], dtype=object),
    "object-strings": lambda: np.array(["0.01", 0.002], dtype=object),
    "0-d": lambda: np.array(0.01),
    "2-d": lambda: np.array([[0.01, 0.002]]),
    "empty": lambda: np.array([]),
    "datetime": lambda: np.array(["2020-01-01", "2020-01-02"], dtype="M8[D]"),  # exports no buffer
    "structured": lambda: np.zeros(2, dtype=[("a", "f8")]),
}


@pytest.mark.parametrize("make", ARRAYS.values(), ids=ARRAYS.keys())
def test_an_array_gives_what_iterating_it_gives(make):
    array = make()
    assert outcome(array) == outcome(array.view(Iterated))


class Reversed(np.ndarray):
    def __iter__(self):
        return reversed(self.tolist())


class Doubled(np.ndarray):
    def __getitem__(self, index):
        return np.ndarray.__getitem__(self, index) * 2


class HidesArray(np.ndarray):
    def __getattribute__(self, name):
        if name == "__array__":
            raise AttributeError(name)
        return np.ndarray.__getattribute__(self, name)


@pytest.mark.parametrize(
    "kind, expected",
    [(Reversed, [0.002, 0.01]), (Doubled, [0.02, 0.004]), (HidesArray, NOT_ARRAY)],
)
def test_array_subclasses_keep_their_overrides(kind, expected):
    array = np.array([0.01, 0.002]).view(kind)
    assert outcome(array) == (outcome(expected) if isinstance(expected, list) else expected)


class Pair:
    """A two-entry sequence without an instance dictionary; subclasses give __array__."""

    __slots__ = ()
    lookups = 0

    def __len__(self):
        return 2

    def __getitem__(self, index):
        return [0.01, 0.002][index]


class CountingProperty(Pair):
    __slots__ = ()

    @property
    def __array__(self):
        type(self).lookups += 1


class RaisingProperty(Pair):
    __slots__ = ()

    @property
    def __array__(self):
        type(self).lookups += 1
        raise KeyError("hidden")


class HiddenByGetattribute(Pair):
    __slots__ = ()

    def __array__(self):
        raise AssertionError("never reached")

    def __getattribute__(self, name):
        if name == "__array__":
            type(self).lookups += 1
            raise AttributeError(name)
        return object.__getattribute__(self, name)


class BorrowedMethod(Pair):
    __slots__ = ()
    __array__ = dict.keys  # binds only to dicts: the lookup fails


@pytest.mark.parametrize(
    "kind, lookups, expected",
    [
        (CountingProperty, 3, None),  # the call's test, then one per property
        (RaisingProperty, 1, NOT_ARRAY),
        (HiddenByGetattribute, 1, NOT_ARRAY),
        (BorrowedMethod, 0, NOT_ARRAY),
    ],
)
def test_array_attribute_is_looked_up_as_python_does(kind, lookups, expected):
    assert outcome(kind()) == (expected or outcome([0.01, 0.002]))
    assert kind.lookups == lookups
