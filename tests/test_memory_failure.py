"""Every operation survives running out of memory at any allocation.

Each operation runs in a child interpreter (so that a crash fails the test
instead of taking pytest down).  The child makes the interpreter's
allocations fail with ``_testcapi.set_nomemory``:

* "from" mode: every allocation from the start-th on fails, for start = 0,
  1, ... until the operation runs through without reaching the failure point
  (a probe allocation right after it still succeeds);
* "single" mode: only the start-th allocation fails, for every allocation
  point that "from" mode counted.

An attempt may succeed (with the right result), let MemoryError through,
raise PanicException("PyObject pointer is null") (the interpreter's error
going to sys.unraisablehook), or raise the error the operation raises anyway.
A few first-time steps have outcomes of their own (a class that cannot be
initialised, a type object that cannot be created).  After every attempt the
operation runs again with memory available and must give its normal result;
after the last attempt the instances made before the loop are checked too.
The child prints one JSON summary line that the test reads.

The operations are C callables (talvenor's own, functools.partial around
them, the import machinery's _imp functions), so no Python frame of the test
lies between the attempt and talvenor: the interpreter loses an exception
when it fails to make the frame object of an outer Python frame during
unwinding, and reports SystemError "error return without exception set"
whatever raised.  Python frames run only innermost (callbacks, __iter__).

This module is also imported by the child, so it imports talvenor only
inside functions.
"""

import json
import os
import subprocess
import sys
from functools import partial

import pytest

_testcapi = pytest.importorskip("_testcapi")
if not (hasattr(_testcapi, "set_nomemory") and hasattr(_testcapi, "remove_mem_hooks")):
    pytest.skip("_testcapi cannot make allocations fail", allow_module_level=True)

T = 1173.25
COMPOSITION = [0.01, 0.02]
SHORT = "composition array must have at least two elements"
MEMORY = "MemoryError"
NULL_RESULT = "PanicException: PyObject pointer is null"
# The acceptance test of a composition array that is not a list treats any
# failure of its __array__ lookup, MemoryError included, as a missing attribute.
NOT_ARRAY = "TypeError: array must be a list or numpy array"
# A module's execution step that cannot append a name to __all__ faults.
NO_APPEND = "PanicException: could not append __name__ to __all__"


def _degraded(label):
    """Labels of the same error whose message parts could not be made.

    A type name that cannot be read becomes "<failed to extract type name>";
    the text of a first error that cannot be made becomes "<unprintable ...>".
    """
    import itertools
    import re

    variants = []
    cast = re.fullmatch(r"(.*?)'([^']*)' object is not an instance of '([^']*)'", label)
    if cast:
        head, names = cast.group(1), cast.groups()[1:]
        for chosen in itertools.product(*[(name, "<failed to extract type name>") for name in names]):
            variants.append(f"{head}'{chosen[0]}' object is not an instance of '{chosen[1]}'")
    argument = re.match(r"(TypeError: argument '[^']*': )", label)
    if argument:
        variants.append(argument.group(1) + "<unprintable ")
    return variants


def _label(error):
    if isinstance(error, MemoryError):
        return MEMORY
    return f"{type(error).__name__}: {error}"


# ---------------------------------------------------------------------------
# Operations.  Each builder does its setup with memory available and returns
# an Operation; builders run only in the child.


class Operation:
    def __init__(self, run, fingerprint=None, prepare=None, extra=(), modes=("from", "single"),
                 bound=600, check=None, expected=None):
        self.run = run                  # a C callable, called with prepare()'s arguments
        self.prepare = prepare          # fresh arguments for each run, made with memory available
        self.fingerprint = fingerprint or (lambda result, *arguments: result)
        self.extra = tuple(extra)       # allowed outcome labels (prefixes) beyond the usual ones
        self.modes = modes
        self.bound = bound              # most allocation points tried per mode
        self.check = check              # final check of the instances made in setup
        # For a first-time step the normal outcome is given, not measured: the
        # operation must not run with memory available before the attempts,
        # nor between them until one of them has had the normal outcome.
        self.expected = expected

    def arguments(self):
        return self.prepare() if self.prepare else ()


