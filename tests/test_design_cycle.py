"""Design to the drawing: the shortest cycle of a furnace, heat-up and tail
included, whose finished part meets every band; the furnace record and its
table; the grinding stock; the design command."""

import dataclasses
import re
from pathlib import Path

import numpy as np
import pytest

process = pytest.importorskip("talvenor.process")
from talvenor.process import cli  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
GAS = process.Furnace(kind="gas", temperature_c=930.0, carbon_potential_range_wt=(0.5, 1.15),
                      carbon_transfer_m_s=2e-7)
VACUUM = process.Furnace(kind="vacuum", temperature_c=960.0, carbon_flux_g_m2_h=100.0)
# The 20MnCr5 gear: 4 mm of section, still oil, tempered 2 h at 180 °C.
GEAR = dict(part=process.Part(depth_mm=4.0), quench_c=60.0, severity_h="still oil", temper=process.Temper(180.0, 2.0))
DRAWING = process.Requirements(chd_min_mm=0.8, chd_max_mm=1.1, surface_hardness_min_hrc=58.0,
                               surface_hardness_max_hrc=62.0, retained_austenite_max_pct=25.0, no_carbides=True)
MIDDLE_MM = 0.95


@pytest.fixture(scope="module")
def gas_design():
    return process.design_cycle(DRAWING, "20MnCr5", GAS, **GEAR)


@pytest.fixture(scope="module")
def vacuum_design():
    return process.design_cycle(DRAWING, "18CrNiMo7-6", VACUUM, **GEAR)


@pytest.mark.parametrize("which", ["gas_design", "vacuum_design"])
def test_a_design_read_back_from_its_file_meets_every_band_at_the_middle(which, request, tmp_path):
    design = request.getfixturevalue(which)
    path = tmp_path / "designed.toml"
    path.write_text(process.format_recipe(design.recipe), encoding="utf-8")
    outcome = process.evaluate(process.read_recipe(path))
    assert outcome.passed, outcome.verdicts.failed
    assert outcome.chd_mm == pytest.approx(MIDDLE_MM, abs=0.03)
    assert outcome.result.peak_carbide_g_m2 <= process.standards.CARBIDE_TOLERANCE_G_M2
    roles = design.roles
    assert roles[0] == "heat-up" and roles[-2:] == ("cool-down", "hold") and roles.count("boost") >= 1
    assert design.hours("heat-up") == 1.0 and design.hours("hold") == 0.5
    if which == "vacuum_design":
        pulses = [stage for stage, role in zip(design.recipe.stages, roles) if role in ("boost", "diffuse")]
        assert min(stage.duration_h for stage in pulses) >= (1.0 - 1e-9) / 60.0


def test_no_gas_cycle_five_percent_shorter_reaches_the_aim_and_meets_every_band(gas_design):
    stages, roles = gas_design.recipe.stages, gas_design.roles
    boost = stages[roles.index("boost")]
    tail_wt = stages[-1].carbon_potential_wt
    shorter_h = 0.95 * (gas_design.hours("boost") + gas_design.hours("diffuse"))
    for share in (0.0, 0.5, 0.8, 0.9, 1.0):
        middle = [dataclasses.replace(boost, duration_h=h) if potential is None else
                  dataclasses.replace(boost, duration_h=h, carbon_potential_wt=potential)
                  for h, potential in ((share * shorter_h, None), ((1.0 - share) * shorter_h, tail_wt)) if h > 0.0]
        outcome = process.evaluate(dataclasses.replace(gas_design.recipe, stages=(stages[0], *middle, *stages[-2:])))
        assert not (outcome.passed and outcome.verdicts.get("chd_mm").value >= MIDDLE_MM - 0.01), share


