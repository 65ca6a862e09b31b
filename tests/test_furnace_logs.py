"""Furnace logs: cycles as they ran, read from controllers' exports and run."""

import math
import re
import shutil
from pathlib import Path

import numpy as np
import pytest

from conftest import run_python

process = pytest.importorskip("talvenor.process")
from talvenor.process import cli  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
STEEL = process.Steel.grade("20MnCr5")
PART = process.Part(geometry="cylinder", depth_mm=25.0, cells=200)
BETA = 2e-7


def sampled(stages, every_s=10.0, *, noise=0.0, seed=0, **log):
    """The log of ``stages`` sampled every ``every_s``, with relative noise on the potentials."""
    ends = np.cumsum([stage.duration_h for stage in stages])
    time_h = np.arange(0.0, ends[-1] * 3600.0 + every_s / 2, every_s) / 3600.0
    which = np.minimum(np.searchsorted(ends, time_h, side="right"), len(stages) - 1)
    into = [(t - (ends[i] - stages[i].duration_h)) / stages[i].duration_h for i, t in zip(which, time_h)]
    temperature = np.array([stages[i].temperature_k(f) - 273.15 for i, f in zip(which, into)])

    def potentials(name):
        values = np.array([math.nan if getattr(stages[i], name) is None else getattr(stages[i], name)
                           for i in which])
        return None if np.isnan(values).all() else values

    carbon, nitrogen = potentials("carbon_potential_wt"), potentials("nitrogen_potential_wt")
    if noise:
        rng = np.random.default_rng(seed)
        temperature = temperature + rng.normal(0.0, 0.4, time_h.size)
        carbon = carbon * (1.0 + rng.normal(0.0, noise, time_h.size))
    return process.FurnaceLog(time_h=time_h, temperature_c=temperature, carbon_potential_wt=carbon,
                              carbon_transfer_m_s=BETA, nitrogen_potential_wt=nitrogen,
                              nitrogen_transfer_m_s=None if nitrogen is None else BETA, **log)


CARBURIZING = [process.Stage(duration_h=3.0, temperature_c=930.0, carbon_potential_wt=1.15, carbon_transfer_m_s=BETA),
               process.Stage(duration_h=1.5, temperature_c=930.0, carbon_potential_wt=0.75, carbon_transfer_m_s=BETA),
               process.Stage(duration_h=0.75, temperature_c=930.0, end_temperature_c=850.0, carbon_potential_wt=0.75,
                             carbon_transfer_m_s=BETA),
               process.Stage(duration_h=0.5, temperature_c=850.0, carbon_potential_wt=0.75, carbon_transfer_m_s=BETA)]
CARBONITRIDING = [process.Stage(duration_h=2.0, temperature_c=900.0, carbon_potential_wt=1.0, carbon_transfer_m_s=BETA),
                  process.Stage(duration_h=1.0, temperature_c=860.0, carbon_potential_wt=0.8, carbon_transfer_m_s=BETA,
                                nitrogen_potential_wt=0.25, nitrogen_transfer_m_s=BETA)]


@pytest.mark.parametrize("stages, segments", [(CARBURIZING, 1), (CARBONITRIDING, 2)])
def test_a_log_of_plain_stages_gives_their_profile(stages, segments):
    planned = process.simulate(stages, steel=STEEL, part=PART)
    log = sampled(stages)
    logged = process.simulate(log, steel=STEEL, part=PART)
    assert len(logged.stages) == segments and logged.log is log
    for element in ("carbon_wt", "nitrogen_wt"):
        assert np.abs(getattr(logged, element) - getattr(planned, element)).max() < process.simulation.TOLERANCE_WT
    assert logged.carbon_uptake_g_m2 == pytest.approx(planned.carbon_uptake_g_m2, rel=0.01)


def test_a_log_sampled_ten_times_finer_gives_the_same_answer():
    recovery = np.linspace(0.0, 5.0, 1801)
    temperature = 930.0 - 75.0 * np.exp(-recovery / 0.2)
    carbon = np.where(recovery < 3.0, 1.15 - 0.4 * np.exp(-recovery / 0.3), 0.75)

    def log(every):
        time = recovery[::every]
        return process.FurnaceLog(time_h=time, temperature_c=np.interp(time, recovery, temperature),
                                  carbon_potential_wt=np.interp(time, recovery, carbon), carbon_transfer_m_s=BETA)

    coarse, fine = (process.simulate(log(every), steel=STEEL, part=PART) for every in (10, 1))
    assert np.abs(coarse.carbon_wt - fine.carbon_wt).max() < process.simulation.TOLERANCE_WT


