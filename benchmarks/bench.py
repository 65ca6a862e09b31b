#!/usr/bin/env python3
"""Call-overhead benchmarks of the installed talvenor, against plain Python.

    python benchmarks/bench.py              # agreement check, timings, memory
    python benchmarks/bench.py --quick      # a short run (smoke test)
    python benchmarks/bench.py --memory     # the memory part only
    python benchmarks/bench.py --rounds 9 --number 500000

Everything runs in one process. Each candidate is a compiled timeit loop
``for _ in range(n): f(a, b)`` whose names are locals of the loop function, the
same loop for every candidate, and nothing is subtracted from its time. The
rounds interleave the candidates: in every round each candidate is timed once
with the same number of calls, in an order shuffled per round, so a slow spell
of the machine spreads over all of them. The table gives per-call medians over
the rounds and ratios to two floors:

- ``math.atan2(x, y)``: a C function with two float arguments, called through
  the fast calling convention (no argument tuple);
- ``staticmethod(math.atan2)(x, y)``: the same C function behind an object
  whose type has only ``tp_call`` (no vectorcall, checked below), so every call
  builds an argument tuple, as every call of talvenor's classes does. The
  staticmethod then passes that tuple on to atan2, one dispatch more than a
  bare ``tp_call`` object would make, so this floor is a little high.
  (``functools.partial`` and ``operator.itemgetter`` have vectorcall and are no
  floor for ``tp_call``.)

The Slycke rows take every kind of composition array: a list, an object that
is a sequence with an ``__array__`` method, and numpy arrays (float64, float64
with a stride, float32) when numpy is installed. The line ``arrays:`` gives the
numpy float64 call against ``math.atan2`` and the list call against the
``tp_call`` floor; ``summary:`` gives the older targets.

Before timing, native and pure-Python results are compared bit for bit
(``float.hex``) for every kind of array the rows take; any difference makes
the exit status 1. So does memory that grows with the number of calls in the
memory part.
"""

import argparse
import ctypes
import gc
import math
import random
import resource
import statistics
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import pure  # noqa: E402

import talvenor  # noqa: E402
from talvenor import constants, diffusion, slycke  # noqa: E402

try:
    import numpy
except ImportError:
    numpy = None

# A type flag: instances are called through vectorcall rather than tp_call.
_HAVE_VECTORCALL = 1 << 11

COMPOSITION = [0.01, 0.002]
TEMPERATURE = 1200.0


def pre_exponential_func(x, T):
    return 2.3e-5 * (1.0 + x[0])


def activation_energy_func(x, T):
    return 148000.0 - 1.0e5 * x[0]


class ArrayLike:
    """A composition that is neither a list nor a numpy array: a sequence with
    an ``__array__`` method, as other array libraries' types are."""

    __slots__ = ("_entries",)

    def __init__(self, entries):
        self._entries = list(entries)

    def __len__(self):
        return len(self._entries)

    def __getitem__(self, index):
        return self._entries[index]

    def __iter__(self):
        return iter(self._entries)

    def __array__(self, dtype=None, copy=None):
        return numpy.array(self._entries, dtype=dtype, copy=copy)


def composition_arrays(x):
    """(kind, array) for each timed kind of composition array holding x."""
    arrays = [("list", list(x)), ("__array__ object", ArrayLike(x))]
    if numpy is not None:
        arrays += [
            ("numpy float64", numpy.array(x, dtype=numpy.float64)),
            ("numpy float64 strided", numpy.array(x, dtype=numpy.float64).repeat(2)[::2]),
            ("numpy float32", numpy.array(x, dtype=numpy.float32)),
        ]
    return arrays


# ---------------------------------------------------------------------------
# Agreement of the native and the pure-Python results.

AGREEMENT_COMPOSITIONS = [
    [0.0, 0.0],
    [0.01, 0.002],
    [0.004, 0.0],
    [0.0, 0.015],
    [0.05, 0.01],
    [0.12, 0.05],
    [0.003, 0.001, 0.9, -4.0],
    [1, 0],
    [True, 0.25e-2],
]
# and a fixed draw over the austenite range
_draw = random.Random(7)
AGREEMENT_COMPOSITIONS += [[_draw.uniform(0.0, 0.09), _draw.uniform(0.0, 0.09)] for _ in range(24)]
AGREEMENT_TEMPERATURES = [700.0, 1000.5, 1173.15, 1200.0, 1473, 2500.0]