def test_with_a_range_of_temperatures_the_design_takes_the_shortest_cycle_of_the_range(gas_design):
    # Hotter carburizes faster but cools down longer to the hardening temperature.
    ranged = process.design_cycle(DRAWING, "20MnCr5", dataclasses.replace(
        GAS, temperature_c=None, temperature_range_c=(900.0, 960.0)), **GEAR)
    hottest = process.design_cycle(DRAWING, "20MnCr5", dataclasses.replace(GAS, temperature_c=960.0), **GEAR)
    assert ranged.passed and 900.0 <= ranged.temperature_c <= 960.0
    assert ranged.total_h <= min(gas_design.total_h, hottest.total_h) + 0.01
    assert ranged.recipe.stages[1].temperature_c == ranged.temperature_c


@pytest.mark.parametrize("furnace, steel", [(GAS, "20MnCr5"), (VACUUM, "18CrNiMo7-6")])
def test_a_drawing_that_cannot_be_met_names_the_band_and_what_would_help(furnace, steel):
    deep = dataclasses.replace(DRAWING, chd_min_mm=2.5, chd_max_mm=2.6)
    in_two_hours = dataclasses.replace(furnace, heat_up_h=0.5, hardening_c=None, hold_h=0.0, longest_h=2.0)
    with pytest.raises(process.DrawingNotMet, match=r"CHD at 550 HV \d\.\d\d mm, \d\.\d\d mm below its band "
                                                     r"2\.50–2\.60 mm") as unmet:
        process.design_cycle(deep, steel, in_two_hours, **(GEAR | dict(part=process.Part(depth_mm=12.0))))
    best = unmet.value.design
    assert best.total_h <= 2.0 + 1e-9 and not best.passed
    assert best.outcome.verdicts.failed[0] == "CHD at 550 HV"
    assert any("higher carburizing temperature than" in hint for hint in unmet.value.advice)


def test_grinding_stock_deepens_the_case_by_as_much_from_the_treated_surface(gas_design):
    ground = process.design_cycle(dataclasses.replace(DRAWING, grinding_stock_mm=0.1), "20MnCr5", GAS, **GEAR)
    assert ground.passed and ground.outcome.verdicts.get("chd_mm").value == pytest.approx(MIDDLE_MM, abs=0.01)
    assert ground.outcome.chd_mm - gas_design.outcome.chd_mm == pytest.approx(0.1, abs=0.015)


def test_without_a_tail_the_diffuse_brings_the_surface_and_the_carbon_below_it_down():
    held = dataclasses.replace(GAS, carbon_transfer_m_s=None, heat_up_h=0.0, hardening_c=None, hold_h=0.0)
    design = process.design_cycle(DRAWING, "20MnCr5", held, **GEAR)
    low_wt, high_wt = design.surface_window_wt
    assert design.passed and design.roles == ("boost", "diffuse") and design.hours("diffuse") > 0.0
    assert design.peak_wt <= high_wt + 0.05 + 2e-3
    assert low_wt <= design.outcome.result.surface_carbon_wt <= high_wt


def test_a_surface_that_no_carbon_content_gives_says_what_would_help():
    hard = dataclasses.replace(DRAWING, surface_hardness_min_hrc=62.0, surface_hardness_max_hrc=64.0)
    with pytest.raises(process.DrawingNotMet) as unmet:
        process.design_cycle(hard, "20MnCr5", GAS, **GEAR)
    assert unmet.value.failures[0].startswith("Surface hardness 5")
    assert any(hint.startswith("a sub-zero step") for hint in unmet.value.advice)
    assert unmet.value.design.outcome.verdicts.get("chd_mm").passed


@pytest.mark.parametrize("change, expected", [
    (dict(), [(1.0, (930.0, 930.0), None), (0.8, (930.0, 850.0), 0.7), (0.5, (850.0, 850.0), 0.7)]),
    (dict(heat_up_from_c=800.0, cooling_h=0.25, hold_h=0.0),
     [(1.0, (800.0, 930.0), None), (0.25, (930.0, 850.0), 0.7)]),
    (dict(heat_up_h=0.0, hardening_c=None, tail_potential_wt=0.8), [(0.5, (930.0, 930.0), 0.8)]),
    (dict(cooling_rate_c_h=40.0, hold_h=1.0), [(1.0, (930.0, 930.0), None), (2.0, (930.0, 850.0), 0.7),
                                                (1.0, (850.0, 850.0), 0.7)]),
])
def test_a_furnace_makes_the_heat_up_and_the_tail_of_its_cycles(change, expected):
    furnace = dataclasses.replace(GAS, **change)
    stages = (*furnace.heat_up(930.0), *furnace.tail(930.0, 0.7))
    assert [(stage.duration_h, stage.temperatures_c, stage.carbon_potential_wt) for stage in stages] == expected
    assert furnace.fixed_h(930.0) == pytest.approx(sum(stage.duration_h for stage in stages))


