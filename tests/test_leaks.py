"""Repeated calls must not leak memory or references.

Every public operation is run on its success path and on each of its error
paths thousands of times after a warm-up.  Afterwards the number of blocks
the interpreter has allocated and the memory that tracemalloc traces must be
where they were, and the reference counts of every object handed to talvenor
(callbacks, arrays, temperatures, property objects) must be back to their
starting values.
"""

import contextlib
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from talvenor import _talvenor, constants, diffusion, slycke

WARMUP = 500
REPEAT = 5000
BLOCK_SLACK = 50
BYTE_SLACK = 4096

T = float("1173.25")  # a float object of its own, so its refcount is ours


# ---------------------------------------------------------------------------
# Objects handed to talvenor; their reference counts are checked after every
# operation.


def d0_callback(x, t):
    return 2.0e-5


def q_callback(x, t):
    return 1.4e5


def raising_callback(x, t):
    raise ValueError("callback refused")


def none_callback(x, t):
    return None


def str_callback(x, t):
    return "not a number"


def int_callback(x, t):
    return 7


def numpy_callback(x, t):
    return np.float64(0.25)


class CallableObject:
    def __call__(self, x, t):
        return 3.0


class FloatSubclass(float):
    pass


class FloatLike:
    def __float__(self):
        return 900.0


class BadFloatValue:
    def __float__(self):
        raise ValueError("no float here")


class TypeErrorSubclass(TypeError):
    pass


class BadFloatType:
    def __float__(self):
        raise TypeErrorSubclass("typed refusal")


class ListSubclass(list):
    pass


class HugeLenList(list):
    """A list whose __len__ claims sys.maxsize but which iterates two numbers."""

    def __len__(self):
        return sys.maxsize

    def __iter__(self):
        return iter((0.01, 0.02))


class HugeLenSequence:
    """A sequence with __array__ whose __len__ claims sys.maxsize."""

    __array__ = None

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        return (0.01, 0.02)[index]

    def __iter__(self):
        yield 0.01
        yield 0.02


class LenRaisesSequence(HugeLenSequence):
    def __len__(self):
        raise RuntimeError("no length")


class IterRaisesSequence(HugeLenSequence):
    def __iter__(self):
        yield 0.01
        raise KeyError("iteration stopped")


class GetIterFailsSequence(HugeLenSequence):
    __iter__ = None


class ArrayNotSequence:
    """Has __array__ but no sequence protocol."""

    __array__ = None


class ArrayPropertyRaises:
    @property
    def __array__(self):
        raise KeyError("no array")


float_subclass_T = FloatSubclass(1173.25)
float_like_T = FloatLike()
bad_value_T = BadFloatValue()
bad_type_T = BadFloatType()
str_T = "1173.25"
numpy_T = np.float64(1173.25)

composition = [0.01, 0.02]
int_composition = [0, 0]
long_composition = [0.01, 0.02] + [0.5] * 30
short_composition = [0.05]
empty_composition = []
string_entries = [0.01, "x"]
tuple_composition = (0.01, 0.02)
list_subclass_composition = ListSubclass([0.01, 0.02])
huge_len_list = HugeLenList([0.01, 0.02])
huge_len_sequence = HugeLenSequence()
len_raises = LenRaisesSequence()
iter_raises = IterRaisesSequence()
getiter_fails = GetIterFailsSequence()
array_not_sequence = ArrayNotSequence()
array_property_raises = ArrayPropertyRaises()
numpy_composition = np.array([0.01, 0.02])
numpy_short = np.array([0.05])
numpy_string = np.str_("ab")
callable_object = CallableObject()

pre_exponential_factor = diffusion.PreExponentialFactor(d0_callback)
activation_energy = diffusion.ActivationEnergy(q_callback)
raising_factor = diffusion.PreExponentialFactor(raising_callback)
none_energy = diffusion.ActivationEnergy(none_callback)
str_energy = diffusion.ActivationEnergy(str_callback)
int_factor = diffusion.PreExponentialFactor(int_callback)
numpy_factor = diffusion.PreExponentialFactor(numpy_callback)
float_class_factor = diffusion.PreExponentialFactor(float)
object_factor = diffusion.PreExponentialFactor(callable_object)

