"""Recipe files: a recipe as TOML, read and written.

A recipe file has a ``[steel]`` table, an optional ``[part]`` table
(``geometry``, ``depth_mm``, ``cells``, ``density_kg_m3``: the keyword
arguments of :class:`Part`), an optional ``[quench]`` table
(``temperature_c``, required there, ``austenite_hv``, and the severity as
``severity_h``, in 1/inch or a medium's name such as ``"still oil"``, or as
``heat_transfer_w_m2_k`` with ``conductivity_w_m_k``: the arguments of
:func:`harden`), an optional ``[temper]`` table (``temperature_c`` and
``duration_h``, both required: :class:`Temper`) and one ``[[stage]]`` table
per stage, whose keys are the
keyword arguments of :class:`Stage`, and an optional ``[requirements]``
table, whose keys are the keyword arguments of :class:`Requirements` (the
bands the treated part must meet), and an optional ``[job]`` table (``part``,
``drawing``, ``revision``, ``batch``, ``furnace``, ``customer``,
``operator``: free text, :class:`Job`), and an optional ``[variation]``
table, how the inputs vary from run to run for a capability study (see
:mod:`.variation_table`).

A recipe that asks for a design has a ``[furnace]`` table in place of the
``[[stage]]`` tables, whose keys are the keyword arguments of
:class:`Furnace`, and a ``[requirements]`` table, the drawing it is designed
to (see :func:`design_cycle`)::

    [furnace]
    kind = "gas"
    temperature_c = 930.0
    carbon_potential_range_wt = [0.5, 1.15]
    carbon_transfer_m_s = 2e-7

A cycle as it ran has a ``[log]`` table in place of the ``[[stage]]``
tables: ``file``, the furnace log (a path relative to the recipe file), and
the keyword arguments of :func:`read_furnace_log` that map its columns::

    [log]
    file = "charge_1184.csv"
    time = "Date/Time"
    time_unit = "iso"
    temperature = "Zone [°C]"
    probe_mv = "Probe [mV]"
    carbon_transfer_m_s = 2e-7
  The ``[steel]`` table gives a
``grade`` (see :meth:`Steel.grade`) or ``carbon_wt``, and any of the other
composition keys of :class:`Steel` and ``alloy_factor``; with a grade, each
key given replaces the grade's value::

    [steel]
    grade = "20MnCr5"

    [quench]
    temperature_c = 60.0

    [requirements]
    chd_min_mm = 0.8
    chd_max_mm = 1.1
    retained_austenite_max_pct = 25.0
    no_carbides = true

    [[stage]]
    duration_h = 2.0
    temperature_c = 930.0
    carbon_potential_wt = 1.1
"""

from __future__ import annotations

import dataclasses
import inspect
import os
import tomllib
from collections.abc import Callable
from dataclasses import fields
from typing import Any, TypeVar

from ..metallurgy.hardening import austenite_hardness_hv, quench_temperature_c
from ..metallurgy.quenching import CONDUCTIVITY_W_M_K, severity_h, severity_of_heat_transfer
from ..metallurgy.tempering import Temper
from ..model.steel import Steel
from ..recipe import Job, Recipe
from ..requirements import Requirements
from ..schedule.furnace import Furnace
from ..schedule.furnace_log import FurnaceLog
from ..schedule.part import Part
from ..schedule.stage import Stage
from ._files import read_regular
from ._toml import toml_value
from .furnace_log_file import read_furnace_log
from .variation_table import read_variation, variation_lines

__all__ = ["RecipeError", "read_recipe", "format_recipe", "LARGEST_FILE_BYTES", "MOST_STAGES"]

