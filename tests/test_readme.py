"""Every example in README.md and in the docstrings of talvenor.process runs
as a doctest, with the outputs shown there."""

import doctest
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"


def test_readme_examples():
    pytest.importorskip("numpy")  # the guide shows numpy arrays as compositions
    result = doctest.testfile(
        str(README),
        module_relative=False,
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE,
        raise_on_error=False,
        verbose=False,
        report=True,
    )
    assert result.attempted > 0, "README.md has no examples"
    assert result.failed == 0, f"{result.failed} of {result.attempted} README examples failed (see the report above)"


def process_modules():
    """The modules of talvenor.process whose docstrings hold examples."""
    package = README.parent / "python" / "talvenor" / "process"
    for path in sorted(package.rglob("*.py")):
        if ">>>" in path.read_text(encoding="utf-8"):
            yield ".".join(path.relative_to(package).with_suffix("").parts)


@pytest.mark.parametrize("name", list(process_modules()))
def test_process_docstring_examples(name):
    module = pytest.importorskip(f"talvenor.process.{name}")
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE, report=True)
    assert result.attempted > 0 and result.failed == 0
