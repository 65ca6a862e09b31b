"""Recipe files, the command line, plots and the cycle design of talvenor.process."""

import dataclasses
import os
import re
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

from conftest import run_python

process = pytest.importorskip("talvenor.process")
from talvenor.process import cli  # noqa: E402
from talvenor.process.present import plot, report  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
PNG = b"\x89PNG\r\n\x1a\n"

STEEL = "[steel]\ncarbon_wt = 0.2\n"
STAGE = "[[stage]]\nduration_h = 1.0\ntemperature_c = 930.0\ncarbon_potential_wt = 0.8\n"


def run(recipe):
    return process.simulate(recipe.stages, steel=recipe.steel, geometry=recipe.geometry, depth_mm=recipe.depth_mm,
                            cells=recipe.cells)


@pytest.mark.parametrize("text, where", [
    (None, "No such file or directory"),
    (STEEL + "[[stage]\n", "not a valid TOML file: Expected ']]'"),
    (STEEL + STAGE + STAGE.replace("carbon_potential_wt", "carbon_potenial_wt"),
     "stage 2 of 2: unknown key 'carbon_potenial_wt'"),
    (STEEL + "[[stage]]\ntemperature_c = 930.0\n", "stage 1 of 1: missing key 'duration_h'"),
    (STEEL + STAGE.replace("1.0", '"1 h"'), "stage 1 of 1: duration_h must be a number, got '1 h'"),
    (STEEL + STAGE.replace("0.8", "-0.8"), "stage 1 of 1: carbon_potential_wt must not be negative"),
    (STEEL + STAGE.replace("0.8", "4.5"), "stage 1 of 1: the carbon potential 4.5 wt% reaches"),
    ("[steel]\ncarbon = 0.2\n" + STAGE, "[steel]: unknown key 'carbon'"),
    ("[steel]\nnitrogen_wt = 0.1\n" + STAGE, "[steel]: missing key 'carbon_wt'"),
    ("[steel]\ngrade = '20MnCr6'\n" + STAGE, "[steel]: unknown steel grade '20MnCr6' (known: 16MnCr5, "),
    ("[steel]\ngrade = '20MnCr5'\nchromium_wt = -1.0\n" + STAGE, "[steel]: chromium_wt must be finite and not neg"),
    ("[steel]\ngrade = '20MnCr5'\nalloy_factor = 0\n" + STAGE, "[steel]: alloy_factor must be finite and positive"),
    (STEEL + "[quench]\naustenite_hv = 250.0\n" + STAGE, "[quench]: missing key 'temperature_c'"),
    (STEEL + "[quench]\ntemperature_c = -300.0\n" + STAGE, "[quench]: temperature_c must be above absolute zero"),
    (STEEL + "[quench]\ntemperature_c = 60.0\nmedium = 'oil'\n" + STAGE, "[quench]: unknown key 'medium'"),
    ('[steel]\ncarbon_wt = "0.2"\n' + STAGE, "[steel]: carbon_wt must be a number"),
    (STEEL + "[part]\ncells = 2.5\n" + STAGE, "[part]: cells must be an integer"),
    (STEEL + "[part]\ngeometry = 'cube'\n" + STAGE, "[part]: geometry must be one of"),
    (STEEL + "[part]\ngeometry = ['plate']\n" + STAGE, "[part]: geometry must be one of"),
    (STEEL, "no [[stage]] tables"),
    (STEEL + STAGE.replace("[[stage]]", "[stage]"), "'stage' must be a list of tables, written [[stage]]"),
    (STEEL + STAGE.replace("930.0", "2000.0"), "stage 1 of 1: temperature_c must be below 1,400 °C, where steel melts"),
    (STEEL + STAGE.replace("1.0", "1e306"), "stage 1 of 1: duration_h must be at most 10,000 h, got 1e+306"),
    (STEEL + "[part]\ndepth_mm = 1e-300\n" + STAGE, "[part]: depth_mm must be between 0.01 and 10,000 mm, got 1e-300"),
    (STEEL + "[part]\ncells = 10000000\n" + STAGE, "[part]: cells must be at most 100,000, got 10000000"),
    (STEEL + STAGE * 1001, "1,001 [[stage]] tables; a recipe holds at most 1,000"),
    (STEEL + "nitrogen_wt = " + "[" * 5000 + "]" * 5000 + "\n" + STAGE, "arrays or tables nested too deeply"),
    (STEEL + STAGE + "#" * 2**20, "1,048,675 bytes, more than a recipe file may hold (1,048,576)"),
    (lambda path: path.symlink_to(os.devnull), "not a regular file, which a recipe file must be"),
    (STEEL + "[requirements]\nchd_min = 0.8\n" + STAGE, "[requirements]: unknown key 'chd_min' (known: chd_min_mm, "),
    (STEEL + "[requirements]\nchd_min_mm = 1.1\nchd_max_mm = 0.8\n" + STAGE,
     "[requirements]: chd_min_mm 1.1 is above chd_max_mm 0.8"),
    (STEEL + "[requirements]\nno_carbides = 1\n" + STAGE, "[requirements]: no_carbides must be true or false, got 1"),
    (STEEL + "[requirements]\ncore_hardness_max_hv = 450\n" + STAGE,
     "[requirements]: core_hardness_max_hv needs the hardened case: give a [quench] table or --quench"),
])
def test_a_bad_recipe_file_ends_with_status_2_and_one_line_naming_where(text, where, tmp_path, capsys):
    recipe, csv = tmp_path / "recipe.toml", tmp_path / "profile.csv"
    if callable(text):
        text(recipe)
    elif text is not None:
        recipe.write_text(text, encoding="utf-8")
    assert cli.main([str(recipe), "--csv", str(csv)]) == 2
    out, err = capsys.readouterr()
    assert out == "" and not csv.exists()
    assert err == f"talvenor-process: {recipe}: {where}" + err.split(where, 1)[1]
    assert err.count("\n") == 1