def test_the_noise_of_the_instruments_does_not_move_the_answer():
    clean = process.simulate(sampled(CARBURIZING), steel=STEEL, part=PART)
    noisy = process.simulate(sampled(CARBURIZING, noise=0.03), steel=STEEL, part=PART)
    assert np.abs(noisy.carbon_wt - clean.carbon_wt).max() < process.simulation.TOLERANCE_WT
    assert len(noisy.history.time_h) < 3 * len(clean.history.time_h)


def test_a_log_with_the_atmosphere_off_closes_the_surface_there():
    time = np.linspace(0.0, 2.0, 721)
    carbon = np.where(time < 1.0, np.nan, 1.0)
    log = process.FurnaceLog(time_h=time, temperature_c=np.full(time.size, 930.0), carbon_potential_wt=carbon,
                             carbon_transfer_m_s=BETA)
    result = process.simulate(log, steel=STEEL, part=PART)
    early = result.history.time_h <= 1.0
    assert np.all(result.history.carbon_uptake_g_m2[early] == 0.0) and result.carbon_uptake_g_m2 > 0.0
    assert [str(segment.carbon) for segment in result.stages] == ["closed", "1 wt%, β 2e-07 m/s"]


@pytest.mark.parametrize("change, message", [
    (dict(time_h=[0.0, 0.1, 0.1]), r"time_h\[2\] = 0.1 does not come after time_h\[1\] = 0.1"),
    (dict(time_h=[0.0, 0.2, 0.1]), r"time_h\[2\] = 0.1 does not come after"),
    (dict(time_h=[0.0, 0.1, 0.5]), r"a gap of 0.4 h before time_h\[2\] = 0.5, longer than 0.25 h"),
    (dict(temperature_c=[930.0, 1450.0, 930.0]), r"temperature_c\[1\] must lie above absolute zero and below 1,400"),
    (dict(temperature_c=[930.0, math.nan, 930.0]), r"temperature_c\[1\] must be finite, got nan"),
    (dict(carbon_potential_wt=[0.8, -0.1, 0.8]), r"carbon_potential_wt\[1\] must not be negative"),
    (dict(carbon_potential_wt=[0.8, 0.8]), "carbon_potential_wt has 2 samples where time_h has 3"),
    (dict(time_h=[0.0]), "time_h must hold the samples as a list, two or more"),
    (dict(carbon_transfer_m_s=-1.0), "carbon_transfer_m_s must be finite and positive"),
    (dict(smoothing_min=-1.0), "smoothing_min must be finite and not negative"),
])
def test_a_bad_log_is_refused_naming_the_sample(change, message):
    given = dict(time_h=[0.0, 0.1, 0.2], temperature_c=[930.0] * 3, carbon_potential_wt=[0.8] * 3) | change
    with pytest.raises(ValueError, match=message):
        process.FurnaceLog(**given)


HEADER = "Date/Time;Zone [°C];Probe [mV]\n"


def write(tmp_path, text, name="log.csv", encoding="utf-8"):
    path = tmp_path / name
    path.write_bytes(text.encode(encoding))
    return path


@pytest.mark.parametrize("text, options, time_h, temperature_c", [
    ("Furnace;SQ-3\n\n" + HEADER + "2026-11-26 05:40:00;930,0;1150,0\n2026-11-26 05:40:30;931,5;1151,0\n",
     dict(time="Date/Time", time_unit="iso", temperature="Zone [°C]", delimiter=";", decimal=","),
     [0.0, 30 / 3600], [930.0, 931.5]),
    ("t,T,mV\n23:59:50,1706,1150\n00:00:10,1706,1150\n", dict(time="t", time_unit="clock", temperature="T",
                                                                   temperature_unit="F", probe_mv=None),
     [0.0, 20 / 3600], [930.0, 930.0]),
    ("minutes\tT\n0\t930\n1.5\t930\n", dict(time="minutes", time_unit="min", temperature="T", delimiter="\t",
                                             probe_mv=None), [0.0, 0.025], [930.0, 930.0]),
])
def test_a_controller_export_is_read_as_mapped(tmp_path, text, options, time_h, temperature_c):
    options = dict(probe_mv="Probe [mV]") | options
    log = process.read_furnace_log(write(tmp_path, text, encoding="cp1252" if "°" in text else "utf-8"),
                                   **{key: value for key, value in options.items()})
    assert log.time_h == pytest.approx(time_h) and log.temperature_c == pytest.approx(temperature_c)
    if options.get("probe_mv"):
        assert log.carbon_potential_wt[0] == pytest.approx(0.928, abs=1e-3)


