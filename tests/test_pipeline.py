"""The part, the pipeline from a recipe to its outcome, and the searches of the designs."""

import dataclasses
import math
import re
from pathlib import Path

import numpy as np
import pytest

process = pytest.importorskip("talvenor.process")
from talvenor.process import _search, cli  # noqa: E402
from talvenor.process.present import text  # noqa: E402
from talvenor.process.simulation import Runner  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
STAGE = process.Stage(duration_h=1.0, temperature_c=930.0, carbon_potential_wt=0.8)


@pytest.mark.parametrize("part, error, message", [
    (dict(geometry="cube"), ValueError, "geometry must be one of 'plate', 'cylinder', 'sphere', got 'cube'"),
    (dict(depth_mm=0.001), ValueError, "depth_mm must be between 0.01 and 10,000 mm, got 0.001"),
    (dict(cells=2), ValueError, "cells must be at least 3, got 2"),
    (dict(cells=2.5), TypeError, "cells must be an integer, got 2.5"),
    (dict(density_kg_m3=-1.0), ValueError, "density_kg_m3 must be finite and positive, got -1.0"),
])
def test_a_bad_part_names_the_value(part, error, message):
    with pytest.raises(error, match=message):
        process.Part(**part)


def test_keywords_of_simulate_replace_those_of_its_part():
    part = process.Part(geometry="cylinder", depth_mm=2.0, cells=50)
    given = process.simulate([STAGE], core_carbon_wt=0.2, part=part, cells=80)
    spelled = process.simulate([STAGE], core_carbon_wt=0.2, geometry="cylinder", depth_mm=2.0, cells=80)
    assert given.geometry == "cylinder" and given.depth_mm.size == 81
    assert np.array_equal(given.carbon_wt, spelled.carbon_wt)


@pytest.mark.parametrize("steel, core, error, message", [
    (None, None, TypeError, r"simulate\(\) needs the steel"),
    (16, None, TypeError, "steel must be a Steel or the name of a grade, got 16"),
    ("16MnCr6", None, ValueError, "unknown steel grade '16MnCr6'"),
    (None, 5.0, ValueError, "carbon_wt must be below 2.14 wt%, the most that austenite dissolves"),
])
def test_a_steel_that_is_none_says_so(steel, core, error, message):
    with pytest.raises(error, match=message):
        process.simulate([STAGE], steel=steel, core_carbon_wt=core)


@pytest.mark.filterwarnings("ignore:the last boost lasts the shortest pulse")
def test_a_grade_is_named_and_its_heat_analysis_replaces_its_carbon():
    heat = process.simulate([STAGE], steel="16MnCr5", core_carbon_wt=0.17)
    assert heat.steel == dataclasses.replace(process.Steel.grade("16MnCr5"), carbon_wt=0.17)
    stages = process.design_vacuum_cycle(case_depth_mm=1.0, temperature_c=960.0, carbon_flux_g_m2_h=100.0,
                                         surface_carbon_wt=0.7, steel="18CrNiMo7-6", core_carbon_wt=0.2)
    assert stages == process.design_vacuum_cycle(
        case_depth_mm=1.0, temperature_c=960.0, carbon_flux_g_m2_h=100.0, surface_carbon_wt=0.7,
        steel=dataclasses.replace(process.Steel.grade("18CrNiMo7-6"), carbon_wt=0.2))


@pytest.mark.parametrize("beyond_part", ["inf", "raise"])
def test_a_case_deeper_than_the_part_is_inf_when_asked(beyond_part):
    result = process.simulate([STAGE], core_carbon_wt=0.2, depth_mm=0.1)
    case = result.harden(quench_c=60.0)
    readings = (lambda: result.case_depth_mm(beyond_part=beyond_part),
                lambda: case.case_hardening_depth_mm(beyond_part=beyond_part))
    for read in readings:
        if beyond_part == "inf":
            assert read() == math.inf
        else:
            with pytest.raises(ValueError, match="down to the deepest point|over the whole depth"):
                read()
    with pytest.raises(ValueError, match="beyond_part must be 'raise' or 'inf', got 'nan'"):
        result.case_depth_mm(beyond_part="nan")


HARD_CORE = [700.0, 600.0, 500.0, 480.0, 470.0, 465.0, 460.0, 460.0]  # CHD 1.5 mm, 467.5 HV at 4.5 mm


@pytest.mark.parametrize("hardness_hv, limit_hv, expected", [
    (HARD_CORE, 550.0, 467.5),
    ([700.0, 600.0, 500.0, 440.0, 430.0, 420.0, 410.0, 400.0], 550.0, None),  # a softer core
    (HARD_CORE, 600.0, None),  # a limit above 550 HV already
    ([700.0] * 8, 550.0, None),  # a case deeper than the part
    ([500.0] * 8, 550.0, None),  # no case
])
def test_iso_18203_asks_for_a_higher_limit_over_a_hard_core(hardness_hv, limit_hv, expected):
    hv = np.array(hardness_hv)
    case = process.Hardening(np.arange(8.0), hv, np.ones(8), np.zeros(8), hv, process.hardening.hv_to_hrc(hv),
                             60.0, 300.0)
    assert case.iso_18203_core_hv(limit_hv) == expected


