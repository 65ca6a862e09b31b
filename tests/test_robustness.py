"""Hostile and mistaken inputs to the hardening, vacuum, requirements and design
features, and the runs that a finer grid once broke."""

import math
import warnings
from pathlib import Path

import numpy as np
import pytest

process = pytest.importorskip("talvenor.process")
from talvenor.process import cli  # noqa: E402
from talvenor.process.present import plot, text  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
GEAR = process.Steel.grade("18CrNiMo7-6")
HELD = process.Stage(duration_h=4.0, temperature_c=930.0, carbon_potential_wt=0.8)
VACUUM = dict(temperature_c=960.0, surface_carbon_wt=0.7, steel=GEAR)


def designed(**arguments):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a last boost as short as it can be
        return process.design_vacuum_cycle(**VACUUM | arguments)


@pytest.mark.parametrize("case_mm, flux, cells", [(1.5, 110.0, 3000), (1.0, 110.0, 5000), (2.5, 100.0, 200)])
def test_a_vacuum_design_holds_on_fine_grids_and_deep_cases(case_mm, flux, cells):
    # Once: "the time steps shrink to nothing" at 3,000 and 5,000 cells, and
    # milligrams of carbide per m² refused the 2.5 mm case.
    stages = designed(case_depth_mm=case_mm, carbon_flux_g_m2_h=flux, cells=cells)
    result = process.simulate(stages, steel=GEAR, depth_mm=4.0 * case_mm, cells=cells)
    assert result.peak_carbide_g_m2 <= process.standards.CARBIDE_TOLERANCE_G_M2
    assert result.case_depth_mm() == pytest.approx(case_mm, rel=0.03)


def test_carbide_below_the_tolerance_is_no_carbide_everywhere(capsys):
    assert cli.main([str(EXAMPLES / "vacuum_carburizing.toml")]) == 0
    out = capsys.readouterr().out
    assert ", carbide" not in out and "No carbides                    0.00 g/m²  ≤ 0.05        pass" in out
    rich = [process.Stage(duration_h=0.5, temperature_c=960.0, carbon_flux_g_m2_h=120.0),
            process.Stage(duration_min=20.0, temperature_c=960.0)]
    result = process.simulate(rich, steel=GEAR)
    assert 1.0 < result.carbide_g_m2 < result.peak_carbide_g_m2
    for tolerance, passed in ((0.05, False), (100.0, True)):
        drawing = process.Requirements(no_carbides=True, carbide_tolerance_g_m2=tolerance)
        outcome = process.evaluate(process.Recipe(stages=tuple(rich), steel=GEAR, requirements=drawing))
        assert outcome.passed is passed
        assert all((", carbide" in line) is not passed for line in text.summary(outcome)[3:5])


@pytest.mark.parametrize("make, message", [
    (lambda: process.simulate([HELD], steel=GEAR).harden(quench_c=1000.0), "quench_c must be below 727 °C"),
    (lambda: process.simulate([HELD], steel=GEAR).harden(quench_c=1e308), "quench_c must be below 727 °C"),
    (lambda: process.simulate([HELD], steel=GEAR).harden(austenite_hv=1e9), "austenite_hv must be between 100 and "
                                                                            "500 HV"),
    (lambda: process.simulate([process.Stage(duration_h=1.0, temperature_c=960.0, carbon_flux_g_m2_h=100.0,
                                             carbon_limit_wt=0.1)], steel=GEAR),
     "stage 1 of 1: carbon_limit_wt 0.1 is at or below the core's 0.18 wt% C"),
    (lambda: process.Requirements(surface_hardness_min_hrc=580.0), "surface_hardness_min_hrc must be at most 70 HRC"),
    (lambda: process.Requirements(surface_carbon_min_wt=70.0), "surface_carbon_min_wt must be below 2.14 wt%"),
    (lambda: process.Requirements(retained_austenite_max_pct=150.0), "retained_austenite_max_pct must be at most 100"),
    (lambda: process.Requirements(case_depth_threshold_wt=5.0), "case_depth_threshold_wt must be below 2.14 wt%"),
    (lambda: process.Requirements(chd_min_mm=10 ** 400), "chd_min_mm must be finite, got a number of 401 digits"),
    (lambda: process.Requirements(hardness_at_depth_min_hrc=58.0), "hardness_at_depth_min_hrc needs hardness_depth_mm"),
    (lambda: process.simulate([HELD], steel=GEAR).check(process.Requirements(
        hardness_depth_mm=5.0, hardness_at_depth_min_hv=600.0), process.simulate([HELD], steel=GEAR).harden()),
     "hardness_depth_mm 5.0 lies deeper than the profile, which ends at 2.992 mm"),
    (lambda: process.Stage(duration_h=0.1, duration_min=7.0, temperature_c=930.0),
     "give duration_h or duration_min, not both"),
    (lambda: process.Stage(duration_min=0.0, temperature_c=930.0), "duration_min must be positive, got 0.0"),
])
def test_numbers_that_cannot_be_are_refused_by_name(make, message):
    with pytest.raises(ValueError, match=message):
        make()


