"""Argument parsing, value conversion and the two property classes.

ActivationEnergy and PreExponentialFactor share one implementation, so most
cases run against both.  The native conversion of composition arrays is only
reachable through a diffusivity whose states hold native model functions,
which is what slycke.create_carbon_diffusivity() returns.
"""

import gc
import math
import sys
import weakref

import numpy as np
import pytest

from talvenor import diffusion, slycke

CLASSES = [diffusion.ActivationEnergy, diffusion.PreExponentialFactor]
by_class = pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
by_type_name = dict(ids=lambda e: type(e).__name__)


def zero(x, T):
    return 0.0


class Recorder:
    """Callback that records its arguments and returns a fixed value."""

    def __init__(self, result=1.5):
        self.result, self.calls = result, []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


def float_message(obj):
    """The interpreter's own TypeError text for converting obj to a double."""
    with pytest.raises(TypeError) as info:
        math.fsum([obj])
    return str(info.value)


class FloatSub(float): pass
class TypeErrorSub(TypeError): pass
class ListSub(list): pass
class StrWithArray(str): __array__ = None
class MappingArray(dict): __array__ = None
class ArrayNone: __array__ = None
class Indexable: __index__ = lambda self: 7


class Raising:
    """__float__ raises the given exception, or a new one when given a class."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        if isinstance(self.error, type):
            raise self.error("raised")
        raise self.error.with_traceback(None)


def carbon(array, temperature=1000.0):
    return slycke.create_carbon_diffusivity()(array, temperature)


# -- argument parsing ---------------------------------------------------------

@by_class
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "missing 1 required positional argument: 'callback'"),
    ((zero, zero), {}, "takes 1 positional arguments but 2 were given"),
    ((zero, zero, zero), {}, "takes 1 positional arguments but 3 were given"),
    ((zero,), {"callback": zero}, "got multiple values for argument 'callback'"),
    ((), {"cb": zero}, "got an unexpected keyword argument 'cb'"),
    ((), {"callback": zero, "cb": zero}, "got an unexpected keyword argument 'cb'"),
    ((), {"cb": zero, "other": zero}, "got an unexpected keyword argument 'cb'"),
    ((), {"other": zero, "cb": zero}, "got an unexpected keyword argument 'other'"),
    ((zero, zero), {"cb": zero}, "takes 1 positional arguments but 2 were given"),
    ((), {"\udc80": zero}, "got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
])
def test_new_parse_errors(cls, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"{cls.__name__}.__new__() {message}"


def test_arrhenius_new_too_many_positional():
    with pytest.raises(TypeError) as info:
        diffusion.ArrheniusModifiedDiffusivity(1, 2, 3, 4, 5)
    assert str(info.value) == (
        "ArrheniusModifiedDiffusivity.__new__() takes from 0 to 4 positional arguments but 5 were given")


X = [0.1, 0.2]


@by_class
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "missing 2 required positional arguments: 'array' and 'temperature'"),
    ((X,), {}, "missing 1 required positional argument: 'temperature'"),
    ((), {"temperature": 300.0}, "missing 1 required positional argument: 'array'"),
    ((X, 300.0, 1), {}, "takes 2 positional arguments but 3 were given"),
    ((X, 300.0, 1, 2), {}, "takes 2 positional arguments but 4 were given"),
    ((X, 300.0), {"temperature": 1}, "got multiple values for argument 'temperature'"),
    ((X,), {"array": X}, "got multiple values for argument 'array'"),
    ((X, 300.0, 1), {"bogus": 1}, "takes 2 positional arguments but 3 were given"),
    ((X,), {"t": 300.0}, "got an unexpected keyword argument 't'"),
    ((), {"b": 1, "a": 1}, "got an unexpected keyword argument 'b'"),
    ((X, 300.0), {"\udc80": 1}, "got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
])
def test_call_parse_errors(cls, args, kwargs, message):
    callback = Recorder()
    with pytest.raises(TypeError) as info:
        cls(callback)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"{cls.__name__}.__call__() {message}"
    assert callback.calls == []


@by_class
@pytest.mark.parametrize("args, kwargs", [
    ((X, 300.0), {}),
    ((X,), {"temperature": 300.0}),
    ((), {"array": X, "temperature": 300.0}),
    ((), {"temperature": 300.0, "array": X}),
])
def test_call_argument_forms(cls, args, kwargs):
    callback = Recorder(2.5)
    assert cls(callback)(*args, **kwargs) == 2.5
    assert callback.calls == [((X, 300.0), {})]
    assert callback.calls[0][0][0] is X


# -- temperature conversion ---------------------------------------------------

@by_class
@pytest.mark.parametrize("temperature, expected", [
    (True, 1.0), (False, 0.0), (-1, -1.0), (300, 300.0), (-1.0, -1.0),
    (FloatSub(2.5), 2.5), (np.float32(1.5), 1.5), (np.int64(12), 12.0), (Indexable(), 7.0),
    (float("inf"), float("inf")), (float("-inf"), float("-inf")), (float("nan"), float("nan")),
])
def test_temperature_converted(cls, temperature, expected):
    seen = []
    result = cls(lambda x, T: seen.append(T) or T)([], temperature)
    assert type(seen[0]) is float and type(result) is float
    assert repr(seen[0]) == repr(result) == repr(expected)


@by_class
def test_temperature_string_is_prefixed(cls):
    callback = Recorder()
    with pytest.raises(TypeError) as info:
        cls(callback)([], "300")
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'temperature': " + float_message("300")
    assert str(info.value) == "argument 'temperature': must be real number, not str"
    assert info.value.__cause__ is None and info.value.__suppress_context__ is True
    assert callback.calls == []


@by_class
@pytest.mark.parametrize("error", [ValueError("v"), OverflowError("o"), TypeErrorSub("sub"), KeyError("k")],
                         **by_type_name)
def test_temperature_non_type_error_unchanged(cls, error):
    callback = Recorder()
    with pytest.raises(type(error)) as info:
        cls(callback)([], Raising(error))
    assert info.value is error
    assert callback.calls == []


@by_class
def test_temperature_type_error_keeps_cause(cls):
    cause = KeyError("why")

    class Caused:
        def __float__(self):
            raise TypeError("no float here") from cause

    with pytest.raises(TypeError) as info:
        cls(zero)([], Caused())
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'temperature': no float here"
    assert info.value.__cause__ is cause and info.value.__suppress_context__ is True


@by_class
def test_temperature_checked_before_array(cls):
    callback = Recorder()
    instance = cls(callback)
    with pytest.raises(TypeError, match="^argument 'temperature': must be real number, not str$"):
        instance((1, 2), "300")
    error = ValueError("v")
    with pytest.raises(ValueError) as info:
        instance("not an array", Raising(error))
    assert info.value is error
    assert callback.calls == []


# -- construction and the callback path ---------------------------------------

@by_class
@pytest.mark.parametrize("callback", [5, "s", None, [zero], 1.5])
def test_callback_not_callable(cls, callback):
    with pytest.raises(TypeError) as info:
        cls(callback)
    assert str(info.value) == "callback must be callable with signature: fn(x[], T)"


@by_class
def test_construction_forms(cls):
    assert cls(callback=lambda x, T: T * 2)([], 4) == 8.0
    with pytest.raises(TypeError) as expected:
        float([1.0], 300.0)
    with pytest.raises(TypeError) as info:
        cls(float)([1.0], 300.0)
    assert type(info.value) is TypeError and str(info.value) == str(expected.value)


@by_class
def test_callback_receives_same_list(cls):
    array, seen = [0.5], []

    def callback(x, T):
        seen.append((x, T))
        x.append(9.0)
        return T

    result = cls(callback)(array, 300)
    assert seen[0][0] is array and array == [0.5, 9.0]
    assert type(seen[0][1]) is float and seen[0][1] == 300.0
    assert type(result) is float and result == 300.0


@by_class
@pytest.mark.parametrize("returned, expected", [
    (5, 5.0), (True, 1.0), (FloatSub(-2.25), -2.25), (np.float32(0.5), 0.5), (np.int64(3), 3.0),
    (float("inf"), float("inf")),
])
def test_callback_result_converted(cls, returned, expected):
    result = cls(lambda x, T: returned)([], 1.0)
    assert type(result) is float and result == expected


@by_class
@pytest.mark.parametrize("returned", [None, "2.0", [1.0], b"1"])
def test_callback_result_not_a_number(cls, returned):
    with pytest.raises(TypeError) as info:
        cls(lambda x, T: returned)([], 1.0)
    assert type(info.value) is TypeError
    assert str(info.value) == float_message(returned)


def raise_from_callback(error):
    def callback(x, T):
        raise error
    return callback


@by_class
@pytest.mark.parametrize("make", [raise_from_callback, lambda error: (lambda x, T: Raising(error))],
                         ids=["in-callback", "in-result-conversion"])
@pytest.mark.parametrize("error", [ValueError("v"), TypeErrorSub("sub"), ZeroDivisionError()], **by_type_name)
def test_callback_errors_unchanged(cls, make, error):
    with pytest.raises(type(error)) as info:
        cls(make(error))([], 1.0)
    assert info.value is error


class RaisingArrayProperty:
    __array__ = property(lambda self: {}["hidden"])


class RaisingGetattr:
    def __getattr__(self, name):
        raise RuntimeError(name)


@by_class
@pytest.mark.parametrize("array", [(1.0, 2.0), "0.1", b"ab", {0: 1.0}, (v for v in [1.0]), range(2), 5, None, {1.0},
                                   RaisingArrayProperty(), RaisingGetattr()], **by_type_name)
def test_array_rejected(cls, array):
    callback = Recorder()
    with pytest.raises(TypeError) as info:
        cls(callback)(array, 300.0)
    assert type(info.value) is TypeError
    assert str(info.value) == "array must be a list or numpy array"
    assert info.value.__context__ is None and info.value.__cause__ is None
    assert callback.calls == []


@by_class
@pytest.mark.parametrize("array", [[], ListSub([1.0]), np.array([0.1, 0.2]), np.zeros(0), ArrayNone(),
                                   ["a", None]], **by_type_name)
def test_array_accepted_unchanged(cls, array):
    callback = Recorder(4.0)
    assert cls(callback)(array, 300.0) == 4.0
    assert callback.calls[0][0][0] is array


# -- the native path ----------------------------------------------------------

class IteratesOther(list):
    __iter__ = lambda self: iter([0.01, 0.02])


class HugeLength:
    """A sequence whose reported length is far beyond what it yields."""
    __array__ = None
    __len__ = lambda self: sys.maxsize
    __getitem__ = lambda self, index: [][index]
    __iter__ = lambda self: iter([0.01, 0.02])


class BrokenLength(HugeLength):
    __len__ = lambda self: int("no length")


@pytest.mark.parametrize("array, same_as", [
    ([0, 0], [0.0, 0.0]),
    ([1, 0], [1.0, 0.0]),
    ([FloatSub(0.01), np.float64(0.02)], [0.01, 0.02]),
    (IteratesOther([0.3, 0.4]), [0.01, 0.02]),
    (HugeLength(), [0.01, 0.02]),
    (BrokenLength(), [0.01, 0.02]),
    (np.array([0.015625, 0.0078125]), [0.015625, 0.0078125]),
    (np.array([0.015625, 0.0078125], dtype=np.float32), [0.015625, 0.0078125]),
    (np.array([0, 0], dtype=np.int64), [0.0, 0.0]),
    (np.array([[0.01, 0.02]])[0], [0.01, 0.02]),
], ids=["ints", "int-one", "subclasses", "own-iter", "huge-len", "broken-len",
        "float64", "float32", "int64", "row-view"])
def test_native_conversion(array, same_as):
    assert carbon(array) == carbon(same_as)


def test_native_uses_iteration_not_list_storage():
    assert carbon(IteratesOther([0.3, 0.4])) != carbon([0.3, 0.4])


@pytest.mark.parametrize("array", [["a", "b"], [0.1, "x"], [0.1, None], ListSub([0.1, b"z"])],
                         ids=["strings", "second-str", "none", "subclass"])
def test_native_bad_entry(array):
    bad = next(item for item in array if not isinstance(item, float))
    with pytest.raises(TypeError) as info:
        carbon(array)
    assert type(info.value) is TypeError
    assert str(info.value) == float_message(bad)


FIRST, SECOND = ValueError("first"), TypeErrorSub("second")


class FailingIter(list):
    def __iter__(self):
        yield 0.1
        raise FIRST.with_traceback(None)


@pytest.mark.parametrize("array", [[0.1, Raising(FIRST), Raising(SECOND)],
                                   ListSub([0.1, Raising(FIRST), Raising(SECOND)]), FailingIter()],
                         ids=["list", "subclass", "iterator"])
def test_native_first_error_unchanged(array):
    with pytest.raises(ValueError) as info:
        carbon(array)
    assert info.value is FIRST


class NoSequence:
    class Inner:
        __array__ = None


@pytest.mark.parametrize("array, message", [
    (np.str_("ab"), "Can't extract `str` to `Vec`"),
    (StrWithArray("ab"), "Can't extract `str` to `Vec`"),
    ("ab", "array must be a list or numpy array"),
    (NoSequence.Inner(), "'NoSequence.Inner' object is not an instance of 'Sequence'"),
    (MappingArray(), "'MappingArray' object is not an instance of 'Sequence'"),
], **by_type_name)
def test_native_refused(array, message):
    with pytest.raises(TypeError) as info:
        carbon(array)
    assert type(info.value) is TypeError and str(info.value) == message


# -- type properties ----------------------------------------------------------

@by_class
def test_type_properties(cls):
    name = cls.__name__
    assert getattr(diffusion, name) is cls and name in ("ActivationEnergy", "PreExponentialFactor")
    assert cls.__qualname__ == name and cls.__module__ == "builtins"
    assert cls.__text_signature__ == "(callback)" and cls.__doc__ == ""
    assert cls.__mro__ == (cls, object)
    instance = cls(zero)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert not gc.is_tracked(instance)
    other = CLASSES[1] if cls is CLASSES[0] else CLASSES[0]
    assert isinstance(instance, cls) and not isinstance(instance, other)


# -- references ---------------------------------------------------------------

def fails(function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except Exception:
        return
    raise AssertionError("expected an exception")


def assert_refcounts_kept(objects, action, repeat=20):
    before = [sys.getrefcount(obj) for obj in objects]
    for _ in range(repeat):
        action()
    assert [sys.getrefcount(obj) for obj in objects] == before


@by_class
def test_no_leak_on_construction(cls):
    callback, other, not_callable = Recorder(), Recorder(), object()
    assert_refcounts_kept([callback, other, not_callable], lambda: (
        fails(cls, callback, other),
        fails(cls, callback, callback=other),
        fails(cls, callback=callback, cb=other),
        fails(cls, not_callable),
        fails(cls, callback=not_callable),
        cls(callback),
    ))


@by_class
def test_no_leak_on_call(cls):
    array, result, temperature = [0.1, 0.2], FloatSub(3.0), FloatSub(300.0)
    bad_temperature, rejected = Raising(TypeError), (1.0, 2.0)
    callback = Recorder(result)
    instance = cls(callback)

    def action():
        fails(instance, array, bad_temperature)
        fails(instance, array, temperature, 1)
        fails(instance, array, temperature=temperature, extra=array)
        fails(instance, rejected, temperature)
        fails(cls(lambda x, T: Raising(ValueError)), array, temperature)
        fails(cls(raise_from_callback(ValueError)), array, temperature)
        assert instance(array, temperature) == 3.0
        callback.calls.clear()

    assert_refcounts_kept([array, result, temperature, bad_temperature, callback, instance, rejected], action)


def test_no_leak_on_native_path():
    diffusivity = slycke.create_carbon_diffusivity()
    good, bad = [0.01, 0.02], ListSub([0.01, Raising(ValueError)])
    text, no_sequence = np.str_("ab"), ArrayNone()
    assert_refcounts_kept([good, bad, text, no_sequence], lambda: (
        fails(diffusivity, bad, 1000.0),
        fails(diffusivity, text, 1000.0),
        fails(diffusivity, no_sequence, 1000.0),
        diffusivity(good, 1000.0),
    ))


@by_class
def test_instance_usable_after_failures(cls):
    instance = cls(lambda x, T: x[0] * T if x else T)
    for args in [(), ([1.0], "hot"), ((1.0,), 2.0), ([1.0], Raising(ValueError))]:
        fails(instance, *args)
    assert instance([2.0], 3.0) == 6.0
    assert instance([], 3.0) == 3.0
