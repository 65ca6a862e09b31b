"""Steels, the alloy factor and the hardened case of talvenor.process.

The hardening model is checked against what steel makers publish for
16MnCr5: Ms of about 400 °C in the core and about 200 °C at a carburized
surface of 0.8 wt% C, about 11 % retained austenite there after a quench to
20 °C, and a 550 HV case-hardening depth where the carbon is 0.30 to 0.40 wt%.
"""

import math

import numpy as np
import pytest

process = pytest.importorskip("talvenor.process")
from talvenor.process import hardening  # noqa: E402

MNCR5 = process.Steel.grade("16MnCr5")
HELD = dict(duration_h=8.0, temperature_c=930.0)


def carburize(potential_wt, steel=MNCR5, **stage):
    """A long stage holding the surface at ``potential_wt`` (times the alloy factor)."""
    return process.simulate([process.Stage(**(HELD | stage), carbon_potential_wt=potential_wt)], steel=steel)


@pytest.mark.parametrize("name, grade", [
    ("16MnCr5", "16MnCr5"), ("20mncr5", "20MnCr5"), ("20 NiCrMo 2-2", "20NiCrMo2-2"), ("18crnimo76", "18CrNiMo7-6"),
    ("SAE 8620", "SAE 8620"), ("sae8620", "SAE 8620"), ("8620", "SAE 8620"), ("SAE-4320", "SAE 4320"),
    ("9310", "SAE 9310"),
])
def test_a_grade_is_found_however_it_is_written(name, grade):
    assert process.Steel.grade(name).name == grade


def test_a_grade_is_the_middle_of_its_ranges_and_an_unknown_one_lists_the_known():
    assert process.steel_grades() == ("16MnCr5", "20MnCr5", "20NiCrMo2-2", "18CrNiMo7-6", "SAE 8620", "SAE 4320",
                                      "SAE 9310")
    contents = ("carbon_wt", "silicon_wt", "manganese_wt", "chromium_wt", "nickel_wt", "molybdenum_wt")
    for name, expected in [("18CrNiMo7-6", (0.18, 0.25, 0.70, 1.65, 1.55, 0.30)),
                           ("SAE 9310", (0.105, 0.25, 0.55, 1.20, 3.25, 0.115))]:
        steel = process.Steel.grade(name)
        assert tuple(getattr(steel, key) for key in contents) == pytest.approx(expected, abs=1e-12)
        assert steel.nitrogen_wt == 0.0 and steel.alloy_factor == 1.0
    with pytest.raises(ValueError, match=r"unknown steel grade '20MnCr6' \(known: 16MnCr5, 20MnCr5, .*SAE 9310\)"):
        process.Steel.grade("20MnCr6")


@pytest.mark.parametrize("make, message", [
    (lambda: process.Steel(carbon_wt=-0.1), "carbon_wt must be finite and not negative, got -0.1"),
    (lambda: process.Steel(carbon_wt=0.2, chromium_wt=math.inf), "chromium_wt must be finite and not negative"),
    (lambda: process.Steel(carbon_wt=0.2, alloy_factor=0.0), "alloy_factor must be finite and positive, got 0.0"),
    (lambda: process.Steel(carbon_wt=0.2, nickel_wt=99.9), "the contents must add up to less than 100 wt%"),
    (lambda: process.Steel(carbon_wt=1.5, nitrogen_wt=0.7), r"carbon_wt \+ nitrogen_wt must be below 2.14 wt%"),
    (lambda: carburize(1.2, steel=process.Steel(carbon_wt=0.2, alloy_factor=4.0)),
     r"stage 1 of 1: the carbon potential 4.8 wt% reaches 5 \(y_C \+ y_N\)"),
    (lambda: carburize(0.8).harden(quench_c=-274.0), r"quench_c must be above absolute zero \(-273.15 °C\)"),
    (lambda: carburize(0.8).harden(austenite_hv=0.0), "austenite_hv must be between 100 and 500 HV"),
])
def test_a_bad_steel_or_quench_is_a_value_error_naming_it(make, message):
    with pytest.raises(ValueError, match=message):
        make()


@pytest.mark.parametrize("factor", [0.85, 1.0, 1.2])
def test_the_alloy_factor_scales_the_carbon_potentials_and_not_the_nitrogen_ones(factor):
    steel = process.Steel(carbon_wt=0.2, manganese_wt=1.2, alloy_factor=factor)
    held = carburize(0.7, steel=steel, nitrogen_potential_wt=0.2)
    assert held.surface_carbon_wt == pytest.approx(factor * 0.7, rel=1e-12)
    assert held.surface_nitrogen_wt == pytest.approx(0.2, rel=1e-12)
    assert held.stages[0].carbon_potential_wt == 0.7 and held.steel is steel
    # Behind a mass-transfer coefficient the steel acts as plain iron does
    # under the scaled potential.
    stage = dict(duration_h=2.0, temperature_c=930.0, carbon_transfer_m_s=2e-7)
    alloyed = process.simulate([process.Stage(**stage, carbon_potential_wt=0.9)], steel=steel)
    plain = process.simulate([process.Stage(**stage, carbon_potential_wt=0.9 * factor)], core_carbon_wt=0.2)
    np.testing.assert_allclose(alloyed.carbon_wt, plain.carbon_wt, rtol=1e-13)
    assert plain.steel == process.Steel(carbon_wt=0.2)


