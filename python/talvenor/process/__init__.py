"""Carburizing and carbonitriding: the carbon and nitrogen profiles of a recipe.

A recipe is a list of :class:`Stage` objects; :func:`simulate` applies it to
a plate, a cylinder or a sphere and returns a :class:`Result` with the
profiles in wt% against depth in mm, the case depth and the uptake.  The
diffusivities are the Slycke ones of :mod:`talvenor.slycke` unless others are
given.  This module needs numpy.
"""

try:
    import numpy as _numpy  # noqa: F401
except ImportError as _missing:
    raise ImportError("talvenor.process needs numpy; install it with: "
                      "python -m pip install 'talvenor[process]'") from _missing

from .composition import site_fractions, weight_percent
from .recipe import Stage, SurfaceCondition
from .result import Profile, Result, SurfaceHistory
from .simulation import simulate

__all__ = ["Stage", "SurfaceCondition", "simulate", "Result", "Profile", "SurfaceHistory",
           "site_fractions", "weight_percent"]