def agreement_cases():
    """(label, native thunk, pure thunk) for every compared result."""
    native_carbon = slycke.create_carbon_diffusivity()
    native_nitrogen = slycke.create_nitrogen_diffusivity()
    pure_carbon = pure.create_carbon_diffusivity()
    pure_nitrogen = pure.create_nitrogen_diffusivity()
    native_callback = diffusion.ArrheniusModifiedDiffusivity(
        pre_exponential_func=pre_exponential_func, activation_energy_func=activation_energy_func
    )
    pure_callback = pure.ArrheniusModifiedDiffusivity(
        pre_exponential_func=pre_exponential_func, activation_energy_func=activation_energy_func
    )
    native_factor = diffusion.PreExponentialFactor(pre_exponential_func)
    pure_factor = pure.PreExponentialFactor(pre_exponential_func)
    pairs = [
        ("carbon", native_carbon, pure_carbon),
        ("nitrogen", native_nitrogen, pure_nitrogen),
        ("callback", native_callback, pure_callback),
        ("PreExponentialFactor", native_factor, pure_factor),
    ]
    cases = []
    for label, native, python in pairs:
        for x in AGREEMENT_COMPOSITIONS:
            for kind, array in composition_arrays(x):
                for T in AGREEMENT_TEMPERATURES:
                    cases.append(
                        (
                            f"{label} {kind} {x} T={T}",
                            lambda f=native, a=array, T=T: f(a, T),
                            lambda f=python, a=array, T=T: f(a, T),
                        )
                    )
    return cases


def check_agreement():
    """Prints the outcome; returns True when every result is bit-identical."""
    mismatches = []
    cases = agreement_cases()
    for label, native, python in cases:
        expected, got = native(), python()
        if type(expected) is not float or type(got) is not float or expected.hex() != got.hex():
            mismatches.append(f"  {label}: native {expected!r} ({float(expected).hex()}), pure {got!r}")
    if mismatches:
        print(f"agreement: {len(mismatches)} of {len(cases)} results differ:")
        print("\n".join(mismatches))
        return False
    print(f"agreement: {len(cases)} native and pure-Python results bit-identical (float.hex)")
    return True


# ---------------------------------------------------------------------------
# Timing.


class Candidate:
    def __init__(self, name, function, stmt="f(a, b)", a=None, b=None):
        self.name = name
        self.timer = timeit.Timer(stmt, setup="f = _f; a = _a; b = _b", globals={"_f": function, "_a": a, "_b": b})
        self.per_call = []  # seconds per call, one entry per round

    def run(self, number):
        self.per_call.append(self.timer.timeit(number) / number)

    @property
    def median_ns(self):
        return statistics.median(self.per_call) * 1e9


def tp_call_floor():
    floor = staticmethod(math.atan2)
    if type(floor).__flags__ & _HAVE_VECTORCALL:
        raise SystemExit("staticmethod has vectorcall on this Python: it is no tp_call floor")
    if floor(0.5, 1.5) != math.atan2(0.5, 1.5):
        raise SystemExit("staticmethod(math.atan2) does not call math.atan2")
    return floor


def candidates():
    carbon = slycke.create_carbon_diffusivity()
    callback = diffusion.ArrheniusModifiedDiffusivity(
        pre_exponential_func=pre_exponential_func, activation_energy_func=activation_energy_func
    )
    factor = diffusion.PreExponentialFactor(lambda x, T: 2.3e-5)
    pure_carbon = pure.create_carbon_diffusivity()
    pure_callback = pure.ArrheniusModifiedDiffusivity(
        pre_exponential_func=pre_exponential_func, activation_energy_func=activation_energy_func
    )
    pure_factor = pure.PreExponentialFactor(lambda x, T: 2.3e-5)
    construct = "f(pre_exponential_func=a, activation_energy_func=b)"
    funcs = {"a": pre_exponential_func, "b": activation_energy_func}

    rows = [
        Candidate("slycke carbon, list, positional", carbon, a=list(COMPOSITION), b=TEMPERATURE),
        Candidate(
            "slycke carbon, list, keywords",
            carbon,
            "f(array=a, temperature=b)",
            a=list(COMPOSITION),
            b=TEMPERATURE,
        ),
    ]
    rows += [
        Candidate(f"slycke carbon, {kind}", carbon, a=array, b=TEMPERATURE)
        for kind, array in composition_arrays(COMPOSITION)
        if kind != "list"
    ]
    rows += [
        Candidate("callback diffusivity (2 functions)", callback, a=list(COMPOSITION), b=TEMPERATURE),
        Candidate("PreExponentialFactor(lambda)", factor, a=list(COMPOSITION), b=TEMPERATURE),
        Candidate("constants.gas_constant()", constants.gas_constant, "f()"),
        Candidate("random.random()", random.random, "f()"),
        Candidate("slycke.create_carbon_diffusivity()", slycke.create_carbon_diffusivity, "f()"),
        Candidate("ArrheniusModifiedDiffusivity(funcs)", diffusion.ArrheniusModifiedDiffusivity, construct, **funcs),
        Candidate("pure: slycke carbon, list, positional", pure_carbon, a=list(COMPOSITION), b=TEMPERATURE),
    ]
    if numpy is not None:
        rows.append(
            Candidate(
                "pure: slycke carbon, numpy float64",
                pure_carbon,
                a=numpy.array(COMPOSITION, dtype=numpy.float64),
                b=TEMPERATURE,
            )
        )
    rows += [
        Candidate("pure: callback diffusivity", pure_callback, a=list(COMPOSITION), b=TEMPERATURE),
        Candidate("pure: PreExponentialFactor(lambda)", pure_factor, a=list(COMPOSITION), b=TEMPERATURE),
        Candidate("pure: create_carbon_diffusivity()", pure.create_carbon_diffusivity, "f()"),
        Candidate("pure: ArrheniusModifiedDiffusivity(funcs)", pure.ArrheniusModifiedDiffusivity, construct, **funcs),
        Candidate("floor: math.atan2(x, y)", math.atan2, a=0.5, b=1.5),
        Candidate("floor: staticmethod(math.atan2)(x, y)", tp_call_floor(), a=0.5, b=1.5),
    ]
    return rows


