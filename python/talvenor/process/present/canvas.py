"""The matplotlib figures the plots draw on, made where matplotlib is there."""

from __future__ import annotations

from typing import Any

__all__ = ["blank_figure"]


def blank_figure(size_in: tuple[float, float]) -> Any:
    """A matplotlib Figure of ``size_in`` (width and height in inches).

    Raises
    ------
    ImportError
        Without matplotlib, saying how to install it.
    """
    try:
        from matplotlib.figure import Figure
    except ImportError as missing:
        raise ImportError("plotting needs matplotlib; install it with: "
                          "python -m pip install 'talvenor[plot]'") from missing
    return Figure(figsize=size_in, layout="constrained")
