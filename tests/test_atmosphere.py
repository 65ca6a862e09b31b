"""The carbon potential of a furnace atmosphere from its instruments' readings."""

import math
import warnings

import pytest

process = pytest.importorskip("talvenor.process")
from talvenor.process import atmosphere  # noqa: E402

R = 8.314462618
# NASA 7-coefficient polynomials, (200-1000 K, 1000-3500 K): GRI-Mech 3.0, and
# graphite from NASA SP-273; the fits of atmosphere.REACTIONS are to these.
NASA = {
    "C": ([-0.310872072, 4.40353686e-03, 1.90394118e-06, -6.38546966e-09, 2.98964248e-12, -108.650794, 1.11382953],
          [1.45571829, 1.71702216e-03, -6.97562786e-07, 1.35277032e-10, -9.67590652e-15, -695.138814, -8.52583033]),
    "O2": ([3.78245636, -2.99673416e-03, 9.84730201e-06, -9.68129509e-09, 3.24372837e-12, -1063.94356, 3.65767573],
           [3.28253784, 1.48308754e-03, -7.57966669e-07, 2.09470555e-10, -2.16717794e-14, -1088.45772, 5.45323129]),
    "H2": ([2.34433112, 7.98052075e-03, -1.9478151e-05, 2.01572094e-08, -7.37611761e-12, -917.935173, 0.683010238],
           [3.3372792, -4.94024731e-05, 4.99456778e-07, -1.79566394e-10, 2.00255376e-14, -950.158922, -3.20502331]),
    "H2O": ([4.19864056, -2.0364341e-03, 6.52040211e-06, -5.48797062e-09, 1.77197817e-12, -3.02937267e+04,
             -0.849032208],
            [3.03399249, 2.17691804e-03, -1.64072518e-07, -9.7041987e-11, 1.68200992e-14, -3.00042971e+04, 4.9667701]),
    "CH4": ([5.14987613, -0.0136709788, 4.91800599e-05, -4.84743026e-08, 1.66693956e-11, -1.02466476e+04, -4.64130376],
            [0.074851495, 0.0133909467, -5.73285809e-06, 1.22292535e-09, -1.0181523e-13, -9468.34459, 18.437318]),
    "CO": ([3.57953347, -6.1035368e-04, 1.01681433e-06, 9.07005884e-10, -9.04424499e-13, -1.4344086e+04, 3.50840928],
           [2.71518561, 2.06252743e-03, -9.98825771e-07, 2.30053008e-10, -2.03647716e-14, -1.41518724e+04,
            7.81868772]),
    "CO2": ([2.35677352, 8.98459677e-03, -7.12356269e-06, 2.45919022e-09, -1.43699548e-13, -4.83719697e+04,
             9.90105222],
            [3.85746029, 4.41437026e-03, -2.21481404e-06, 5.23490188e-10, -4.72084164e-14, -4.8759166e+04,
             2.27163806]),
}
SPECIES = {
    "2 CO = C + CO2": {"CO": -2, "C": 1, "CO2": 1},
    "CO + 1/2 O2 = CO2": {"CO": -1, "O2": -0.5, "CO2": 1},
    "CO + H2 = C + H2O": {"CO": -1, "H2": -1, "C": 1, "H2O": 1},
    "H2 + 1/2 O2 = H2O": {"H2": -1, "O2": -0.5, "H2O": 1},
    "CH4 = C + 2 H2": {"CH4": -1, "C": 1, "H2": 2},
    "CO + H2O = CO2 + H2": {"CO": -1, "H2O": -1, "CO2": 1, "H2": 1},
}


def gibbs(species, t):
    a = NASA[species][0 if t < 1000.0 else 1]
    h = a[0] + a[1] * t / 2 + a[2] * t ** 2 / 3 + a[3] * t ** 3 / 4 + a[4] * t ** 4 / 5 + a[5] / t
    s = a[0] * math.log(t) + a[1] * t + a[2] * t ** 2 / 2 + a[3] * t ** 3 / 3 + a[4] * t ** 4 / 4 + a[6]
    return R * t * (h - s)


@pytest.mark.parametrize("reaction", SPECIES)
@pytest.mark.parametrize("temperature_c", [800.0, 930.0, 1050.0])
def test_the_equilibria_follow_the_species_polynomials(reaction, temperature_c):
    t = temperature_c + 273.15
    delta_g = sum(n * gibbs(species, t) for species, n in SPECIES[reaction].items())
    assert -R * t * math.log(atmosphere.equilibrium_constant(reaction, t)) == pytest.approx(delta_g, abs=42.0)


def test_boudouard_balances_near_700_c():
    low, high = 690.0 + 273.15, 710.0 + 273.15
    assert atmosphere.equilibrium_constant("2 CO = C + CO2", low) > 1.0 > atmosphere.equilibrium_constant(
        "2 CO = C + CO2", high)


@pytest.mark.parametrize("co_atm, co2_atm, carbon_wt", [(0.90, 0.10, 0.14), (0.95, 0.05, 0.29),
                                                          (0.97, 0.03, 0.47), (0.99, 0.01, 1.12)])
def test_co_co2_mixtures_at_1000_c(co_atm, co2_atm, carbon_wt):
    found = process.atmosphere.carbon_potential_wt(1000.0, co2_pct=100 * co2_atm, co_pct=100 * co_atm)
    assert found == pytest.approx(carbon_wt, rel=0.07)


