"""talvenor.process against closed-form solutions, and its bookkeeping and errors.

With a constant diffusivity the solver must reproduce the solutions of Crank,
*The Mathematics of Diffusion*: a surface held at the potential (erfc, 3.3),
a surface with a mass-transfer coefficient (3.3), and a cylinder (5.3) and a
sphere (6.3) with the surface held.
"""

import math
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import run_python

process = pytest.importorskip("talvenor.process")
from talvenor.process import units  # noqa: E402

D = 2e-11  # m²/s
CORE_WT, POTENTIAL_WT = 0.2, 1.0
Y_CORE, Y_POTENTIAL = (float(process.site_fractions(w)[0]) for w in (CORE_WT, POTENTIAL_WT))
erfc = np.vectorize(math.erfc)


def constant(x, T):
    return D


def run_constant(hours, geometry="plate", depth_mm=8.0, **surface):
    stage = process.Stage(duration_h=hours, temperature_c=930.0, carbon_potential_wt=POTENTIAL_WT, **surface)
    result = process.simulate([stage], core_carbon_wt=CORE_WT, depth_mm=depth_mm, geometry=geometry,
                              carbon_diffusivity=constant, nitrogen_diffusivity=constant)
    y = process.site_fractions(result.carbon_wt, result.nitrogen_wt)[0]
    return result, result.depth_mm * 1e-3, (y - Y_CORE) / (Y_POTENTIAL - Y_CORE)


def bessel(order, x):
    """J_order(x) from its integral over [0, pi], which the trapezoidal rule
    sums to rounding (the integrand is smooth, even and periodic)."""
    x = np.asarray(x, dtype=float)
    tau = np.linspace(0.0, np.pi, 801).reshape(-1, *[1] * x.ndim)
    values = np.cos(order * tau - x * np.sin(tau))
    return (values.sum(axis=0) - 0.5 * (values[0] + values[-1])) / 800


def j0_roots(count):
    roots = (np.arange(1, count + 1) - 0.25) * np.pi
    for _ in range(8):
        roots = roots + bessel(0, roots) / bessel(1, roots)
    return roots


@pytest.mark.parametrize("hours", [1.0, 8.0])
def test_held_surface_and_mass_transfer_match_the_semi_infinite_solutions(hours):
    t = hours * 3600.0
    _, x, held = run_constant(hours)
    assert abs(held - erfc(x / (2 * math.sqrt(D * t)))).max() < 0.005

    beta = 1e-7
    result, x, transfer = run_constant(hours, carbon_transfer_m_s=beta)
    h, root = beta / D, math.sqrt(D * t)
    u = x / (2 * root)
    expected = erfc(u) - np.exp(h * x + h * h * D * t) * erfc(u + h * root)
    assert abs(transfer - expected).max() < 0.005
    content = (Y_POTENTIAL - Y_CORE) / h * (math.exp(h * h * D * t) * math.erfc(h * root) - 1 + 2 * h * root / math.sqrt(math.pi))
    grams = units.grams_per_site_fraction_m(7870.0)[0]
    assert result.carbon_uptake_g_m2 == pytest.approx(grams * content, rel=0.005)


@pytest.mark.parametrize("geometry", ["cylinder", "sphere"])
@pytest.mark.parametrize("hours", [1.0, 8.0])
def test_curved_parts_match_the_series_solutions(geometry, hours):
    a, t = 2e-3, hours * 3600.0
    _, x, y = run_constant(hours, geometry=geometry, depth_mm=a * 1e3)
    r = a - x[1:]  # the cell centres
    if geometry == "sphere":
        n = np.arange(1, 200)[:, None]
        terms = (-1.0) ** n / n * np.sin(n * np.pi * r / a) * np.exp(-D * (n * np.pi / a) ** 2 * t)
        expected = 1 + 2 * a / (np.pi * r) * terms.sum(axis=0)
    else:
        alpha = j0_roots(60)[:, None] / a
        terms = np.exp(-D * alpha**2 * t) * bessel(0, r * alpha) / (alpha * bessel(1, a * alpha))
        expected = 1 - 2 / a * terms.sum(axis=0)
    assert abs(y[1:] - expected).max() < 0.005


