"""Threads and interpreters.

* Many threads call shared instances at once (native Slycke diffusivities,
  callback diffusivities whose callbacks give up the interpreter lock,
  property objects), and every result must equal the single-threaded one;
  some threads hit error paths meanwhile.
* In fresh processes, threads released together by a barrier import the
  package or load the shared object under its bare names; nothing deadlocks
  (the child runs under a timeout) and every process-wide object exists once.
* A legacy sub-interpreter (sharing the main interpreter's lock) that loads
  the shared object after the main interpreter: `_talvenor` is refused with
  the sub-interpreter ImportError, the other modules load, and the main
  interpreter keeps working.
"""

import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from talvenor import _talvenor, constants, diffusion, slycke

THREADS = 8
CALLS = 2000
T = 1173.25
SHORT = "composition array must have at least two elements"
NOT_ARRAY = "array must be a list or numpy array"

COMPOSITIONS = [[0.001 * i, 0.0005 * (40 - i)] for i in range(40)]
TEMPERATURES = [900.0 + 25.0 * i for i in range(12)]


@pytest.fixture
def fast_switching():
    """Hand the interpreter lock from thread to thread as often as possible."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(interval)


def _run_threads(target, count=THREADS, timeout=120):
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append((index, repr(error)))

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + timeout
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    assert not any(thread.is_alive() for thread in threads), "threads did not finish"
    return failures


def _yielding(value_of):
    """A callback that gives up the interpreter lock before it answers."""
    def callback(x, t):
        time.sleep(0)
        return value_of(x, t)
    return callback


def d0(x, t):
    return 2.0e-5 * (1.0 + x[0]) + 1.0e-9 * t


def q(x, t):
    return 1.4e5 + 1000.0 * x[1] - 0.5 * t


def _panic_class():
    try:
        slycke.create_carbon_diffusivity()([0.05], T)
    except BaseException as error:  # noqa: BLE001
        return type(error)
    raise AssertionError("no PanicException")


PanicException = _panic_class()


def _shared_instances():
    carbon = slycke.create_carbon_diffusivity()
    nitrogen = slycke.create_nitrogen_diffusivity()
    factor = diffusion.PreExponentialFactor(_yielding(d0))
    energy = diffusion.ActivationEnergy(_yielding(q))

    def reentrant_d0(x, t):
        # Calls the shared native diffusivity from inside a callback.
        time.sleep(0)
        return carbon(x, t) * 1.0e6

    return {
        "carbon": carbon,
        "nitrogen": nitrogen,
        "factor": factor,
        "energy": energy,
        "by_objects": diffusion.ArrheniusModifiedDiffusivity(factor, energy),
        "by_functions": diffusion.ArrheniusModifiedDiffusivity(
            pre_exponential_func=_yielding(d0), activation_energy_func=_yielding(q)),
        "mixed": diffusion.ArrheniusModifiedDiffusivity(factor, None, None, _yielding(q)),
        "reentrant": diffusion.ArrheniusModifiedDiffusivity(
            pre_exponential_func=reentrant_d0, activation_energy_func=q),
    }


def test_shared_instances_give_single_threaded_results(fast_switching):
    instances = _shared_instances()
    names = sorted(instances)
    cases = [(name, i % len(COMPOSITIONS), i % len(TEMPERATURES))
             for i, name in enumerate(names * 30)]
    expected = {(name, c, t): instances[name](COMPOSITIONS[c], TEMPERATURES[t]) for name, c, t in cases}
    mismatches = []

    def worker(index):
        for call in range(CALLS):
            name, c, t = cases[(call * 7 + index * 13) % len(cases)]
            got = instances[name](COMPOSITIONS[c], TEMPERATURES[t])
            if got != expected[(name, c, t)]:
                mismatches.append((index, name, c, t, got))

    assert _run_threads(worker) == []
    assert mismatches == []


def test_failing_calls_on_some_threads_leave_the_others_correct(fast_switching):
    instances = _shared_instances()
    good = [(name, instances[name], COMPOSITIONS[i % 40], TEMPERATURES[i % 12])
            for i, name in enumerate(sorted(instances) * 5)]
    expected = [instance(array, t) for _, instance, array, t in good]
    bad = [
        (instances["carbon"], [0.05], T, PanicException, SHORT),
        (instances["nitrogen"], [], T, PanicException, SHORT),
        (instances["carbon"], (0.01, 0.02), T, TypeError, NOT_ARRAY),
        (instances["by_functions"], "0.01", T, TypeError, NOT_ARRAY),
        (instances["factor"], [0.01, 0.02], "hot", TypeError, None),
        (instances["carbon"], [0.01, "x"], T, TypeError, None),
        (instances["energy"], [0.01, 0.02], T, None, None),  # succeeds: interleaved with the errors
    ]
    wrong = []

    def worker(index):
        if index % 2:  # odd threads: errors, with an occasional success
            for call in range(CALLS):
                instance, array, t, kind, message = bad[(call + index) % len(bad)]
                try:
                    instance(array, t)
                except BaseException as error:  # noqa: BLE001
                    if type(error) is not kind or (message is not None and str(error) != message):
                        wrong.append((index, repr(error)))
                else:
                    if kind is not None:
                        wrong.append((index, "no error", kind))
        else:
            for call in range(CALLS):
                position = (call * 5 + index) % len(good)
                got = good[position][1](good[position][2], good[position][3])
                if got != expected[position]:
                    wrong.append((index, good[position][0], got))

    assert _run_threads(worker) == []
    assert wrong == []


def test_constructing_and_dropping_on_many_threads(fast_switching):
    callback = _yielding(d0)
    other = _yielding(q)
    before = (sys.getrefcount(callback), sys.getrefcount(other))
    value = diffusion.ArrheniusModifiedDiffusivity(
        pre_exponential_func=callback, activation_energy_func=other)(COMPOSITIONS[3], T)
    carbon_value = slycke.create_carbon_diffusivity()(COMPOSITIONS[3], T)
    wrong = []

    def worker(index):
        for _ in range(CALLS // 4):
            factor = diffusion.PreExponentialFactor(callback)
            energy = diffusion.ActivationEnergy(callback=other)
            made = [
                diffusion.ArrheniusModifiedDiffusivity(factor, energy),
                diffusion.ArrheniusModifiedDiffusivity(pre_exponential_func=callback, activation_energy_func=other),
                diffusion.ArrheniusModifiedDiffusivity(factor, activation_energy_func=other),
            ]
            del factor, energy
            for diffusivity in made:
                if diffusivity(COMPOSITIONS[3], T) != value:
                    wrong.append(index)
            if slycke.create_carbon_diffusivity()(COMPOSITIONS[3], T) != carbon_value:
                wrong.append(index)
            try:
                diffusion.ArrheniusModifiedDiffusivity(pre_exponential_func=callback, activation_energy_func=5)
            except TypeError:
                pass

    assert _run_threads(worker) == []
    assert wrong == []
    assert (sys.getrefcount(callback), sys.getrefcount(other)) == before


def test_module_functions_on_many_threads(fast_switching):
    wrong = []

    def worker(index):
        for _ in range(CALLS):
            if constants.gas_constant() != 8.31446261815324 or _talvenor.version() != "1.0.0":
                wrong.append(index)

    assert _run_threads(worker) == []
    assert wrong == []


# ---------------------------------------------------------------------------
# Fresh processes


def _child(code, *arguments, timeout=60):
    """Run `code` in a fresh interpreter; a deadlock shows as a timeout."""
    try:
        result = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code), *arguments],
                                capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("the child did not finish: deadlock?")
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout.strip().splitlines()[-1])


_CHILD_PRELUDE = """
    import importlib.machinery, importlib.util, json, os, sys, threading
    sys.setswitchinterval(1e-6)
    N = 8
    barrier = threading.Barrier(N)

    def shared_object():
        directory = os.path.dirname(importlib.util.find_spec("talvenor").origin)
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            path = os.path.join(directory, "_talvenor" + suffix)
            if os.path.exists(path):
                return path

    PATH = shared_object()

    def load(name):
        located = importlib.util.spec_from_file_location(name, PATH)
        module = importlib.util.module_from_spec(located)
        located.loader.exec_module(module)
        return module

    def run(worker):
        results = [None] * N
        def body(i):
            barrier.wait()
            try:
                results[i] = worker(i)
            except BaseException as error:
                results[i] = error
        threads = [threading.Thread(target=body, args=(i,)) for i in range(N)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return results
"""

REPEATS = 4


@pytest.mark.parametrize("attempt", range(REPEATS))
def test_concurrent_package_imports(attempt):
    summary = _child(_CHILD_PRELUDE + """
    def worker(i):
        import talvenor
        return talvenor
    modules = run(worker)
    errors = [repr(m) for m in modules if isinstance(m, BaseException)]
    import talvenor
    print(json.dumps({
        "errors": errors,
        "one package": all(m is talvenor for m in modules),
        "diffusivity": talvenor.slycke.create_carbon_diffusivity()([0.0, 0.0], 1200.0),
        "constants": talvenor.constants.GAS_CONSTANT,
        "types": talvenor.diffusion.ArrheniusModifiedDiffusivity is type(talvenor.slycke.create_carbon_diffusivity()),
    }))
    """)
    assert summary == {
        "errors": [],
        "one package": True,
        "diffusivity": slycke.create_carbon_diffusivity()([0.0, 0.0], 1200.0),
        "constants": 8.31446261815324,
        "types": True,
    }


@pytest.mark.parametrize("attempt", range(REPEATS))
def test_concurrent_first_loads_make_each_process_wide_object_once(attempt):
    summary = _child(_CHILD_PRELUDE + """
    def worker(i):
        # Half the threads start with diffusion, half with _talvenor, so the
        # first type creation and the first submodule creation race.
        order = ["diffusion", "_talvenor", "slycke"] if i % 2 else ["_talvenor", "slycke", "diffusion"]
        return {name: load(name) for name in order}
    loaded = run(worker)
    errors = [repr(m) for m in loaded if isinstance(m, BaseException)]
    loaded = [m for m in loaded if not isinstance(m, BaseException)]
    tops = [m["_talvenor"] for m in loaded]
    kinds = {name: {id(getattr(m["diffusion"], name)) for m in loaded}
             for name in ("PreExponentialFactor", "ActivationEnergy", "ArrheniusModifiedDiffusivity")}
    made = [m["slycke"].create_nitrogen_diffusivity() for m in loaded]
    amd = loaded[0]["diffusion"].ArrheniusModifiedDiffusivity
    print(json.dumps({
        "errors": errors,
        "distinct module objects": len({id(t) for t in tops}) == N,
        "constants objects": len({id(t.constants) for t in tops}),
        "type objects": {name: len(ids) for name, ids in kinds.items()},
        "factory type": all(type(d) is amd for d in made),
        "values": sorted({d([0.01, 0.02], 1200.0) for d in made}),
        "all": sorted({tuple(t.__all__) for t in tops}),
    }))
    """)
    assert summary == {
        "errors": [],
        "distinct module objects": True,
        "constants objects": 1,
        "type objects": {"PreExponentialFactor": 1, "ActivationEnergy": 1, "ArrheniusModifiedDiffusivity": 1},
        "factory type": True,
        "values": [slycke.create_nitrogen_diffusivity()([0.01, 0.02], 1200.0)],
        "all": [["version", "constants", "__version__"]],
    }


@pytest.mark.parametrize("attempt", range(REPEATS))
def test_concurrent_first_calls_make_each_process_wide_object_once(attempt):
    # Only slycke is loaded, so the diffusivity type, the PanicException class
    # and collections.abc.Sequence are all first needed inside the racing calls.
    summary = _child(_CHILD_PRELUDE + """
    slycke = load("slycke")
    class NotASequence:
        __array__ = None
    def worker(i):
        if i % 2:
            made = slycke.create_carbon_diffusivity()
        else:
            made = slycke.create_nitrogen_diffusivity()
        seen = [type(made)]
        for array in ([0.05], NotASequence()) if i % 3 else (NotASequence(), [0.05]):
            try:
                made(array, 1200.0)
            except BaseException as error:
                seen.append((type(error), str(error)))
        return seen
    seen = run(worker)
    errors = [repr(s) for s in seen if isinstance(s, BaseException)]
    seen = [s for s in seen if not isinstance(s, BaseException)]
    panics = {id(entry[0]) for s in seen for entry in s[1:] if entry[0].__name__ == "PanicException"}
    messages = sorted({entry[1] for s in seen for entry in s[1:]})
    diffusion = load("diffusion")
    print(json.dumps({
        "errors": errors,
        "diffusivity types": len({id(s[0]) for s in seen}),
        "is the class": all(s[0] is diffusion.ArrheniusModifiedDiffusivity for s in seen),
        "panic classes": len(panics),
        "messages": messages,
    }))
    """)
    assert summary == {
        "errors": [],
        "diffusivity types": 1,
        "is the class": True,
        "panic classes": 1,
        "messages": ["'NotASequence' object is not an instance of 'Sequence'", SHORT],
    }


# ---------------------------------------------------------------------------
# Sub-interpreters

_SUBINTERPRETER_MESSAGE = "PyO3 modules do not yet support subinterpreters, see "

# Runs in the sub-interpreter, with the shared object's path and a report
# file filled in; writes what each load and call gave.
_SUBINTERPRETER_CODE = """
import importlib.util, json
PATH = %r
found = {}
def load(name):
    located = importlib.util.spec_from_file_location(name, PATH)
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module
def outcome(action):
    try:
        return ["ok", action()]
    except BaseException as error:
        return [type(error).__name__, str(error)]
found["package"] = outcome(lambda: __import__("talvenor._talvenor") and None)
found["_talvenor"] = outcome(lambda: load("_talvenor") and None)
found["_talvenor again"] = outcome(lambda: load("_talvenor") and None)
found["constants"] = outcome(lambda: load("constants").gas_constant())
found["calphad"] = outcome(lambda: sorted(vars(load("calphad"))))
found["slycke"] = outcome(lambda: load("slycke").create_carbon_diffusivity()([0.01, 0.02], 1200.0))
found["short"] = outcome(lambda: load("slycke").create_nitrogen_diffusivity()([0.05], 1200.0))
class NotASequence:
    __array__ = None
found["not a sequence"] = outcome(lambda: load("slycke").create_nitrogen_diffusivity()(NotASequence(), 1200.0))
def diffusion_call():
    d = load("diffusion")
    made = d.ArrheniusModifiedDiffusivity(d.PreExponentialFactor(lambda x, t: 2.0 + x[0]),
                                          d.ActivationEnergy(lambda x, t: 0.0))
    return made([0.5], 1.0)
found["diffusion"] = outcome(diffusion_call)
with open(%r, "w") as handle:
    json.dump(found, handle)
"""


_MAIN_BEFORE = {
    # The package imported and used: every process-wide object exists.
    "package": """
        import talvenor
        from talvenor import _talvenor, constants, diffusion, slycke
        PATH = _talvenor.__file__
        carbon = slycke.create_carbon_diffusivity()
        factor = diffusion.PreExponentialFactor(lambda x, t: 2.0 + x[0])
    """,
    # Only _talvenor loaded: the sub-interpreter makes the class type objects,
    # the PanicException class and the Sequence reference first.
    "bare _talvenor": """
        directory = os.path.dirname(importlib.util.find_spec("talvenor").origin)
        PATH = [os.path.join(directory, f) for f in sorted(os.listdir(directory))
                if f.startswith("_talvenor.") and f.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))][0]
        _talvenor = load("_talvenor")
        carbon = factor = None
    """,
}


@pytest.mark.parametrize("main_before", sorted(_MAIN_BEFORE))
def test_legacy_subinterpreter_after_main_interpreter(main_before):
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("_testcapi cannot run a sub-interpreter")
    summary = _child("""
    import importlib.machinery, importlib.util, json, os, sys, tempfile, textwrap, _testcapi

    def load(name):
        located = importlib.util.spec_from_file_location(name, PATH)
        module = importlib.util.module_from_spec(located)
        located.loader.exec_module(module)
        return module

    PATH = None
    exec(textwrap.dedent(sys.argv[2]))
    def values():
        if carbon is None:
            return None
        return carbon([0.01, 0.02], 1200.0), factor([0.5], 1.0), _talvenor.constants.pi(), _talvenor.version()
    before = values()

    report = tempfile.NamedTemporaryFile("r", suffix=".json", delete=False)
    status = _testcapi.run_in_subinterp(sys.argv[1] % (PATH, report.name))
    found = json.load(report)
    os.unlink(report.name)

    # The main interpreter carries on: old instances, new modules, new instances.
    after = values()
    again = load("_talvenor")
    diffusion = load("diffusion")
    slycke = load("slycke")
    made = slycke.create_carbon_diffusivity()
    class NotASequence:
        __array__ = None
    errors = []
    for array in ([0.05], NotASequence()):
        try:
            made(array, 1200.0)
        except BaseException as error:
            errors.append([type(error).__name__, str(error)])
    amd = diffusion.ArrheniusModifiedDiffusivity(
        diffusion.PreExponentialFactor(lambda x, t: 2.0 + x[0]), diffusion.ActivationEnergy(lambda x, t: 0.0))
    print(json.dumps({
        "status": status,
        "found": found,
        "same": before == after,
        "constants kept": again.constants is _talvenor.constants,
        "version": again.version(),
        "one type": type(made) is diffusion.ArrheniusModifiedDiffusivity is load("diffusion").ArrheniusModifiedDiffusivity,
        "value": made([0.01, 0.02], 1200.0),
        "errors": errors,
        "callbacks": amd([0.5], 1.0),
    }))
    """, _SUBINTERPRETER_CODE, _MAIN_BEFORE[main_before])
    carbon_value = slycke.create_carbon_diffusivity()([0.01, 0.02], 1200.0)
    found = summary.pop("found")
    assert summary == {
        "status": 0, "same": True, "constants kept": True, "version": "1.0.0", "one type": True,
        "value": carbon_value,
        "errors": [["PanicException", SHORT], ["TypeError", "'NotASequence' object is not an instance of 'Sequence'"]],
        "callbacks": 2.5,
    }
    for key in ("package", "_talvenor", "_talvenor again"):
        kind, message = found.pop(key)
        assert kind == "ImportError"
        assert message.startswith(_SUBINTERPRETER_MESSAGE) and len(message) > len(_SUBINTERPRETER_MESSAGE)
    # The modules without a submodule load in the sub-interpreter and work.
    assert found == {
        "constants": ["ok", 8.31446261815324],
        "calphad": ["ok", ["__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"]],
        "slycke": ["ok", carbon_value],
        "short": ["PanicException", SHORT],
        "not a sequence": ["TypeError", "'NotASequence' object is not an instance of 'Sequence'"],
        "diffusion": ["ok", 2.5],
    }
