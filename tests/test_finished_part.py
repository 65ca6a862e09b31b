"""The finished part: tempering, hardenability, the quench's severity and the section."""

import math
import warnings
from pathlib import Path

import numpy as np
import pytest

process = pytest.importorskip("talvenor.process")
from talvenor.process import cli  # noqa: E402
from talvenor.process.metallurgy import quenching  # noqa: E402
from talvenor.process.metallurgy.conversions import hrc_to_hv, hv_to_hrc  # noqa: E402

CASE = [process.Stage(duration_h=4.0, temperature_c=930.0, carbon_potential_wt=0.8)]


@pytest.mark.parametrize("temperature_c, duration_h, expected_hrc", [(150.0, 1.0, 62.0), (180.0, 2.0, 60.0),
                                                                     (200.0, 2.0, 58.0)])
def test_tempering_takes_the_worked_values_off_a_case_of_64_hrc(temperature_c, duration_h, expected_hrc):
    kept = process.Temper(temperature_c, duration_h).martensite_fraction(0.8)
    assert float(hv_to_hrc(kept * hrc_to_hv(64.0))) == pytest.approx(expected_hrc, abs=0.75)


def test_a_temper_softens_the_martensite_and_keeps_the_retained_austenite():
    result = process.simulate(CASE, steel="20MnCr5")
    quenched, tempered = result.harden(), result.harden(temper=process.Temper(180.0, 2.0))
    assert np.array_equal(tempered.quenched_hardness_hv, quenched.hardness_hv)
    assert np.all(tempered.hardness_hv < quenched.hardness_hv)
    assert np.array_equal(tempered.retained_austenite, quenched.retained_austenite)
    assert tempered.case_hardening_depth_mm() < quenched.case_hardening_depth_mm()
    assert process.Temper(100.0, 1.0).martensite_fraction(0.8) == 1.0  # no measurable softening
    assert "decompose" in result.harden(temper=process.Temper(250.0, 1.0)).warnings[-1]


@pytest.mark.parametrize("grade", ["16MnCr5", "20MnCr5"])
def test_the_middle_of_a_grade_lies_within_its_h_band(grade):
    steel = process.Steel.grade(grade)
    band = steel.jominy_band
    distances = [d for d in band.distance_mm if d <= 25.0]
    hrc = steel.jominy_hrc(distances)
    assert hrc.shape == (len(distances),) and np.all(np.diff(hrc) <= 0.0)
    assert band.outside(steel.jominy_hrc(band.distance_mm)) == []


def test_a_measured_curve_takes_the_place_of_the_formula_and_follows_the_case_carbon():
    measured = ((1.5, 45.0), (5.0, 41.0), (11.0, 33.0), (25.0, 24.0))
    heat = process.Steel(carbon_wt=0.2, manganese_wt=1.25, chromium_wt=1.15, measured_jominy=measured)
    assert heat.jominy_hrc([1.5, 8.0, 40.0]) == pytest.approx([45.0, 37.0, 24.0])
    formula = process.Steel(carbon_wt=0.2, manganese_wt=1.25, chromium_wt=1.15)
    richer = heat.jominy_hrc(11.0, carbon_wt=0.4) - 33.0
    assert richer == pytest.approx(formula.jominy_hrc(11.0, carbon_wt=0.4) - formula.jominy_hrc(11.0))
    assert heat.jominy_hrc(1.5, carbon_wt=0.8) == pytest.approx(process.hardening.martensite_hardness_hrc(0.8))


@pytest.mark.parametrize("size_mm, severity_h, chart_mm", [(37.5, math.inf, 12.5), (26.0, 1.0, 12.5),
                                                           (25.0, 1.0, 12.0), (25.5, 0.3, 19.0)])
def test_the_cooling_meets_the_chart_points(size_mm, severity_h, chart_mm):
    rate = quenching.cooling_rate_c_s("cylinder", size_mm, np.array([size_mm]), severity_h=severity_h,
                                      start_c=850.0, quench_c=20.0)
    assert quenching.jominy_distance_mm(rate)[0] == pytest.approx(chart_mm, abs=0.3)


def test_a_kept_cooling_field_is_that_of_the_part_and_depths_asked(monkeypatch):
    # The first two parts share the Biot number and the depths, not the size.
    parts = [("cylinder", 10.0, 1.0), ("cylinder", 20.0, 0.5), ("sphere", 10.0, 1.0), ("cylinder", 10.0, 1.0)]
    depth_mm = np.linspace(0.0, 9.0, 10)

    def rates():
        return [quenching.cooling_rate_c_s(geometry, size_mm, depth_mm, severity_h=severity_h, start_c=start_c,
                                           quench_c=20.0)
                for geometry, size_mm, severity_h in parts for start_c in (850.0, 930.0)]

    kept = rates()
    monkeypatch.setattr(quenching, "_MOST_KEPT_DEPTHS", 0)  # none kept: each computed afresh
    assert all(np.array_equal(a, b) for a, b in zip(kept, rates(), strict=True))
    assert not np.array_equal(kept[0], kept[2])


def test_a_core_is_softer_in_a_larger_section_and_a_milder_quench():
    cores = {}
    for radius_mm in (10.0, 15.0, 30.0):
        result = process.simulate(CASE, steel="16MnCr5", geometry="cylinder", depth_mm=radius_mm)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for severity in (None, math.inf, "still water", "still oil"):
                cores[radius_mm, severity] = result.harden(severity_h=severity).core_hardness_hv
    for severity in (math.inf, "still water", "still oil"):
        assert cores[10.0, severity] >= cores[15.0, severity] >= cores[30.0, severity]
    for radius_mm in (10.0, 15.0, 30.0):
        assert (cores[radius_mm, None] >= cores[radius_mm, math.inf] >= cores[radius_mm, "still water"]
                >= cores[radius_mm, "still oil"])
    assert 20.0 < float(hv_to_hrc(cores[15.0, "still oil"])) < 38.0  # a 30 mm 16MnCr5 shaft in oil