def time_candidates(rows, rounds, number):
    warm = max(1, min(number, 2000))
    for row in rows:
        row.timer.timeit(warm)
    order = list(rows)
    shuffle = random.Random(20240601)
    for _ in range(rounds):
        shuffle.shuffle(order)
        for row in order:
            row.run(number)


def report(rows):
    by_name = {row.name: row.median_ns for row in rows}
    atan2 = by_name["floor: math.atan2(x, y)"]
    tp_call = by_name["floor: staticmethod(math.atan2)(x, y)"]
    width = max(len(row.name) for row in rows)
    print(f"{'candidate':<{width}}  {'median ns':>10}  {'min ns':>8}  {'max ns':>8}  {'/atan2':>7}  {'/tp_call':>8}")
    for row in rows:
        low, high = min(row.per_call) * 1e9, max(row.per_call) * 1e9
        median = row.median_ns
        print(
            f"{row.name:<{width}}  {median:>10.1f}  {low:>8.1f}  {high:>8.1f}"
            f"  {median / atan2:>7.2f}  {median / tp_call:>8.2f}"
        )
    print()

    def ratio(numerator, denominator):
        return by_name[numerator] / by_name[denominator]

    targets = [
        (
            "slycke_list/atan2",
            ratio("slycke carbon, list, positional", "floor: math.atan2(x, y)"),
            "<=",
            2.5,
        ),
        (
            "pure_slycke/native_slycke",
            ratio("pure: slycke carbon, list, positional", "slycke carbon, list, positional"),
            ">=",
            10.0,
        ),
        (
            "pure_callback/native_callback",
            ratio("pure: callback diffusivity", "callback diffusivity (2 functions)"),
            ">=",
            3.5,
        ),
        ("gas_constant/random", ratio("constants.gas_constant()", "random.random()"), "<=", 1.2),
        (
            "create_carbon/atan2",
            ratio("slycke.create_carbon_diffusivity()", "floor: math.atan2(x, y)"),
            "<=",
            2.0,
        ),
    ]
    # The numpy call against math.atan2, and the list call against the
    # interpreter's floor for tp_call.
    array_targets = [
        (
            "slycke_list/tp_call",
            ratio("slycke carbon, list, positional", "floor: staticmethod(math.atan2)(x, y)"),
            "<=",
            1.25,
        ),
    ]
    if numpy is not None:
        array_targets.insert(
            0, ("slycke_numpy/atan2", ratio("slycke carbon, numpy float64", "floor: math.atan2(x, y)"), "<=", 6.0)
        )
    return f"{verdicts('arrays', array_targets)}\n{verdicts('summary', targets)}"


def verdicts(label, targets):
    """One line: each ratio with its target and whether it is met."""
    parts = []
    for name, value, relation, target in targets:
        met = value <= target if relation == "<=" else value >= target
        parts.append(f"{name}={value:.2f} ({relation}{target:g} {'ok' if met else 'MISSED'})")
    return f"{label}: " + "; ".join(parts)


# ---------------------------------------------------------------------------
# Memory.


class _Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _mallinfo2():
    try:
        function = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    function.restype = _Mallinfo2
    function.argtypes = []
    return function


_MALLINFO2 = _mallinfo2()


def c_heap_bytes():
    """Bytes of the C heap in use (glibc's malloc), or None elsewhere."""
    if _MALLINFO2 is None:
        return None
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def max_rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def _repeat(function, args, count):
    for _ in range(count):
        function(*args)


def _repeat_failing(function, args, count, error):
    for _ in range(count):
        try:
            function(*args)
        except error:
            pass


