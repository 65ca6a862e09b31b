"""A capability study as a picture: a histogram of each quantity with its
band and the normal distribution of the same mean and spread, and the
sensitivities as bars."""

from __future__ import annotations

import math
import os
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..requirements import QUANTITIES
from ..studies import Capability, Study
from ..studies.statistics import MIN_CPK
from .canvas import blank_figure
from .study_text import number_text

__all__ = ["plot_study", "study_figure"]

# What each quantity is called on a panel that no requirement names.
_NAMES = {f"{quantity.key}_{quantity.unit_key}": (quantity.key.replace("_", " ").capitalize().replace("Chd", "CHD"),
                                                   quantity.unit) for quantity in QUANTITIES}
_NAMES["carbide_g_m2"] = ("Carbide", "g/m²")
# The quantities drawn without a requirement, where they vary: in HV, not
# also in HRC.
_SHOWN = ("chd_mm", "case_depth_mm", "surface_carbon_wt", "surface_nitrogen_wt", "surface_hardness_hv",
          "retained_austenite_pct", "core_hardness_hv", "carbide_g_m2")
_COLUMNS = 3
_MOST_BINS = 50


def plot_study(study: Study, path: str | os.PathLike[str], *, title: str | None = None,
               min_cpk: float = MIN_CPK) -> None:
    """Draw ``study`` into an image file at ``path`` (PNG unless its suffix
    names another format that matplotlib writes): :func:`study_figure`.

    Raises
    ------
    ImportError
        Without matplotlib.
    """
    study_figure(study, title=title, min_cpk=min_cpk).savefig(path, dpi=120)


def study_figure(study: Study, *, title: str | None = None, min_cpk: float = MIN_CPK,
                 page_in: tuple[float, float] | None = None) -> Any:
    """The matplotlib Figure of ``study``: a histogram of each quantity of a
    requirement (the band shaded where the parts fail it, the normal
    distribution of the runs' mean and standard deviation drawn over it,
    Cpk and the share out in its title), then of the other quantities that
    vary, and the rank correlation of each of them with each input as bars;
    on a page of ``page_in`` (width and height in inches) if given."""
    panels = _panels(study)
    rows = math.ceil(len(panels) / _COLUMNS) + 1
    figure = blank_figure(page_in or (4.2 * _COLUMNS, 3.2 * rows))
    grid = figure.add_gridspec(rows, _COLUMNS)
    kept = ~study.failed
    for number, (key, capability) in enumerate(panels):
        axes = figure.add_subplot(grid[number // _COLUMNS, number % _COLUMNS])
        _histogram(axes, key, study.quantities[key][kept], capability, min_cpk)
    # The sensitivities of the requirements (of every quantity drawn without any) across the last row.
    shown = [(capability.quantity, capability.name) for capability in study.capabilities] or [
        (key, _NAMES[key][0]) for key, _ in panels]
    _sensitivities(figure.add_subplot(grid[rows - 1, :]), study, shown)
    if title:
        figure.suptitle(title)
    return figure


def _panels(study: Study) -> list[tuple[str, Capability | None]]:
    """The quantities drawn: those of the requirements, then the others of
    :data:`_SHOWN` that vary; with the capability of a requirement."""
    panels: list[tuple[str, Capability | None]] = [(capability.quantity, capability)
                                                   for capability in study.capabilities]
    kept = ~study.failed
    for key in _SHOWN:
        values = study.quantities.get(key)
        if values is not None and key not in [shown for shown, _ in panels] and _varies(values[kept]):
            panels.append((key, None))
    return panels


def _varies(values: NDArray[np.float64]) -> bool:
    finite = values[np.isfinite(values)]
    return finite.size > 1 and bool(np.ptp(finite) > 0.0)


def _histogram(axes: Any, key: str, values: NDArray[np.float64], capability: Capability | None,
               min_cpk: float) -> None:
    name, unit = (capability.name, capability.unit) if capability is not None else _NAMES[key]
    finite = values[np.isfinite(values)]
    axes.set_xlabel(f"{name} [{unit}]")
    axes.set_yticks([])
    if finite.size == 0:
        axes.set_title("no run to show", fontsize=9)
        return
    mean, std = float(finite.mean()), float(finite.std(ddof=1)) if finite.size > 1 else 0.0
    if std > 0.0:
        bins = max(1, min(_MOST_BINS, len(np.histogram_bin_edges(finite, bins="auto")) - 1))
        axes.hist(finite, bins=bins, density=True, color="tab:blue", alpha=0.6)
        x = np.linspace(min(finite.min(), mean - 4 * std), max(finite.max(), mean + 4 * std), 200)
        from scipy.stats import norm  # type: ignore[import-untyped]

        axes.plot(x, norm.pdf(x, mean, std), color="black", linewidth=1.0, label="normal fit")
    else:  # every run alike: a line where they all are
        axes.axvline(mean, color="tab:blue", linewidth=3.0)
        axes.text(0.5, 0.9, f"every run {mean:.4g} {unit}", ha="center", transform=axes.transAxes, fontsize=8)
    if capability is None:
        axes.set_title(name, fontsize=9)
        return
    low, high = capability.band
    left, right = axes.get_xlim()
    if std == 0.0:
        ends = [end for end in (low, high, mean) if end is not None]
        margin = 0.5 * (max(ends) - min(ends)) or 1.0
        left, right = min(ends) - margin, max(ends) + margin
    for end, beyond in ((low, (min(left, low or 0.0), low)), (high, (high, max(right, high or 0.0)))):
        if end is not None:
            axes.axvline(end, color="tab:red", linewidth=1.2)
            axes.axvspan(*beyond, color="tab:red", alpha=0.12, linewidth=0.0)
    axes.set_xlim(min(left, low) if low is not None else left, max(right, high) if high is not None else right)
    verdict = "capable" if capability.capable(min_cpk) else "not capable"
    axes.set_title(f"Cpk {number_text(capability.cpk, 2)}, {100.0 * capability.out_share:.2f} % out: {verdict}",
                   fontsize=9)


def _sensitivities(axes: Any, study: Study, shown: list[tuple[str, str]]) -> None:
    """The rank correlation of each quantity of ``shown`` (its key and its
    name) with each input, as groups of horizontal bars, one group per input."""
    axes.set_title("Spearman's rank correlation", fontsize=9)
    sensitivity = study.sensitivity
    if not sensitivity.inputs:
        axes.text(0.5, 0.5, "nothing varies", ha="center", va="center", transform=axes.transAxes)
        return
    labels = {given.name: given.label for given in study.drawn}
    rows = [(name, sensitivity.rank_correlation[sensitivity.quantities.index(key)]) for key, name in shown]
    rows = [(name, row) for name, row in rows if not np.isnan(row).all()]
    height = 0.8 / max(1, len(rows))
    positions = np.arange(len(sensitivity.inputs))
    for number, (name, row) in enumerate(rows):
        axes.barh(positions - 0.4 + height * (number + 0.5), np.nan_to_num(row), height=height, label=name)
    axes.set_yticks(positions, [labels[name] for name in sensitivity.inputs], fontsize=7)
    axes.invert_yaxis()
    axes.set_xlim(-1.0, 1.0)
    axes.set_xticks([-1.0, -0.5, 0.0, 0.5, 1.0])
    axes.axvline(0.0, color="grey", linewidth=0.8)
    if rows:
        axes.legend(fontsize=7, loc="center left", bbox_to_anchor=(1.0, 0.5))
