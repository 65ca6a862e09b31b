"""Recipe files: a recipe as TOML, read and written.

A recipe file has a ``[steel]`` table (``carbon_wt``, ``nitrogen_wt``), an
optional ``[part]`` table (``geometry``, ``depth_mm``, ``cells``) and one
``[[stage]]`` table per stage, whose keys are the keyword arguments of
:class:`Stage`::

    [steel]
    carbon_wt = 0.2

    [[stage]]
    duration_h = 2.0
    temperature_c = 930.0
    carbon_potential_wt = 1.1
"""

from __future__ import annotations

import errno
import os
import stat
import tomllib
from dataclasses import fields
from typing import Any

from . import checks
from .recipe import Recipe, Stage

__all__ = ["RecipeError", "read_recipe", "format_recipe"]

_STAGE_KEYS = tuple(field.name for field in fields(Stage))
#: The largest recipe file read, in bytes (1 MiB), and the most stages it may hold.
LARGEST_FILE_BYTES = 1 << 20
MOST_STAGES = 1000


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
        message names the file, the table or stage and the key.  The file
        may start with a UTF-8 byte-order mark.
    """
    name = os.fspath(path)
    try:
        data = _read(path)
    except OSError as error:
        raise RecipeError(f"{name}: {error.strerror or error}") from None
    try:
        # Some editors save a byte-order mark first.
        return _recipe(tomllib.loads(data.decode("utf-8-sig")))
    except tomllib.TOMLDecodeError as error:
        raise RecipeError(f"{name}: not a valid TOML file: {error}") from None
    except UnicodeDecodeError as error:
        raise RecipeError(f"{name}: not a valid TOML file: {error.reason}") from None
    except RecursionError:
        raise RecipeError(f"{name}: arrays or tables nested too deeply for a recipe file") from None
    except (TypeError, ValueError) as error:
        raise RecipeError(f"{name}: {error}") from None


def _read(path: str | os.PathLike[str]) -> bytes:
    """The bytes of the file at ``path``; an OSError before reading for a file
    that is not a regular one (a device or a pipe may never end) or is larger
    than :data:`LARGEST_FILE_BYTES`."""
    # Without blocking, which opening a pipe with no writer would do.
    with open(path, "rb", opener=lambda file, flags: os.open(file, flags | os.O_NONBLOCK)) as file:
        status = os.fstat(file.fileno())
        if not stat.S_ISREG(status.st_mode):
            raise OSError(errno.EINVAL, "not a regular file, which a recipe file must be")
        if status.st_size > LARGEST_FILE_BYTES:
            raise OSError(errno.EFBIG, f"{status.st_size:,} bytes, more than a recipe file may hold "
                                       f"({LARGEST_FILE_BYTES:,})")
        return file.read(LARGEST_FILE_BYTES)


def format_recipe(recipe: Recipe) -> str:
    """The recipe as the text of a recipe file that :func:`read_recipe` reads back."""
    lines = ["[steel]", f"carbon_wt = {recipe.core_carbon_wt!r}", f"nitrogen_wt = {recipe.core_nitrogen_wt!r}",
             "", "[part]", f"geometry = \"{recipe.geometry}\"", f"depth_mm = {recipe.depth_mm!r}",
             f"cells = {recipe.cells!r}"]
    for stage in recipe.stages:
        lines += ["", "[[stage]]"]
        lines += [f"{key} = {getattr(stage, key)!r}" for key in _STAGE_KEYS if getattr(stage, key) is not None]
    return "\n".join(lines) + "\n"


def _recipe(document: dict[str, Any]) -> Recipe:
    _known("the file", document, ("steel", "part", "stage"))
    steel = _table(document, "steel", required=True)
    part = _table(document, "part", required=False)
    _known("[steel]", steel, ("carbon_wt", "nitrogen_wt"))
    _known("[part]", part, ("geometry", "depth_mm", "cells"))
    if "carbon_wt" not in steel:
        raise ValueError("[steel]: missing key 'carbon_wt'")
    return Recipe(stages=_stages(document.get("stage")),
                  core_carbon_wt=checks.real("[steel]: carbon_wt", steel["carbon_wt"], "not negative"),
                  core_nitrogen_wt=checks.real("[steel]: nitrogen_wt", steel.get("nitrogen_wt", 0.0), "not negative"),
                  geometry=checks.geometry("[part]: geometry", part.get("geometry", "plate")),
                  depth_mm=checks.depth_mm("[part]: depth_mm", part.get("depth_mm", 3.0)),
                  cells=checks.cells("[part]: cells", part.get("cells", 200)))


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
        for key in ("duration_h", "temperature_c"):
            if key not in table:
                raise ValueError(f"{where}: missing key '{key}'")
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