_STAGE_KEYS = tuple(field.name for field in fields(Stage))
_PART_KEYS = tuple(field.name for field in fields(Part))
_QUENCH_KEYS = ("temperature_c", "austenite_hv", "severity_h", "heat_transfer_w_m2_k", "conductivity_w_m_k")
_Record = TypeVar("_Record")
_STEEL_CONTENTS = tuple(field.name for field in fields(Steel) if field.name != "name")
_STEEL_KEYS = ("grade", *_STEEL_CONTENTS)
#: The largest recipe file read, in bytes (1 MiB), and the most stages it may hold.
LARGEST_FILE_BYTES = 1 << 20
MOST_STAGES = 1000
_REQUIREMENT_FIELDS = fields(Requirements)
_JOB_KEYS = tuple(field.name for field in fields(Job))
_FURNACE_KEYS = tuple(field.name for field in fields(Furnace))
_LOG_KEYS = ("file", *tuple(inspect.signature(read_furnace_log).parameters)[1:])


class RecipeError(ValueError):
    """A recipe file that cannot be read; the message names the file, the
    table or stage and the key."""


def read_recipe(path: str | os.PathLike[str]) -> Recipe:
    """Read a recipe from the TOML file at ``path``.

    Raises
    ------
    RecipeError
        For a file that cannot be read, is not a regular file, is larger than
        1 MiB, is not TOML, holds more than 1,000 stages, or holds an unknown
        or missing key or a value of the wrong type or out of range; the
        message names the file, the table or stage and the key (and, for the
        log it names, that file, the line and the column).  The file
        may start with a UTF-8 byte-order mark.
    """
    name = os.fspath(path)
    try:
        data = read_regular(path, largest_bytes=LARGEST_FILE_BYTES, what="recipe file")
    except OSError as error:
        raise RecipeError(f"{name}: {error.strerror or error}") from None
    try:
        # Some editors save a byte-order mark first.
        return _recipe(tomllib.loads(data.decode("utf-8-sig")), os.path.dirname(name))
    except tomllib.TOMLDecodeError as error:
        raise RecipeError(f"{name}: not a valid TOML file: {error}") from None
    except UnicodeDecodeError as error:
        raise RecipeError(f"{name}: not a valid TOML file: {error.reason}") from None
    except RecursionError:
        raise RecipeError(f"{name}: arrays or tables nested too deeply for a recipe file") from None
    except (TypeError, ValueError) as error:
        raise RecipeError(f"{name}: {error}") from None


def format_recipe(recipe: Recipe) -> str:
    """The recipe as the text of a recipe file that :func:`read_recipe` reads back.

    A steel named by a known grade is written as that grade and what differs
    from it; any other steel by its composition, without its name.

    Raises
    ------
    ValueError
        For a recipe that follows a furnace log, which is kept in its own
        file.
    """
    if recipe.log is not None:
        raise ValueError("a recipe that follows a furnace log is written as its [log] table beside the log's "
                         "file; format_recipe writes recipes of stages")
    lines = ["[steel]", *_steel_lines(recipe.steel), "", "[part]", *_part_lines(recipe.part)]
    if recipe.quench_c is not None:
        lines += ["", "[quench]", f"temperature_c = {recipe.quench_c!r}", f"austenite_hv = {recipe.austenite_hv!r}"]
        if recipe.severity_h is not None:
            lines.append(f"severity_h = {toml_value(recipe.severity_h)}")
    if recipe.temper is not None:
        lines += ["", "[temper]", f"temperature_c = {recipe.temper.temperature_c!r}",
                  f"duration_h = {recipe.temper.duration_h!r}"]
    if recipe.requirements is not None:
        lines += ["", "[requirements]"]
        for field in _REQUIREMENT_FIELDS:
            value = getattr(recipe.requirements, field.name)
            if value != field.default:
                lines.append(f"{field.name} = {toml_value(value)}")
    if recipe.job is not None:
        lines += ["", "[job]", *(f"{key} = {toml_value(value)}" for key, value in recipe.job.given().items())]
    if recipe.variation is not None:
        lines += ["", *variation_lines(recipe.variation)]
    if recipe.furnace is not None:
        lines += ["", "[furnace]", *(f"{key} = {toml_value(value)}"
                                     for key, value in recipe.furnace.given().items())]
    for stage in recipe.stages:
        lines += ["", "[[stage]]"]
        lines += [f"{key} = {getattr(stage, key)!r}" for key in _STAGE_KEYS if getattr(stage, key) is not None
                  and not (key == "duration_h" and stage.duration_min is not None)]
    return "\n".join(lines) + "\n"


