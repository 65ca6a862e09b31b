"""Build the sdist and the wheel as a release would, and use the wheel.

``python -m build`` makes the sdist from this checkout and the wheel from that
sdist, so a file missing from the sdist breaks the build here.  The wheel is
then installed without dependencies into a fresh virtual environment and
imported from a directory outside the checkout.

This takes about a minute (a full compile); ``-m 'not packaging'`` leaves it
out.  It is skipped only when the build tools cannot be had (no package
index reachable); any other failure fails it.
"""

from __future__ import annotations

import email.parser
import os
import subprocess
import sys
import tarfile
import textwrap
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.packaging

ROOT = Path(__file__).resolve().parents[1]
VERSION = "1.0.0"
STUBS = ["__init__.pyi", "_talvenor.pyi", "constants.pyi", "diffusion.pyi", "slycke.pyi", "calphad.pyi"]

# Signs in pip's or build's output that a package index could not be reached.
OFFLINE = (
    "No matching distribution found",
    "Could not find a version that satisfies",
    "NewConnectionError",
    "Network is unreachable",
    "Temporary failure in name resolution",
    "Max retries exceeded",
    "ConnectTimeout",
)


def run(args, **kwargs):
    return subprocess.run([str(arg) for arg in args], capture_output=True, text=True,
                          timeout=900, **kwargs)


def skip_if_offline(result, what):
    output = result.stdout + result.stderr
    if result.returncode != 0 and any(sign in output for sign in OFFLINE):
        pytest.skip(f"{what}: no package index reachable")
    assert result.returncode == 0, f"{what} failed:\n{output[-6000:]}"


def python_with_build(scratch: Path) -> str:
    """An interpreter that has the ``build`` frontend: this one, or a venv."""
    # Asked from outside the checkout, whose build/ tree would pass for the package.
    if run([sys.executable, "-m", "build", "--version"], cwd=scratch).returncode == 0:
        return sys.executable
    tools = scratch / "tools-venv"
    run([sys.executable, "-m", "venv", tools], check=True)
    python = tools / "bin" / "python"
    skip_if_offline(run([python, "-m", "pip", "install", "--quiet", "build"]), "installing build")
    return str(python)


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    scratch = tmp_path_factory.mktemp("packaging")
    out = scratch / "dist"
    result = run([python_with_build(scratch), "-m", "build", "--outdir", out, ROOT], cwd=scratch)
    skip_if_offline(result, "python -m build")
    sdists = sorted(out.glob("talvenor-*.tar.gz"))
    wheels = sorted(out.glob("talvenor-*.whl"))
    assert len(sdists) == 1 and len(wheels) == 1, sorted(out.iterdir())
    return scratch, sdists[0], wheels[0]


def test_sdist_holds_the_sources_and_nothing_built(dist):
    _, sdist, _ = dist
    assert sdist.name == f"talvenor-{VERSION}.tar.gz"
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    for required in ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO",
                     "src/exports.map", "python/talvenor/__init__.py", "python/talvenor/py.typed",
                     *(f"python/talvenor/{stub}" for stub in STUBS)]:
        assert required in names, required
    assert any(name.startswith("src/diffusion/") and name.endswith(".cpp") for name in names)
    assert any(name.startswith("tests/native/") for name in names)
    for name in names:
        parts = name.split("/")
        assert parts[0] not in {"build", "dist", ".git"} and not parts[0].startswith(".venv"), name
        assert "__pycache__" not in parts and "site-packages" not in parts, name
        assert not name.endswith((".so", ".pyc")), name


def test_wheel_holds_the_package_stubs_and_license(dist):
    _, _, wheel = dist
    assert wheel.name.startswith(f"talvenor-{VERSION}-cp{sys.version_info[0]}{sys.version_info[1]}-")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        metadata = email.parser.Parser().parsestr(
            archive.read(f"talvenor-{VERSION}.dist-info/METADATA").decode("utf-8"))
    for required in ["talvenor/__init__.py", "talvenor/py.typed", *(f"talvenor/{stub}" for stub in STUBS),
                     f"talvenor-{VERSION}.dist-info/licenses/LICENSE"]:
        assert required in names, required
    assert [name for name in names if name.startswith("talvenor/_talvenor.") and name.endswith(".so")]
    assert metadata["Name"] == "talvenor"
    assert metadata["Version"] == VERSION
    assert metadata["Requires-Python"] == ">=3.12"
    assert metadata["License-Expression"] == "MIT"
    assert "Typing :: Typed" in metadata.get_all("Classifier")
    assert "tools/demo" in metadata.get_payload()  # the README is the long description


SMOKE = textwrap.dedent("""\
    import math, sys
    import talvenor
    from talvenor import _talvenor, calphad, constants, diffusion, slycke
    assert talvenor.__file__.startswith(sys.prefix), talvenor.__file__
    assert talvenor.__version__ == talvenor.version() == "1.0.0"
    assert _talvenor.constants.GAS_CONSTANT == constants.gas_constant() == 8.31446261815324
    assert diffusion.__all__ == ["PreExponentialFactor", "ActivationEnergy", "ArrheniusModifiedDiffusivity"]
    assert not hasattr(calphad, "__all__")
    carbon = slycke.create_carbon_diffusivity()
    assert type(carbon) is diffusion.ArrheniusModifiedDiffusivity
    assert carbon([0.0, 0.0], 1200.0) == 4.84e-5 * math.exp(155000.0 / (1200.0 * -8.31446261815324))
    try:
        try:
            carbon([0.05], 1200.0)
        except Exception:
            raise SystemExit("PanicException was caught as an Exception")
    except BaseException as error:
        assert type(error).__name__ == "PanicException", repr(error)
        assert str(error) == "composition array must have at least two elements"
    else:
        raise SystemExit("a one-entry composition was accepted")
    print("smoke ok", talvenor.__file__)
    """)


def test_wheel_installs_and_works_in_a_fresh_venv(dist):
    scratch, _, wheel = dist
    venv = scratch / "fresh-venv"
    run([sys.executable, "-m", "venv", venv], check=True)
    python = venv / "bin" / "python"
    install = run([python, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index", wheel])
    assert install.returncode == 0, install.stdout + install.stderr
    outside = scratch / "elsewhere"
    outside.mkdir()
    env = {key: value for key, value in os.environ.items() if key not in {"PYTHONPATH", "PYTHONHOME"}}
    result = run([python, "-c", SMOKE], cwd=outside, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"smoke ok {venv}" in result.stdout, result.stdout