RECIPE = [
    process.Stage(duration_h=1.0, temperature_c=930.0, carbon_potential_wt=1.1, carbon_transfer_m_s=2e-7),
    process.Stage(duration_h=0.5, temperature_c=930.0),
    process.Stage(duration_h=0.5, temperature_c=930.0, end_temperature_c=850.0,
                  carbon_potential_wt=0.8, nitrogen_potential_wt=0.3),
]


# The nitrogen step of RECIPE leaves a profile too thin for 50 cells, so
# the grids are refined on the carbon stages alone.  In time the profiles
# are compared: the uptake reaches second order only with finer steps.
@pytest.mark.parametrize("stages, refined", [(RECIPE[:2], dict(cells=[50, 100, 200], steps_per_stage=[48] * 3)),
                                             (RECIPE, dict(steps_per_stage=[64, 128, 256]))])
def test_refinement_converges_at_second_order(stages, refined):
    runs = [dict(zip(refined, values)) for values in zip(*refined.values())]
    results = [process.simulate(stages, core_carbon_wt=0.2, **run) for run in runs]
    if "cells" in refined:
        uptakes = [result.carbon_uptake_g_m2 for result in results]
        coarse, fine = uptakes[1] - uptakes[0], uptakes[2] - uptakes[1]
    else:
        coarse, fine = (abs(b.carbon_wt - a.carbon_wt).max() for a, b in zip(results, results[1:]))
    assert 3.0 < coarse / fine < 5.0


@pytest.mark.parametrize("geometry", ["plate", "cylinder", "sphere"])
def test_content_is_the_integral_of_the_surface_flux_and_kept_behind_a_closed_surface(geometry):
    result = process.simulate(RECIPE, core_carbon_wt=0.2, depth_mm=2.0, geometry=geometry, record_times_h=[1.0, 1.5])
    boosted, diffused = result.profiles
    assert diffused.carbon_uptake_g_m2 == pytest.approx(boosted.carbon_uptake_g_m2, rel=1e-12)
    assert result.nitrogen_uptake_g_m2 > 0.0
    assert result.history.carbon_uptake_g_m2[-1] == pytest.approx(result.carbon_uptake_g_m2, rel=1e-12)
    assert result.history.nitrogen_uptake_g_m2[-1] == pytest.approx(result.nitrogen_uptake_g_m2, rel=1e-12)


def test_a_stage_ends_the_same_whatever_follows_and_records_cut_the_recipe_short():
    first = process.simulate(RECIPE[:1], core_carbon_wt=0.2)
    longer = process.simulate(RECIPE, core_carbon_wt=0.2, record_times_h=[1.0, 1.75])
    assert np.array_equal(longer.profiles[0].carbon_wt, first.carbon_wt)
    cut = process.Stage(duration_h=0.25, temperature_c=930.0, end_temperature_c=890.0,
                        carbon_potential_wt=0.8, nitrogen_potential_wt=0.3)
    shorter = process.simulate([*RECIPE[:2], cut], core_carbon_wt=0.2)
    np.testing.assert_allclose(longer.profiles[1].nitrogen_wt, shorter.nitrogen_wt, rtol=1e-9, atol=1e-15)


@pytest.mark.parametrize("potential_wt, steps", [(1.1, None), (3.5, None), (3.5, 8), (3.5, 64), (3.9, None)])
def test_no_profile_or_surface_leaves_the_range_of_the_core_and_the_potential(potential_wt, steps):
    stage = process.Stage(duration_h=1.0, temperature_c=930.0, carbon_potential_wt=potential_wt)
    result = process.simulate([stage], core_carbon_wt=0.2, steps_per_stage=steps)
    for values in (result.carbon_wt, result.history.carbon_wt):
        assert values.max() <= potential_wt * (1.0 + 1e-12) and values.min() >= 0.2 * (1.0 - 1e-12)


@pytest.mark.parametrize("tolerance_wt", [1e-2, 1e-3, 1e-4])
def test_the_time_steps_keep_the_tolerance(tolerance_wt):
    stages = RECIPE[:2]
    result = process.simulate(stages, core_carbon_wt=0.2, cells=50, tolerance_wt=tolerance_wt)
    exact = process.simulate(stages, core_carbon_wt=0.2, cells=50, tolerance_wt=1e-7)
    error = abs(result.carbon_wt - exact.carbon_wt).max()
    assert tolerance_wt / 20.0 < error < 2.0 * tolerance_wt