by_objects = diffusion.ArrheniusModifiedDiffusivity(pre_exponential_factor, activation_energy)
by_functions = diffusion.ArrheniusModifiedDiffusivity(
    pre_exponential_func=d0_callback, activation_energy_func=q_callback)
mixed = diffusion.ArrheniusModifiedDiffusivity(
    pre_exponential_factor=pre_exponential_factor, activation_energy_func=q_callback)
raising_d0 = diffusion.ArrheniusModifiedDiffusivity(
    pre_exponential_func=raising_callback, activation_energy_func=q_callback)
bad_q = diffusion.ArrheniusModifiedDiffusivity(
    pre_exponential_func=d0_callback, activation_energy_func=str_callback)

carbon = slycke.create_carbon_diffusivity()
nitrogen = slycke.create_nitrogen_diffusivity()


def resuming_callback(x, t):
    # Lets the PanicException of a too-short composition escape.
    return carbon(short_composition, t)


resuming_factor = diffusion.PreExponentialFactor(resuming_callback)

TRACKED = {
    name: value
    for name, value in globals().items()
    if not name.startswith("_")
    and name not in {"T", "WARMUP", "REPEAT", "BLOCK_SLACK", "BYTE_SLACK", "TRACKED"}
    and not isinstance(value, type(sys))
    and not (isinstance(value, type) and value.__module__ != __name__)
}
TRACKED["T"] = T

PanicException = None
try:
    carbon(short_composition, T)
except BaseException as caught:  # noqa: BLE001 - the class is only reachable this way
    PanicException = type(caught)


def panic(message):
    return (PanicException, message)


SHORT = "composition array must have at least two elements"
NOT_CALLABLE = "callback must be callable with signature: fn(x[], T)"
NOT_ARRAY = "array must be a list or numpy array"
MODE = ("Must provide either (pre_exponential, activation_energy) objects or "
        "(pre_exponential_func, activation_energy_func) functions")

AMD = diffusion.ArrheniusModifiedDiffusivity
PEF = diffusion.PreExponentialFactor
AE = diffusion.ActivationEnergy

