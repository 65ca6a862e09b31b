"""Low-pressure carburizing in talvenor.process: boosts at a carbon flux, the
carbon limit of the surface, and the carbide beyond it."""

import math
import warnings

import numpy as np
import pytest

process = pytest.importorskip("talvenor.process")
from talvenor.process import units  # noqa: E402

Stage = process.Stage
GRAMS_PER_Y = units.grams_per_site_fraction_m(7870.0)[0]  # g/m³


def test_a_constant_flux_into_a_deep_part_gives_the_closed_form_profile():
    # Crank, The Mathematics of Diffusion, 2.3: constant flux J into a
    # semi-infinite solid of constant D.
    d, flux, hours = 2e-11, 20.0, 1.0
    stage = Stage(duration_h=hours, temperature_c=930.0, carbon_flux_g_m2_h=flux, carbon_limit_wt=5.0)
    result = process.simulate([stage], core_carbon_wt=0.2, depth_mm=8.0, carbon_diffusivity=lambda x, T: d,
                              nitrogen_diffusivity=lambda x, T: d)
    y = process.site_fractions(result.carbon_wt)[0]
    concentration = GRAMS_PER_Y * (y - y[-1])
    t, j = hours * 3600.0, flux / 3600.0
    u = result.depth_mm * 1e-3 / (2.0 * math.sqrt(d * t))
    ierfc = np.exp(-u * u) / math.sqrt(math.pi) - u * np.vectorize(math.erfc)(u)
    expected = 2.0 * j * math.sqrt(t / d) * ierfc
    assert abs(concentration - expected).max() <= 0.005 * expected[0]
    assert result.carbon_uptake_g_m2 == pytest.approx(flux * hours, rel=1e-12)


def test_carbon_delivered_is_in_the_part_or_in_its_carbide():
    stages = [Stage(duration_h=0.5, temperature_c=960.0, carbon_flux_g_m2_h=120.0),
              Stage(duration_h=3.0, temperature_c=960.0),
              Stage(duration_h=0.2, temperature_c=960.0, end_temperature_c=940.0, carbon_flux_g_m2_h=120.0),
              Stage(duration_h=0.1, temperature_c=940.0, carbon_potential_wt=0.8, carbon_transfer_m_s=2e-7)]
    result = process.simulate(stages, core_carbon_wt=0.2)
    history = result.history
    delivered = np.interp(history.time_h, [0.0, 0.5, 3.5, 3.7], [0.0, 60.0, 60.0, 84.0])
    boosts = history.time_h <= 3.7
    np.testing.assert_allclose((history.carbon_uptake_g_m2 + history.carbide_g_m2)[boosts], delivered[boosts],
                               rtol=1e-12, atol=1e-12)
    assert result.peak_carbide_g_m2 > 20.0 and 0.0 < result.carbide_g_m2 < result.peak_carbide_g_m2
    # While carbide remains the surface stays at the solubility of its stage.
    limits = [process.carbon_solubility_wt(c) for c in (960.0, 940.0)]
    assert result.peak_surface_carbon_wt == pytest.approx(limits[0], rel=1e-12)
    carbide = history.carbide_g_m2 > 0.0
    first = int(np.flatnonzero(carbide)[0])
    assert np.allclose(history.carbon_wt[carbide & (history.time_h < 3.5)], limits[0], rtol=1e-12)
    # The first diffuse dissolves the carbide of the first boost, and then
    # the surface falls below the limit.
    gone = int(np.flatnonzero(~carbide[first:])[0]) + first
    assert history.time_h[gone] < 3.5 and history.carbon_wt[gone + 1] < limits[0]


@pytest.mark.parametrize("stage, message", [
    (dict(carbon_flux_g_m2_h=0.0), "carbon_flux_g_m2_h must be positive"),
    (dict(carbon_flux_g_m2_h=100.0, carbon_potential_wt=1.0), "carbon_flux_g_m2_h = 100.0 and carbon_potential_wt"),
    (dict(carbon_flux_g_m2_h=100.0, temperature_c=700.0), "carbon_flux_g_m2_h needs carbon_limit_wt at 700 °C"),
    (dict(carbon_limit_wt=0.0), "carbon_limit_wt must lie between 0 and 100"),
])
def test_a_bad_boost_says_what_is_wrong(stage, message):
    with pytest.raises(ValueError, match=message):
        Stage(**{"duration_h": 1.0, "temperature_c": 960.0} | stage)