@pytest.mark.parametrize("temperature_c, carbon_wt", [(1000.0, 1.50), (930.0, 1.27)])
def test_graphite_saturation_is_the_content_at_activity_one_with_a_warning(temperature_c, carbon_wt):
    assert atmosphere.austenite_carbon_wt(0.999999, temperature_c) == pytest.approx(carbon_wt, abs=0.01)
    with pytest.warns(UserWarning, match="graphite saturation"):
        assert atmosphere.austenite_carbon_wt(3.0, temperature_c) == pytest.approx(carbon_wt, abs=0.01)


def test_endogas_with_the_probe_at_1150_mv():
    assert atmosphere.carbon_potential_wt(930.0, probe_mv=1150.0) == pytest.approx(0.93, abs=0.01)


@pytest.mark.parametrize("inverse, reading", [(atmosphere.probe_mv_for, "probe_mv"),
                                              (atmosphere.co2_pct_for, "co2_pct"),
                                              (atmosphere.dew_point_c_for, "dew_point_c")])
@pytest.mark.parametrize("potential_wt, temperature_c", [(0.4, 880.0), (0.8, 930.0), (1.15, 950.0)])
def test_a_setpoint_reads_back_as_its_potential(inverse, reading, potential_wt, temperature_c):
    value = inverse(potential_wt, temperature_c, co_pct=23.0)
    back = atmosphere.carbon_potential_wt(temperature_c, **{reading: value}, co_pct=23.0)
    assert back == pytest.approx(potential_wt, rel=1e-9)


def test_the_controller_formula_follows_its_manual():
    # X = exp((1150 - 786) / (0.043102 * 1203.15)), %C = 5.102 X / (29 * 150 + 400 + X)
    assert atmosphere.carbon_potential_wt(930.0, probe_mv=1150.0, process_factor=150.0) == pytest.approx(
        0.97194, abs=1e-5)


@pytest.mark.parametrize("call, message", [
    (lambda: atmosphere.carbon_potential_wt(930.0), "give one of probe_mv, co2_pct, dew_point_c, got none"),
    (lambda: atmosphere.carbon_potential_wt(930.0, probe_mv=1150.0, co2_pct=0.2), "got probe_mv, co2_pct"),
    (lambda: atmosphere.carbon_potential_wt(930.0, co2_pct=0.0), "co2_pct must be finite and positive"),
    (lambda: atmosphere.carbon_potential_wt(930.0, co2_pct=0.2, co_pct=120.0), "co_pct must be at most 100"),
    (lambda: atmosphere.carbon_potential_wt(930.0, co2_pct=0.2, process_factor=150.0), "process_factor goes with"),
    (lambda: atmosphere.probe_mv_for(1.4, 930.0), "carbon_potential_wt 1.4 is at or above graphite saturation"),
    (lambda: atmosphere.carbon_potential_wt(-300.0, probe_mv=1150.0), "temperature_c must be above absolute zero"),
])
def test_bad_readings_are_refused_by_name(call, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        call()


def test_outside_the_fitted_range_a_warning_says_so():
    with pytest.warns(UserWarning, match="outside 800-1050 °C"):
        atmosphere.carbon_potential_wt(760.0, probe_mv=1050.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        atmosphere.carbon_potential_wt(930.0, probe_mv=1100.0)


def test_a_stage_takes_its_potential_from_a_reading_and_refuses_two():
    stage = process.Stage(duration_h=1.0, temperature_c=930.0, probe_mv=1150.0, carbon_transfer_m_s=1.5e-7)
    assert stage.carbon_potential_wt == pytest.approx(0.928, abs=1e-3) and stage.reading == {"probe_mv": 1150.0}
    for bad, message in [(dict(carbon_potential_wt=0.8), "give carbon_potential_wt or an atmosphere reading"),
                         (dict(end_temperature_c=850.0), "on a ramp, give carbon_potential_wt"),
                         (dict(carbon_flux_g_m2_h=100.0), "a boost has no potential")]:
        with pytest.raises(ValueError, match=message):
            process.Stage(duration_h=1.0, temperature_c=930.0, probe_mv=1150.0, **bad)
    with pytest.raises(ValueError, match="co_pct without a reading"):
        process.Stage(duration_h=1.0, temperature_c=930.0, co_pct=20.0)


def test_the_alloy_factor_raises_a_gas_potential_and_leaves_a_boost_limit_alone():
    plain = process.Steel(carbon_wt=0.2)
    alloyed = process.Steel(carbon_wt=0.2, alloy_factor=1.2)
    gas = [process.Stage(duration_h=2.0, temperature_c=930.0, carbon_potential_wt=0.8)]
    assert process.simulate(gas, steel=alloyed).surface_carbon_wt == pytest.approx(0.96, abs=1e-9)
    boost = [process.Stage(duration_h=1.0, temperature_c=930.0, carbon_flux_g_m2_h=150.0)]
    limits = [process.simulate(boost, steel=steel).peak_surface_carbon_wt for steel in (plain, alloyed)]
    assert limits[0] == pytest.approx(limits[1], abs=1e-9)
    lowered = process.Steel(carbon_wt=0.2, carbide_limit_factor=0.8)
    assert process.simulate(boost, steel=lowered).peak_surface_carbon_wt < 0.85 * limits[0]
