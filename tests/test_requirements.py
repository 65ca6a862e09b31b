"""The bands of process.Requirements, checked against a result and its hardened case."""

import math

import numpy as np
import pytest

process = pytest.importorskip("talvenor.process")
from talvenor.process import hardening  # noqa: E402

# A made-up result and hardened case on four points, 1 mm apart, whose
# figures are read off by hand.
DEPTH = np.array([0.0, 1.0, 2.0, 3.0])
HV = np.array([700.0, 600.0, 500.0, 400.0])
RESULT = process.Result(
    1.0, DEPTH, np.array([0.8, 0.5, 0.3, 0.2]), np.array([0.3, 0.1, 0.0, 0.0]), 10.0, 1.0,
    stages=(process.Stage(duration_h=1.0, temperature_c=930.0),), stage_end_h=np.array([1.0]),
    history=process.SurfaceHistory(*np.zeros((5, 2)), carbide_g_m2=np.array([0.0, 1.5])), profiles=(),
    geometry="plate", steel=process.Steel(carbon_wt=0.2))
CASE = hardening.Hardening(DEPTH, np.zeros(4), 1.0 - np.array([0.2, 0.1, 0.0, 0.0]), np.array([0.2, 0.1, 0.0, 0.0]),
                           HV, hardening.hv_to_hrc(HV), 60.0, 300.0)


@pytest.mark.parametrize("bands, name, value, passed, margin", [
    (dict(chd_min_mm=1.0, chd_max_mm=1.4), "CHD at 550 HV", 1.5, False, -0.1),  # 600 to 500 HV from 1 to 2 mm
    (dict(chd_min_mm=0.4, chd_limit_hv=650.0), "CHD at 650 HV", 0.5, True, 0.1),
    (dict(case_depth_min_mm=1.5, case_depth_max_mm=2.0), "Case depth at 0.35 wt% C", 1.75, True, 0.25),
    (dict(case_depth_min_mm=1.0, case_depth_threshold_wt=0.1), "Case depth at 0.1 wt% C", math.inf, True, math.inf),
    # 700 HV lies between 697 HV (60 HRC) and 720 HV (61 HRC) in ASTM E140.
    (dict(surface_hardness_min_hrc=58.0, surface_hardness_max_hrc=60.0), "Surface hardness", 60.0 + 3.0 / 23.0,
     False, -3.0 / 23.0),
    (dict(surface_hardness_min_hv=650.0), "Surface hardness", 700.0, True, 50.0),
    (dict(surface_carbon_max_wt=0.85), "Surface carbon", 0.8, True, 0.05),
    (dict(surface_nitrogen_min_wt=0.1, surface_nitrogen_max_wt=0.2), "Surface nitrogen", 0.3, False, -0.1),
    (dict(retained_austenite_max_pct=25), "Retained austenite", 20.0, True, 5.0),
    (dict(core_hardness_min_hv=350.0, core_hardness_max_hv=420.0), "Core hardness", 400.0, True, 20.0),
    (dict(no_carbides=True), "No carbides", 1.5, False, -1.45),  # 0.05 g/m² is no carbide
])
def test_each_band_checks_the_figure_it_names(bands, name, value, passed, margin):
    (verdict,) = RESULT.check(process.Requirements(**bands), hardening=CASE)
    assert verdict.name == name and verdict.passed is passed
    assert verdict.value == pytest.approx(value, rel=1e-12) and verdict.margin == pytest.approx(margin, rel=1e-12)


def test_a_surface_below_20_hrc_fails_a_band_in_hrc_and_the_verdicts_keep_the_order_of_the_keys():
    hv = np.full(4, 200.0)  # austenite alone, quenched above Ms
    soft = hardening.Hardening(DEPTH, *np.zeros((2, 4)), np.ones(4), hv, hardening.hv_to_hrc(hv), 500.0, 200.0)
    drawing = process.Requirements(no_carbides=True, surface_hardness_max_hrc=62.0, surface_hardness_max_hv=400.0,
                                    chd_max_mm=1.0)
    verdicts = RESULT.check(drawing, hardening=soft)
    assert [(verdict.name, verdict.unit, verdict.passed) for verdict in verdicts] == [
        ("CHD at 550 HV", "mm", True), ("Surface hardness", "HRC", False), ("Surface hardness", "HV", True),
        ("No carbides", "g/m²", False)]
    assert math.isnan(verdicts[1].value) and math.isnan(verdicts[1].margin)
    assert "< 20 HRC" in str(verdicts[1])


@pytest.mark.parametrize("make, message", [
    (lambda: process.Requirements(chd_min_mm=1.1, chd_max_mm=0.8), "chd_min_mm 1.1 is above chd_max_mm 0.8"),
    (lambda: process.Requirements(surface_carbon_min_wt=-0.1), "surface_carbon_min_wt must be finite and not neg"),
    (lambda: process.Requirements(core_hardness_max_hv=math.inf), "core_hardness_max_hv must be finite"),
    (lambda: process.Requirements(chd_limit_hv=0.0), "chd_limit_hv must be finite and positive"),
    (lambda: RESULT.check(process.Requirements(surface_carbon_min_wt=0.7, retained_austenite_max_pct=25.0)),
     r"^retained_austenite_max_pct needs the hardened case, which a quench gives"),
    (lambda: RESULT.check(process.Requirements(chd_min_mm=0.5), hardening=process.simulate(
        RESULT.stages, steel=RESULT.steel).harden()), "hardening is not of this result"),
])
def test_bad_requirements_or_a_bad_check_are_value_errors_naming_them(make, message):
    with pytest.raises(ValueError, match=message):
        make()


@pytest.mark.parametrize("key, value, message", [
    ("retained_austenite_max_pct", "25 %", "retained_austenite_max_pct must be a number"),
    ("case_depth_threshold_wt", None, "case_depth_threshold_wt must be a number, got None"),
    ("no_carbides", "yes", "no_carbides must be true or false, got 'yes'"),
])
def test_requirements_of_the_wrong_type_are_type_errors_naming_the_key(key, value, message):
    with pytest.raises(TypeError, match=message):
        process.Requirements(**{key: value})
