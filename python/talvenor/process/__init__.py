"""Carburizing and carbonitriding: the carbon and nitrogen profiles of a recipe.

A recipe is a list of :class:`Stage` objects; :func:`simulate` applies it to
a plate, a cylinder or a sphere and returns a :class:`Result` with the
profiles in wt% against depth in mm, the case depth and the uptake.  The
diffusivities are the Slycke ones of :mod:`talvenor.slycke` unless others are
given.  :func:`read_recipe` reads a recipe from a TOML file, and
:func:`design_boost_diffuse` finds the shortest boost/diffuse cycle for a
case depth; ``python -m talvenor.process`` does both from the command line.
:func:`carbon_solubility_wt` is the carbon solubility of austenite, above
which a stage's carbon potential is reported in ``Result.warnings``.
This module needs numpy; plotting a result needs matplotlib as well.
"""

try:
    import numpy as _numpy  # noqa: F401
except ImportError as _missing:
    raise ImportError("talvenor.process needs numpy; install it with: "
                      "python -m pip install 'talvenor[process]'") from _missing

from .composition import site_fractions, weight_percent
from .design import design_boost_diffuse
from .recipe import Recipe, Stage, SurfaceCondition
from .recipe_file import RecipeError, format_recipe, read_recipe
from .result import Profile, Result, SurfaceHistory
from .simulation import simulate
from .solubility import carbon_solubility_wt

__all__ = ["Stage", "SurfaceCondition", "simulate", "Result", "Profile", "SurfaceHistory",
           "Recipe", "read_recipe", "format_recipe", "RecipeError", "design_boost_diffuse",
           "site_fractions", "weight_percent", "carbon_solubility_wt"]
