"""Tests for the carburizing demo in examples/carburizing.py.

The solver and helpers are checked without the native library: against
closed-form solutions of the diffusion equation for a constant diffusivity,
and with a stand-in concentration-dependent diffusivity.  Only
test_main_with_library needs talvenor itself.
"""

import importlib.util
import math
import re
import sys
import types
from pathlib import Path

import pytest

_EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "carburizing.py"
_spec = importlib.util.spec_from_file_location("carburizing_example", _EXAMPLE)
carb = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(carb)

HOUR = 3600.0


def erfc_profile(x, t, D, c_base, c_surface):
    """Semi-infinite bar, constant D, surface held at c_surface."""
    return c_surface - (c_surface - c_base) * math.erf(x / (2.0 * math.sqrt(D * t)))


def slab_profile(x, t, D, L, c_base, c_surface, terms=200):
    """Slab 0 <= x <= L, c(0) = c_surface, zero flux at x = L, constant D."""
    total = 0.0
    for n in range(terms):
        k = (2 * n + 1) * math.pi / (2.0 * L)
        total += (4.0 / ((2 * n + 1) * math.pi)) * math.sin(k * x) * math.exp(-k * k * D * t)
    return c_surface - (c_surface - c_base) * total


def stand_in_diffusivity(y, T):
    """Concentration-dependent carbon diffusivity in austenite, m^2/s."""
    y0, y1 = y[0], y[1]
    s = y1 * 0.72 + y0
    Q = s * (-570000.0) + 155000.0
    a = (1 - y1 * 5) * 4.84e-5
    e = math.exp(s * (-38.487153613672334))
    b = 1 - (y0 + y1) * 5
    return (e / b) * a * math.exp(Q / (T * (-8.31446261815324)))


def constant(D):
    return lambda w: D


def _uptake(x, c, c_base):
    """Carbon taken up per unit area (trapezoidal rule), wt% * m."""
    return sum(0.5 * (c[i] + c[i + 1] - 2 * c_base) * (x[i + 1] - x[i])
               for i in range(len(x) - 1))


# --------------------------------------------------------------------------
# site fractions
# --------------------------------------------------------------------------

@pytest.mark.parametrize("w_c, w_n, expected", [
    # 0.8 wt% C: (0.8 / 12.011) / (99.2 / 55.845) = 0.066606 / 1.77635
    (0.8, 0.0, (0.037496, 0.0)),
    # 0.5 wt% C + 0.3 wt% N: Fe = 99.2 wt%
    # y_C = 0.041629 / 1.77635, y_N = (0.3 / 14.007) / 1.77635 = 0.021418 / 1.77635
    (0.5, 0.3, (0.023435, 0.012057)),
    # 1.0 wt% N only: (1 / 14.007) / (99 / 55.845) = 0.071393 / 1.77275
    (0.0, 1.0, (0.0, 0.040272)),
    (0.0, 0.0, (0.0, 0.0)),
])
def test_site_fractions_hand_values(w_c, w_n, expected):
    y = carb.site_fractions(w_c, w_n)
    assert isinstance(y, list) and len(y) == 2
    assert all(isinstance(v, float) for v in y)
    assert y == pytest.approx(list(expected), rel=1e-4, abs=1e-12)


def test_site_fractions_default_nitrogen_is_zero():
    assert carb.site_fractions(0.8) == carb.site_fractions(0.8, 0.0)


@pytest.mark.parametrize("lower, higher", [
    ((0.2, 0.0), (0.4, 0.0)),
    ((0.8, 0.0), (1.0, 0.0)),
    ((0.0, 0.0), (0.01, 0.0)),
    ((0.5, 0.3), (0.6, 0.3)),
    # less iron at the same carbon content means more carbon per iron atom
    ((0.5, 0.0), (0.5, 0.5)),
])
def test_site_fraction_of_carbon_increases(lower, higher):
    assert carb.site_fractions(*lower)[0] < carb.site_fractions(*higher)[0]


@pytest.mark.parametrize("w_c, w_n", [(-0.1, 0.0), (0.1, -0.1), (60.0, 40.0), (100.0, 0.0)])
def test_site_fractions_rejects_impossible_compositions(w_c, w_n):
    with pytest.raises(ValueError):
        carb.site_fractions(w_c, w_n)


# --------------------------------------------------------------------------
# diffusivity table
# --------------------------------------------------------------------------