@pytest.mark.parametrize("temperature_c, expected", [(727.0, 0.77), (1000.0, 1.54), (1148.0, 2.14), (930.0, 1.30)])
def test_the_carbon_solubility_follows_the_acm_line(temperature_c, expected):
    assert process.carbon_solubility_wt(temperature_c) == pytest.approx(expected, abs=0.005)


DESIGN = dict(temperature_c=960.0, carbon_flux_g_m2_h=100.0, surface_carbon_wt=0.7,
              steel=process.Steel.grade("18CrNiMo7-6"))


@pytest.mark.parametrize("case_mm", [1.0, 1.2])
def test_a_vacuum_cycle_gives_the_case_and_surface_without_carbide(case_mm):
    stages = process.design_vacuum_cycle(case_depth_mm=case_mm, **DESIGN)
    result = process.simulate(stages, steel=DESIGN["steel"], depth_mm=4.0 * case_mm)
    assert [stage.carbon_flux_g_m2_h is not None for stage in stages] == [True, False] * (len(stages) // 2)
    assert min(stage.duration_h for stage in stages) >= 1.0 / 60.0
    assert result.case_depth_mm() == pytest.approx(case_mm, rel=5e-3)
    assert result.surface_carbon_wt == pytest.approx(0.7, abs=0.01)
    assert result.peak_carbide_g_m2 <= 1e-3
    assert result.peak_surface_carbon_wt <= process.carbon_solubility_wt(960.0) + 0.01
    if case_mm == 1.2:
        assert len(stages) > len(process.design_vacuum_cycle(case_depth_mm=1.0, **DESIGN))


@pytest.mark.parametrize("change, message", [
    (dict(surface_carbon_wt=1.5), "surface_carbon_wt 1.5 must lie between the core's 0.18 wt% and the carbon limit"),
    (dict(threshold_wt=0.75), "threshold_wt 0.75 must lie between"),
    (dict(case_depth_mm=5.0, depth_mm=4.0), "case_depth_mm 5.0 is deeper than the part allows"),
    (dict(carbon_flux_g_m2_h=-1.0), "carbon_flux_g_m2_h must be finite and positive"),
    (dict(temperature_c=1200.0), "temperature_c must be between 727 and 1,148 °C"),
    (dict(carbon_flux_g_m2_h=5000.0), "less than min_pulse_min"),
])
def test_a_vacuum_cycle_that_cannot_exist_says_why(change, message):
    with pytest.raises(ValueError, match=message):
        process.design_vacuum_cycle(**({"case_depth_mm": 1.0} | DESIGN | change))


@pytest.mark.parametrize("case_mm, steel, min_pulse_min", [
    (0.6, dict(core_carbon_wt=0.2), 1.0), (1.5, dict(core_carbon_wt=0.2), 1.0), (2.0, dict(core_carbon_wt=0.2), 1.0),
    (1.0, dict(steel=DESIGN["steel"]), 1.0),
    # Shortening the boosts before the last is not enough: one pulse fewer.
    (0.5, dict(core_carbon_wt=0.2), 2.0),
])
def test_a_last_boost_that_cannot_be_shorter_still_gives_the_case(case_mm, steel, min_pulse_min):
    # Once: a last boost of the shortest pulse gave 0.65 mm for 0.6, with a warning.
    flux = 130.0 if min_pulse_min == 2.0 else 120.0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        stages = process.design_vacuum_cycle(case_depth_mm=case_mm, temperature_c=960.0, carbon_flux_g_m2_h=flux,
                                             surface_carbon_wt=0.7, min_pulse_min=min_pulse_min, **steel)
    result = process.simulate(stages, **steel, depth_mm=4.0 * case_mm)
    assert min(stage.duration_h for stage in stages) >= min_pulse_min / 60.0 * (1.0 - 1e-9)
    assert result.case_depth_mm() == pytest.approx(case_mm, rel=0.01)
    assert result.surface_carbon_wt == pytest.approx(0.7, abs=0.01)
    assert result.peak_carbide_g_m2 <= process.standards.CARBIDE_TOLERANCE_G_M2


def test_a_case_that_a_single_shortest_boost_overshoots_is_refused_with_the_reason():
    with pytest.raises(ValueError, match=r"even a single boost of min_pulse_min 1\.0 gives a case of 0\.06\d* mm, "
                                         r"deeper than case_depth_mm 0\.05; a lower carbon flux"):
        process.design_vacuum_cycle(case_depth_mm=0.05, temperature_c=960.0, carbon_flux_g_m2_h=120.0,
                                    surface_carbon_wt=0.7, core_carbon_wt=0.2)