def test_the_ideal_diameter_is_the_product_of_the_a255_factors():
    # 16MnCr5: 0.54 C (1 + 0.7 Si)(1 + 3.3333 Mn)(1 + 2.16 Cr), in inches.
    expected_in = 0.54 * 0.165 * (1 + 0.7 * 0.25) * (1 + 3.3333 * 1.15) * (1 + 2.16 * 0.95)
    assert process.Steel.grade("16MnCr5").ideal_diameter_mm == pytest.approx(25.4 * expected_in)
    with pytest.warns(UserWarning, match="chromium, nickel of the steel lie outside the range"):
        assert process.Steel.grade("18CrNiMo7-6").ideal_diameter_mm > 100.0


@pytest.mark.parametrize("make, message", [
    (lambda: process.Temper(-10.0, 1.0), "temperature_c must be between 0 and 600 °C"),
    (lambda: process.Temper(650.0, 1.0), "temperature_c must be between 0 and 600 °C"),
    (lambda: process.Temper(180.0, 0.0), "duration_h must be finite and positive, got 0.0"),
    (lambda: process.Temper(180.0, math.nan), "duration_h must be finite and positive, got nan"),
    (lambda: process.simulate(CASE, steel="16MnCr5").harden(severity_h=-1.0), "severity_h must be positive"),
    (lambda: process.simulate(CASE, steel="16MnCr5").harden(severity_h="brine"), "severity_h must be a number"),
    (lambda: process.Steel(carbon_wt=0.2, measured_jominy=((1.5, 40.0), (5.0, 42.0))),
     r"measured_jominy\[1\]: the hardness must not rise with distance, got 42.0 HRC"),
    (lambda: process.Steel(carbon_wt=0.2, measured_jominy=((1.5, 40.0),)), "at least two"),
    (lambda: process.Steel(carbon_wt=0.2, measured_jominy=((5.0, 40.0), (1.5, 30.0))), "the distances must rise"),
    (lambda: process.Steel(carbon_wt=0.2, grain_size=0.0), "grain_size must be between 1 and 12"),
    (lambda: process.Steel(carbon_wt=0.2, grain_size=13.0), "grain_size must be between 1 and 12"),
])
def test_bad_tempers_quenches_and_curves_are_refused_by_name(make, message):
    with pytest.raises(ValueError, match=message):
        make()


@pytest.mark.parametrize("table, message", [
    ("[temper]\ntemperature_c = -10.0\nduration_h = 2.0\n", "[temper]: temperature_c must be between 0 and 600"),
    ("[temper]\ntemperature_c = 180.0\n", "[temper]: missing key 'duration_h'"),
    ("[quench]\ntemperature_c = 60.0\nseverity_h = -0.3\n", "[quench]: severity_h must be positive"),
    ("[quench]\ntemperature_c = 60.0\nseverity_h = 0.3\nheat_transfer_w_m2_k = 600.0\n",
     "[quench]: give severity_h or heat_transfer_w_m2_k, not both"),
    ("[steel]\nmeasured_jominy = [[1.5, 40.0]]\n", "[steel]: measured_jominy must hold at least two"),
])
def test_a_bad_temper_or_quench_in_a_recipe_file_names_the_table(table, message, tmp_path, capsys):
    text = "[steel]\ncarbon_wt = 0.2\n" + "[[stage]]\nduration_h = 1.0\ntemperature_c = 930.0\n"
    if table.startswith("[steel]"):
        text = text.replace("[steel]\ncarbon_wt = 0.2\n", table + "carbon_wt = 0.2\n")
    else:
        text += table
    path = tmp_path / "recipe.toml"
    path.write_text(text, encoding="utf-8")
    assert cli.main([str(path)]) == 2
    assert capsys.readouterr().err.startswith(f"talvenor-process: {path}: {message}")


def test_a_temper_a_severity_and_a_measured_curve_are_written_back(tmp_path):
    recipe = process.read_recipe(Path(__file__).resolve().parents[1] / "examples" / "gear_20mncr5.toml")
    steel = process.Steel.grade("20MnCr5")
    recipe = type(recipe)(stages=recipe.stages, steel=process.Steel(
        **{**vars(steel), "measured_jominy": ((1.5, 46.0), (25.0, 27.0)), "grain_size": 8.0}),
        part=recipe.part, quench_c=recipe.quench_c, severity_h=recipe.severity_h, temper=recipe.temper,
        requirements=recipe.requirements)
    path = tmp_path / "again.toml"
    path.write_text(process.format_recipe(recipe), encoding="utf-8")
    assert process.read_recipe(path) == recipe and recipe.severity_h == 0.3


def test_the_command_line_tempers_and_quenches_as_asked(capsys):
    example = str(Path(__file__).resolve().parents[1] / "examples" / "gas_carburizing.toml")
    assert cli.main([example, "--quench", "60", "--severity", "still oil", "--temper", "180", "2"]) == 0
    out = capsys.readouterr().out
    assert "Quench       to 60 °C, severity H 0.3 in⁻¹" in out and "Temper       2 h at 180 °C" in out
    assert "\nAs quenched  " in out and "\nTempered     " in out
    assert cli.main([example, "--quench", "60", "--temper", "700", "2"]) == 2
    assert capsys.readouterr().err.startswith("talvenor-process: --temper: temperature_c must be between 0 and 600")