def test_diffusivity_table_passes_two_site_fractions_and_kelvin():
    calls = []

    def recording(tag):
        def D(y, T):
            calls.append((tag, list(y), T))
            return 1e-11 if tag == "C" else 2e-11
        return D

    rows = carb.diffusivity_table(recording("C"), recording("N"),
                                  temperatures_c=[850, 1000], carbon_wt=[0.2, 0.8],
                                  kelvin_offset=273.15)
    assert [(r[0], r[1]) for r in rows] == [(850, 0.2), (850, 0.8), (1000, 0.2), (1000, 0.8)]
    assert all(r[2] == 1e-11 and r[3] == 2e-11 for r in rows)
    seen = {(tag, T, tuple(y)) for tag, y, T in calls}
    expected = {(tag, T + 273.15, tuple(carb.site_fractions(w)))
                for tag in "CN" for T in (850, 1000) for w in (0.2, 0.8)}
    assert seen == expected


def test_default_table_grid():
    assert list(carb.TABLE_TEMPERATURES_C) == [850, 875, 900, 925, 950, 975, 1000]
    assert list(carb.TABLE_CARBON_WT) == [0.2, 0.4, 0.6, 0.8, 1.0]


# --------------------------------------------------------------------------
# solver, constant diffusivity
# --------------------------------------------------------------------------

# The explicit scheme is second order in dx; with dx = 20 um and diffusion
# lengths 2 sqrt(D t) of 0.5-1.1 mm the nodal error is ~1e-4 wt%, so 2e-3 wt%
# leaves a wide margin yet flags a wrong step, flux or boundary treatment.
# The domains are at least 2.6 diffusion lengths deep, where the wall's
# effect on the semi-infinite solution is below 1e-4 wt%.
@pytest.mark.parametrize("D, t, depth, cells, c_base, c_surface", [
    (1e-11, 4 * HOUR, 3e-3, 150, 0.2, 0.8),
    (2.5e-11, 2 * HOUR, 3e-3, 150, 0.2, 0.8),
    (5e-12, 8 * HOUR, 2e-3, 100, 0.2, 0.8),
    (2e-11, 4 * HOUR, 3e-3, 150, 0.8, 0.2),  # decarburizing
])
def test_matches_erfc_solution(D, t, depth, cells, c_base, c_surface):
    x, c, info = carb.carburize(constant(D), t, depth_m=depth, cells=cells,
                                c_base=c_base, c_surface=c_surface)
    assert len(x) == len(c) == cells + 1
    assert x[0] == 0.0 and x[-1] == pytest.approx(depth)
    assert info["steps"] * info["dt"] == pytest.approx(t)
    assert info["dt"] <= (depth / cells) ** 2 / (2 * D)
    err = max(abs(ci - erfc_profile(xi, t, D, c_base, c_surface)) for xi, ci in zip(x, c))
    assert err < 2e-3


@pytest.mark.parametrize("D, t", [
    (2e-11, 4 * HOUR),   # Fourier number D t / L^2 = 0.29
    (2e-11, 12 * HOUR),  # 0.86: the wall has filled up substantially
])
def test_zero_flux_wall_matches_slab_solution(D, t):
    L = 1e-3
    x, c, _ = carb.carburize(constant(D), t, depth_m=L, cells=100,
                             c_base=0.2, c_surface=0.8)
    err = max(abs(ci - slab_profile(xi, t, D, L, 0.2, 0.8)) for xi, ci in zip(x, c))
    assert err < 2e-3


@pytest.mark.parametrize("D, t", [(1e-11, 4 * HOUR), (2.5e-11, 1 * HOUR)])
def test_carbon_uptake_matches_analytical(D, t):
    # carbon taken up per unit area: integral of (c - c0) dx = 2 (cs - c0) sqrt(D t / pi)
    x, c, _ = carb.carburize(constant(D), t, depth_m=3e-3, cells=150,
                             c_base=0.2, c_surface=0.8)
    uptake = _uptake(x, c, 0.2)
    assert uptake == pytest.approx(2 * 0.6 * math.sqrt(D * t / math.pi), rel=0.01)


def test_zero_time_returns_initial_profile():
    x, c, info = carb.carburize(constant(1e-11), 0.0, cells=10)
    assert info["steps"] == 0
    assert c == [0.8] + [0.2] * 10


@pytest.mark.parametrize("kwargs", [
    {"cells": 1}, {"depth_m": 0.0}, {"t_seconds": -1.0}, {"safety": 0.0}, {"safety": 1.5},
])
def test_carburize_rejects_bad_arguments(kwargs):
    args = {"diffusivity": constant(1e-11), "t_seconds": 100.0}
    args.update(kwargs)
    with pytest.raises(ValueError):
        carb.carburize(**args)


