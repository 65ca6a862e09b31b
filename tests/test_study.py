"""Capability studies: the variations and their draws, the same study
wherever it runs (in this process, on a process pool, on a Dask cluster),
failed runs, the capability against closed forms, and the study command."""

import csv
import dataclasses
import functools
import io
import math
import os
import re
import signal
import subprocess
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

process = pytest.importorskip("talvenor.process")
from talvenor.process import cli  # noqa: E402
from talvenor.process.model.steel import grade_ranges  # noqa: E402
from talvenor.process.pipeline import Outcome  # noqa: E402
from talvenor.process.studies import capability_indices  # noqa: E402
from talvenor.process.studies.inputs import draw, inputs_of, varied  # noqa: E402
from talvenor.process.studies.runs import process_pool  # noqa: E402
from talvenor.process.studies.statistics import capability, sensitivity  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "gas_carburizing.toml"
Stage, Variation = process.Stage, process.Variation

# A short recipe whose runs take little time.
SHORT = process.Recipe(
    stages=(Stage(duration_h=1.0, temperature_c=930.0, carbon_potential_wt=1.1, carbon_transfer_m_s=2e-7),
            Stage(duration_h=0.5, temperature_c=930.0, end_temperature_c=900.0, carbon_potential_wt=0.8)),
    steel=process.Steel.grade("20MnCr5"), part=process.Part(depth_mm=2.0, cells=60), quench_c=60.0,
    requirements=process.Requirements(chd_min_mm=0.3, chd_max_mm=0.6, surface_hardness_min_hrc=58.0,
                                      no_carbides=True))
FURNACE = Variation(temperature_c=5.0, carbon_potential_wt=0.03, duration_pct=2.0, transfer_pct=10.0,
                    quench_c=10.0, steel_ranges=True)


def same(first, second):
    """Whether two studies hold the same runs, bit for bit."""
    pairs = [(first.failed, second.failed), (first.passed, second.passed),
             *((first.inputs[k], second.inputs[k]) for k in first.inputs),
             *((first.quantities[k], second.quantities[k]) for k in first.quantities)]
    return (list(first.quantities) == list(second.quantities) and first.errors == second.errors
            and all(a.tobytes() == b.tobytes() for a, b in pairs))


