"""The type stubs of python/talvenor against the installed extension.

stubtest compares the stubs with the modules the interpreter really loads
(names, signatures, finality, ``__all__``), and mypy --strict checks a typed
use of every public name (tests/typing_usage.py) and rejects a set of wrong
uses line by line.  The stubs are always taken from this checkout (through
MYPYPATH), so the test also works in an environment whose installed copy of
talvenor predates them; the runtime side is whatever ``import talvenor``
finds.
"""

from __future__ import annotations

import ast
import os
import re
import runpy
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
STUBS = ROOT / "python"
PACKAGE = STUBS / "talvenor"
USAGE = Path(__file__).with_name("typing_usage.py")

MODULES = ["talvenor", "talvenor._talvenor", "talvenor.constants", "talvenor.diffusion",
           "talvenor.slycke", "talvenor.calphad", "talvenor._kernel"]
# Pure-Python modules, typed in their source: stubtest checks them as they are.
TYPED_SOURCES = sorted([*(".".join(("talvenor", *path.relative_to(PACKAGE).with_suffix("").parts)).removesuffix(
    ".__init__") for path in (PACKAGE / "process").rglob("*.py")), "talvenor._process_cli"])


def run_tool(args: list[str], cwd: Path, stubs: Path = STUBS) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(stubs))
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def stubtest(tmp_path: Path, stubs: Path = STUBS) -> subprocess.CompletedProcess[str]:
    # stubtest finds the submodules of a package itself; naming them on the
    # command line as well makes mypy see every stub twice ("Duplicate
    # module"), so the package alone is given and the count is checked.
    return run_tool(["mypy.stubtest", "talvenor"], tmp_path, stubs)


def test_every_module_has_a_stub_and_the_marker():
    stems = sorted(path.stem for path in PACKAGE.glob("*.pyi"))
    expected = sorted("__init__" if name == "talvenor" else name.split(".")[-1] for name in MODULES)
    assert stems == expected
    assert (PACKAGE / "py.typed").is_file()


def test_stubtest_finds_no_difference(tmp_path):
    result = stubtest(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"no issues found in {len(MODULES) + len(TYPED_SOURCES)} modules" in result.stdout, result.stdout


def test_stubtest_notices_a_wrong_stub(tmp_path):
    # The same check with one parameter renamed and one class left open must
    # fail, or the check above proves nothing.
    broken = tmp_path / "stubs"
    shutil.copytree(STUBS, broken, ignore=shutil.ignore_patterns("*.py", "*.so", "__pycache__"))
    diffusion = broken / "talvenor" / "diffusion.pyi"
    source = diffusion.read_text(encoding="utf-8")
    source = source.replace("activation_energy_func:", "activation_energy_function:", 1)
    source = source.replace("@final\nclass ActivationEnergy", "class ActivationEnergy", 1)
    diffusion.write_text(source, encoding="utf-8")
    result = stubtest(tmp_path, broken)
    assert result.returncode != 0
    assert "talvenor.diffusion.ArrheniusModifiedDiffusivity.__new__" in result.stdout, result.stdout
    assert "talvenor.diffusion.ActivationEnergy cannot be subclassed" in result.stdout, result.stdout


def test_call_parameters_are_the_runtime_keywords():
    # stubtest cannot see through the __call__ slot (its runtime signature is
    # (*args, **kwargs)), so the stub's parameter names are tried as keywords.
    from talvenor import diffusion, slycke

    instances = {
        "PreExponentialFactor": diffusion.PreExponentialFactor(lambda x, t: 2.0),
        "ActivationEnergy": diffusion.ActivationEnergy(lambda x, t: 2.0),
        "ArrheniusModifiedDiffusivity": slycke.create_carbon_diffusivity(),
    }
    tree = ast.parse((PACKAGE / "diffusion.pyi").read_text(encoding="utf-8"))
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    for name, instance in instances.items():
        call = next(node for node in classes[name].body
                    if isinstance(node, ast.FunctionDef) and node.name == "__call__")
        arguments = call.args
        assert not arguments.posonlyargs and not arguments.kwonlyargs
        assert arguments.vararg is None and arguments.kwarg is None
        names = [argument.arg for argument in arguments.args]
        assert names == ["self", "array", "temperature"], name
        result = instance(**{names[2]: 1200.0, names[1]: [0.0, 0.0]})
        assert type(result) is float and result > 0.0


def test_typed_usage_passes_mypy_strict(tmp_path):
    result = run_tool(["mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                       str(USAGE)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_process_package_passes_mypy_strict(tmp_path):
    pytest.importorskip("numpy")
    result = run_tool(["mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                       "-p", "talvenor.process"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_usage_runs():
    pytest.importorskip("numpy")
    runpy.run_path(str(USAGE), run_name="__main__")


# Each line marked "# wrong" must draw a mypy error and no other line may.
WRONG_USES = textwrap.dedent("""\
    import talvenor
    from talvenor import constants, diffusion, slycke

    carbon = slycke.create_carbon_diffusivity()
    ok: float = carbon([0.0, 0.0], 1200) + carbon(array=[0.1, 0.0], temperature=1200.0)
    slycke.create_carbon_diffusivity(1)  # wrong
    carbon([0.0, 0.0], "1200")  # wrong
    carbon((0.0, 0.0), 1200.0)  # wrong
    carbon(object(), 1200.0)  # wrong
    carbon([0.0, 0.0])  # wrong
    carbon(x=[0.0, 0.0], temperature=1200.0)  # wrong
    text: str = carbon([0.0, 0.0], 1200.0)  # wrong
    diffusion.PreExponentialFactor(5)  # wrong
    diffusion.ActivationEnergy(lambda x: 1.0)  # wrong
    diffusion.ArrheniusModifiedDiffusivity(pre_exponential_factor=diffusion.ActivationEnergy(lambda x, t: 1.0))  # wrong
    diffusion.ArrheniusModifiedDiffusivity(None, None, None, None, None)  # wrong
    diffusion.ArrheniusModifiedDiffusivity(pre_exponential_func=lambda x, t: 1.0, activation_energy_func=lambda x, t: 1.0)
    constants.PI = 3.0  # wrong
    constants.gas_constant(1)  # wrong
    number: int = talvenor.version()  # wrong
    class Open(diffusion.ActivationEnergy): pass  # wrong
    talvenor.calphad.anything  # wrong
    """)


def test_mypy_rejects_wrong_uses(tmp_path):
    snippet = tmp_path / "wrong_uses.py"
    snippet.write_text(WRONG_USES, encoding="utf-8")
    result = run_tool(["mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                       "--no-error-summary", snippet.name], tmp_path)
    assert result.returncode == 1, result.stdout + result.stderr
    reported = {int(line) for line in re.findall(r"^wrong_uses\.py:(\d+): error:", result.stdout, re.M)}
    expected = {number for number, line in enumerate(WRONG_USES.splitlines(), 1) if line.endswith("# wrong")}
    assert len(expected) == 16
    assert reported == expected, result.stdout
