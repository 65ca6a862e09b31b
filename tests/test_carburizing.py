"""The gas-carburizing example in examples/carburizing.py, end to end.

The solver it runs is talvenor.process, tested in test_process.py; here the
example must print the diffusivity table of the library's own diffusivities and
the profile and case depth of the simulation it asks for.
"""

import importlib.util
import re
from pathlib import Path

import pytest

pytest.importorskip("numpy")
from talvenor import constants, process, slycke  # noqa: E402

_EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "carburizing.py"
_spec = importlib.util.spec_from_file_location("carburizing_example", _EXAMPLE)
carb = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(carb)


def test_diffusivity_table_passes_site_fractions_and_kelvin():
    seen = []

    def recording(tag):
        def diffusivity(y, T):
            seen.append((tag, T, tuple(y)))
            return 1e-11
        return diffusivity

    rows = carb.diffusivity_table(recording("C"), recording("N"), temperatures_c=[900.0], carbon_wt=[0.8])
    y = tuple(float(v) for v in process.site_fractions(0.8))
    assert seen == [("C", 900.0 + constants.T_NORMAL, y), ("N", 900.0 + constants.T_NORMAL, y)]
    assert rows == [(900.0, 0.8, 1e-11, 1e-11)]


@pytest.mark.parametrize("argv", [[], ["--nitrogen", "0.3", "--hours", "2", "--threshold", "0.5"]])
def test_main_prints_the_table_the_profile_and_the_case_depth_of_the_simulation(argv, capsys):
    assert carb.main(argv) == 0
    out = capsys.readouterr().out
    rows = re.findall(r"^\s+(\d+) \|((?:\s+\d\.\d{3}e-\d\d){5})$", out, re.M)
    assert [int(T) for T, _ in rows] == list(range(850, 1001, 25)) * 2
    carbon = slycke.create_carbon_diffusivity()
    y = [float(v) for v in process.site_fractions(0.8)]
    assert f"{carbon(y, 950.0 + constants.T_NORMAL):11.3e}".strip() in out

    options = carb._parse(argv)
    stage = process.Stage(duration_h=options.hours, temperature_c=930.0, carbon_potential_wt=0.8,
                          nitrogen_potential_wt=options.nitrogen)
    expected = process.simulate([stage], core_carbon_wt=0.2).case_depth_mm(options.threshold)
    printed = re.search(rf"Case depth \({options.threshold:g} wt% C\): (\d+\.\d\d) mm", out)
    assert printed and float(printed.group(1)) == round(expected, 2), out
    profile = re.findall(r"^\s+(\d\.\d)\s+(\d\.\d{3})\s+(\d\.\d{3})$", out, re.M)
    assert len(profile) == 21 and float(profile[0][1]) == 0.8
    assert (float(profile[0][2]) > 0.0) == (options.nitrogen is not None)


def test_main_reports_an_impossible_potential(capsys):
    assert carb.main(["--surface", "5"]) == 2
    assert "singular" in capsys.readouterr().err