class HugeLen:
    """A sequence with __array__ whose __len__ claims sys.maxsize."""

    __array__ = None

    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        return COMPOSITION[index]

    def __iter__(self):
        return iter(COMPOSITION)


class ArrayNotSequence:
    __array__ = None


class ListSubclass(list):
    pass


def _raising(x, t):
    raise ValueError("refused")


def _bare_path():
    """The installed shared object, found without importing the package."""
    import importlib.machinery
    import importlib.util

    directory = os.path.dirname(importlib.util.find_spec("talvenor").origin)
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        candidate = os.path.join(directory, "_talvenor" + suffix)
        if os.path.exists(candidate):
            return candidate
    raise FileNotFoundError("talvenor's shared object")


def _load_bare(name):
    import importlib.util

    located = importlib.util.spec_from_file_location(name, _bare_path())
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module


def _standard():
    """The package imported, and every process-wide object already made."""
    from talvenor import _talvenor, constants, diffusion, slycke

    carbon = slycke.create_carbon_diffusivity()
    for array in ([0.05], ArrayNotSequence()):  # PanicException, collections.abc.Sequence
        try:
            carbon(array, T)
        except BaseException:  # noqa: BLE001
            pass
    ns = {
        "_talvenor": _talvenor, "constants": constants, "diffusion": diffusion, "slycke": slycke,
        "carbon": carbon, "nitrogen": slycke.create_nitrogen_diffusivity(),
        "d0": lambda x, t: 2.0e-5 * (1.0 + x[0]),
        "q": lambda x, t: 1.4e5 + t,
    }
    ns["factor"] = diffusion.PreExponentialFactor(ns["d0"])
    ns["energy"] = diffusion.ActivationEnergy(ns["q"])
    ns["by_functions"] = diffusion.ArrheniusModifiedDiffusivity(
        pre_exponential_func=ns["d0"], activation_energy_func=ns["q"])
    ns["raising"] = diffusion.PreExponentialFactor(_raising)
    ns["to_str"] = diffusion.ActivationEnergy(lambda x, t: "warm")
    ns["resuming"] = diffusion.PreExponentialFactor(lambda x, t: carbon([0.05], t))
    names = ("carbon", "nitrogen", "factor", "energy", "by_functions")
    expected = {name: ns[name](COMPOSITION, T) for name in names}

    def check():
        got = {name: ns[name](COMPOSITION, T) for name in names}
        got_constants = (constants.gas_constant(), constants.GAS_CONSTANT, _talvenor.version())
        return got == expected and got_constants == (8.31446261815324, 8.31446261815324, "1.0.0")

    return ns, check


def _evaluated(result, *arguments):
    return type(result).__name__, result(COMPOSITION, T)


def _op(make, fingerprint=None, **options):
    """An operation on the standard setup: make(ns) gives the C callable."""
    def build():
        ns, check = _standard()
        return Operation(make(ns), fingerprint, check=check, **options)
    return build


def _module_summary(module):
    return module.__name__, list(getattr(module, "__all__", []))


def _fresh_exec(name):
    """The execution step of a module freshly made from the shared object under the bare `name`."""
    def build():
        import importlib.util

        import _imp
        from talvenor import _talvenor, diffusion

        ns, check = _standard()
        located = importlib.util.spec_from_file_location(name, _bare_path())

        def fingerprint(result, module):
            summary = _module_summary(module)
            if name == "_talvenor":
                return summary, module.constants is _talvenor.constants, module.version()
            if name == "diffusion":
                return summary, [getattr(module, n) is getattr(diffusion, n) for n in diffusion.__all__]
            if name == "constants":
                return summary, module.GAS_CONSTANT, module.gas_constant()
            return summary

        return Operation(_imp.exec_dynamic, fingerprint, prepare=lambda: (_imp.create_dynamic(located),),
                         extra=(NO_APPEND,), check=check, bound=4000)
    return build