def _part_lines(part: Part) -> list[str]:
    """The keys of a ``[part]`` table for ``part``: its shape and grid, and
    its density where it is not the default."""
    lines = [f"geometry = \"{part.geometry}\"", f"depth_mm = {part.depth_mm!r}", f"cells = {part.cells!r}"]
    if part.density_kg_m3 != Part().density_kg_m3:
        lines.append(f"density_kg_m3 = {part.density_kg_m3!r}")
    return lines


def _steel_lines(steel: Steel) -> list[str]:
    """The keys of a ``[steel]`` table for ``steel``: its grade and what
    differs from it, or its composition."""
    try:
        grade = Steel.grade(steel.name) if steel.name is not None else None
    except ValueError:
        grade = None
    base = Steel(carbon_wt=steel.carbon_wt) if grade is None else grade
    lines = [] if grade is None else [f"grade = \"{grade.name}\""]
    always = () if grade is not None else ("carbon_wt", "nitrogen_wt")
    return lines + [f"{key} = {toml_value(getattr(steel, key))}" for key in _STEEL_CONTENTS
                    if key in always or getattr(steel, key) != getattr(base, key)]


def _recipe(document: dict[str, Any], directory: str) -> Recipe:
    _known("the file", document, ("steel", "part", "quench", "temper", "requirements", "job", "log", "stage",
                                  "variation", "furnace"))
    steel = _table(document, "steel", required=True)
    part = _table(document, "part", required=False)
    requirements = _table(document, "requirements", required=False)
    _known("[steel]", steel, _STEEL_KEYS)
    _known("[part]", part, _PART_KEYS)
    _known("[requirements]", requirements, tuple(field.name for field in _REQUIREMENT_FIELDS))
    if "log" in document and "stage" in document:
        raise ValueError("a recipe has [[stage]] tables or a [log] table, not both")
    if "furnace" in document and ("log" in document or "stage" in document):
        raise ValueError("a recipe has [[stage]] tables, a [log] table, or a [furnace] table that asks for a "
                         "design: one of the three")
    schedule = (dict(log=_log(document, directory)) if "log" in document
                else dict(furnace=_furnace(document)) if "furnace" in document
                else dict(stages=_stages(document.get("stage"))))
    job = _table(document, "job", required=False)
    _known("[job]", job, _JOB_KEYS)
    return Recipe(**schedule, steel=_steel(steel), part=_made("[part]", Part, part),
                  job=_made("[job]", Job, job) if "job" in document else None,
                  variation=read_variation(document["variation"]) if "variation" in document else None,
                  **_quench(document), temper=_temper(document),
                  requirements=_made("[requirements]", Requirements, requirements) if "requirements" in document
                  else None)


def _quench(document: dict[str, Any]) -> dict[str, Any]:
    """The arguments of :class:`Recipe` that the ``[quench]`` table gives."""
    if "quench" not in document:
        return {}
    table = _table(document, "quench", required=True)
    _known("[quench]", table, _QUENCH_KEYS)
    if "temperature_c" not in table:
        raise ValueError("[quench]: missing key 'temperature_c'")
    if "severity_h" in table and "heat_transfer_w_m2_k" in table:
        raise ValueError("[quench]: give severity_h or heat_transfer_w_m2_k, not both")
    if "conductivity_w_m_k" in table and "heat_transfer_w_m2_k" not in table:
        raise ValueError("[quench]: conductivity_w_m_k goes with heat_transfer_w_m2_k")
    try:
        severity = (severity_h(table["severity_h"]) if "severity_h" in table else severity_of_heat_transfer(
            table["heat_transfer_w_m2_k"], table.get("conductivity_w_m_k", CONDUCTIVITY_W_M_K))
            if "heat_transfer_w_m2_k" in table else None)
    except (TypeError, ValueError) as error:
        raise ValueError(f"[quench]: {error}") from None
    return dict(quench_c=quench_temperature_c("[quench]: temperature_c", table["temperature_c"]),
                austenite_hv=austenite_hardness_hv("[quench]: austenite_hv", table.get("austenite_hv", 300.0)),
                severity_h=severity)


