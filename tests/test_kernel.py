"""The native time integration of talvenor.process (talvenor._kernel)."""

import signal
import subprocess
import sys
import threading
import time

import pytest

np = pytest.importorskip("numpy")
process = pytest.importorskip("talvenor.process")
from talvenor import _kernel, slycke  # noqa: E402

LONG = "[process.Stage(duration_h=1000.0, temperature_c=930.0, carbon_potential_wt=0.8)]"


@pytest.mark.parametrize("element, make", [(0, slycke.create_carbon_diffusivity),
                                           (1, slycke.create_nitrogen_diffusivity)])
def test_the_kernel_evaluates_the_slycke_model_bit_for_bit(element, make):
    reference = make()
    for y_carbon in np.linspace(0.0, 0.1, 11):
        for y_nitrogen in np.linspace(0.0, 0.08, 9):
            for temperature in (1000.0, 1123.15, 1203.15, 1421.0):
                expected = reference([float(y_carbon), float(y_nitrogen)], temperature)
                assert _kernel.diffusivity(element, float(y_carbon), float(y_nitrogen), temperature) == expected


@pytest.mark.parametrize("steps", [None, 12])
def test_a_run_is_the_same_with_the_slycke_objects_as_callables(steps):
    recipe = process.read_recipe("examples/carbonitriding.toml")
    native = process.simulate(recipe.stages, steel=recipe.steel, part=recipe.part, steps_per_stage=steps)
    called = process.simulate(recipe.stages, steel=recipe.steel, part=recipe.part, steps_per_stage=steps,
                              carbon_diffusivity=slycke.create_carbon_diffusivity(),
                              nitrogen_diffusivity=slycke.create_nitrogen_diffusivity())
    assert np.array_equal(native.carbon_wt, called.carbon_wt)
    assert np.array_equal(native.history.nitrogen_uptake_g_m2, called.history.nitrogen_uptake_g_m2)


def test_a_constant_diffusivity_is_a_number():
    stages = [process.Stage(duration_h=1.0, temperature_c=930.0, carbon_potential_wt=1.0)]
    number = process.simulate(stages, core_carbon_wt=0.2, carbon_diffusivity=2e-11, nitrogen_diffusivity=2e-11)
    called = process.simulate(stages, core_carbon_wt=0.2, carbon_diffusivity=lambda y, t: 2e-11,
                              nitrogen_diffusivity=lambda y, t: 2e-11)
    assert np.array_equal(number.carbon_wt, called.carbon_wt)
    with pytest.raises(ValueError, match="carbon_diffusivity must be finite and not negative, got -1.0"):
        process.simulate(stages, core_carbon_wt=0.2, carbon_diffusivity=-1.0)


def test_fixed_steps_are_stable_and_second_order_from_few():
    # A gear cycle of SAE 8620 with eight fixed steps per stage once put the
    # surface 0.22 wt% too high in the boost and the profile 0.02 wt% off.
    stages = [process.Stage(duration_h=0.5, temperature_c=870.0, end_temperature_c=927.0, carbon_potential_wt=0.4,
                            carbon_transfer_m_s=1.5e-7),
              process.Stage(duration_h=4.0, temperature_c=927.0, carbon_potential_wt=1.15, carbon_transfer_m_s=2e-7),
              process.Stage(duration_h=1.5, temperature_c=927.0, carbon_potential_wt=0.85, carbon_transfer_m_s=2e-7),
              process.Stage(duration_h=0.75, temperature_c=927.0, end_temperature_c=843.0, carbon_potential_wt=0.85,
                            carbon_transfer_m_s=2e-7),
              process.Stage(duration_h=0.5, temperature_c=843.0, carbon_potential_wt=0.80, carbon_transfer_m_s=2e-7)]
    converged = process.simulate(stages, core_carbon_wt=0.2, tolerance_wt=1e-5)
    fixed = process.simulate(stages, core_carbon_wt=0.2, steps_per_stage=8)
    assert abs(fixed.carbon_wt - converged.carbon_wt).max() < 0.002
    history = converged.history
    boost = (fixed.history.time_h > 0.75) & (fixed.history.time_h < 4.5)
    surface = np.interp(fixed.history.time_h[boost], history.time_h, history.carbon_wt)
    assert abs(fixed.history.carbon_wt[boost] - surface).max() < 0.05