def test_martensite_starts_where_steel_makers_publish_it_for_16mncr5():
    case = carburize(0.8).harden()
    assert case.ms_c[-1] == pytest.approx(400.0, abs=30.0)  # the core, 0.165 wt% C
    assert case.ms_c[0] == pytest.approx(200.0, abs=30.0)  # the surface, 0.8 wt% C
    assert np.all(np.diff(case.ms_c) > 0.0)


def test_retained_austenite_falls_with_a_colder_quench():
    surface = [float(carburize(0.8).harden(quench_c=q).retained_austenite[0]) for q in (60.0, 20.0, -80.0)]
    assert surface[1] == pytest.approx(0.11, abs=0.015)
    assert surface[0] > surface[1] > surface[2] > 0.0


@pytest.mark.parametrize("stages", [
    [dict(duration_h=4.0, carbon_potential_wt=0.8)],
    [dict(duration_h=3.0, carbon_potential_wt=1.15, carbon_transfer_m_s=2e-7),
     dict(duration_h=1.5, carbon_potential_wt=0.8, carbon_transfer_m_s=2e-7)],
])
def test_the_550_hv_depth_of_16mncr5_lies_at_0_30_to_0_40_wt_percent_carbon(stages):
    result = process.simulate([process.Stage(temperature_c=930.0, **stage) for stage in stages], steel=MNCR5)
    chd_mm = result.harden(quench_c=60.0).case_hardening_depth_mm()
    assert 0.30 <= np.interp(chd_mm, result.depth_mm, result.carbon_wt) <= 0.40
    total_mm = result.total_case_depth_mm()
    assert total_mm > chd_mm and np.interp(total_mm, result.depth_mm, result.carbon_wt) == pytest.approx(0.205)


def test_over_carburizing_softens_the_surface_and_the_chd_is_the_last_crossing():
    right, over = carburize(0.8).harden(), carburize(1.1).harden()
    assert over.surface_hardness_hv < right.surface_hardness_hv
    assert over.surface_hardness_hrc < right.surface_hardness_hrc
    assert over.hardness_hv.max() > over.surface_hardness_hv + 50.0
    # With 55 HRC read as a limit the over-carburized surface is below it, and
    # the depth is still where the hardness finally falls to the limit.
    limit = float(hardening.hrc_to_hv(55.0))
    assert over.hardness_hv[0] < limit
    chd_mm = over.case_hardening_depth_mm(limit)
    assert np.interp(chd_mm, over.depth_mm, over.hardness_hv) == pytest.approx(limit)
    assert np.all(over.hardness_hv[over.depth_mm > chd_mm] < limit)


@pytest.mark.parametrize("hardness_hv, limit_hv, expected", [
    ([600.0, 700.0, 500.0, 400.0], 550.0, 1.75),
    ([500.0, 560.0, 540.0, 580.0, 400.0], 550.0, 3.0 + 1.0 / 6.0),
    ([500.0, 450.0, 400.0, 300.0], 550.0, 0.0),
    ([700.0, 600.0, 500.0, 400.0], 513.0, 1.87),
])
def test_case_hardening_depth_reads_the_last_downward_crossing(hardness_hv, limit_hv, expected):
    hv = np.array(hardness_hv)
    case = hardening.Hardening(np.arange(hv.size, dtype=float), hv, np.ones_like(hv), np.zeros_like(hv), hv,
                               hardening.hv_to_hrc(hv), 60.0, 300.0)
    assert case.case_hardening_depth_mm(limit_hv) == pytest.approx(expected)
    deepest = f"stays at or above {hv[-1]:g} HV down to the deepest point, {hv.size - 1} mm"
    with pytest.raises(ValueError, match=deepest):
        case.case_hardening_depth_mm(hv[-1])


def test_martensite_hardness_peaks_at_the_computed_carbon_and_converts_by_the_table():
    peak = hardening.PEAK_CARBON_WT
    slope = (hardening.martensite_hardness_hrc(peak - 1e-6) - hardening.martensite_hardness_hrc(peak - 2e-6)) / 1e-6
    assert 0.6 < peak < 0.7 and abs(slope) < 1e-3
    below, at, above = hardening.martensite_hardness_hrc([peak - 0.05, peak, 1.2])
    assert below < at == above
    assert hardening.martensite_hardness_hrc(0.3, 0.1) == hardening.martensite_hardness_hrc(0.4)
    np.testing.assert_array_equal(hardening.hrc_to_hv([20.0, 50.0, 50.5, 68.0]), [238.0, 513.0, 520.5, 940.0])
    assert np.isnan(hardening.hrc_to_hv([19.9, 68.1])).all() and np.isnan(hardening.hv_to_hrc([237.0, 941.0])).all()
    assert hardening.hv_to_hrc(hardening.hrc_to_hv(57.3)) == pytest.approx(57.3)


def test_austenite_alone_is_the_austenite_hardness_and_has_no_rockwell_c():
    case = carburize(0.8).harden(quench_c=500.0, austenite_hv=200.0)  # above Ms everywhere
    assert not case.martensite.any() and np.all(case.retained_austenite == 1.0)
    assert np.all(case.hardness_hv == 200.0) and np.isnan(case.hardness_hrc).all()
    assert case.case_hardening_depth_mm() == 0.0