def test_carburize_rejects_non_positive_diffusivity():
    with pytest.raises(ValueError):
        carb.carburize(constant(0.0), 100.0)


# --------------------------------------------------------------------------
# solver, concentration-dependent diffusivity
# --------------------------------------------------------------------------

T_930 = 930.0 + 273.15


def _exp_diffusivity(w):
    # grows tenfold from 0.2 to 0.8 wt% C; a time step chosen from the
    # diffusivity of the base material would make the scheme oscillate
    return 2e-12 * 10.0 ** ((w - 0.2) / 0.6)


CONCENTRATION_DEPENDENT = {
    "stand-in": carb.carbon_diffusivity_in_wt(stand_in_diffusivity, T_930),
    "exponential": _exp_diffusivity,
}


@pytest.mark.parametrize("name", sorted(CONCENTRATION_DEPENDENT))
@pytest.mark.parametrize("c_base, c_surface", [(0.2, 0.8), (0.8, 0.2)])
def test_profile_is_monotone_and_bounded(name, c_base, c_surface):
    D = CONCENTRATION_DEPENDENT[name]
    x, c, _ = carb.carburize(D, 4 * HOUR, depth_m=3e-3, cells=150,
                             c_base=c_base, c_surface=c_surface)
    assert c[0] == c_surface
    lo, hi = sorted((c_base, c_surface))
    assert all(lo - 1e-12 <= ci <= hi + 1e-12 for ci in c)
    steps = [b - a for a, b in zip(c, c[1:])]
    sign = 1.0 if c_surface > c_base else -1.0
    assert all(sign * s <= 1e-12 for s in steps)
    # the deep end is still essentially untouched
    assert abs(c[-1] - c_base) < 1e-3


@pytest.mark.parametrize("name", sorted(CONCENTRATION_DEPENDENT))
def test_uptake_lies_between_constant_diffusivity_bounds(name):
    # the carbon taken up grows like sqrt(D_mean t) with a mean diffusivity
    # between the smallest and the largest D met in the profile
    D = CONCENTRATION_DEPENDENT[name]
    t = 4 * HOUR
    d_lo, d_hi = D(0.2), D(0.8)
    assert d_hi > 1.5 * d_lo
    x, c, _ = carb.carburize(D, t, depth_m=3e-3, cells=150)
    uptake = _uptake(x, c, 0.2)
    assert 1.2 * math.sqrt(d_lo * t / math.pi) < uptake < 1.2 * math.sqrt(d_hi * t / math.pi)


def test_boltzmann_similarity():
    # on a semi-infinite bar c depends on x / sqrt(t) only, whatever D(c):
    # four times the time gives the same profile at twice the depth
    D = CONCENTRATION_DEPENDENT["stand-in"]
    x1, c1, _ = carb.carburize(D, 1 * HOUR, depth_m=1.5e-3, cells=150)
    x4, c4, _ = carb.carburize(D, 4 * HOUR, depth_m=3e-3, cells=150)
    assert max(abs(a - b) for a, b in zip(c1, c4)) < 2e-3


def test_grid_refinement_changes_case_depth_little():
    D = CONCENTRATION_DEPENDENT["stand-in"]
    depths = []
    for cells in (75, 300):
        x, c, _ = carb.carburize(D, 4 * HOUR, depth_m=3e-3, cells=cells)
        depths.append(carb.case_depth(x, c, 0.4))
    assert depths[0] == pytest.approx(depths[1], abs=5e-6)  # 5 um


def test_case_depth_with_stand_in_diffusivity():
    # D is 1.1e-11 .. 2.2e-11 m^2/s over the profile; the erfc case depths
    # 2 sqrt(D t) erfinv(2/3) for these bounds are 0.55 mm and 0.78 mm
    D = CONCENTRATION_DEPENDENT["stand-in"]
    x, c, _ = carb.carburize(D, 4 * HOUR, depth_m=3e-3, cells=150)
    depth = carb.case_depth(x, c, 0.4)
    assert 0.6e-3 < depth < 0.78e-3


# --------------------------------------------------------------------------
# case depth and interpolation
# --------------------------------------------------------------------------

PROFILE_X = [0.0, 1.0, 2.0, 3.0]
PROFILE_C = [0.8, 0.6, 0.3, 0.2]