ROWS = "0,930,0.8\n10,930,0.8\n20,930,0.8\n"


@pytest.mark.parametrize("text, options, message", [
    ("time,T,C\n" + ROWS, {}, "no column 'temperature'"),
    ("a,b\n1,2\n", {}, "no row names the time column 'time'"),
    ("time,temperature,C\n0,930,0.8\n10,930,0.8x\n", {}, "line 3, column 'C': '0.8x' is not a number"),
    ("time,temperature,C\n0,930,0.8\n10,,0.8\n", {}, "line 3, column 'temperature': the cell is empty"),
    ("time,temperature,C\n0,930,0.8\n10,930,nan\n", {}, "line 3, column 'C': 'nan' is not a finite number"),
    ("time,temperature,C\n0,930,0.8\n10,930,0.8\n10,930,0.8\n", {}, "line 4: the time repeats"),
    ("time,temperature,C\n0,930,0.8\n10,930,0.8\n5,930,0.8\n", {}, "line 4: the time goes backwards"),
    ("time,temperature,C\n0,930,0.8\n3600,930,0.8\n", {}, "line 3: 1 h after the sample before, a gap longer"),
    ("time,temperature,C\n0,930,0.8\n10,1400,0.8\n", {}, "line 3, column 'temperature': 1400 °C is not below"),
    ("time,temperature,C\n0,930,0.8\n", {}, "the log holds 1 sample; it needs two or more"),
    ("time,temperature,C\n0,930,0.8\n10:00,930,0.8\n", {}, "line 3, column 'time': '10:00' is not a number"),
    ("time,temperature,C\n0:00,930,0.8\n25:00,930,0.8\n", dict(time_unit="clock"), "'25:00' is not a time of day"),
    ("time,temperature,C\nmonday,930,0.8\n", dict(time_unit="iso"), "'monday' is not an ISO 8601 timestamp"),
    ("time,temperature,C\n0,930,0.8\n1,930,x\n2,930,x\n3,930,0.8\n", dict(skip_bad_rows=1),
     "line 4, column 'C': 'x' is not a number (2 bad rows, more than skip_bad_rows = 1)"),
])
def test_a_bad_export_is_refused_naming_the_line_and_the_column(tmp_path, text, options, message):
    path = write(tmp_path, text)
    with pytest.raises(ValueError) as error:
        process.read_furnace_log(path, carbon_potential="C", **options)
    assert str(error.value).startswith(f"{path}: ") and message in str(error.value)