def _log(document: dict[str, Any], directory: str) -> FurnaceLog:
    """The furnace log of the ``[log]`` table, read from its file (relative to ``directory``)."""
    table = dict(_table(document, "log", required=True))
    _known("[log]", table, _LOG_KEYS)
    if "file" not in table:
        raise ValueError("[log]: missing key 'file', the furnace log")
    file = table.pop("file")
    if not isinstance(file, str) or not file:
        raise ValueError(f"[log]: file must name the furnace log, got {file!r}")
    try:
        return read_furnace_log(os.path.join(directory, file), **table)
    except (TypeError, ValueError) as error:
        raise ValueError(f"[log]: {error}") from None


def _furnace(document: dict[str, Any]) -> Furnace:
    """The furnace of the ``[furnace]`` table."""
    table = _table(document, "furnace", required=True)
    _known("[furnace]", table, _FURNACE_KEYS)
    if "kind" not in table:
        raise ValueError("[furnace]: missing key 'kind', \"gas\" or \"vacuum\"")
    return _made("[furnace]", Furnace, table)


def _temper(document: dict[str, Any]) -> Temper | None:
    """The temper of the ``[temper]`` table, if there is one."""
    if "temper" not in document:
        return None
    table = _table(document, "temper", required=True)
    _known("[temper]", table, ("temperature_c", "duration_h"))
    for key in ("temperature_c", "duration_h"):
        if key not in table:
            raise ValueError(f"[temper]: missing key '{key}'")
    return _made("[temper]", Temper, table)


def _made(where: str, record: Callable[..., _Record], table: dict[str, Any]) -> _Record:
    """``record`` of the keys of ``table``; an error names the table ``where``."""
    try:
        return record(**table)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{where}: {error}") from None


def _steel(table: dict[str, Any]) -> Steel:
    contents = {key: value for key, value in table.items() if key != "grade"}
    try:
        if "grade" in table:
            return dataclasses.replace(Steel.grade(table["grade"]), **contents)
        if "carbon_wt" not in table:
            raise ValueError("missing key 'carbon_wt' (or give the steel's grade)")
        return Steel(**contents)
    except (TypeError, ValueError) as error:
        raise ValueError(f"[steel]: {error}") from None


def _stages(tables: object) -> tuple[Stage, ...]:
    if tables is None:
        raise ValueError("no [[stage]] tables: a recipe needs at least one stage")
    if not isinstance(tables, list) or not all(isinstance(table, dict) for table in tables):
        raise ValueError("'stage' must be a list of tables, written [[stage]]")
    if len(tables) > MOST_STAGES:
        raise ValueError(f"{len(tables):,} [[stage]] tables; a recipe holds at most {MOST_STAGES:,}")
    stages = []
    for number, table in enumerate(tables, 1):
        where = f"stage {number} of {len(tables)}"
        _known(where, table, _STAGE_KEYS)
        if "duration_h" not in table and "duration_min" not in table:
            raise ValueError(f"{where}: missing key 'duration_h' (or 'duration_min')")
        if "temperature_c" not in table:
            raise ValueError(f"{where}: missing key 'temperature_c'")
        try:
            stages.append(Stage(**table))
        except (TypeError, ValueError) as error:
            raise ValueError(f"{where}: {error}") from None
    return tuple(stages)


def _table(document: dict[str, Any], key: str, *, required: bool) -> dict[str, Any]:
    if key not in document:
        if required:
            raise ValueError(f"missing table [{key}]")
        return {}
    table = document[key]
    if not isinstance(table, dict):
        raise ValueError(f"'{key}' must be a table, written [{key}], got {table!r}")
    return table


def _known(where: str, table: dict[str, Any], keys: tuple[str, ...]) -> None:
    unknown = [key for key in table if key not in keys]
    if unknown:
        raise ValueError(f"{where}: unknown key '{unknown[0]}' (known: {', '.join(keys)})")

