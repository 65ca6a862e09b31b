"""A capability study as a PDF document: the study's pages before those of
the recipe's nominal run."""

from __future__ import annotations

import os

from ..pipeline import Outcome
from ..studies import Study
from ..studies.statistics import MIN_CPK
from . import study_text, text
from .plot import outcome_figure
from .report import PAGE_IN, write_document
from .study_plot import study_figure

__all__ = ["write_study_report"]


def write_study_report(path: str | os.PathLike[str], study: Study, nominal: Outcome, *, title: str,
                       min_cpk: float = MIN_CPK) -> int:
    """Write the report of ``study`` to ``path`` as a PDF document of A4
    pages, and return its number of pages.

    The pages are the study's summary, capability table and drivers, then
    the summary and the verdict of the recipe's ``nominal`` outcome; the
    study's histograms and sensitivities; the nominal run's plots; and its
    profile table, as :func:`~.report.write_report` has them.  The document's
    subject is the verdict on the capability.

    Raises
    ------
    ImportError
        Without matplotlib.
    """
    summary = [*study_text.study_summary(study), *study_text.capability_table(study, min_cpk),
               *study_text.driver_lines(study, min_cpk), "", "The recipe as given (nominal run)", "",
               *text.summary(nominal), *text.verdict_lines(nominal)]
    return write_document(path, title=title, summary=summary,
                          plots=[study_figure(study, min_cpk=min_cpk, page_in=PAGE_IN),
                                 outcome_figure(nominal, page_in=PAGE_IN)],
                          table=text.profile_table(nominal),
                          subject=study_text.capability_text(study, min_cpk) if study.capabilities else "",
                          job="" if study.recipe.job is None else str(study.recipe.job))