# (name, operation, expected): expected is None for success, an exception
# class, or (exception class, exact message).
OPERATIONS = [
    # module functions
    ("version", lambda: _talvenor.version(), None),
    ("version-with-argument", lambda: _talvenor.version(1), TypeError),
    ("gas_constant", lambda: constants.gas_constant(), None),
    ("pi", lambda: constants.pi(), None),
    ("p_normal", lambda: constants.p_normal(), None),
    ("constant-with-argument", lambda: constants.planck(T), TypeError),
    ("create_carbon", lambda: slycke.create_carbon_diffusivity(), None),
    ("create_nitrogen", lambda: slycke.create_nitrogen_diffusivity(), None),
    ("create-with-argument", lambda: slycke.create_carbon_diffusivity(1), TypeError),
    # property construction
    ("PEF(callback)", lambda: PEF(d0_callback), None),
    ("AE(callback=)", lambda: AE(callback=q_callback), None),
    ("AE(class)", lambda: AE(float), None),
    ("AE(callable object)", lambda: AE(callable_object), None),
    ("AE()", lambda: AE(), (TypeError, "ActivationEnergy.__new__() missing 1 required positional argument: 'callback'")),
    ("AE(f, g)", lambda: AE(q_callback, q_callback), TypeError),
    ("AE(f, callback=f)", lambda: AE(q_callback, callback=q_callback), TypeError),
    ("AE(cb=f)", lambda: AE(cb=q_callback), TypeError),
    ("AE(surrogate keyword)", lambda: AE(**{"\udc80x": q_callback}), TypeError),
    ("PEF(5)", lambda: PEF(5), (TypeError, NOT_CALLABLE)),
    ("AE(str)", lambda: AE("f"), (TypeError, NOT_CALLABLE)),
    ("AE(None)", lambda: AE(None), (TypeError, NOT_CALLABLE)),
    # diffusivity construction
    ("AMD(objects)", lambda: AMD(pre_exponential_factor, activation_energy), None),
    ("AMD(functions)", lambda: AMD(pre_exponential_func=d0_callback, activation_energy_func=q_callback), None),
    ("AMD(pef, q_func)", lambda: AMD(pre_exponential_factor, None, None, q_callback), None),
    ("AMD(d0_func, ae)", lambda: AMD(None, activation_energy, d0_callback, None), None),
    ("AMD(1..5)", lambda: AMD(1, 2, 3, 4, 5), TypeError),
    ("AMD(unexpected keyword)", lambda: AMD(pre_exponential=pre_exponential_factor), TypeError),
    ("AMD(twice)", lambda: AMD(pre_exponential_factor, pre_exponential_factor=pre_exponential_factor), TypeError),
    ("AMD(pef=2.0)", lambda: AMD(pre_exponential_factor=2.0), (TypeError, "argument 'pre_exponential_factor': 'float' object is not an instance of 'PreExponentialFactor'")),
    ("AMD(pef=AE)", lambda: AMD(pre_exponential_factor=activation_energy), TypeError),
    ("AMD(ae=PEF)", lambda: AMD(pre_exponential_factor, pre_exponential_factor), (TypeError, "argument 'activation_energy': 'PreExponentialFactor' object is not an instance of 'ActivationEnergy'")),
    ("AMD(ae=list)", lambda: AMD(pre_exponential_factor, composition), TypeError),
    ("AMD()", lambda: AMD(), (ValueError, MODE)),
    ("AMD(all four)", lambda: AMD(pre_exponential_factor, activation_energy, d0_callback, q_callback), (ValueError, MODE)),
    ("AMD(pef, d0_func, ae)", lambda: AMD(pre_exponential_factor, activation_energy, d0_callback), (ValueError, MODE)),
    ("AMD(d0_func=5 alone)", lambda: AMD(pre_exponential_func=5), (ValueError, MODE)),
    ("AMD(d0_func=5, q_func)", lambda: AMD(pre_exponential_func=5, activation_energy_func=q_callback), (TypeError, NOT_CALLABLE)),
    ("AMD(d0_func, q_func=5)", lambda: AMD(pre_exponential_func=d0_callback, activation_energy_func=5), (TypeError, NOT_CALLABLE)),
    ("AMD(pef, q_func=str)", lambda: AMD(pre_exponential_factor, activation_energy_func="q"), (TypeError, NOT_CALLABLE)),
    # property calls
    ("pef(list, T)", lambda: pre_exponential_factor(composition, T), None),
    ("ae(array=, temperature=)", lambda: activation_energy(temperature=T, array=composition), None),
    ("pef(numpy, T)", lambda: pre_exponential_factor(numpy_composition, T), None),
    ("pef(empty list, T)", lambda: pre_exponential_factor(empty_composition, T), None),
    ("pef(array-attr object, T)", lambda: pre_exponential_factor(array_not_sequence, T), None),
    ("pef(list, float subclass)", lambda: pre_exponential_factor(composition, float_subclass_T), None),
    ("pef(list, __float__)", lambda: pre_exponential_factor(composition, float_like_T), None),
    ("pef(list, numpy T)", lambda: pre_exponential_factor(composition, numpy_T), None),
    ("pef(list, int T)", lambda: pre_exponential_factor(composition, 1173), None),
    ("int_factor", lambda: int_factor(composition, T), None),
    ("numpy_factor", lambda: numpy_factor(composition, T), None),
    ("object_factor", lambda: object_factor(composition, T), None),
    ("ae()", lambda: activation_energy(), TypeError),
    ("ae(list)", lambda: activation_energy(composition), TypeError),
    ("ae(list, T, 1)", lambda: activation_energy(composition, T, 1), TypeError),
    ("ae(list, T, temperature=)", lambda: activation_energy(composition, T, temperature=T), TypeError),
    ("ae(unexpected keyword)", lambda: activation_energy(composition, T, unit=T), TypeError),
    ("pef(list, str T)", lambda: pre_exponential_factor(composition, str_T), TypeError),
    ("pef(list, __float__ ValueError)", lambda: pre_exponential_factor(composition, bad_value_T), (ValueError, "no float here")),
    ("pef(list, __float__ TypeError subclass)", lambda: pre_exponential_factor(composition, bad_type_T), TypeErrorSubclass),
    ("pef(tuple, T)", lambda: pre_exponential_factor(tuple_composition, T), (TypeError, NOT_ARRAY)),
    ("pef(str, T)", lambda: pre_exponential_factor("0.1", T), (TypeError, NOT_ARRAY)),
    ("pef(__array__ raises, T)", lambda: pre_exponential_factor(array_property_raises, T), (TypeError, NOT_ARRAY)),
    ("raising callback", lambda: raising_factor(composition, T), (ValueError, "callback refused")),
    ("callback returns None", lambda: none_energy(composition, T), TypeError),
    ("callback returns str", lambda: str_energy(composition, T), TypeError),
    ("callback is float", lambda: float_class_factor(composition, T), TypeError),
    # diffusivity calls, callback paths
    ("by_objects(list, T)", lambda: by_objects(composition, T), None),
    ("by_functions(list, T)", lambda: by_functions(composition, T), None),
    ("mixed(list, T)", lambda: mixed(array=composition, temperature=T), None),
    ("by_functions(tuple, T)", lambda: by_functions(tuple_composition, T), (TypeError, NOT_ARRAY)),
    ("by_functions(list, str T)", lambda: by_functions(composition, str_T), TypeError),
    ("by_functions(1, 2, 3)", lambda: by_functions(composition, T, T), TypeError),
    ("raising d0", lambda: raising_d0(composition, T), (ValueError, "callback refused")),
    ("q returns str", lambda: bad_q(composition, T), TypeError),
    # diffusivity calls, native paths
    ("carbon(list, T)", lambda: carbon(composition, T), None),
    ("nitrogen(list, T)", lambda: nitrogen(composition, T), None),
    ("carbon(int list, T)", lambda: carbon(int_composition, T), None),
    ("carbon(long list, T)", lambda: carbon(long_composition, T), None),
    ("carbon(list subclass, T)", lambda: carbon(list_subclass_composition, T), None),
    ("carbon(numpy, T)", lambda: nitrogen(numpy_composition, T), None),
    ("carbon(huge len list, T)", lambda: carbon(huge_len_list, T), None),
    ("carbon(huge len sequence, T)", lambda: carbon(huge_len_sequence, T), None),
    ("carbon(len raises, T)", lambda: carbon(len_raises, T), None),
    ("carbon(list, int T)", lambda: carbon(composition, 1173), None),
    ("carbon([0.05], T)", lambda: carbon(short_composition, T), panic(SHORT)),
    ("nitrogen([], T)", lambda: nitrogen(empty_composition, T), panic(SHORT)),
    ("carbon(numpy short, T)", lambda: carbon(numpy_short, T), panic(SHORT)),
    ("carbon(string entries, T)", lambda: carbon(string_entries, T), TypeError),
    ("carbon(numpy str, T)", lambda: carbon(numpy_string, T), (TypeError, "Can't extract `str` to `Vec`")),
    ("carbon(not a sequence, T)", lambda: carbon(array_not_sequence, T), (TypeError, "'ArrayNotSequence' object is not an instance of 'Sequence'")),
    ("carbon(iteration raises, T)", lambda: carbon(iter_raises, T), KeyError),
    ("carbon(no iterator, T)", lambda: carbon(getiter_fails, T), TypeError),
    ("carbon(tuple, T)", lambda: carbon(tuple_composition, T), (TypeError, NOT_ARRAY)),
    ("carbon(list, __float__ ValueError)", lambda: carbon(composition, bad_value_T), ValueError),
    ("carbon(list, str T)", lambda: carbon(composition, str_T), TypeError),
    ("carbon()", lambda: carbon(), TypeError),
    # a PanicException that comes back through a callback
    ("panic resumed through callback", lambda: resuming_factor(composition, T), panic(SHORT)),
]

