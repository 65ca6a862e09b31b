"""An outcome as a PDF document to hand on: the summary, the plots and the profile table."""

from __future__ import annotations

import datetime
import os
from collections.abc import Sequence
from typing import Any

from ... import __version__
from ..pipeline import Outcome
from . import text
from .plot import outcome_figure

__all__ = ["write_report", "write_document", "PAGE_IN"]

# An A4 page in inches, its margin, and the lines of monospaced text it holds.
PAGE_IN = (8.27, 11.69)
_MARGIN_IN = 0.6
_FONT_PT = 7.5
_LINES_PER_PAGE = 72


def write_report(path: str | os.PathLike[str], outcome: Outcome, *, title: str) -> int:
    """Write the report of ``outcome`` to ``path`` as a PDF document of A4
    pages, and return its number of pages.

    The pages are the summary and the verdict (:mod:`.text`, on as many pages
    as they fill), the plot of the result with the bands of the requirements
    (the panels of :func:`~.plot.plot_result` one above another), and the
    profile table.  Every page is headed by ``title`` and the recipe's job
    (what the report certifies: part, drawing, batch...), and ends with the
    library's version, the date and its number; the document's subject is
    the verdict.

    Raises
    ------
    ImportError
        Without matplotlib.
    """
    return write_document(path, title=title, summary=[*text.summary(outcome), *text.verdict_lines(outcome)],
                          plots=outcome_figure(outcome, page_in=PAGE_IN), table=text.profile_table(outcome),
                          subject=text.verdict_text(outcome.verdicts) if outcome.verdicts else "",
                          job="" if outcome.recipe.job is None else str(outcome.recipe.job))


def write_document(path: str | os.PathLike[str], *, title: str, summary: Sequence[str], plots: Any,
                   table: Sequence[str], subject: str = "", job: str = "") -> int:
    """Write a PDF document of A4 pages to ``path`` and return its number of
    pages: the lines of ``summary``, the matplotlib Figure ``plots`` (made
    for a page of :data:`PAGE_IN`; or a list of them, a page each), and the lines of ``table``, each page
    headed by ``title`` and ``job`` and with the footer; ``subject`` is the
    document's subject."""
    from matplotlib.backends.backend_pdf import PdfPages
    from matplotlib.figure import Figure

    summary_pages = _pages(summary)
    table_pages = _pages(table)
    plot_pages = list(plots) if isinstance(plots, list | tuple) else [plots]
    count = len(summary_pages) + len(plot_pages) + len(table_pages)
    footer = f"talvenor {__version__}, {datetime.date.today().isoformat()}"
    # Room for the title and the footer: the rectangle is left, bottom, width, height.
    for page in plot_pages:
        page.get_layout_engine().set(rect=(0.0, 0.035, 1.0, 0.9 if job else 0.915))
    figures = [*(_text_page(Figure, lines) for lines in summary_pages), *plot_pages,
               *(_text_page(Figure, lines) for lines in table_pages)]
    metadata = {"Title": title, "Subject": subject, "Creator": f"talvenor {__version__}"}
    with PdfPages(path, metadata=metadata) as pdf:
        for number, figure in enumerate(figures, 1):
            figure.text(0.5, 1.0 - 0.5 * _MARGIN_IN / PAGE_IN[1], title, ha="center", va="top", fontsize=11)
            if job:
                figure.text(0.5, 1.0 - 0.95 * _MARGIN_IN / PAGE_IN[1], job, ha="center", va="top", fontsize=8)
            figure.text(0.5, 0.5 * _MARGIN_IN / PAGE_IN[1], f"{footer}, page {number} of {count}", ha="center",
                        va="bottom", fontsize=7, color="grey")
            pdf.savefig(figure)
    return count


def _pages(lines: Sequence[str]) -> list[Sequence[str]]:
    """``lines`` cut into pages, blank lines at the top of a page dropped."""
    pages: list[Sequence[str]] = []
    rest = list(lines)
    while rest:
        pages.append(rest[:_LINES_PER_PAGE])
        rest = rest[_LINES_PER_PAGE:]
        while rest and not rest[0]:
            del rest[0]
    return pages


def _text_page(figure_class: Any, lines: Sequence[str]) -> Any:
    """A page of ``lines`` in a monospaced font."""
    figure = figure_class(figsize=PAGE_IN)
    width, height = PAGE_IN
    figure.text(_MARGIN_IN / width, 1.0 - 1.4 * _MARGIN_IN / height, "\n".join(lines), ha="left", va="top",
                family="monospace", fontsize=_FONT_PT, linespacing=1.3)
    return figure