def test_the_hardening_and_the_limits_say_where_they_are_doubtful():
    stages = [process.Stage(duration_h=1.0, temperature_c=960.0, carbon_flux_g_m2_h=100.0, carbon_limit_wt=2.5),
              process.Stage(duration_h=0.1, temperature_c=960.0, carbon_flux_g_m2_h=100.0),
              process.Stage(duration_h=2.0, temperature_c=960.0)]
    result = process.simulate(stages, steel=process.Steel(carbon_wt=0.2, manganese_wt=50.0))
    assert result.warnings[0] == ("stage 1 of 3: carbon_limit_wt 2.5 wt% is above the carbon solubility 1.4 wt% at "
                                  "960 °C; carbides form below it")
    outcome = process.evaluate(process.Recipe(stages=tuple(stages), steel=result.steel, quench_c=60.0))
    assert "more than the 5 wt% of the low-alloy steels" in outcome.warnings[-1]
    peak = next(line for line in text.summary(outcome) if line.startswith("Peak"))
    assert peak.endswith("the limits 2.500 wt% (stage 1), 1.400 wt% (stage 2)")


@pytest.mark.parametrize("hardness_hv, shown, found", [(1000.0, "(above 68 HRC, beyond the scale)", "> 68 HRC"),
                                                       (200.0, "(below 20 HRC)", "< 20 HRC")])
def test_a_hardness_off_the_rockwell_c_scale_says_which_end(hardness_hv, shown, found):
    result = process.simulate([HELD], steel=GEAR)
    hv = np.full(result.depth_mm.size, hardness_hv)
    case = process.Hardening(result.depth_mm, hv, np.ones_like(hv), np.zeros_like(hv), hv,
                             process.hardening.hv_to_hrc(hv), 60.0, 300.0)
    drawing = process.Requirements(surface_hardness_min_hrc=58.0)
    outcome = process.Outcome(process.Recipe(stages=(HELD,), steel=GEAR, quench_c=60.0, requirements=drawing),
                              result, case, process.check(result, drawing, case))
    assert any(shown in line for line in text.summary(outcome))
    assert found in str(outcome.verdicts[0])


def test_core_hardness_in_hrc_and_a_hardness_at_a_depth_are_checked():
    result = process.simulate([HELD], steel="16MnCr5")
    case = result.harden()
    drawing = process.Requirements(core_hardness_max_hrc=40.0, hardness_depth_mm=0.1, hardness_at_depth_min_hrc=58.0)
    core, at_depth = result.check(drawing, case)
    assert core.name == "Core hardness" and core.value == pytest.approx(42.04, abs=0.01) and not core.passed
    assert at_depth.name == "Hardness at 0.1 mm"
    assert at_depth.value == pytest.approx(float(process.hardening.hv_to_hrc(np.interp(0.1, case.depth_mm,
                                                                                       case.hardness_hv))))


@pytest.mark.parametrize("argv, message", [
    (["design-vacuum", "--steel", "18CrNiMo7-6", "--temperature", "960", "--flux", "100", "--surface-carbon", "0.7",
      "--case-depth", "1e9"], "design-vacuum: --case-depth 1000000000.0 is too deep: the part of 4 case depths"),
    (["design-vacuum", "--steel", "18CrNiMo7-6", "--temperature", "960", "--flux", "100", "--surface-carbon", "0.7",
      "--case-depth", "1", "--min-pulse", "0"], "design-vacuum: --min-pulse must be finite and positive, got 0.0"),
    (["design", "--core-carbon", "0.2", "--case-depth", "1", "--temperature", "930", "--boost-potential", "0.8",
      "--diffuse-potential", "0.8"], "design: --boost-potential 0.8 must be above --diffuse-potential 0.8"),
    ([str(EXAMPLES / "gas_carburizing.toml"), "--report", ""], "--report: needs the name of a file"),
    ([str(EXAMPLES / "gas_carburizing.toml"), "--quench", "1000"], "--quench must be below 727 °C"),
])
def test_the_command_line_names_the_option_typed(argv, message, capsys):
    assert cli.main(argv) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith(f"talvenor-process: {message}") and err.count("\n") == 1


def test_minutes_are_read_written_and_shown(tmp_path):
    stage = process.Stage(duration_min=6.0, temperature_c=960.0, carbon_flux_g_m2_h=100.0)
    assert stage.duration_h == 0.1 and stage.cut_short(0.05).duration_min is None
    recipe = process.Recipe(stages=(stage, process.Stage(duration_h=1.5, temperature_c=960.0)), steel=GEAR)
    path = tmp_path / "pulses.toml"
    path.write_text(process.format_recipe(recipe), encoding="utf-8")
    assert "duration_min = 6.0" in path.read_text(encoding="utf-8") and process.read_recipe(path) == recipe
    table = text.summary(process.evaluate(recipe))
    assert table[3].startswith("    1    6.0 min  960") and table[4].startswith("    2     1.50 h  960")


def test_a_plot_of_many_stages_marks_only_what_can_be_told_apart():
    stages = [process.Stage(duration_h=0.01 if number % 50 else 1.0, temperature_c=930.0, carbon_potential_wt=0.8)
              for number in range(1000)]
    figure = plot.result_figure(process.simulate(stages, core_carbon_wt=0.2))
    surface = figure.axes[1]
    numbers = [child.get_text() for child in surface.texts]
    assert numbers == [str(n) for n in range(1, 1001, 50)]  # the twenty stages of an hour
    assert not [line for line in surface.lines if line.get_linestyle() == ":" and line.get_color() == "grey"]
    assert not math.isnan(surface.get_xlim()[1])