QUIET = {"panic resumed through callback"}


def _run(operation, count):
    for _ in range(count):
        try:
            operation()
        except BaseException:  # noqa: BLE001 - error paths are measured too
            pass


class _Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


@contextlib.contextmanager
def _stderr_discarded():
    """Drop what the resumed panic writes, on the Python and the C stream."""
    saved_fd = os.dup(2)
    try:
        with open(os.devnull, "w") as sink:
            os.dup2(sink.fileno(), 2)
        with contextlib.redirect_stderr(_Discard()):
            yield
    finally:
        os.dup2(saved_fd, 2)
        os.close(saved_fd)


def _outcome(operation):
    try:
        operation()
    except BaseException as error:  # noqa: BLE001
        return type(error), str(error)
    return None


def _settle():
    """Collect garbage and empty the interpreter's attribute-lookup cache.

    That cache keeps a reference to each attribute name it has seen, by
    address, so a lookup with a freshly made name string can park that string
    there until the slot is reused: bounded, but noise in a block count.
    """
    gc.collect()
    sys._clear_type_cache()


def _measure(operation):
    """Growth of allocated blocks and traced bytes over REPEAT calls.

    A one-time cache filled on the way would show in the first round only;
    a leak shows in every round, so the smallest growth of two rounds counts.
    """
    _run(operation, WARMUP)
    growth = []
    tracemalloc.start()
    try:
        for _ in range(2):
            _settle()
            blocks = sys.getallocatedblocks()
            traced = tracemalloc.get_traced_memory()[0]
            _run(operation, REPEAT)
            _settle()
            growth.append((sys.getallocatedblocks() - blocks, tracemalloc.get_traced_memory()[0] - traced))
            if growth[-1][0] < BLOCK_SLACK and growth[-1][1] < BYTE_SLACK:
                break
    finally:
        tracemalloc.stop()
    return min(growth)