def test_threads_step_at_once_without_the_interpreter_lock():
    stages = [process.Stage(duration_h=1000.0, temperature_c=930.0, carbon_potential_wt=0.8)]
    count, done = [0], threading.Event()

    def counting():
        while not done.is_set():
            count[0] += 1

    counter = threading.Thread(target=counting)
    counter.start()
    try:
        # How fast the thread counts while this one waits without the lock...
        start, began = count[0], time.perf_counter()
        time.sleep(0.1)
        rate = (count[0] - start) / (time.perf_counter() - began)
        # ... and how much it counts while a run steps: with the lock held
        # through the run, it could not count at all.
        start, began = count[0], time.perf_counter()
        process.simulate(stages, core_carbon_wt=0.2, cells=20000, depth_mm=50.0, tolerance_wt=1e-6)
        counted, took = count[0] - start, time.perf_counter() - began
    finally:
        done.set()
        counter.join()
    assert counted > 0.2 * rate * took


def test_runs_on_threads_equal_the_run_alone():
    recipe = process.read_recipe("examples/gas_carburizing.toml")
    alone = process.simulate(recipe.stages, steel=recipe.steel, part=recipe.part)
    results = [None] * 4

    def run(i):
        results[i] = process.simulate(recipe.stages, steel=recipe.steel, part=recipe.part)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(np.array_equal(result.carbon_wt, alone.carbon_wt) for result in results)


def test_ctrl_c_ends_a_long_run_promptly():
    code = ("from talvenor import process\n"
            "print('started', flush=True)\n"
            f"process.simulate({LONG} * 10, core_carbon_wt=0.2, cells=100000, depth_mm=50.0, tolerance_wt=1e-7)\n")
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "started\n"
    time.sleep(1.5)
    child.send_signal(signal.SIGINT)
    try:
        _, err = child.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        child.kill()
        raise
    assert child.returncode != 0 and "KeyboardInterrupt" in err


def test_a_run_in_use_refuses_another_call():
    def calls_back(composition, temperature):
        run.copy()
        return 1e-11

    run = _kernel.Run([1e-5] * 3, [1.0] * 2, 1e-5, [0.01, 0.0], [1.7e6, 2e6], 0.01, carbon=calls_back)
    with pytest.raises(RuntimeError, match="the run is in use by another call"):
        run.stage(duration_s=60.0, times_h=[0.0, 1 / 60], temperatures_c=[930.0, 930.0], kinds=(1, 0),
                  carbon_wt=[0.8, 0.8], transfers_m_s=[0.0, 0.0], corners=[1.0], start_s=0.0)
    assert run.history() == (b"", b"", b"", b"")


@pytest.mark.parametrize("argument", ["varying", "to_limit"])
def test_a_flag_whose_truth_raises_leaves_the_run_unchanged(argument):
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError("no truth here")

    run = _kernel.Run([1e-5] * 3, [1.0] * 2, 1e-5, [0.01, 0.0], [1.7e6, 2e6], 0.01)
    stage = dict(duration_s=60.0, times_h=[0.0, 1 / 60], temperatures_c=[930.0, 930.0], kinds=(1, 0),
                 carbon_wt=[0.8, 0.8], transfers_m_s=[0.0, 0.0], corners=[1.0], start_s=0.0)
    run.stage(**stage)
    state, history = run.state(), run.history()
    with pytest.raises(ZeroDivisionError, match="no truth here"):
        run.stage(**stage, **{argument: Undecided()})
    assert run.state() == state and run.history() == history