def test_the_outcome_is_what_the_command_line_prints(capsys):
    path = EXAMPLES / "carbonitriding.toml"
    assert cli.main([str(path)]) == 0
    outcome = process.evaluate(process.read_recipe(path))
    assert capsys.readouterr().out == text.printout(outcome, f"Recipe {path}") + "\n"
    assert outcome.passed and len(outcome.verdicts) == 7
    assert outcome.chd_mm == outcome.hardening.case_hardening_depth_mm()


def test_an_evaluation_quenches_where_asked_and_refuses_hardened_bands_without_a_quench():
    bands = process.Requirements(chd_min_mm=0.5)
    recipe = process.Recipe(stages=(STAGE,), steel=process.Steel.grade("16MnCr5"), requirements=bands)
    with pytest.raises(ValueError, match=r"\[requirements\]: chd_min_mm needs the hardened case"):
        process.evaluate(recipe)
    outcome = process.evaluate(recipe, quench_c=-80.0)
    assert outcome.hardening.quench_c == -80.0 and outcome.verdicts.failed == ("CHD at 550 HV",)


def test_the_part_and_its_density_are_written_back(tmp_path):
    recipe = process.Recipe(stages=(STAGE,), steel=process.Steel(carbon_wt=0.2),
                            part=process.Part(geometry="sphere", depth_mm=5.0, cells=40, density_kg_m3=7800.0))
    path = tmp_path / "recipe.toml"
    path.write_text(process.format_recipe(recipe), encoding="utf-8")
    assert process.read_recipe(path) == recipe


def test_run_takes_a_recipe_file_named_like_a_command_and_help_lists_the_commands(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "design").write_text((EXAMPLES / "gas_carburizing.toml").read_text(encoding="utf-8"),
                                     encoding="utf-8")
    assert cli.main(["run", "design"]) == 0
    assert capsys.readouterr().out.startswith("Recipe design\n")
    with pytest.raises(SystemExit) as done:
        cli.main(["--help"])
    assert done.value.code == 0
    listed = capsys.readouterr().out
    assert all(re.search(rf"^    {command}\s", listed, re.M) for command in ("run", "design", "design-vacuum"))


def test_a_design_run_that_cannot_go_on_raises_a_plain_value_error():
    runner = Runner(process.Steel(carbon_wt=0.2), process.Part(depth_mm=2.0))
    runner.advance(process.Stage(duration_h=1.0, temperature_c=960.0, carbon_flux_g_m2_h=200.0))
    assert runner.carbide_g_m2 > 0.0
    with pytest.raises(ValueError, match="1 h into the treatment: carbide is at the surface, but the carbon limit "
                                         "is not known") as raised:
        runner.advance(process.Stage(duration_h=1.0, temperature_c=1200.0))
    assert type(raised.value) is ValueError


@pytest.mark.parametrize("alloy_factor", [1.0, 1.2])
def test_a_design_run_treats_the_part_as_simulate_does(alloy_factor):
    steel, part = process.Steel(carbon_wt=0.2, alloy_factor=alloy_factor), process.Part(depth_mm=2.0)
    stages = [process.Stage(duration_h=2.0, temperature_c=930.0, carbon_potential_wt=0.9, carbon_transfer_m_s=2e-7),
              process.Stage(duration_h=1.0, temperature_c=930.0, carbon_potential_wt=0.7, carbon_transfer_m_s=2e-7)]
    runner = Runner(steel, part)
    for stage in stages:
        assert runner.advance(stage) == stage
    assert np.array_equal(runner.profile().carbon_wt, process.simulate(stages, steel=steel, part=part).carbon_wt)


def jump(x):
    """Increasing, and jumping over zero at 0.3 with no point where it is small."""
    return x - 0.3 + (0.5 if x >= 0.3 else -0.5)


@pytest.mark.parametrize("f, done, expected", [
    (lambda x: x - 0.3, lambda value: abs(value) <= 1e-3, 0.3),       # a point within the tolerance
    (jump, lambda value: abs(value) <= 1e-3, 0.3),                    # the last point below the jump
    (lambda x: x ** 3 - 0.027, lambda value: -1e-4 <= value <= 0.0, 0.3),  # only from below
])
def test_a_root_is_the_first_point_good_enough_or_the_last_below_a_jump(f, done, expected):
    x = _search.root(f, 0.0, f(0.0), 1.0, f(1.0), done=done, xtol=1e-9)
    assert x == pytest.approx(expected, abs=1e-3)
    assert done(f(x)) or (f is jump and f(x) < 0.0)


def test_a_search_refuses_a_value_that_is_not_finite_and_finds_a_maximum():
    with pytest.raises(ValueError, match="the search meets inf at"):
        _search.crossing(lambda x: math.inf, 0.0, -1.0, 1.0, 1.0, xtol=1e-6)
    x, peak = _search.maximum(lambda x: -(x - 0.7) ** 2, 1.0, xtol=1e-6)
    assert x == pytest.approx(0.7, abs=1e-5) and peak == pytest.approx(0.0, abs=1e-9)