@pytest.fixture(scope="module")
def cluster_executor():
    """The executor of a Dask cluster of 2 worker processes on the loopback."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client.get_executor(), cluster.scheduler_address


@pytest.mark.parametrize("arguments, message", [
    (dict(temperature_c=-1.0), "temperature_c must be finite and not negative, got -1.0"),
    (dict(duration_pct=math.inf), "duration_pct must be finite and not negative, got inf"),
    (dict(quench_c=math.nan), "quench_c must be finite and not negative, got nan"),
    (dict(steel_wt={"carbon": 0.01}), "steel_wt: unknown content 'carbon' (known: carbon_wt, "),
    (dict(steel_wt={"carbon_wt": -0.01}), "steel_wt: carbon_wt must be finite and not negative, got -0.01"),
    (dict(steel_ranges=True, steel_wt={"carbon_wt": 0.01}), "give steel_ranges or steel_wt, not both"),
    (dict(distribution="lognormal"), "distribution must be one of 'normal', 'uniform', got 'lognormal'"),
    (dict(distribution={"temperature": "uniform"}), "distribution: unknown input 'temperature' (known: "),
    (dict(per_stage=["quench_c"]), "per_stage: 'quench_c' is no stage input"),
])
def test_a_bad_variation_is_refused_naming_the_key_and_the_value(arguments, message):
    with pytest.raises((ValueError, TypeError)) as refused:
        Variation(**arguments)
    assert str(refused.value).startswith(message)


@pytest.mark.parametrize("recipe, variation, message", [
    (SHORT, Variation(nitrogen_potential_wt=0.02), "nitrogen_potential_wt 0.02: the recipe has no nitrogen potential"),
    (SHORT, Variation(flux_pct=5.0), "flux_pct 5.0: the recipe has no boost with a carbon flux to vary"),
    (process.Recipe(stages=SHORT.stages, steel=process.Steel(carbon_wt=0.2)), Variation(quench_c=5.0),
     "quench_c 5.0: the recipe has no quench to vary"),
    (process.Recipe(stages=SHORT.stages, steel=process.Steel(carbon_wt=0.2)), Variation(steel_ranges=True),
     "steel_ranges true: the steel (unnamed) is not named as a grade whose ranges are known"),
])
def test_a_variation_of_what_the_recipe_lacks_is_refused(recipe, variation, message):
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        process.study(recipe, variation, samples=2, workers=1)


def test_the_draws_move_the_recipe_as_the_variation_says():
    probe = Stage(duration_min=90.0, temperature_c=920.0, probe_mv=1150.0)
    recipe = process.Recipe(stages=(*SHORT.stages, probe), steel=SHORT.steel, quench_c=60.0)
    variation = Variation(temperature_c=5.0, carbon_potential_wt=0.05, duration_pct=2.0, transfer_pct=10.0,
                          quench_c=10.0, per_stage=("duration_pct",), distribution={"temperature_c": "uniform"})
    inputs = inputs_of(recipe, variation)
    assert [given.name for given in inputs] == [
        "temperature_offset_c", "carbon_potential_offset_wt", "quench_offset_c", "duration_change_pct_stage_1",
        "duration_change_pct_stage_2", "duration_change_pct_stage_3", "carbon_transfer_change_pct"]
    assert inputs[0].distribution == "uniform" and inputs[0].spread == pytest.approx(5.0 * math.sqrt(3.0))
    moved = varied(recipe, inputs, [3.0, 0.05, -4.0, 10.0, -10.0, 0.0, 50.0])
    boost, ramp, held = moved.stages
    assert (boost.temperature_c, ramp.temperature_c, ramp.end_temperature_c) == (933.0, 933.0, 903.0)
    assert (boost.duration_h, ramp.duration_h, held.duration_h) == pytest.approx((1.1, 0.45, 1.5))
    assert boost.carbon_potential_wt == pytest.approx(1.15) and boost.carbon_transfer_m_s == pytest.approx(3e-7)
    assert ramp.carbon_transfer_m_s is None and moved.quench_c == 56.0
    # The controller holds the probe's voltage: the potential is what it reads at the drawn temperature.
    assert held.carbon_potential_wt == pytest.approx(
        process.atmosphere.carbon_potential_wt(923.0, probe_mv=1150.0) + 0.05)


def test_the_variation_table_is_written_back_as_it_was_read(tmp_path):
    variation = Variation(temperature_c=3.0, nitrogen_potential_wt=0.01, steel_wt={"carbon_wt": 0.01},
                          distribution={"temperature_c": "uniform", "steel_wt": "uniform"},
                          per_stage=("duration_pct", "temperature_c"))
    recipe = process.Recipe(stages=SHORT.stages, steel=SHORT.steel, variation=variation)
    path = tmp_path / "recipe.toml"
    path.write_text(process.format_recipe(recipe), encoding="utf-8")
    assert process.read_recipe(path) == recipe and hash(process.read_recipe(path).variation) == hash(variation)


def test_the_warnings_of_a_run_are_kept_with_it_and_go_nowhere_else(recwarn):
    # A probe's reading at a temperature drawn beyond the fit of the gas equilibria (800-1050 °C).
    probe = process.Recipe(stages=(Stage(duration_h=1.0, temperature_c=1040.0, probe_mv=1150.0),),
                           steel=process.Steel(carbon_wt=0.2), part=process.Part(depth_mm=2.0, cells=40))
    study = process.study(probe, Variation(temperature_c=20.0), samples=16, seed=1, workers=1)
    beyond = study.inputs["temperature_offset_c"] > 10.0
    assert beyond.any() and not study.failed.any() and len(recwarn) == 0
    assert [any("over which the gas equilibria are fitted" in said for said in run) for run in study.warnings] \
        == beyond.tolist()


def test_each_run_is_read_on_the_part_as_ground_as_its_verdicts_are():
    ground = dataclasses.replace(SHORT, requirements=dataclasses.replace(
        SHORT.requirements, grinding_stock_mm=0.15, surface_carbon_min_wt=0.6, hardness_depth_mm=0.2,
        hardness_at_depth_min_hv=500.0))
    variation = Variation(temperature_c=5.0)
    study = process.study(ground, variation, samples=3, seed=2, workers=1)
    inputs = inputs_of(ground, variation)
    for run, row in enumerate(draw(inputs, 3, np.random.default_rng(2))):
        verdicts = process.evaluate(varied(ground, inputs, row)).verdicts
        assert [study.quantities[verdict.key][run] for verdict in verdicts if verdict.key in study.quantities] \
            == [verdict.value for verdict in verdicts if verdict.key in study.quantities] != []


def test_a_furnace_log_is_varied_as_a_whole():
    log = process.FurnaceLog(time_h=[0.0, 0.1, 0.2, 0.3], temperature_c=[700.0, 930.0, 930.0, 920.0],
                             carbon_potential_wt=[math.nan, 1.0, 1.0, 0.8], carbon_transfer_m_s=2e-7)
    recipe = process.Recipe(log=log, steel=process.Steel(carbon_wt=0.2))
    with pytest.raises(ValueError, match="a furnace log is varied as a whole"):
        inputs_of(recipe, Variation(temperature_c=5.0, per_stage=("temperature_c",)))
    inputs = inputs_of(recipe, Variation(temperature_c=5.0, carbon_potential_wt=0.05, duration_pct=10.0))
    moved = varied(recipe, inputs, [2.0, -0.1, 10.0]).log
    np.testing.assert_allclose(moved.temperature_c, log.temperature_c + 2.0)
    np.testing.assert_allclose(moved.time_h, log.time_h * 1.1)
    np.testing.assert_allclose(moved.carbon_potential_wt, [math.nan, 0.9, 0.9, 0.7])
    study = process.study(recipe, Variation(temperature_c=5.0), samples=3, workers=1)
    assert any("varied as a whole" in note for note in study.notes)


def test_a_heat_is_drawn_uniformly_within_the_ranges_of_its_grade():
    # EN 10084: 20MnCr5 has 0.17-0.22 C, at most 0.40 Si, 1.10-1.40 Mn, 1.00-1.30 Cr.
    assert grade_ranges("20MnCr5") == dict(carbon_wt=(0.17, 0.22), silicon_wt=(0.0, 0.40),
                                           manganese_wt=(1.10, 1.40), chromium_wt=(1.00, 1.30))
    inputs = inputs_of(SHORT, Variation(steel_ranges=True))
    draws = draw(inputs, 2000, np.random.default_rng(1))
    for column, given in enumerate(inputs):
        low, high = grade_ranges("20MnCr5")[given.target]
        assert low <= draws[:, column].min() < low + 0.01 * (high - low)
        assert high - 0.01 * (high - low) < draws[:, column].max() <= high


def test_the_same_seed_gives_the_same_study_wherever_it_runs(cluster_executor):
    executor, _ = cluster_executor
    serial = process.study(SHORT, FURNACE, samples=24, seed=7, workers=1)
    assert not serial.failed.any() and len(serial.inputs) == 9
    pool = process_pool(2)
    try:
        on_pool = process.study(SHORT, FURNACE, samples=24, seed=7, executor=pool, chunk_runs=5)
    finally:
        pool.shutdown()
    on_cluster = process.study(SHORT, FURNACE, samples=24, seed=7, executor=executor, chunk_runs=7)
    assert same(serial, on_pool) and same(serial, on_cluster)
    assert not same(serial, process.study(SHORT, FURNACE, samples=24, seed=8, workers=1))


def test_a_failed_run_is_recorded_and_counted_and_does_not_stop_the_study(cluster_executor):
    executor, _ = cluster_executor
    # A spread of potentials so wide that some are negative.
    wild = Variation(carbon_potential_wt=0.6)
    studies = [process.study(SHORT, wild, samples=40, seed=3, workers=1),
               process.study(SHORT, wild, samples=40, seed=3, executor=executor, chunk_runs=8)]
    first = studies[0]
    failed = first.failed
    assert 0 < failed.sum() < 40 and same(*studies)
    np.testing.assert_array_equal(failed, first.inputs["carbon_potential_offset_wt"] < -0.8)
    assert all(re.match(r"stage [12] of 2: carbon_potential_wt must not be negative, got -", first.errors[run])
               for run in np.flatnonzero(failed))
    assert all(not first.errors[run] for run in np.flatnonzero(~failed))
    assert np.isnan(first.quantities["chd_mm"][failed]).all() and not first.passed[failed].any()
    assert all(capability.runs == 40 - failed.sum() for capability in first.capabilities)


D = 2e-11  # m²/s


def constant(composition, temperature_k):
    return D


def held_plate(recipe):
    """The outcome of ``recipe`` with a constant diffusivity, without hardening."""
    result = process.simulate(recipe.schedule, steel=recipe.steel, part=recipe.part, carbon_diffusivity=constant,
                              nitrogen_diffusivity=constant)
    return Outcome(recipe, result, None, process.check(result, recipe.requirements))


def test_the_runs_go_to_a_csv_file_exactly_and_a_failed_one_says_why():
    from talvenor.process.io.study_csv import write_study_csv

    study = process.study(SHORT, Variation(carbon_potential_wt=0.6), samples=12, seed=3, workers=1)
    written = io.StringIO()
    write_study_csv(written, study)
    rows = list(csv.DictReader(io.StringIO(written.getvalue())))
    assert [int(row["failed"]) for row in rows] == study.failed.astype(int).tolist() and study.failed.any()
    for row, draw_wt, chd_mm, error in zip(rows, study.inputs["carbon_potential_offset_wt"],
                                          study.quantities["chd_mm"], study.errors):
        assert float(row["carbon_potential_offset_wt"]) == draw_wt and row["error"] == error
        assert row["chd_mm"] == ("" if math.isnan(chd_mm) else repr(float(chd_mm)))


def test_a_study_on_threads_gives_the_same_runs_and_leaves_the_warning_filters_as_they_were():
    filters = list(warnings.filters)
    with ThreadPoolExecutor(3) as threads:
        on_threads = process.study(SHORT, FURNACE, samples=16, seed=2, executor=threads, chunk_runs=1)
    assert warnings.filters == filters
    assert same(on_threads, process.study(SHORT, FURNACE, samples=16, seed=2, workers=1))


def test_a_uniform_input_spans_root_three_sigma_and_a_normal_one_has_its_sigma():
    inputs = inputs_of(SHORT, Variation(temperature_c=4.0, duration_pct=2.0,
                                        distribution={"temperature_c": "uniform"}))
    draws = draw(inputs, 20000, np.random.default_rng(4))
    assert 4.0 * math.sqrt(3.0) - 0.01 < np.abs(draws[:, 0]).max() <= 4.0 * math.sqrt(3.0)
    assert draws[:, 0].std() == pytest.approx(4.0, rel=0.02) and draws[:, 1].std() == pytest.approx(2.0, rel=0.02)
    assert abs(draws[:, 1].mean()) < 0.05


def test_cpk_and_the_share_out_agree_with_the_closed_forms_of_a_root_time_case_depth():
    # A plate held at its potential with a constant D: the case depth is
    # x0 √(t/t0) (Crank 3.3), so with the duration t0 (1 + δ), δ normal of
    # σ 0.1, the depth is x0 √(1 + δ), whose distribution is known.
    from scipy.special import erfcinv
    from scipy.stats import norm

    hours, sigma = 4.0, 0.1
    y_core, y_surface, y_threshold = (float(process.site_fractions(w)[0]) for w in (0.2, 1.0, 0.35))
    x0 = 2e3 * math.sqrt(D * hours * 3600.0) * erfcinv((y_threshold - y_core) / (y_surface - y_core))
    low, high = 0.9 * x0, 1.1 * x0
    recipe = process.Recipe(stages=(Stage(duration_h=hours, temperature_c=930.0, carbon_potential_wt=1.0),),
                            steel=process.Steel(carbon_wt=0.2), part=process.Part(depth_mm=8.0, cells=200),
                            requirements=process.Requirements(case_depth_min_mm=low, case_depth_max_mm=high))
    samples = 400
    study = process.study(recipe, Variation(duration_pct=100.0 * sigma), samples=samples, seed=5, workers=1,
                          evaluator=functools.partial(held_plate))
    delta = study.inputs["duration_change_pct"] / 100.0
    depth = study.quantities["case_depth_mm"]
    exact = x0 * np.sqrt(1.0 + delta)
    np.testing.assert_allclose(depth, exact, rtol=3e-3)  # the solver's tolerance
    found = study.capabilities[0]
    # The runs' own statistics, against those of the closed form at the same
    # draws: the depths' errors of up to 0.3 % move σ, 5 % of the depth, by
    # at most 6 % were they all against it; they move it much less.
    cp, cpk = capability_indices(exact.mean(), exact.std(ddof=1), (low, high))
    assert (found.cp, found.cpk) == pytest.approx((cp, cpk), rel=0.02)
    outside = (exact < low) | (exact > high)
    near = (np.abs(exact / low - 1.0) < 3e-3) | (np.abs(exact / high - 1.0) < 3e-3)
    assert abs(found.out_share * samples - outside.sum()) <= near.sum()
    # And those of the distribution, within the sampling error of 400 runs.
    nodes, weights = np.polynomial.hermite_e.hermegauss(20)  # nodes within ±7.6
    weights = weights / weights.sum()
    root = np.sqrt(1.0 + sigma * nodes)
    mean, std = x0 * weights @ root, x0 * math.sqrt(1.0 - (weights @ root) ** 2)
    share = norm.cdf(((low / x0) ** 2 - 1.0) / sigma) + norm.sf(((high / x0) ** 2 - 1.0) / sigma)
    assert found.cpk == pytest.approx(capability_indices(mean, std, (low, high))[1], abs=0.1)
    assert found.out_share == pytest.approx(share, abs=4.0 * math.sqrt(share * (1.0 - share) / samples))


@pytest.mark.parametrize("values, band, expected", [
    ([1.0, 2.0, 3.0], (0.0, None), dict(mean=2.0, std=1.0, cp=math.nan, cpk=2.0 / 3.0, out_share=0.0)),
    ([1.0, 2.0, 3.0], (None, 2.5), dict(cpk=0.5 / 3.0, out_share=1.0 / 3.0)),
    ([0.0, 0.0, 0.0], (None, 0.05), dict(std=0.0, cpk=math.inf, out_share=0.0)),
    ([0.9, math.inf, 1.0], (0.8, 1.1), dict(mean=math.nan, cpk=math.nan, out_share=1.0 / 3.0)),
    ([55.0, math.nan, 57.0], (50.0, None), dict(mean=math.nan, out_share=1.0 / 3.0)),
])
def test_capability_of_runs_off_the_scale_or_alike(values, band, expected):
    found = capability("x", "x", "mm", band, np.array(values))
    for name, value in expected.items():
        assert getattr(found, name) == pytest.approx(value, nan_ok=True), name
    assert found.capable(1.33) == (found.cpk >= 1.33)


def test_the_sensitivities_find_what_drives_a_linear_quantity():
    rng = np.random.default_rng(0)
    a, b, c = rng.normal(size=(3, 500))
    found = sensitivity({"a": a, "b": b, "c": c}, {"y": 2.0 * a - b, "flat": np.ones(500)})
    assert [name for name, _ in found.drivers("y")] == ["a", "b", "c"]
    np.testing.assert_allclose(found.regression[0], [2.0 / math.sqrt(5.0), -1.0 / math.sqrt(5.0), 0.0], atol=0.05)
    assert found.r_squared[0] == pytest.approx(1.0) and np.isnan(found.rank_correlation[1]).all()
    assert found.drivers("flat") == []


VARIATION = "\n[variation]\ntemperature_c = 4.0\ncarbon_potential_wt = 0.03\n"


@pytest.mark.parametrize("variation, options, status, shown", [
    (VARIATION, [], 3, "not capable: 2 of 3 requirements have Cpk below 1.33 (Case depth at 0.35 wt% C, "
                       "Surface carbon)"),
    (VARIATION, ["--min-cpk", "0.3"], 0, "capable: all 3 requirements have Cpk ≥ 0.3"),
    ("\n[variation]\nduration_pct = 0.1\n", ["--workers", "2"], 0, "capable: all 3 requirements have Cpk ≥ 1.33"),
])
def test_the_study_command_prints_the_capability_and_ends_by_it(variation, options, status, shown, tmp_path,
                                                                 capsys):
    recipe = tmp_path / "recipe.toml"
    recipe.write_text(EXAMPLE.read_text(encoding="utf-8").split("\n[variation]")[0] + variation, encoding="utf-8")
    runs, plot = tmp_path / "runs.csv", tmp_path / "study.png"
    argv = ["study", str(recipe), "--samples", "40", "--csv", str(runs), "--plot", str(plot), *options]
    assert cli.main(argv) == status
    out = capsys.readouterr().out
    assert f"Capability   {shown}\n" in out and "nan" not in out
    assert out.endswith(f"Runs written to {runs}\nPlot written to {plot}\n")
    rows = [row.split(",") for row in runs.read_text(encoding="utf-8").splitlines()]
    assert len(rows) == 41 and rows[0][:3] == ["run", "failed", "passed"] and rows[0][-2:] == ["error", "warnings"]
    assert {len(row) for row in rows} == {len(rows[0])} and [row[0] for row in rows[1:]] == list(map(str, range(1, 41)))
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("text, options, message", [
    (VARIATION, ["--samples", "0"], "--samples must be at least 1, got 0"),
    (VARIATION, ["--samples", "2000000"], "--samples must be at most 1,000,000, got 2000000"),
    (VARIATION, ["--workers", "0"], "--workers must be at least 1, got 0"),
    (VARIATION, ["--min-cpk", "nan"], "--min-cpk must be finite and positive, got nan"),
    ("", [], "{recipe}: no [variation] table: say how the inputs vary"),
    (VARIATION + "temperature = 3.0\n", [], "{recipe}: [variation]: unknown key 'temperature' (known: temperature_c, "),
    (VARIATION + "transfer_pct = -5.0\n", [], "{recipe}: [variation]: transfer_pct must be finite and not negative, "
                                              "got -5.0"),
    (VARIATION + "flux_pct = nan\n", [], "{recipe}: [variation]: flux_pct must be finite and not negative, got nan"),
    (VARIATION + "distribution = 'triangular'\n", [], "{recipe}: [variation]: distribution must be one of 'normal', "),
    (VARIATION + "nitrogen_potential_wt = 0.01\n", [], "{recipe}: [variation]: nitrogen_potential_wt 0.01: the recipe "
                                                       "has no nitrogen potential to vary"),
])
def test_a_bad_study_ends_with_status_2_and_one_line_naming_the_value(text, options, message, tmp_path, capsys):
    recipe, runs = tmp_path / "recipe.toml", tmp_path / "runs.csv"
    recipe.write_text(EXAMPLE.read_text(encoding="utf-8").split("\n[variation]")[0] + text, encoding="utf-8")
    assert cli.main(["study", str(recipe), "--samples", "5", "--csv", str(runs), *options]) == 2
    out, err = capsys.readouterr()
    assert out == "" and not runs.exists()
    assert err.startswith(f"talvenor-process: {message.format(recipe=recipe)}") and err.count("\n") == 1


@pytest.mark.parametrize("address, message", [
    ("tcp://127.0.0.1:9", "cannot reach the scheduler: Timed out trying to connect to tcp://127.0.0.1:9 after 5 s"),
    ("nonsense://host:1", "cannot reach the scheduler: unknown address scheme 'nonsense'"),
    ("tcp://127.0.0.1", "cannot reach the scheduler: missing port number in address '127.0.0.1'"),
])
def test_a_scheduler_out_of_reach_is_said_within_seconds(address, message):
    pytest.importorskip("distributed")
    start = time.monotonic()
    done = subprocess.run([sys.executable, "-m", "talvenor.process", "study", str(EXAMPLE), "--scheduler", address],
                          capture_output=True, text=True, timeout=60)
    assert time.monotonic() - start < 20.0
    assert (done.returncode, done.stdout, done.stderr.count("\n")) == (2, "", 1)
    assert done.stderr.startswith(f"talvenor-process: --scheduler {address}: {message}")


def test_the_study_command_runs_on_a_dask_scheduler_as_it_does_here(cluster_executor, tmp_path, capsys):
    _, address = cluster_executor
    here, there = tmp_path / "here.csv", tmp_path / "there.csv"
    assert cli.main(["study", str(EXAMPLE), "--samples", "30", "--workers", "1", "--csv", str(here)]) == 3
    printed_here = capsys.readouterr().out
    assert cli.main(["study", str(EXAMPLE), "--samples", "30", "--scheduler", address, "--csv", str(there)]) == 3
    assert capsys.readouterr().out == printed_here.replace(str(here), str(there))
    assert here.read_bytes() == there.read_bytes()


def test_the_report_adds_the_study_to_the_pages_of_the_nominal_run(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    report = tmp_path / "study.pdf"
    assert cli.main(["study", str(EXAMPLE), "--samples", "20", "--workers", "1", "--report", str(report)]) == 3
    data = report.read_bytes()
    assert data.startswith(b"%PDF") and len(re.findall(rb"/Type\s*/Page\b", data)) == 4


def processes_of(group):
    """The live (not zombie) processes of a process group, from /proc."""
    found = []
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:  # gone meanwhile
            continue
        if int(fields[2]) == group and fields[0] != "Z":
            found.append(stat.parent.name)
    return found


def test_ctrl_c_ends_the_workers_and_exits_130_writing_nothing(tmp_path):
    runs = tmp_path / "runs.csv"
    runs.write_text("kept\n", encoding="utf-8")
    study = subprocess.Popen([sys.executable, "-m", "talvenor.process", "study", str(EXAMPLE), "--samples",
                              "1000000", "--workers", "2", "--csv", str(runs)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, start_new_session=True)
    try:
        deadline = time.monotonic() + 120.0
        while len(processes_of(study.pid)) < 4 and time.monotonic() < deadline:
            time.sleep(0.2)
        assert len(processes_of(study.pid)) >= 4  # the workers have started
        time.sleep(0.5)
        os.killpg(study.pid, signal.SIGINT)  # as a terminal's Ctrl-C does
        out, err = study.communicate(timeout=60)
    finally:
        if study.poll() is None:
            os.killpg(study.pid, signal.SIGKILL)
    assert (study.returncode, out, err) == (130, b"", b"interrupted\n")
    assert runs.read_text(encoding="utf-8") == "kept\n" and [path.name for path in tmp_path.iterdir()] == ["runs.csv"]
    deadline = time.monotonic() + 10.0
    while processes_of(study.pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert processes_of(study.pid) == []