def memory_runs(quick):
    """(label, driver, (function, args), calls[, expected error]) for each run."""
    scale = 5 if quick else 1
    carbon = slycke.create_carbon_diffusivity()
    callback = diffusion.ArrheniusModifiedDiffusivity(
        pre_exponential_func=pre_exponential_func, activation_energy_func=activation_energy_func
    )
    panic = type(_raised(lambda: carbon([0.0], TEMPERATURE)))
    runs = [
        ("slycke carbon, list", _repeat, (carbon, (list(COMPOSITION), TEMPERATURE)), 1_000_000 // scale),
        ("callback diffusivity", _repeat, (callback, (list(COMPOSITION), TEMPERATURE)), 100_000 // scale),
        ("slycke, too-short list (raises)", _repeat_failing, (carbon, ([0.0], TEMPERATURE)), 100_000 // scale, panic),
        ("slycke, tuple (raises)", _repeat_failing, (carbon, ((0.0, 0.0), TEMPERATURE)), 100_000 // scale, TypeError),
    ]
    if numpy is not None:
        # Reading an array's memory must hand back every buffer it takes.
        float64 = numpy.array(COMPOSITION, dtype=numpy.float64)
        short = numpy.array([0.0])
        runs += [
            ("slycke carbon, numpy float64", _repeat, (carbon, (float64, TEMPERATURE)), 1_000_000 // scale),
            ("slycke, too-short numpy (raises)", _repeat_failing, (carbon, (short, TEMPERATURE)), 100_000 // scale, panic),
        ]
    return runs


def measure_memory(runs):
    """Prints the memory table; returns True when nothing grew with the calls."""
    print("memory: blocks = sys.getallocatedblocks(), heap = C heap in use (mallinfo2), rss = peak RSS")
    print(f"{'calls':>9}  {'run':<32}  {'blocks':>17}  {'heap bytes':>23}  {'max rss KiB':>15}  verdict")
    flat = True
    for label, driver, (function, args), count, *error in runs:
        driver(function, args, 1000, *error)
        gc.collect()
        blocks_before, heap_before, rss_before = sys.getallocatedblocks(), c_heap_bytes(), max_rss_kib()
        driver(function, args, count, *error)
        gc.collect()
        blocks_after, heap_after, rss_after = sys.getallocatedblocks(), c_heap_bytes(), max_rss_kib()
        block_growth = blocks_after - blocks_before
        heap_growth = None if heap_before is None else heap_after - heap_before
        # A leak of one object per hundred calls, or of 1 MiB of C heap, is a
        # leak; a few blocks or bytes of interpreter caches are noise.
        run_flat = block_growth < count // 100 and (heap_growth is None or heap_growth < 1 << 20)
        flat = flat and run_flat
        heap_text = "n/a" if heap_growth is None else f"{heap_before}->{heap_after}"
        print(
            f"{count:>9}  {label:<32}  {blocks_before:>8}->{blocks_after:<8}  {heap_text:>23}"
            f"  {rss_before:>7}->{rss_after:<7}  {'flat' if run_flat else 'GROWS'}"
            f" (blocks {block_growth:+d}, heap {'n/a' if heap_growth is None else f'{heap_growth:+d}'})"
        )
    return flat


def _raised(thunk):
    try:
        thunk()
    except BaseException as error:  # the native fault class derives from BaseException
        return error
    raise AssertionError("expected an exception")


# ---------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a short run: 3 rounds of 20000 calls, less memory work")
    parser.add_argument("--rounds", type=int, help="timing rounds (default 11, quick 3)")
    parser.add_argument("--number", type=int, help="calls per candidate per round (default 100000, quick 20000)")
    parts = parser.add_mutually_exclusive_group()
    parts.add_argument("--memory", action="store_true", help="run only the memory part")
    parts.add_argument("--no-memory", action="store_true", help="skip the memory part")
    options = parser.parse_args(argv)
    rounds = options.rounds if options.rounds is not None else (3 if options.quick else 11)
    number = options.number if options.number is not None else (20_000 if options.quick else 100_000)
    if rounds < 1 or number < 1:
        parser.error("--rounds and --number must be positive")

    print(
        f"talvenor {talvenor.__version__}, Python {sys.version.split()[0]}"
        f", numpy {numpy.__version__ if numpy is not None else 'missing (numpy rows skipped)'}"
    )
    print(f"library: {talvenor._talvenor.__file__}")
    status = 0
    if not check_agreement():
        status = 1

    summary = None
    if not options.memory:
        print(f"timing: {rounds} rounds x {number} calls per candidate, order shuffled per round")
        rows = candidates()
        time_candidates(rows, rounds, number)
        summary = report(rows)

    if not options.no_memory:
        if not measure_memory(memory_runs(options.quick)):
            status = 1
        print()

    if summary is not None:
        print(summary)
    return status


if __name__ == "__main__":
    sys.exit(main())
