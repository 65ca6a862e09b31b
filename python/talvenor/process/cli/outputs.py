"""The output files of a command: checked before the work, written to
temporary files, and moved into place together at the end."""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import os
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import ClassVar

from .. import _validate
from ..io.output_files import OutputFiles
from ..io.profile_csv import profile_csv
from ..metallurgy.hardening import quench_temperature_c
from ..metallurgy.quenching import severity_h
from ..metallurgy.tempering import Temper
from ..pipeline import Outcome
from ..present import plot, report, text
from .failure import Failure

__all__ = ["Outputs"]

# The formats --plot draws; a path without a suffix gets the first.
_PLOT_FORMATS = ("png", "pdf", "svg")


class Outputs:
    """The outputs that the options of ``args`` ask for, and the printout.

    Made before the work, it refuses bad options and outputs that cannot be
    written (see :meth:`_check`); as a ``with`` block it reserves their
    temporary files, and leaving it without :meth:`commit` leaves the
    targets as they were.
    """

    # The output options, and what each writes as its message says.
    written: ClassVar[dict[str, str]] = {"csv": "Profile", "plot": "Plot", "report": "Report", "write": "Recipe"}

    def __init__(self, args: argparse.Namespace, *, recipe: str | None) -> None:
        self.args = args
        self._check(recipe)
        self._files = OutputFiles()

    def __enter__(self) -> Outputs:
        self._files.__enter__()
        try:
            for path in self._paths().values():
                self._files.reserve(path)
        except OSError as error:
            self._files.__exit__(None, None, None)  # the files reserved before
            raise Failure(f"{error.filename}: {error.strerror or error}", 1) from None
        return self

    def __exit__(self, *exc: object) -> None:
        self._files.__exit__(*exc)

    def present(self, outcome: Outcome, heading: str) -> None:
        """Print ``outcome`` under ``heading``, and write the profile, the
        plot and the report asked for, each to its temporary file."""
        print(text.printout(outcome, heading))
        title = heading.splitlines()[0]
        self.write_text("csv", profile_csv(outcome))
        self.write("plot", lambda path: plot.plot_outcome(outcome, path, title=title))
        self.write("report", lambda path: report.write_report(path, outcome, title=title))

    def write(self, option: str, writer: Callable[[str], object]) -> None:
        """Write the output of ``option``, where it is asked for, by
        ``writer(path)`` to its temporary file."""
        path = getattr(self.args, option, None)
        if path:
            with _writing(path):
                writer(self._files.temporary(path))

    def write_text(self, option: str, content: str) -> None:
        """Write ``content`` to the temporary file of ``option`` where it is asked for."""
        self.write(option, lambda path: Path(path).write_text(content, encoding="utf-8"))

    def commit(self) -> None:
        """Move every output into place and say where each went."""
        with _writing(None):
            self._files.commit()
        for option, path in self._paths().items():
            print(f"{self.written[option]} written to {path}")

    def _paths(self) -> dict[str, str]:
        return {option: getattr(self.args, option) for option in self.written if getattr(self.args, option, None)}

    def _check(self, recipe: str | None) -> None:
        """Refuse, before the run, options out of range, plots without
        matplotlib, a --plot format that cannot be drawn, and output files
        that are the recipe, each other or folders; a --plot without a suffix
        becomes a PNG."""
        args = self.args
        for option in ("plot", "report"):
            if getattr(args, option) and importlib.util.find_spec("matplotlib") is None:
                raise Failure(f"--{option} needs matplotlib; install it with: python -m pip install 'talvenor[plot]'",
                              1)
        try:
            _validate.real("--threshold", args.threshold, "not negative")
            _validate.real("--limit-hv", args.limit_hv, "positive")
            if args.quench is not None:
                quench_temperature_c("--quench", args.quench)
            args.severity = None if args.severity is None else severity_h(_number_or_name(args.severity), "--severity")
        except ValueError as error:
            raise Failure(str(error)) from None
        try:
            args.temper = None if args.temper is None else Temper(*args.temper)
        except ValueError as error:
            raise Failure(f"--temper: {error}") from None
        for option in self.written:
            if getattr(args, option, None) == "":
                raise Failure(f"--{option}: needs the name of a file")
        self._check_formats()
        outputs = [(f"--{option}", path) for option, path in self._paths().items()]
        for number, (option, path) in enumerate(outputs):
            if os.path.isdir(path):
                raise Failure(f"{option} {path}: is a folder, not a file")
            if recipe is not None and _same_file(path, recipe):
                raise Failure(f"{option} {path}: is the recipe file, which the run would overwrite")
            for other, other_path in outputs[:number]:
                if _same_file(path, other_path):
                    raise Failure(f"{other} {other_path} and {option} {path} are the same file")

    def _check_formats(self) -> None:
        args = self.args
        if args.plot:
            suffix = os.path.splitext(args.plot)[1]
            if not suffix:
                args.plot += f".{_PLOT_FORMATS[0]}"
            elif suffix[1:].lower() not in _PLOT_FORMATS:
                raise Failure(f"--plot {args.plot}: cannot draw a {suffix!r} file; the formats are "
                              f"{', '.join(_PLOT_FORMATS)}")
        if args.report and os.path.splitext(args.report)[1].lower() != ".pdf":
            raise Failure(f"--report {args.report}: a report is a PDF file, FILE.pdf")


def _number_or_name(text: str) -> float | str:
    """``text`` as a number where it reads as one, else as it is."""
    try:
        return float(text)
    except ValueError:
        return text


@contextlib.contextmanager
def _writing(path: str | None) -> Iterator[None]:
    """Turn an OSError while an output is written into a Failure of exit
    status 1 naming the output (``path``, or the error's own file name)."""
    try:
        yield
    except OSError as error:
        raise Failure(f"{path or error.filename}: {error.strerror or error}", 1) from None


def _same_file(path: str, other: str) -> bool:
    if os.path.realpath(path) == os.path.realpath(other):
        return True
    try:
        return os.path.samefile(path, other)  # hard links
    except OSError:
        return False