@pytest.mark.parametrize("options, message", [
    (dict(time_unit="days"), "time_unit must be one of 's', 'min', 'h', 'clock', 'iso', got 'days'"),
    (dict(decimal=""), "decimal must be one character, not a quote or a line break, got ''"),
    (dict(probe_mv="C"), "give one column for the carbon potential, got carbon_potential and probe_mv"),
    (dict(skip_bad_rows=-1), "skip_bad_rows must be at least 0, got -1"),
])
def test_bad_arguments_of_the_reader_are_refused_by_name(tmp_path, options, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        process.read_furnace_log(write(tmp_path, ROWS), carbon_potential="C", **options)


def test_bad_rows_are_skipped_when_asked_with_a_warning(tmp_path):
    path = write(tmp_path, "time,temperature,C\n0,930,0.8\n10,930,\n20,930,0.8\n")
    with pytest.warns(UserWarning, match=r"skipped 1 row with a cell missing or not a number \(line 3\)"):
        log = process.read_furnace_log(path, carbon_potential="C", skip_bad_rows=1)
    assert log.time_h.tolist() == pytest.approx([0.0, 20 / 3600])


def test_below_the_eutectoid_the_carbon_surface_is_closed(tmp_path):
    path = write(tmp_path, "time,temperature,C\n0,20,0.8\n600,700,0.8\n1200,930,0.8\n")
    log = process.read_furnace_log(path, carbon_potential="C")
    assert np.isnan(log.carbon_potential_wt[:2]).all() and log.carbon_potential_wt[2] == 0.8


def test_the_example_batch_passes_its_drawing_as_run(capsys):
    outcome = process.evaluate(process.read_recipe(EXAMPLES / "gear_20mncr5_as_run.toml"))
    assert outcome.passed and outcome.recipe.job.batch == "26-1184"
    assert outcome.result.log.time_h.size == 2701
    assert cli.main([str(EXAMPLES / "gear_20mncr5_as_run.toml")]) == 0
    out = capsys.readouterr().out
    assert "Job          part Gear 4711-A, drawing D-2031 rev. C, batch 26-1184" in out
    assert "Log          gear_20mncr5_as_run.csv: 2,701 samples over 7.50 h" in out
    assert "Verdict      pass" in out


@pytest.mark.parametrize("edit, message", [
    (lambda text: text + '\n[[stage]]\nduration_h = 1.0\ntemperature_c = 930.0\n',
     "a recipe has [[stage]] tables or a [log] table, not both"),
    (lambda text: text.replace('file = "gear_20mncr5_as_run.csv"', 'file = "missing.csv"'),
     "[log]: {dir}/missing.csv: No such file or directory"),
    (lambda text: text.replace('probe_mv = "Probe [mV]"', 'probe_mv = "Probe"'),
     "[log]: {dir}/gear_20mncr5_as_run.csv: line 6: no column 'Probe'"),
    (lambda text: text.replace('time_unit = "iso"', 'time_unit = "s"'),
     "[log]: {dir}/gear_20mncr5_as_run.csv: line 7, column 'Date/Time': '2026-11-26 05:40:00' is not a number"),
    (lambda text: text.replace('[log]', '[log]\nsampling = 10'), "[log]: unknown key 'sampling'"),
    (lambda text: text.replace('batch = "26-1184"', 'batch = 1184'), "[job]: batch must be text, got 1184"),
    (lambda text: text.replace('batch = "26-1184"', 'lot = "26-1184"'), "[job]: unknown key 'lot'"),
])
def test_a_bad_log_recipe_names_the_table(tmp_path, capsys, edit, message):
    shutil.copy(EXAMPLES / "gear_20mncr5_as_run.csv", tmp_path)
    path = tmp_path / "as_run.toml"
    path.write_text(edit((EXAMPLES / "gear_20mncr5_as_run.toml").read_text(encoding="utf-8")), encoding="utf-8")
    assert cli.main([str(path)]) == 2
    assert capsys.readouterr().err.startswith(f"talvenor-process: {path}: {message.format(dir=tmp_path)}")


def test_a_recipe_has_stages_or_a_log_and_only_stages_are_written_back(tmp_path):
    log = sampled(CARBURIZING[:1])
    with pytest.raises(ValueError, match="give one of the two, not neither"):
        process.Recipe(steel=STEEL)
    with pytest.raises(ValueError, match="give one of the two, not both"):
        process.Recipe(stages=tuple(CARBURIZING), log=log, steel=STEEL)
    with pytest.raises(ValueError, match="format_recipe writes recipes of stages"):
        process.format_recipe(process.Recipe(log=log, steel=STEEL))
    job = process.Job(part='Shaft "A"', batch="7\\8")
    recipe = process.Recipe(stages=tuple(CARBURIZING), steel=STEEL, job=job)
    path = tmp_path / "again.toml"
    path.write_text(process.format_recipe(recipe), encoding="utf-8")
    assert process.read_recipe(path).job == job


def test_the_report_and_the_plot_show_the_log(tmp_path):
    pytest.importorskip("matplotlib")
    assert cli.main([str(EXAMPLES / "gear_20mncr5_as_run.toml"), "--report", str(tmp_path / "r.pdf"),
                     "--plot", str(tmp_path / "p.png")]) == 0
    assert (tmp_path / "r.pdf").read_bytes().startswith(b"%PDF") and (tmp_path / "p.png").stat().st_size > 10_000


def test_the_example_log_is_made_again_by_its_script(tmp_path):
    made = tmp_path / "again.csv"
    completed = run_python(f"import runpy, sys; sys.argv = ['make', {str(made)!r}]; "
                           f"runpy.run_path({str(EXAMPLES / 'make_as_run_log.py')!r}, run_name='__main__')")
    assert completed.returncode == 0, completed.stderr
    options = dict(delimiter=";", decimal=",", time="Date/Time", time_unit="iso", temperature="Zone [°C]",
                   probe_mv="Probe [mV]")
    again, shipped = (process.read_furnace_log(path, **options)
                      for path in (made, EXAMPLES / "gear_20mncr5_as_run.csv"))
    assert np.array_equal(again.time_h, shipped.time_h)
    assert np.abs(again.temperature_c - shipped.temperature_c).max() < 5.0
