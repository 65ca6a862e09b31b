"""The ``[variation]`` table of a recipe file: how its inputs vary from run
to run, for a capability study.

Its keys are those of :class:`~talvenor.process.Variation`::

    [variation]
    temperature_c = 5.0            # σ of every stage's temperature, °C, one draw per run
    carbon_potential_wt = 0.03     # σ of the carbon potentials, wt%
    duration_pct = 2.0             # σ of the durations, % of each
    transfer_pct = 10.0            # σ of the mass-transfer coefficients, %
    steel_ranges = true            # the steel drawn within its grade's ranges
    distribution = "normal"        # or "uniform", or {temperature_c = "uniform"}
    per_stage = ["duration_pct"]   # drawn for each stage apart
"""

from __future__ import annotations

from dataclasses import fields

from ..variation import Variation
from ._toml import toml_value

__all__ = ["read_variation", "variation_lines", "VARIATION_KEYS"]

#: The keys of the ``[variation]`` table.
VARIATION_KEYS = tuple(f.name for f in fields(Variation))


def read_variation(table: object) -> Variation:
    """The :class:`Variation` of a ``[variation]`` table as TOML reads it.

    Raises
    ------
    ValueError
        For a table that is not one, an unknown key or a bad value, the
        message starting with ``[variation]:`` and naming the key.
    """
    if not isinstance(table, dict):
        raise ValueError(f"'variation' must be a table, written [variation], got {table!r}")
    unknown = [key for key in table if key not in VARIATION_KEYS]
    if unknown:
        raise ValueError(f"[variation]: unknown key '{unknown[0]}' (known: {', '.join(VARIATION_KEYS)})")
    try:
        return Variation(**table)
    except (TypeError, ValueError) as error:
        raise ValueError(f"[variation]: {error}") from None


def variation_lines(variation: Variation) -> list[str]:
    """The lines of the ``[variation]`` table of ``variation`` (its keys
    that differ from the defaults), which :func:`read_variation` reads back."""
    default = Variation()
    return ["[variation]", *(f"{f.name} = {toml_value(getattr(variation, f.name))}" for f in fields(variation)
                             if getattr(variation, f.name) != getattr(default, f.name))]