@pytest.mark.parametrize("stock_mm", [0.05, 0.3])
def test_the_bands_are_read_from_the_ground_surface(stock_mm):
    stage = process.Stage(duration_h=4.0, temperature_c=930.0, carbon_potential_wt=0.8)
    result = process.simulate([stage], steel="20MnCr5", depth_mm=3.0)
    hardening = result.harden(quench_c=60.0)
    bands = dict(chd_min_mm=0.1, case_depth_min_mm=0.1, surface_carbon_min_wt=0.1, hardness_depth_mm=0.2,
                 hardness_at_depth_min_hv=100.0)
    ground = process.check(result, process.Requirements(**bands, grinding_stock_mm=stock_mm), hardening)
    treated = process.check(result, process.Requirements(**bands), hardening)
    assert ground.get("chd_mm").value == pytest.approx(treated.get("chd_mm").value - stock_mm, abs=1e-9)
    assert ground.get("case_depth_mm").value == pytest.approx(treated.get("case_depth_mm").value - stock_mm, abs=1e-9)
    assert ground.get("surface_carbon_wt").value == pytest.approx(np.interp(stock_mm, result.depth_mm,
                                                                            result.carbon_wt))
    assert ground.get("hardness_at_depth_hv").value == pytest.approx(
        np.interp(0.2 + stock_mm, hardening.depth_mm, hardening.hardness_hv))
    with pytest.raises(ValueError, match="grinding_stock_mm 3.0 reaches the deepest point of the profile"):
        process.check(result, process.Requirements(**bands, grinding_stock_mm=3.0), hardening)


@pytest.mark.parametrize("change, message", [
    (dict(kind="oil"), "kind must be one of 'gas', 'vacuum', got 'oil'"),
    (dict(carbon_potential_range_wt=None), "a gas furnace needs carbon_potential_range_wt"),
    (dict(carbon_potential_range_wt=[1.2, 0.6]), r"carbon_potential_range_wt must be \[low, high\] with low at most"),
    (dict(carbon_flux_g_m2_h=100.0), "carbon_flux_g_m2_h is a key of a vacuum furnace, not of a gas one"),
    (dict(temperature_c=None), "give the carburizing temperature: temperature_c or temperature_range_c"),
    (dict(temperature_c=1200.0), "temperature_c must be between 727 and 1,148 °C"),
    (dict(hardening_c=950.0), "hardening_c must be at most 930 °C, the carburizing temperature, got 950.0"),
    (dict(cooling_h=1.0, cooling_rate_c_h=80.0), "give cooling_rate_c_h or cooling_h, not both"),
    (dict(hold_h=-1.0), "hold_h must be finite and not negative, got -1.0"),
])
def test_a_bad_furnace_names_the_key(change, message):
    with pytest.raises(ValueError, match=message):
        dataclasses.replace(GAS, **change)


@pytest.mark.parametrize("change, message", [
    (dict(chd_min_mm=None, chd_max_mm=None), "the requirements give no depth to design for"),
    (dict(chd_max_mm=None), "open at one end, so it has no middle to aim at: give aim_margin_mm"),
    (dict(surface_hardness_min_hrc=None, no_carbides=False), None),
])
def test_what_a_design_aims_at_needs_a_depth_band(change, message):
    drawing = dataclasses.replace(DRAWING, **change)
    if message is None:
        with pytest.raises(ValueError, match="aim_margin_mm 0.5 aims above the band, at 1.3 mm"):
            process.design_cycle(drawing, "20MnCr5", GAS, aim_margin_mm=0.5, **GEAR)
    else:
        with pytest.raises(ValueError, match=message):
            process.design_cycle(drawing, "20MnCr5", GAS, **GEAR)


