"""Carburizing and carbonitriding: the carbon and nitrogen profiles of a recipe.

A recipe is a list of :class:`Stage` objects, or a :class:`FurnaceLog` of a
cycle as it ran (:func:`read_furnace_log` reads one from a controller's CSV
export); :func:`simulate` applies it to
a :class:`Part` (a plate, a cylinder or a sphere) of a :class:`Steel` (or one
of the grades of :meth:`Steel.grade`) and returns a :class:`Result` with the
profiles in wt% against depth in mm, the case depth and the uptake.  The
diffusivities are the Slycke ones of :mod:`talvenor.slycke` unless others are
given.  :mod:`.atmosphere` gives the carbon potential of a gas from what an
oxygen probe, a CO2 analyser or a dew-point meter reads, and the reading for
a wanted potential.  :func:`harden` turns a result into the hardness, the retained
austenite and the case-hardening depth of the finished part, quenched (with
its severity, against the steel's hardenability) and tempered (:class:`Temper`);
:func:`carbon_solubility_wt` is the carbon solubility of austenite, above
which a stage's carbon potential is reported in ``Result.warnings``.  A
:class:`Requirements` holds the bands a drawing asks for, and :func:`check`
gives a :class:`Verdict` on each.  A :class:`Recipe` holds all of that as a
shop states it: :func:`read_recipe` reads one from a TOML file, and
:func:`evaluate` gives its :class:`Outcome`, what ``python -m
talvenor.process`` prints.  :func:`design_boost_diffuse` and
:func:`design_vacuum_cycle` find the shortest gas and low-pressure cycles for
a case depth; :func:`design_cycle` finds the shortest cycle of a
:class:`Furnace`, heat-up and tail included, whose finished part meets every
band of a :class:`Requirements`.  :func:`study` runs a recipe many times with its inputs drawn
as a :class:`Variation` says a furnace and a steel vary, and gives in a
:class:`Study` the share of parts out of each band, Cp and Cpk, and what
drives the spread.

The package is layered, each layer using only those below it: units and
argument checks; the models (:mod:`.model`); the part and the stages
(:mod:`.schedule`); the solver (:mod:`.solvers`); the results
(:mod:`.results`) and :func:`simulate` (:mod:`.simulation`); the hardened
case (:mod:`.metallurgy`); requirements, verdicts and recipes; the pipeline
(:mod:`.pipeline`); the designs (:mod:`.design`) and the capability
studies (:mod:`.studies`); files (:mod:`.io`);
presentation (:mod:`.present`); and the command line (:mod:`.cli`).

This module needs numpy and scipy; plotting a result needs matplotlib as well.
"""

try:
    import numpy as _numpy  # noqa: F401
    import scipy.linalg as _linalg  # type: ignore[import-untyped]  # noqa: F401
except ImportError as _missing:
    raise ImportError("talvenor.process needs numpy and scipy; install them with: "
                      "python -m pip install 'talvenor[process]'") from _missing

from .design import CycleDesign, DrawingNotMet, design_boost_diffuse, design_cycle, design_vacuum_cycle
from .io.furnace_log_file import read_furnace_log
from .io.recipe_file import RecipeError, format_recipe, read_recipe
from .metallurgy import hardening
from .metallurgy.hardening import Hardening, harden
from .metallurgy.tempering import Temper
from .model import atmosphere
from .model.solubility import carbon_solubility_wt
from .model.steel import Steel, steel_grades
from .model.surface import SurfaceCondition
from .pipeline import Outcome, evaluate
from .recipe import Job, Recipe
from .requirements import Requirements
from .results import Profile, Result, SurfaceHistory
from .schedule.furnace import Furnace
from .schedule.furnace_log import FurnaceLog
from .schedule.part import Part
from .schedule.stage import Stage
from .simulation import simulate
from .studies import Study, study
from .units import site_fractions, weight_percent
from .variation import Variation
from .verdicts import Verdict, Verdicts, check

__all__ = ["Stage", "Part", "SurfaceCondition", "simulate", "Result", "Profile", "SurfaceHistory",
           "Recipe", "read_recipe", "format_recipe", "RecipeError", "design_boost_diffuse",
           "site_fractions", "weight_percent", "Steel", "steel_grades", "harden", "Hardening", "hardening", "Temper",
           "carbon_solubility_wt", "design_vacuum_cycle", "Requirements", "Verdict", "Verdicts", "check",
           "evaluate", "Outcome", "FurnaceLog", "read_furnace_log", "atmosphere", "Job",
           "study", "Study", "Variation", "design_cycle", "CycleDesign", "DrawingNotMet", "Furnace"]