@pytest.mark.parametrize(("operation", "expected"),
                         [pytest.param(op, exp, id=name) for name, op, exp in OPERATIONS])
def test_repeated_operation_is_flat(request, operation, expected):
    quiet = request.node.callspec.id in QUIET
    with _stderr_discarded() if quiet else contextlib.nullcontext():
        # The operation must take the path the table names.
        outcome = _outcome(operation)
        if expected is None:
            assert outcome is None, outcome
        elif isinstance(expected, tuple):
            assert outcome == expected
        else:
            assert outcome is not None and outcome[0] is expected, outcome

        gc.collect()
        counts_before = {name: sys.getrefcount(value) for name, value in TRACKED.items()}
        blocks, traced = _measure(operation)
        gc.collect()
        counts_after = {name: sys.getrefcount(value) for name, value in TRACKED.items()}

    assert blocks < BLOCK_SLACK, f"{blocks} blocks more after {REPEAT} calls"
    assert traced < BYTE_SLACK, f"{traced} bytes more traced after {REPEAT} calls"
    changed = {name: (counts_before[name], counts_after[name])
               for name in TRACKED if counts_before[name] != counts_after[name]}
    assert not changed


@pytest.mark.parametrize("array", [huge_len_list, huge_len_sequence], ids=["list-subclass", "array-attribute"])
@pytest.mark.parametrize("factory", [slycke.create_carbon_diffusivity, slycke.create_nitrogen_diffusivity])
def test_huge_len_converts_like_any_sequence(factory, array):
    assert len(array) == sys.maxsize
    diffusivity = factory()
    assert diffusivity(array, T) == diffusivity([0.01, 0.02], T)


def test_instances_release_their_callbacks():
    # Construction and destruction hand every reference back, for objects
    # created and dropped one at a time.
    def d0(x, t):
        return 1.0

    def q(x, t):
        return 0.0

    d0_count, q_count = sys.getrefcount(d0), sys.getrefcount(q)
    factor = diffusion.PreExponentialFactor(d0)
    energy = diffusion.ActivationEnergy(q)
    assert sys.getrefcount(d0) == d0_count + 1
    assert sys.getrefcount(q) == q_count + 1
    by_copy = diffusion.ArrheniusModifiedDiffusivity(factor, energy)
    assert sys.getrefcount(d0) == d0_count + 2
    del factor, energy
    assert sys.getrefcount(d0) == d0_count + 1
    assert sys.getrefcount(q) == q_count + 1
    assert by_copy([0.1, 0.2], 300.0) == 1.0
    del by_copy
    assert (sys.getrefcount(d0), sys.getrefcount(q)) == (d0_count, q_count)

    functions = diffusion.ArrheniusModifiedDiffusivity(pre_exponential_func=d0, activation_energy_func=q)
    assert (sys.getrefcount(d0), sys.getrefcount(q)) == (d0_count + 1, q_count + 1)
    del functions
    assert (sys.getrefcount(d0), sys.getrefcount(q)) == (d0_count, q_count)

    # A failed construction keeps nothing.
    for attempt in range(100):
        with pytest.raises(TypeError):
            diffusion.ArrheniusModifiedDiffusivity(pre_exponential_func=d0, activation_energy_func=5)
        with pytest.raises(ValueError):
            diffusion.ArrheniusModifiedDiffusivity(None, None, d0, None)
    assert (sys.getrefcount(d0), sys.getrefcount(q)) == (d0_count, q_count)