def _carbon_by_formula(x0, x1, t):
    """The carbon diffusivity written out in Python, one rounding per step."""
    import math

    s = (x1 * 0.72) + x0
    q = (s * -570000.0) + 155000.0
    a = (1.0 - (x1 * 5.0)) * 4.84e-5
    e = math.exp(s * -38.487153613672334)
    b = 1.0 - ((x0 + x1) * 5.0)
    return ((e / b) * a) * math.exp(q / (t * -8.31446261815324))


def _prepared_slycke():
    """Module slycke loaded bare, and a too-short composition evaluated once.

    That makes the PanicException class (and the diffusivity type): making
    the class while allocations fail ends the process.
    """
    slycke = _load_bare("slycke")
    carbon = slycke.create_carbon_diffusivity()
    try:
        carbon([0.05], T)
    except BaseException:  # noqa: BLE001
        pass
    return carbon


def _first_exec(name, mode, extra=()):
    """The first execution step of `name` in a process that has not made its process-wide objects yet."""
    names = {"_talvenor": ["version", "constants", "__version__"],
             "diffusion": ["PreExponentialFactor", "ActivationEnergy", "ArrheniusModifiedDiffusivity"]}[name]

    def build():
        import importlib.util

        import _imp

        carbon = _prepared_slycke()
        expected_value = carbon(COMPOSITION, T)
        located = importlib.util.spec_from_file_location(name, _bare_path())
        loaded = []

        def fingerprint(result, module):
            loaded.append(module)
            first = loaded[0]
            if name == "_talvenor":
                return (_module_summary(module), module.constants is first.constants,
                        module.constants.GAS_CONSTANT, module.version())
            same = [getattr(module, n) is getattr(first, n) for n in names]
            return _module_summary(module), same, type(carbon) is module.ArrheniusModifiedDiffusivity

        if name == "_talvenor":
            expected = ("ok", ((name, names), True, 8.31446261815324, "1.0.0"))
        else:
            expected = ("ok", ((name, names), [True, True, True], True))
        return Operation(_imp.exec_dynamic, fingerprint, prepare=lambda: (_imp.create_dynamic(located),),
                         extra=(NO_APPEND, *extra), modes=(mode,), bound=4000, expected=expected,
                         check=lambda: carbon(COMPOSITION, T) == expected_value)
    return build


def _first_factory(mode):
    """The first diffusivity of a process, made by a factory: its type object is made on the way.

    Nothing has made the PanicException class in this process, so only single
    failures are tried: with every allocation failing, making that class
    fails as well and the process ends.
    """
    def build():
        slycke = _load_bare("slycke")
        expected = ("ok", ("ArrheniusModifiedDiffusivity", _carbon_by_formula(*COMPOSITION, T)))
        return Operation(slycke.create_carbon_diffusivity, _evaluated, modes=(mode,), expected=expected,
                         extra=("PanicException: failed to create type object for `ArrheniusModifiedDiffusivity`",))
    return build


def _first_sequence(mode):
    """The first composition that is not a sequence: collections.abc.Sequence is fetched on the way."""
    def build():
        carbon = _prepared_slycke()
        expected_value = carbon(COMPOSITION, T)
        return Operation(partial(carbon, ArrayNotSequence(), T), modes=(mode,),
                         expected=("error", "TypeError: 'ArrayNotSequence' object is not an instance of 'Sequence'"),
                         extra=("PanicException: failed to import collections.abc.Sequence", NOT_ARRAY),
                         check=lambda: carbon(COMPOSITION, T) == expected_value)
    return build