def test_a_recipe_file_may_start_with_a_byte_order_mark(tmp_path):
    plain, marked = tmp_path / "plain.toml", tmp_path / "marked.toml"
    plain.write_text(STEEL + STAGE, encoding="utf-8")
    marked.write_text(STEEL + STAGE, encoding="utf-8-sig")
    assert process.read_recipe(marked) == process.read_recipe(plain)


@pytest.mark.parametrize("example, command, hardening", [
    ("gas_carburizing", [Path(sys.executable).with_name("talvenor-process")], []),
    ("gas_carburizing", [sys.executable, "-m", "talvenor.process"], ["--quench", "20", "--limit-hv", "513"]),
    ("carbonitriding", [sys.executable, "-m", "talvenor.process"], []),
    ("vacuum_carburizing", [sys.executable, "-m", "talvenor.process"], []),
    ("gear_20mncr5", [sys.executable, "-m", "talvenor.process"], []),
])
def test_the_examples_run_end_to_end(example, command, hardening, tmp_path):
    path, csv, png = EXAMPLES / f"{example}.toml", tmp_path / "profile.csv", tmp_path / "plot.png"
    done = subprocess.run([*command, path, "--threshold", "0.4", "--csv", csv, "--plot", png, *hardening],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    recipe = process.read_recipe(path)
    result = run(recipe)
    printed = re.search(r"^Case depth +(\d+\.\d\d) mm \(at 0.4 wt% C\)$", done.stdout, re.M)
    assert printed and float(printed.group(1)) == round(result.case_depth_mm(0.4), 2), done.stdout
    header, *rows = csv.read_text(encoding="utf-8").splitlines()
    columns = [result.depth_mm, result.carbon_wt, result.nitrogen_wt]
    quench_c = float(hardening[1]) if hardening else recipe.quench_c
    if quench_c is None:
        assert header == "depth_mm,carbon_wt,nitrogen_wt" and "CHD" not in done.stdout
    else:
        case = result.harden(quench_c=quench_c, austenite_hv=recipe.austenite_hv, severity_h=recipe.severity_h,
                             temper=recipe.temper)
        limit_hv = float(hardening[3]) if hardening else 550.0
        assert header == "depth_mm,carbon_wt,nitrogen_wt,hardness_hv,retained_austenite_pct"
        columns += [case.hardness_hv, 100.0 * case.retained_austenite]
        printed = re.search(rf"^CHD +(\d+\.\d\d) mm \(at {limit_hv:g} HV\)$", done.stdout, re.M)
        assert printed and float(printed.group(1)) == round(case.case_hardening_depth_mm(limit_hv), 2), done.stdout
    assert np.array_equal(np.loadtxt(rows, delimiter=","), np.column_stack(columns))
    assert png.read_bytes()[:8] == PNG


@pytest.mark.parametrize("steel, quench, shown, not_shown", [
    ("carbon_wt = 0.2", "temperature_c = 60.0",
     [r"^Hardness +\d+ HV \(\d+\.\d HRC\) at the surface, \d+ HV \(\d+\.\d HRC\) in the core$",
      r"^CHD +0\.\d\d mm \(at 550 HV\)$",
      r"^Austenite +\d+\.\d % retained at the surface$", r"^ +0\.00 +0\.800 +0\.000 +\d+ +\d+\.\d$"], "ISO"),
    ("carbon_wt = 0.3\nmanganese_wt = 1.0", "temperature_c = 60.0",
     [r"^ +ISO 18203 asks for a limit above 550 HV: the core is 5\d\d HV at 3 times the CHD"], "none"),
    ("carbon_wt = 0.2", "temperature_c = 500.0\naustenite_hv = 200.0",
     [r"^Hardness +200 HV \(below 20 HRC\) at the surface, 200 HV \(below 20 HRC\) in the core$",
      r"^CHD +none, the hardness stays below 550 HV$", r"^Austenite +100\.0 %"], "ISO"),
])
def test_the_summary_reports_the_hardened_case(steel, quench, shown, not_shown, tmp_path, capsys):
    recipe = tmp_path / "recipe.toml"
    recipe.write_text(f"[steel]\n{steel}\n[quench]\n{quench}\n" + STAGE.replace("1.0", "4.0", 1), encoding="utf-8")
    assert cli.main([str(recipe)]) == 0
    out = capsys.readouterr().out
    for line in shown:
        assert re.search(line, out, re.M), (line, out)
    assert not_shown not in out


def interrupt(*args, **kwargs):
    raise KeyboardInterrupt


@pytest.mark.parametrize("options, status, message", [
    (["--csv", "{tmp}/recipe.toml"], 2, "talvenor-process: --csv {tmp}/recipe.toml: is the recipe file, which the run "
                                        "would overwrite"),
    (["--csv", "{tmp}/a.png", "--plot", "{tmp}/./a.png"], 2,
     "talvenor-process: --csv {tmp}/a.png and --plot {tmp}/./a.png are the same file"),
    (["--csv", "{tmp}/old.csv", "--plot", "{tmp}/plot.xyz"], 2,
     "talvenor-process: --plot {tmp}/plot.xyz: cannot draw a '.xyz' file; the formats are png, pdf, svg"),
    (["--csv", "{tmp}/old.csv", "--plot", "{tmp}/gone/plot.png"], 1,
     "talvenor-process: {tmp}/gone/plot.png: No such file or directory"),
    (["--csv", "{tmp}/old.csv", "--threshold", "-0.1"], 2,
     "talvenor-process: --threshold must be finite and not negative, got -0.1"),
    (["--csv", "{tmp}/old.csv", "--plot", "{tmp}/plot.png"], 130, "interrupted"),
])
def test_a_run_that_fails_leaves_the_output_files_as_they_were(options, status, message, tmp_path, monkeypatch,
                                                               capsys):
    (tmp_path / "recipe.toml").write_text(STEEL + STAGE, encoding="utf-8")
    (tmp_path / "old.csv").write_text("kept\n", encoding="utf-8")
    if status == 130:  # Ctrl-C while the plot is drawn, after the CSV
        monkeypatch.setattr(plot, "plot_result", interrupt)
    before = {path: path.read_bytes() for path in tmp_path.iterdir()}
    argv = [str(tmp_path / "recipe.toml"), *(option.format(tmp=tmp_path) for option in options)]
    assert cli.main(argv) == status
    assert capsys.readouterr().err == message.format(tmp=tmp_path) + "\n"
    assert {path: path.read_bytes() for path in tmp_path.iterdir()} == before


class _InterruptedImport:
    """A finder that stands for Ctrl-C pressed while the command line loads."""

    def find_spec(self, name, path=None, target=None):
        if name == "talvenor.process.cli":
            raise KeyboardInterrupt


@pytest.mark.parametrize("interrupted, status, err", [(False, 0, ""), (True, 130, "interrupted\n")])
def test_the_command_ends_quietly_when_interrupted_while_it_loads(interrupted, status, err, monkeypatch, capsys):
    from talvenor import _process_cli

    monkeypatch.setattr(sys, "argv", ["talvenor-process", str(EXAMPLES / "gas_carburizing.toml")])
    if interrupted:
        monkeypatch.delitem(sys.modules, "talvenor.process.cli")
        monkeypatch.setattr(sys, "meta_path", [_InterruptedImport(), *sys.meta_path])
    assert _process_cli.main() == status
    captured = capsys.readouterr()
    assert captured.err == err
    assert ("Verdict" in captured.out) != interrupted


def test_a_plot_without_a_suffix_is_a_png_and_is_reported_as_written(tmp_path, capsys):
    assert cli.main([str(EXAMPLES / "gas_carburizing.toml"), "--plot", str(tmp_path / "plot")]) == 0
    assert capsys.readouterr().out.endswith(f"Plot written to {tmp_path / 'plot.png'}\n")
    assert [path.name for path in tmp_path.iterdir()] == ["plot.png"]
    assert (tmp_path / "plot.png").read_bytes()[:8] == PNG


def test_the_readme_shows_what_the_carbonitriding_example_prints(monkeypatch, capsys):
    monkeypatch.chdir(ROOT)
    assert cli.main(["examples/carbonitriding.toml"]) == 0
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    shown = readme.split("$ python -m talvenor.process examples/carbonitriding.toml --plot carbonitriding.png\n")[1]
    assert capsys.readouterr().out == shown.split("Plot written to")[0]


SLYCKE_RANGE = "is outside 727–1148 °C, the austenite range where the Slycke diffusivities hold; the profiles there " \
               "are extrapolated"


@pytest.mark.parametrize("stage, warnings", [
    (dict(temperature_c=930.0, carbon_potential_wt=1.1), []),
    (dict(temperature_c=600.0, carbon_potential_wt=0.5), [f"stage 1 of 1: 600 °C {SLYCKE_RANGE}"]),
    (dict(temperature_c=1100.0, end_temperature_c=1200.0, carbon_potential_wt=1.2),
     [f"stage 1 of 1: 1200 °C {SLYCKE_RANGE}"]),
    (dict(temperature_c=950.0, carbon_potential_wt=1.6, carbon_transfer_m_s=2e-7),
     ["stage 1 of 1: the carbon potential 1.6 wt% is above the carbon solubility 1.37 wt% at 950 °C; carbides form"]),
    (dict(temperature_c=940.0, end_temperature_c=700.0, carbon_potential_wt=0.9), [
        f"stage 1 of 1: 700 °C {SLYCKE_RANGE}",
        "stage 1 of 1: the carbon potential 0.9 wt% is above the carbon solubility 0.77 wt% at 727 °C; carbides form"]),
])
def test_doubtful_stages_are_warned_of_by_simulate_and_the_command_line(stage, warnings, tmp_path, capsys):
    stage = process.Stage(duration_h=1.0, **stage)
    assert process.simulate([stage], core_carbon_wt=0.2).warnings == tuple(warnings)
    # The range is that of the Slycke diffusivities; the solubility holds for any.
    constant = process.simulate([stage], core_carbon_wt=0.2, carbon_diffusivity=lambda x, T: 2e-11,
                                nitrogen_diffusivity=lambda x, T: 2e-11)
    assert constant.warnings == tuple(warning for warning in warnings if "solubility" in warning)
    path = tmp_path / "recipe.toml"
    path.write_text(process.format_recipe(process.Recipe(stages=(stage,), steel=process.Steel(carbon_wt=0.2))), encoding="utf-8")
    assert cli.main([str(path)]) == 0
    assert capsys.readouterr().err == "".join(f"talvenor-process: {path}: warning: {warning}\n" for warning in warnings)


def pdf_text(data):
    """The lines of text of a PDF that matplotlib wrote, from its inflated streams."""
    lines = []
    # A stream's data may itself end in b"\r"; the inflater stops at the end
    # of the data and leaves the line break before "endstream" unused.
    for stream in re.findall(rb"stream\r?\n(.*?)endstream", data, re.S):
        try:
            content = zlib.decompressobj().decompress(stream)
        except zlib.error:
            continue
        for array in re.findall(rb"\[(.*?)\]\s*TJ", content, re.S):
            text = b"".join(re.findall(rb"\(((?:\\.|[^\\)])*)\)", array))
            lines.append(re.sub(rb"\\(.)", rb"\1", text).decode("latin-1"))
    return lines


@pytest.mark.parametrize("change, status, verdicts", [
    ({}, 0, [r"^CHD at 550 HV +0\.68 mm +0\.60–0\.90 +pass +\+0\.08$",
             r"^Surface hardness +56\.5 HRC +55\.0–61\.0 +pass +\+1\.5$",
             r"^Core hardness +27\.5 HRC +25\.0–40\.0 +pass +\+2\.5$",
             r"^No carbides +0\.00 g/m² +≤ 0\.05 +pass +\+0\.05$",
             r"^Verdict +pass: all 7 requirements are met$"]),
    ({"chd_max_mm = 0.9": "chd_max_mm = 0.65", "retained_austenite_max_pct = 35.0": "retained_austenite_max_pct = 25"},
     3, [r"^CHD at 550 HV +0\.68 mm +0\.60–0\.65 +fail +-0\.03$",
         r"^Retained austenite +26\.6 % +≤ 25\.0 +fail +-1\.6$",
         r"^Surface carbon +0\.726 wt% +0\.650–0\.800 +pass +\+0\.074$",
         r"^Verdict +fail: 2 of 7 requirements are not met \(CHD at 550 HV, Retained austenite\)$"]),
])
def test_a_recipe_is_checked_against_its_requirements_and_reported(change, status, verdicts, tmp_path):
    text = (EXAMPLES / "carbonitriding.toml").read_text(encoding="utf-8")
    for old, new in change.items():
        assert old in text
        text = text.replace(old, new)
    recipe, pdf = tmp_path / "shaft.toml", tmp_path / "shaft.pdf"
    recipe.write_text(text, encoding="utf-8")
    done = subprocess.run([sys.executable, "-m", "talvenor.process", recipe, "--report", pdf],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == status, done.stderr
    for line in verdicts:
        assert re.search(line, done.stdout, re.M), (line, done.stdout)
    *_, verdict, written = done.stdout.splitlines()
    assert written == f"Report written to {pdf}"
    # One page of summary and verdict, one of plots, one of the profile table.
    data = pdf.read_bytes()
    assert data.startswith(b"%PDF-") and len(re.findall(rb"/Type\s*/Page\b", data)) == 3
    shown = pdf_text(data)
    assert verdict in shown and "requirement                        found  band          verdict  margin" in shown
    assert any(line.endswith("  CHD at 550 HV") for line in shown)
    subject = verdict.split(maxsplit=1)[1].replace("(", "\\(").replace(")", "\\)")
    assert f"/Subject ({subject})".encode() in data
    assert sorted(path.name for path in tmp_path.iterdir()) == ["shaft.pdf", "shaft.toml"]  # no temporary file left


def test_a_long_summary_flows_onto_more_pages_of_the_report(tmp_path):
    result = run(process.read_recipe(EXAMPLES / "gas_carburizing.toml"))
    pdf = tmp_path / "long.pdf"
    pages = report.write_document(pdf, title="long", summary=[f"line {n}" for n in range(150)],
                                  plots=plot.result_figure(result, page_in=(8.27, 11.69)), table=["table"])
    assert pages == len(re.findall(rb"/Type\s*/Page\b", pdf.read_bytes())) == 3 + 1 + 1


def test_requirements_are_written_back_as_they_were_read(tmp_path):
    recipe = process.read_recipe(EXAMPLES / "carbonitriding.toml")
    again = tmp_path / "again.toml"
    again.write_text(process.format_recipe(recipe), encoding="utf-8")
    assert process.read_recipe(again) == recipe and recipe.requirements.no_carbides


DESIGNS = [
    (0.5, dict(temperature_c=900.0, boost_potential_wt=1.2, diffuse_potential_wt=0.75)),
    (1.0, dict(temperature_c=930.0, boost_potential_wt=1.1, diffuse_potential_wt=0.8, transfer_m_s=2e-7)),
    (0.8, dict(temperature_c=930.0, boost_potential_wt=1.1, diffuse_potential_wt=0.8, threshold_wt=0.5,
               hump_wt=0.1, geometry="cylinder", depth_mm=2.0)),
    # Seconds of carburizing: the search passes through times at which the
    # carbon has not reached the first cell.
    (0.001, dict(temperature_c=930.0, boost_potential_wt=1.1, diffuse_potential_wt=0.8, depth_mm=0.01)),
]


@pytest.mark.parametrize("case_mm, options", DESIGNS)
def test_a_design_gives_the_case_within_the_hump_and_no_shorter_cycle_does(case_mm, options):
    boost, diffuse = process.design_boost_diffuse(0.2, case_mm, **options)
    threshold = options.get("threshold_wt", 0.35)
    ceiling = options["diffuse_potential_wt"] + options.get("hump_wt", 0.05)
    part = dict(depth_mm=options.get("depth_mm", 4.0 * case_mm), geometry=options.get("geometry", "plate"))

    def cycle(boost_h, diffuse_h):
        stages = [process.Stage(duration_h=h, temperature_c=options["temperature_c"], carbon_potential_wt=potential,
                                carbon_transfer_m_s=options.get("transfer_m_s")) for h, potential in
                  ((boost_h, options["boost_potential_wt"]), (diffuse_h, options["diffuse_potential_wt"]))]
        result = process.simulate(stages, core_carbon_wt=0.2, **part)
        return result.case_depth_mm(threshold), result.carbon_wt.max()

    case, peak = cycle(boost.duration_h, diffuse.duration_h)
    assert abs(case / case_mm - 1.0) <= 0.01 and peak <= ceiling
    # A cycle 4 % shorter reaches at most about 98 % of the case, however split.
    total = 0.96 * (boost.duration_h + diffuse.duration_h)
    for share in np.linspace(0.05, 0.95, 19):
        case, peak = cycle(share * total, (1.0 - share) * total)
        assert case < 0.99 * case_mm or peak > ceiling, share


@pytest.mark.parametrize("change, message", [
    (dict(boost_potential_wt=0.8), "boost_potential_wt 0.8 must be above diffuse_potential_wt 0.8"),
    (dict(threshold_wt=0.9), "threshold_wt 0.9 must lie between core_carbon_wt 0.2 and diffuse_potential_wt 0.8"),
    (dict(depth_mm=1.0), "case_depth_mm 1.0 is deeper than the part allows"),
    (dict(case_depth_mm=100.0), "no cycle of up to 1000 h gives the case depth: a boost alone of 1000 h reaches 16.54 mm"),
    (dict(case_depth_mm=0.001), "case_depth_mm 0.001 is too thin: the part of 4 case depths that the design assumes, "
                                "0.004 mm, is thinner than the thinnest part, 0.01 mm"),
    (dict(cells=3), "case_depth_mm 1.0 is thinner than two cells of the grid, of 1.333 mm each"),
    (dict(hump_wt=1e-9), "hump_wt 1e-09 is below what the grid resolves: on 200 cells of 0.02 mm the profile of this "
                         "case is accurate to about 0.00036 wt%"),
    (dict(core_carbon_wt=0.42), "the core carbon 0.42 wt% is at or above threshold_wt 0.35: the whole part is"),
    (dict(temperature_c=700.0), "temperature_c must be between 727 and 1,148 °C, where the Slycke diffusivities"),
])
def test_a_design_that_cannot_exist_says_why(change, message):
    options = dict(core_carbon_wt=0.2, case_depth_mm=1.0, temperature_c=930.0, boost_potential_wt=1.1,
                   diffuse_potential_wt=0.8) | change
    with pytest.raises(ValueError, match=re.escape(message)):
        process.design_boost_diffuse(**options)


def test_a_core_above_the_threshold_is_said_to_have_no_case(tmp_path, capsys):
    recipe = tmp_path / "recipe.toml"
    recipe.write_text(STEEL.replace("0.2", "0.42") + STAGE, encoding="utf-8")
    assert cli.main([str(recipe)]) == 0
    assert "\nCase depth   none: the core's 0.42 wt% C is above the threshold, 0.35 wt% C\n" in capsys.readouterr().out


@pytest.mark.parametrize("steel, expected, quench_c", [
    (["--core-carbon", "0.2"], process.Steel(carbon_wt=0.2), None),
    (["--steel", "20mncr5", "--core-carbon", "0.2", "--quench", "60"],
     dataclasses.replace(process.Steel.grade("20MnCr5"), carbon_wt=0.2), 60.0),
])
def test_the_design_command_writes_the_recipe_it_prints(steel, expected, quench_c, tmp_path, capsys):
    written = tmp_path / "cycle.toml"
    assert cli.main(["design", *steel, "--case-depth", "1.0", "--temperature", "930",
                     "--boost-potential", "1.1", "--diffuse-potential", "0.8", "--write", str(written)]) == 0
    boost, diffuse = process.design_boost_diffuse(0.2, 1.0, temperature_c=930.0, boost_potential_wt=1.1,
                                                  diffuse_potential_wt=0.8)
    recipe = process.read_recipe(written)
    assert recipe.stages == (boost, diffuse) and recipe.depth_mm == 4.0
    assert recipe.steel == expected and recipe.quench_c == quench_c
    out = capsys.readouterr().out
    assert f"boost {boost.duration_h:.2f} h, diffuse {diffuse.duration_h:.2f} h" in out
    assert re.search(r"^Case depth +1\.00 mm", out, re.M)
    assert (re.search(r"^CHD +\d\.\d\d mm \(at 550 HV\)$", out, re.M) is None) == (quench_c is None)


def test_the_vacuum_design_command_prints_the_pulses_of_the_recipe_it_writes(tmp_path, capsys):
    written = tmp_path / "cycle.toml"
    assert cli.main(["design-vacuum", "--steel", "18CrNiMo7-6", "--case-depth", "1.0", "--temperature", "960",
                     "--flux", "100", "--surface-carbon", "0.7", "--write", str(written)]) == 0
    stages = process.design_vacuum_cycle(case_depth_mm=1.0, temperature_c=960.0, carbon_flux_g_m2_h=100.0,
                                         surface_carbon_wt=0.7, steel=process.Steel.grade("18CrNiMo7-6"))
    assert process.read_recipe(written).stages == tuple(stages)
    out = capsys.readouterr().out
    pulses = re.findall(r"^ +(\d+) +(\d+\.\d) +(\d+\.\d)$", out, re.M)
    assert pulses == [(str(n), f"{60.0 * b.duration_h:.1f}", f"{60.0 * d.duration_h:.1f}")
                      for n, (b, d) in enumerate(zip(stages[::2], stages[1::2]), 1)]
    assert "boost 100 g/m²h" in out and re.search(r"^Carbide +0\.00 g/m² left at the end", out, re.M)


DESIGN = ["design", "--case-depth", "1.0", "--temperature", "930", "--boost-potential", "1.1",
          "--diffuse-potential", "0.8"]


@pytest.mark.parametrize("argv, message", [
    ([str(EXAMPLES / "gas_carburizing.toml"), "--quench", "-300"], "--quench must be above absolute zero"),
    ([str(EXAMPLES / "carbonitriding.toml"), "--limit-hv", "nan"], "--limit-hv must be finite and positive, got nan"),
    (DESIGN, "design: give the steel: --core-carbon or --steel"),
    ([*DESIGN, "--steel", "SAE 1018"], "design: unknown steel grade 'SAE 1018' (known: 16MnCr5, "),
])
def test_a_bad_argument_ends_with_status_2_and_one_line_naming_it(argv, message, tmp_path, capsys):
    csv = tmp_path / "profile.csv"
    assert cli.main([*argv, "--csv", str(csv)]) == 2
    out, err = capsys.readouterr()
    assert out == "" and not csv.exists()
    assert err.startswith(f"talvenor-process: {message}") and err.count("\n") == 1


def test_simulate_reports_its_progress_to_the_end():
    seen = []
    stages = [process.Stage(duration_h=1.0, temperature_c=930.0, carbon_potential_wt=0.8)] * 2
    result = process.simulate(stages, core_carbon_wt=0.2, record_times_h=[1.5], progress=seen.append)
    # A stage's history has its start and the end of each step.
    assert len(seen) == result.history.time_h.size - len(stages)
    assert seen == sorted(seen) and seen[-1] == 1.0


def test_without_matplotlib_plotting_says_how_to_install_it(tmp_path):
    png = tmp_path / "plot.png"
    done = run_python(
        "import sys\n"
        "sys.modules['matplotlib'] = None\n"
        "from talvenor.process import cli, read_recipe\n"
        f"print(cli.main([{str(EXAMPLES / 'gas_carburizing.toml')!r}, '--plot', {str(png)!r}]))\n"
        "from talvenor.process import simulate, Stage\n"
        "simulate([Stage(duration_h=1.0, temperature_c=930.0)], core_carbon_wt=0.2).plot('x.png')\n")
    assert done.stdout == "1\n" and not png.exists()
    assert "--plot needs matplotlib; install it with: python -m pip install 'talvenor[plot]'" in done.stderr
    assert "ImportError: plotting needs matplotlib" in done.stderr


def test_output_whose_reader_has_gone_ends_quietly():
    # As in `talvenor-process RECIPE | head -1`: here the reader has gone
    # before the program writes anything.
    reader = subprocess.Popen([sys.executable, "-m", "talvenor.process", EXAMPLES / "carbonitriding.toml"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reader.stdout.close()
    assert reader.wait(timeout=120) == 1
    assert all(b": warning: " in line for line in reader.stderr.read().splitlines())  # no traceback, no noise