def test_a_design_request_is_a_recipe_file_that_runs_only_once_designed(tmp_path, capsys):
    request = process.read_recipe(EXAMPLES / "gear_design.toml")
    assert request.furnace == dataclasses.replace(GAS, cooling_rate_c_h=100.0) and not request.stages
    again = tmp_path / "request.toml"
    again.write_text(process.format_recipe(request), encoding="utf-8")
    assert process.read_recipe(again) == request
    with pytest.raises(ValueError, match="the recipe has a furnace and no stages: it asks for a design"):
        process.evaluate(request)
    assert cli.main(["run", str(again)]) == 2
    assert "it asks for a design" in capsys.readouterr().err
    both = tmp_path / "both.toml"
    both.write_text(again.read_text(encoding="utf-8") + "\n[[stage]]\nduration_h = 1.0\ntemperature_c = 930.0\n",
                    encoding="utf-8")
    with pytest.raises(process.RecipeError, match=r"both.toml: a recipe has \[\[stage\]\] tables, a \[log\] table, "
                                                  r"or a \[furnace\] table that asks for a design: one of the three"):
        process.read_recipe(both)


def test_the_design_command_prints_the_cycle_and_writes_a_recipe_that_passes(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    written, report = tmp_path / "cycle.toml", tmp_path / "cycle.pdf"
    assert cli.main(["design", str(EXAMPLES / "gear_design_vacuum.toml"), "--write", str(written),
                     "--report", str(report)]) == 0
    out = capsys.readouterr().out
    assert report.read_bytes().startswith(b"%PDF")
    pulses = re.findall(r"^ +\d+ +(\d+\.\d) +(\d+\.\d)$", out, re.M)
    recipe = process.read_recipe(written)
    boosts = [stage for stage in recipe.stages if stage.carbon_flux_g_m2_h is not None]
    assert [float(boost) for boost, _ in pulses] == [round(60.0 * stage.duration_h, 1) for stage in boosts]
    assert re.search(r"^CHD at 550 HV +0\.9\d mm +0\.80–1\.10 +pass +\+0\.1\d$", out, re.M)
    assert "Verdict      pass: all 4 requirements are met" in out
    assert cli.main(["run", str(written)]) == 0


@pytest.mark.parametrize("argv, status, message", [
    (["design", str(EXAMPLES / "gear_design.toml"), "--case-depth", "1.0"], 2,
     "--case-depth is for a design without a recipe file"),
    (["design", str(EXAMPLES / "gear_20mncr5.toml")], 2, "has no [furnace] table"),
    (["design", "--steel", "20MnCr5"], 2, "design: give a recipe file with [requirements] and [furnace], or the "
                                          "case to design for: --case-depth, --temperature, --boost-potential, "
                                          "--diffuse-potential are missing"),
    (["design", "DEEP"], 3, "CHD at 550 HV 0."),
])
def test_a_design_that_cannot_be_made_writes_nothing_and_says_why(argv, status, message, tmp_path, capsys):
    if argv[1] == "DEEP":
        text = (EXAMPLES / "gear_design.toml").read_text(encoding="utf-8")
        argv[1] = str(tmp_path / "deep.toml")
        Path(argv[1]).write_text(text.replace("chd_min_mm = 0.8", "chd_min_mm = 2.5").replace(
            "chd_max_mm = 1.1", "chd_max_mm = 2.6").replace("hold_h = 0.5", "hold_h = 0.5\nlongest_h = 4.0"),
            encoding="utf-8")
    written = tmp_path / "cycle.toml"
    assert cli.main([*argv, "--write", str(written)]) == status
    err = capsys.readouterr().err.splitlines()
    assert not written.exists() and any(message in line for line in err), err
    assert err[-1].startswith("talvenor-process: ") and ("nothing written" in err[-1]) == (status == 3)