OPERATIONS = {
    # constructions
    "PreExponentialFactor(callback)": _op(lambda ns: partial(ns["diffusion"].PreExponentialFactor, ns["d0"]),
                                          _evaluated),
    "ActivationEnergy(callback=)": _op(lambda ns: partial(ns["diffusion"].ActivationEnergy, callback=ns["q"]),
                                       _evaluated),
    "Arrhenius(objects)": _op(
        lambda ns: partial(ns["diffusion"].ArrheniusModifiedDiffusivity, ns["factor"], ns["energy"]), _evaluated),
    "Arrhenius(functions)": _op(lambda ns: partial(
        ns["diffusion"].ArrheniusModifiedDiffusivity, pre_exponential_func=ns["d0"], activation_energy_func=ns["q"]),
        _evaluated),
    "Arrhenius(factor, None, None, func)": _op(lambda ns: partial(
        ns["diffusion"].ArrheniusModifiedDiffusivity, ns["factor"], None, None, ns["q"]), _evaluated),
    # calls, callback paths
    "factor(list, T)": _op(lambda ns: partial(ns["factor"], COMPOSITION, T)),
    "energy(array=, temperature=)": _op(lambda ns: partial(ns["energy"], array=COMPOSITION, temperature=T)),
    "by_functions(list, int T)": _op(lambda ns: partial(ns["by_functions"], COMPOSITION, 1173)),
    # calls, native paths
    "carbon(list, T)": _op(lambda ns: partial(ns["carbon"], COMPOSITION, T)),
    "nitrogen(long list, T)": _op(lambda ns: partial(ns["nitrogen"], COMPOSITION + [0.5] * 20, T)),
    "carbon(huge len sequence, T)": _op(lambda ns: partial(ns["carbon"], HugeLen(), T), extra=(NOT_ARRAY,)),
    "carbon(list subclass, T)": _op(lambda ns: partial(ns["carbon"], ListSubclass(COMPOSITION), T)),
    # factories and module functions
    "create_carbon_diffusivity()": _op(lambda ns: ns["slycke"].create_carbon_diffusivity, _evaluated),
    "create_nitrogen_diffusivity()": _op(lambda ns: ns["slycke"].create_nitrogen_diffusivity, _evaluated),
    "gas_constant()": _op(lambda ns: ns["constants"].gas_constant),
    "speed_of_light()": _op(lambda ns: ns["constants"].speed_of_light),
    "version()": _op(lambda ns: ns["_talvenor"].version),
    # error paths
    "carbon([0.05], T)": _op(lambda ns: partial(ns["carbon"], [0.05], T)),
    "carbon(tuple, T)": _op(lambda ns: partial(ns["carbon"], (0.01, 0.02), T)),
    "carbon(not a sequence, T)": _op(lambda ns: partial(ns["carbon"], ArrayNotSequence(), T), extra=(NOT_ARRAY,)),
    "carbon(string entry, T)": _op(lambda ns: partial(ns["carbon"], [0.01, "x"], T)),
    "factor(list, str T)": _op(lambda ns: partial(ns["factor"], COMPOSITION, "hot")),
    "factor(list, T, extra)": _op(lambda ns: partial(ns["factor"], COMPOSITION, T, T)),
    "ActivationEnergy(cb=)": _op(lambda ns: partial(ns["diffusion"].ActivationEnergy, cb=ns["q"])),
    "ActivationEnergy()": _op(lambda ns: ns["diffusion"].ActivationEnergy),
    "PreExponentialFactor(5)": _op(lambda ns: partial(ns["diffusion"].PreExponentialFactor, 5)),
    "Arrhenius(pre_exponential_factor=2.0)": _op(
        lambda ns: partial(ns["diffusion"].ArrheniusModifiedDiffusivity, pre_exponential_factor=2.0)),
    "Arrhenius()": _op(lambda ns: ns["diffusion"].ArrheniusModifiedDiffusivity),
    "Arrhenius(func, func=5)": _op(lambda ns: partial(
        ns["diffusion"].ArrheniusModifiedDiffusivity, pre_exponential_func=ns["d0"], activation_energy_func=5)),
    "raising callback": _op(lambda ns: partial(ns["raising"], COMPOSITION, T)),
    "callback returning str": _op(lambda ns: partial(ns["to_str"], COMPOSITION, T)),
    "panic resumed through callback": _op(
        lambda ns: partial(ns["resuming"], COMPOSITION, T),
        extra=("PanicException: " + SHORT, "PanicException: Unwrapped panic from Python code")),
    # fresh modules
    **{f"execute {name}": _fresh_exec(name) for name in ("_talvenor", "constants", "diffusion", "slycke", "calphad")},
    # first-time steps, each in a process of its own per mode
    **{f"first execution of {name} [{mode}]": _first_exec(name, mode, extra) for mode in ("from", "single")
       for name, extra in [
           ("_talvenor", ()),
           ("diffusion", ("RuntimeError: An error occurred while initializing class PreExponentialFactor",
                          "RuntimeError: An error occurred while initializing class ActivationEnergy"))]},
    "first factory call [single]": _first_factory("single"),
    **{f"first non-sequence composition [{mode}]": _first_sequence(mode) for mode in ("from", "single")},
}


