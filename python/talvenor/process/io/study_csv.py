"""The runs of a capability study as CSV, one row per run."""

from __future__ import annotations

import csv
import math
from typing import TextIO

from ..studies import Study

__all__ = ["write_study_csv"]


def write_study_csv(file: TextIO, study: Study) -> None:
    """Write ``study`` to ``file``: a row of names, then a row per run with
    its number (from 1), whether it failed and whether it met every
    requirement (1 or 0), its draws, its quantities, the message of its
    failure and its warnings (joined by "; ").

    Numbers are written exactly (as Python's ``repr`` of a float); an
    infinite one as ``inf``, and a quantity of a run that failed (or a
    hardness below the Rockwell C scale) as an empty field.
    """
    writer = csv.writer(file, lineterminator="\n")
    inputs, quantities = list(study.inputs), list(study.quantities)
    writer.writerow(["run", "failed", "passed", *inputs, *quantities, "error", "warnings"])
    for run in range(study.samples):
        writer.writerow([run + 1, int(study.failed[run]), int(study.passed[run]),
                         *(_number(study.inputs[name][run]) for name in inputs),
                         *(_number(study.quantities[name][run]) for name in quantities),
                         study.errors[run], "; ".join(study.warnings[run])])


def _number(value: float) -> str:
    return "" if math.isnan(value) else repr(float(value))
