"""Carburizing and carbonitriding: the carbon and nitrogen profiles of a recipe.

A recipe is a list of :class:`Stage` objects; :func:`simulate` applies it to
a plate, a cylinder or a sphere and returns a :class:`Result` with the
profiles in wt% against depth in mm, the case depth and the uptake.  The
diffusivities are the Slycke ones of :mod:`talvenor.slycke` unless others are
given.  :func:`read_recipe` reads a recipe from a TOML file, and
:func:`design_boost_diffuse` finds the shortest boost/diffuse cycle for a
case depth; ``python -m talvenor.process`` does both from the command line.
A :class:`Steel` (or one of the grades of :meth:`Steel.grade`) is the part's
material, and :func:`harden` turns a result into the hardness, the retained
austenite and the case-hardening depth after quenching.
:func:`carbon_solubility_wt` is the carbon solubility of austenite, above
which a stage's carbon potential is reported in ``Result.warnings``, and
:func:`design_vacuum_cycle` designs the pulses of low-pressure carburizing.  A
:class:`Requirements` holds the bands a drawing asks for, and
:meth:`Result.check` gives a :class:`Verdict` on each.
This module needs numpy and scipy; plotting a result needs matplotlib as well.
"""

try:
    import numpy as _numpy  # noqa: F401
    import scipy.linalg as _linalg  # type: ignore[import-untyped]  # noqa: F401
except ImportError as _missing:
    raise ImportError("talvenor.process needs numpy and scipy; install them with: "
                      "python -m pip install 'talvenor[process]'") from _missing

from .composition import site_fractions, weight_percent
from .design import design_boost_diffuse
from .hardening import Hardening, harden
from .recipe import Recipe, Stage
from .recipe_file import RecipeError, format_recipe, read_recipe
from .result import Profile, Result, SurfaceHistory
from .simulation import simulate
from .requirements import Requirements, Verdict
from .solubility import carbon_solubility_wt
from .vacuum import design_vacuum_cycle
from .steel import Steel, steel_grades
from .surface import SurfaceCondition

__all__ = ["Stage", "SurfaceCondition", "simulate", "Result", "Profile", "SurfaceHistory",
           "Recipe", "read_recipe", "format_recipe", "RecipeError", "design_boost_diffuse",
           "site_fractions", "weight_percent", "Steel", "steel_grades", "harden", "Hardening",
           "carbon_solubility_wt", "design_vacuum_cycle", "Requirements", "Verdict"]