def test_the_surface_history_keeps_the_tolerance_too():
    # Mass transfer at every stage, and nitrogen through a cooling ramp.
    recipe = process.read_recipe(Path(__file__).resolve().parents[1] / "examples" / "carbonitriding.toml")
    tolerance_wt = process.simulation.TOLERANCE_WT
    result, exact = (process.simulate(recipe.stages, core_carbon_wt=recipe.core_carbon_wt, geometry=recipe.geometry,
                                      depth_mm=recipe.depth_mm, tolerance_wt=tolerance)
                     for tolerance in (tolerance_wt, 1e-6))

    def stages(history):
        # A boundary time appears twice, once for each of its stages.
        return np.split(np.arange(history.time_h.size), np.searchsorted(history.time_h, result.stage_end_h[:-1]) + 1)

    for element in ("carbon_wt", "nitrogen_wt"):
        shown, converged = getattr(result.history, element), getattr(exact.history, element)
        for own, reference in zip(stages(result.history), stages(exact.history)):
            expected = np.interp(result.history.time_h[own], exact.history.time_h[reference], converged[reference])
            assert abs(shown[own] - expected).max() <= tolerance_wt, element
    assert result.surface_nitrogen_wt == pytest.approx(exact.surface_nitrogen_wt, abs=tolerance_wt)


def test_case_depth_reads_the_profile():
    profile = process.Profile(0.0, np.array([0.0, 1.0, 2.0]), np.array([0.9, 0.5, 0.1]), np.zeros(3), 0.0, 0.0)
    assert profile.case_depth_mm(0.3) == pytest.approx(1.5)
    assert profile.case_depth_mm(0.95) == 0.0
    with pytest.raises(ValueError, match="stays above 0.05 wt% over the whole depth"):
        profile.case_depth_mm(0.05)


STAGE = dict(duration_h=1.0, temperature_c=930.0)