# ---------------------------------------------------------------------------
# The child.


def _attempt(run, arguments, start, stop, probes, set_nomemory, remove_mem_hooks,
             probe=object, getframe=sys._getframe):
    """Runs `run(*arguments)` with allocations start+1 .. stop failing (stop 0: all after start).

    Returns (error, result, reached): `reached` tells whether the operation
    itself got as far as the failing allocation, found out with probe
    allocations made right after it.  With every allocation from start+1 on
    failing, the operation made fewer allocations than that if one probe
    succeeds; with allocation start+1 failing alone, if one of `probes`
    (an iterator of start+1 items) probe allocations fails.

    Only local names are touched while allocations fail, and this function's
    frame object is made beforehand (failing to make it while an exception
    unwinds into the handler loses the exception, see the module docstring).
    """
    error = result = None
    reached = True
    getframe()
    set_nomemory(start, stop)
    try:
        result = run(*arguments)
    except BaseException as caught:  # noqa: BLE001
        error = caught
    if stop:
        for _ in probes:
            try:
                probe()
            except MemoryError:
                reached = False
                break
    else:
        try:
            probe()
            reached = False
        except MemoryError:
            pass
    remove_mem_hooks()
    return error, result, reached


def child_main(name, first_start=0):
    import collections
    import gc

    raised = []

    def unraisable(report):
        raised.append(report.exc_type.__name__)

    operation = OPERATIONS[name]()
    sys.unraisablehook = unraisable

    def normal():
        arguments = operation.arguments()
        try:
            return "ok", operation.fingerprint(operation.run(*arguments), *arguments)
        except BaseException as error:  # noqa: BLE001
            return "error", _label(error)

    settled = operation.expected is None
    baseline = normal() if settled else tuple(operation.expected)
    allowed = [MEMORY, NULL_RESULT, *operation.extra]
    if baseline[0] == "error":
        allowed += [baseline[1], *_degraded(baseline[1])]
    summary = {"name": name, "baseline": repr(baseline), "modes": {}, "bad": [], "mismatch": []}

    def attempt(start, stop):
        nonlocal settled
        raised.clear()
        arguments = operation.arguments()
        probes = iter([None] * (start + 1))
        gc.collect()  # empties the free lists, so that objects are really allocated
        error, result, reached = _attempt(operation.run, arguments, start, stop, probes,
                                          _testcapi.set_nomemory, _testcapi.remove_mem_hooks)
        reports = list(raised)
        if error is not None:
            label = _label(error)
            del error
            if not any(label.startswith(prefix) for prefix in allowed):
                summary["bad"].append((start, stop, label, reports))
            as_normal = ("error", label) == baseline
        else:
            label = "ok" if not reached else "ok, failure reached"
            got = ("ok", operation.fingerprint(result, *arguments))
            if got != baseline:
                summary["mismatch"].append((start, stop, "result under failure", repr(got)))
            as_normal = True
        del result, arguments
        if label == NULL_RESULT and stop and MEMORY not in reports:
            summary["bad"].append((start, stop, "null result without MemoryError reported", reports))
        if settled or as_normal:
            settled = True
            again = normal()
            if again != baseline:
                summary["mismatch"].append((start, stop, "afterwards", repr(again)))
        return label, reached

    gc.disable()
    points = operation.bound
    if "from" in operation.modes:
        outcomes = collections.Counter()
        clean_at = None
        for start in range(operation.bound):
            label, reached = attempt(start, 0)
            if not reached:
                clean_at = start
                break
            outcomes[label] += 1
        # The attempt at clean_at - 1 ran through as well, with only the probe
        # after it failing: the operation made clean_at - 1 allocations.
        summary["modes"]["from"] = {"points": None if clean_at is None else clean_at - 1, "clean_at": clean_at,
                                    "outcomes": dict(outcomes)}
        points = clean_at if clean_at is not None else operation.bound
    if "single" in operation.modes:
        # Without "from" mode (first-time steps) the attempts go on until the
        # step has been done once.
        outcomes = collections.Counter()
        last = beyond = None
        for last in range(first_start, points):
            label, reached = attempt(last, last + 1)
            if not reached:
                beyond = last  # the operation made fewer allocations than that
                break
            outcomes[label] += 1
            if "from" not in operation.modes and settled:
                break
        summary["modes"]["single"] = {"points": sum(outcomes.values()), "outcomes": dict(outcomes),
                                      "last": last, "beyond": beyond}
    gc.enable()
    summary["settled"] = settled
    summary["check"] = operation.check() if operation.check else True
    summary["final"] = repr(normal())
    print(json.dumps(summary))