@pytest.mark.parametrize("threshold, expected", [
    (0.4, 1.0 + 2.0 / 3.0),
    (0.6, 1.0),    # exactly on a node
    (0.7, 0.5),
    (0.8, 0.0),    # the surface value itself
    (0.25, 2.5),
    (0.2, 3.0),    # reached at the last node
])
def test_case_depth_interpolates(threshold, expected):
    assert carb.case_depth(PROFILE_X, PROFILE_C, threshold) == pytest.approx(expected)


@pytest.mark.parametrize("threshold", [0.9, 0.1])
def test_case_depth_none_when_threshold_not_crossed(threshold):
    # 0.9: surface already below it, no case; 0.1: deeper than the profile
    assert carb.case_depth(PROFILE_X, PROFILE_C, threshold) is None


def test_case_depth_takes_first_crossing():
    x = [0.0, 1.0, 2.0, 3.0, 4.0]
    c = [0.8, 0.3, 0.5, 0.3, 0.2]
    assert carb.case_depth(x, c, 0.4) == pytest.approx(0.8)


def test_case_depth_flat_at_threshold():
    assert carb.case_depth([0.0, 1.0, 2.0], [0.4, 0.4, 0.3], 0.4) == 0.0


def test_case_depth_length_mismatch():
    with pytest.raises(ValueError):
        carb.case_depth([0.0, 1.0], [0.8], 0.4)


@pytest.mark.parametrize("x, expected", [
    (-1.0, 0.8), (0.0, 0.8), (0.5, 0.7), (2.0, 0.3), (2.9, 0.21), (5.0, 0.2),
])
def test_interpolate(x, expected):
    assert carb.interpolate(PROFILE_X, PROFILE_C, x) == pytest.approx(expected)


# --------------------------------------------------------------------------
# the demo end to end
# --------------------------------------------------------------------------

def _check_demo_output(out):
    assert "D_C [m²/s]" in out and "D_N [m²/s]" in out
    for w in ("0.20", "0.40", "0.60", "0.80", "1.00"):
        assert f"{w} wt% C" in out
    # 7 temperatures x 2 tables, each row with 5 diffusivities
    rows = re.findall(r"^\s+(\d+) \|((?:\s+\d\.\d{3}e-\d\d){5})$", out, re.M)
    assert [int(T) for T, _ in rows] == list(range(850, 1001, 25)) * 2
    values = [float(v) for _, cells in rows for v in cells.split()]
    assert all(1e-13 < v < 1e-9 for v in values)
    # carbon diffusivity grows with temperature and with carbon content
    carbon = [[float(v) for v in cells.split()] for _, cells in rows[:7]]
    assert all(a < b for row in carbon for a, b in zip(row, row[1:]))
    assert all(a[0] < b[0] for a, b in zip(carbon, carbon[1:]))
    # 930 degC, 0.8 wt% C is about 2e-11 m^2/s, so 925 and 950 bracket it
    assert 1e-11 < carbon[3][3] < 4e-11

    profile = re.findall(r"^\s+(\d\.\d)\s+(\d\.\d{3})$", out, re.M)
    assert [float(d) for d, _ in profile] == pytest.approx([k / 10 for k in range(21)])
    conc = [float(v) for _, v in profile]
    assert conc[0] == pytest.approx(0.8)
    assert all(a >= b for a, b in zip(conc, conc[1:]))
    m = re.search(r"Case depth \(0\.4 wt% C\): (\d+\.\d+) mm", out)
    assert m, out
    return float(m.group(1))


def test_main_with_stand_in_library(monkeypatch, capsys):
    fake = types.ModuleType("talvenor")
    fake.slycke = types.SimpleNamespace(
        create_carbon_diffusivity=lambda: stand_in_diffusivity,
        create_nitrogen_diffusivity=lambda: (lambda y, T: 0.6 * stand_in_diffusivity(y, T)),
    )
    fake.constants = types.SimpleNamespace(T_NORMAL=273.15)
    monkeypatch.setitem(sys.modules, "talvenor", fake)
    assert carb.main([]) == 0
    depth = _check_demo_output(capsys.readouterr().out)
    assert 0.6 < depth < 0.78


def test_main_with_library(capsys):
    pytest.importorskip("talvenor")
    assert carb.main([]) == 0
    depth = _check_demo_output(capsys.readouterr().out)
    # D ~ 1.5-2.5e-11 m^2/s at 930 degC, sqrt(D t) ~ 0.5 mm after 4 h
    assert 0.5 < depth < 1.5