@pytest.mark.parametrize("make, message", [
    (lambda: process.Stage(**{**STAGE, "duration_h": 0.0}), "duration_h must be positive, got 0.0"),
    (lambda: process.Stage(**STAGE, carbon_potential_wt=0.8, carbon_transfer_m_s=0.0),
     "carbon_transfer_m_s must be positive, got 0.0"),
    (lambda: process.Stage(**STAGE, nitrogen_transfer_m_s=1e-7), "nitrogen_transfer_m_s = 1e-07 is given without"),
    (lambda: process.Stage(**{**STAGE, "end_temperature_c": -300.0}), "end_temperature_c must be above absolute zero"),
    (lambda: process.simulate([], core_carbon_wt=0.2), "at least one Stage"),
    (lambda: process.simulate([process.Stage(**STAGE)], core_carbon_wt=0.2, cells=2), "cells must be at least 3"),
    (lambda: process.simulate([process.Stage(**STAGE)], core_carbon_wt=0.2, geometry="cube"), "got 'cube'"),
    (lambda: process.simulate([process.Stage(**STAGE, carbon_potential_wt=4.5)], core_carbon_wt=0.2),
     r"stage 1 of 1: the carbon potential 4.5 wt% reaches 5 \(y_C \+ y_N\) = 1.09"),
    (lambda: process.simulate([process.Stage(**{**STAGE, "duration_h": 8.0}, carbon_potential_wt=3.0),
                               process.Stage(**STAGE, nitrogen_potential_wt=1.5)], core_carbon_wt=0.2),
     r"stage 2 of 2: carbon and nitrogen reach 5 \(y_C \+ y_N\) = 1.0"),
    (lambda: process.simulate([process.Stage(**STAGE, carbon_potential_wt=0.8)], core_carbon_wt=0.2,
                              carbon_diffusivity=lambda x, T: math.nan), "stage 1 of 1: the carbon diffusivity is nan"),
    (lambda: process.simulate([process.Stage(**STAGE, carbon_potential_wt=0.8)], core_carbon_wt=0.2,
                              tolerance_wt=1e-300), "stage 1 of 1: the time steps shrink to nothing .* h into the "
                                                    "recipe: no step meets tolerance_wt 1e-300"),
    (lambda: process.simulate([process.Stage(**STAGE, nitrogen_potential_wt=0.2)], core_carbon_wt=0.2,
                              nitrogen_diffusivity=lambda x, T: -1e-11), "the nitrogen diffusivity is -1e-11"),
    *[(lambda value=value: process.simulate([process.Stage(**STAGE, carbon_potential_wt=0.8)], core_carbon_wt=0.2,
                                            carbon_diffusivity=lambda x, T: value),
       rf"stage 1 of 1: the carbon diffusivity returned {re.escape(repr(value))}, of type {type(value).__name__}, at "
       r"y_C = .* K; it must return a real number") for value in ("1e-11", None, 1e-11j)],
    (lambda: process.Stage(**{**STAGE, "temperature_c": 1400.0}),
     "temperature_c must be below 1,400 °C, where steel melts, got 1400.0"),
    (lambda: process.Stage(**STAGE, end_temperature_c=1e300), "end_temperature_c must be below 1,400 °C"),
    (lambda: process.Stage(**{**STAGE, "duration_h": 1e306}), r"duration_h must be at most 10,000 h, got 1e\+306"),
    (lambda: process.simulate([process.Stage(**STAGE)], core_carbon_wt=0.2, depth_mm=1e-300),
     "depth_mm must be between 0.01 and 10,000 mm, got 1e-300"),
    (lambda: process.simulate([process.Stage(**STAGE)], core_carbon_wt=0.2, depth_mm=1e9), "10,000 mm, got 1000000000.0"),
    (lambda: process.simulate([process.Stage(**STAGE)], core_carbon_wt=0.2, cells=10**7),
     "cells must be at most 100,000, got 10000000"),
    (lambda: process.Stage(**{**STAGE, "duration_h": np.float64("nan")}), "duration_h must be finite, got nan$"),
    (lambda: process.simulate([process.Stage(**STAGE)], core_carbon_wt=0.2, record_times_h=[2.0]),
     "within the recipe's 1.0 h, got 2.0"),
    (lambda: process.simulate([process.Stage(**STAGE)], core_carbon_wt=0.2).case_depth_mm(np.float64("inf")),
     "threshold_wt must be finite, got inf$"),
    (lambda: process.simulate([process.Stage(**STAGE)], core_carbon_wt=5.0), "carbon_wt must be below 2.14 wt%"),
    (lambda: process.simulate([process.Stage(**STAGE, carbon_potential_wt=0.8)], core_carbon_wt=0.2, density_kg_m3=1e308),
     "the run gives carbon_uptake_g_m2 = inf in the profile at 1 h"),
    (lambda: process.carbon_solubility_wt(700.0), "temperature_c must be between 727 and 1,148 °C, where the carbon "
                                                  "solubility of austenite is known, got 700.0"),
])
def test_bad_recipes_stop_with_a_value_error_that_names_them(make, message):
    with pytest.raises(ValueError, match=message) as raised:
        make()
    assert "np." not in str(raised.value)  # plain numbers, not numpy's reprs


def test_the_rest_of_the_package_works_without_numpy():
    result = run_python(
        "import sys\n"
        "sys.modules['numpy'] = None\n"
        "from talvenor import slycke\n"
        "print(slycke.create_carbon_diffusivity()([0.0, 0.0], 1200.0))\n"
        "import talvenor.process\n"
    )
    assert "8.669673909014228e-12" in result.stdout
    assert "ImportError: talvenor.process needs numpy" in result.stderr
    assert "pip install 'talvenor[process]'" in result.stderr


def test_the_benchmark_runs():
    bench = Path(__file__).resolve().parents[1] / "benchmarks" / "process_bench.py"
    result = subprocess.run([sys.executable, str(bench), "--rounds", "1"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert "4 h: carbonitriding, 3 stages" in result.stdout and "summary: slowest recipe / 96000 calls" in result.stdout


def test_the_peer_benchmark_runs():
    pytest.importorskip("scipy")
    bench = Path(__file__).resolve().parents[1] / "benchmarks" / "process_peers.py"
    result = subprocess.run([sys.executable, str(bench), "--quick"], capture_output=True, text=True, timeout=300)
    out = result.stdout
    assert "200 cells" in out and all(f"\n{name} " in out for name in ("P1", "P2", "P3", "P3 held")), out + result.stderr
    assert result.returncode == 0, out + result.stderr