def _run_child(name, first_start=0):
    code = (
        "import importlib.util, sys\n"
        f"located = importlib.util.spec_from_file_location('memory_failure_child', {__file__!r})\n"
        "module = importlib.util.module_from_spec(located)\n"
        "located.loader.exec_module(module)\n"
        "module.child_main(sys.argv[1], int(sys.argv[2]))\n"
    )
    child = subprocess.run([sys.executable, "-P", "-c", code, name, str(first_start)],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-3000:]
    return json.loads(child.stdout.strip().splitlines()[-1])


def _check(summary):
    assert summary["bad"] == []
    assert summary["mismatch"] == []
    assert summary["settled"] is True, "the normal outcome was never reached"
    assert summary["check"] is True
    assert summary["final"] == summary["baseline"]


# A first-time step tried with single failures can be done only once per
# process: each child goes on from the allocation point after the one at
# which the previous child got the step done.
SINGLE_FIRST_TIME_CHILDREN = 80


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_operation_survives_failed_allocations(name):
    if name == "panic resumed through callback" and sys.version_info >= (3, 13):
        # The resume path prints the panic's traceback (PyErr_PrintEx); with
        # allocations failing, 3.13's traceback display never returns.
        pytest.skip("the interpreter's traceback display loops when its allocations fail")
    summary = _run_child(name)
    print(json.dumps(summary, indent=1))
    _check(summary)
    modes = summary["modes"]
    if "from" in modes:
        assert modes["from"]["clean_at"] is not None, "ran out of allocation points"
        assert modes["from"]["points"] >= 1
        if "single" in modes:
            assert modes["single"]["points"] == modes["from"]["points"]
    else:
        points = modes["single"]["points"]
        for _ in range(SINGLE_FIRST_TIME_CHILDREN):
            single = summary["modes"]["single"]
            if single["beyond"] is not None:
                break
            summary = _run_child(name, single["last"] + 1)
            _check(summary)
            points += summary["modes"]["single"]["points"]
        else:
            pytest.fail("allocation points left untried")
        print(name, "single allocation points tried:", points)
        assert points >= 1
