"""Furnace logs as controllers export them: CSV files of samples.

:func:`read_furnace_log` reads one into a :class:`FurnaceLog`: the user maps
the columns to their meanings and says in which units the file gives them.
"""

from __future__ import annotations

import csv
import datetime
import math
import os
import warnings
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from .. import _validate
from ..model import atmosphere
from ..model.solubility import AUSTENITE_RANGE_C
from ..schedule.furnace_log import LONGEST_GAP_H, FurnaceLog
from ..schedule.stage import MELTING_C
from ._files import read_regular

__all__ = ["read_furnace_log", "TIME_UNITS", "TEMPERATURE_UNITS", "LARGEST_LOG_BYTES"]

#: The units a log's times may be in: seconds, minutes or hours from any
#: origin, the time of day (``HH:MM`` or ``HH:MM:SS``, a day added where the
#: clock passes midnight), or ISO 8601 timestamps (``2026-12-01T06:00:10``).
TIME_UNITS = {"s": 1.0 / 3600.0, "min": 1.0 / 60.0, "h": 1.0, "clock": None, "iso": None}
#: The units a log's temperatures may be in, as the offset and the factor
#: that take them to °C.
TEMPERATURE_UNITS = {"C": (0.0, 1.0), "F": (-32.0, 5.0 / 9.0), "K": (-273.15, 1.0)}
#: The largest log read, in bytes (256 MiB: a day at one sample a second is
#: a few MiB).
LARGEST_LOG_BYTES = 1 << 28
_READINGS = ("carbon_potential", "probe_mv", "co2_pct", "dew_point_c")
# A time of day that goes back by more than this, in hours, has passed midnight.
_MIDNIGHT_H = 12.0

if TYPE_CHECKING:
    _Array = NDArray[np.float64]


def read_furnace_log(path: str | os.PathLike[str], *, time: str = "time", temperature: str = "temperature",
                     carbon_potential: str | None = None, probe_mv: str | None = None, co2_pct: str | None = None,
                     dew_point_c: str | None = None, nitrogen_potential: str | None = None, time_unit: str = "s",
                     temperature_unit: str = "C", delimiter: str = ",", decimal: str = ".", co_pct: float = 20.0,
                     h2_pct: float = 40.0, process_factor: float | None = None,
                     carbon_transfer_m_s: float | None = None, nitrogen_transfer_m_s: float | None = None,
                     skip_bad_rows: int = 0, longest_gap_h: float = LONGEST_GAP_H) -> FurnaceLog:
    """Read a furnace log from the CSV file at ``path``.

    The file holds a row of column names and a row per sample below it;
    lines above the names (a controller's preamble) are skipped, as are
    blank lines.  The samples are taken as piecewise linear in time.

    Parameters
    ----------
    path : path-like
        The file: UTF-8 (with or without a byte-order mark), or else
        Windows-1252, which many controllers write.
    time, temperature : str
        The names of the columns of the time and the temperature.
    carbon_potential, probe_mv, co2_pct, dew_point_c : str, optional
        The name of the column that gives the carbon potential: the
        potential itself in wt%, or the oxygen probe's voltage in mV, the
        CO2 in vol% or the dew point in °C, turned into the potential at
        each sample's temperature with ``co_pct``, ``h2_pct`` and
        ``process_factor`` by
        :func:`talvenor.process.atmosphere.carbon_potential_wt`.  At most
        one; with none, the surface is closed to carbon.  Below 727 °C,
        where the steel is not austenite, the surface is closed to carbon
        whatever the column says.
    nitrogen_potential : str, optional
        The name of the column of the nitrogen potential in wt%.
    time_unit : {"s", "min", "h", "clock", "iso"}
        See :data:`TIME_UNITS`; the log starts at its first sample.
    temperature_unit : {"C", "F", "K"}
        The unit of the temperatures.
    delimiter, decimal : str
        The character between the cells, and the decimal mark of the
        numbers (``","`` where the file writes 0,85).
    co_pct, h2_pct, process_factor : float
        The gas, for an instrument's reading (see above).
    carbon_transfer_m_s, nitrogen_transfer_m_s : float, optional
        The mass-transfer coefficients, as for :class:`FurnaceLog`.
    skip_bad_rows : int
        How many rows with a cell missing or not a number to skip, with a
        warning that says how many; more are an error (default: none).
    longest_gap_h : float
        The longest gap between two samples allowed, as for :class:`FurnaceLog`.

    Raises
    ------
    ValueError
        For a file that cannot be read or is larger than 256 MiB; for a
        column that is not there; and, naming the line and the column, for
        a cell that is missing or not a number, times that go backwards or
        repeat or leave a gap longer than ``longest_gap_h``, a temperature
        at or above 1,400 °C.
    """
    name = os.fspath(path)
    columns = _columns(time=time, temperature=temperature, carbon_potential=carbon_potential, probe_mv=probe_mv,
                       co2_pct=co2_pct, dew_point_c=dew_point_c, nitrogen_potential=nitrogen_potential)
    parse_time = _time_parser(_validate.one_of("time_unit", time_unit, TIME_UNITS))
    offset, factor = TEMPERATURE_UNITS[_validate.one_of("temperature_unit", temperature_unit, TEMPERATURE_UNITS)]
    skip = _validate.integer("skip_bad_rows", skip_bad_rows, minimum=0)
    gap = _validate.real("longest_gap_h", longest_gap_h, "positive")
    delimiter, decimal = _one_character("delimiter", delimiter), _one_character("decimal", decimal)
    if delimiter == decimal:
        raise ValueError(f"delimiter and decimal must differ, got {delimiter!r} for both")
    try:
        text = _text(read_regular(path, largest_bytes=LARGEST_LOG_BYTES, what="furnace log"))
    except OSError as error:
        raise ValueError(f"{name}: {error.strerror or error}") from None
    try:
        lines, cells = _table(text, delimiter, columns)
        lines, samples = _samples(lines, cells, columns, parse_time, decimal, skip, name)
        time_h = _checked_times(lines, samples["time"], gap, wraps=time_unit == "clock")
        temperature_c = (samples["temperature"] + offset) * factor
        _check_temperatures(lines, temperature_c, columns["temperature"])
        carbon = _carbon_potential(columns, samples, temperature_c, co_pct=co_pct, h2_pct=h2_pct,
                                   process_factor=process_factor, source=name)
    except ValueError as error:
        raise ValueError(f"{name}: {error}") from None
    return FurnaceLog(time_h=time_h, temperature_c=temperature_c, carbon_potential_wt=carbon,
                      carbon_transfer_m_s=carbon_transfer_m_s, nitrogen_potential_wt=samples.get("nitrogen_potential"),
                      nitrogen_transfer_m_s=nitrogen_transfer_m_s, name=os.path.basename(name), longest_gap_h=gap)


def _columns(**given: str | None) -> dict[str, str]:
    """The meanings that are given a column, with the column's name."""
    columns = {}
    for meaning, column in given.items():
        if column is not None:
            if not isinstance(column, str) or not column.strip():
                raise ValueError(f"{meaning} must name a column of the log, got {column!r}")
            columns[meaning] = column.strip()
    readings = [meaning for meaning in _READINGS if meaning in columns]
    if len(readings) > 1:
        raise ValueError(f"give one column for the carbon potential, got {' and '.join(readings)}")
    return columns


def _one_character(name: str, value: object) -> str:
    if not isinstance(value, str) or len(value) != 1 or value in "\r\n\"":
        raise ValueError(f"{name} must be one character, not a quote or a line break, got {value!r}")
    return value


def _text(data: bytes) -> str:
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("cp1252", errors="replace")


def _table(text: str, delimiter: str, columns: dict[str, str]) -> tuple[list[int], list[list[str]]]:
    """The rows below the row of column names, with their line numbers, each
    cut to the cells of ``columns`` (in their order)."""
    rows = enumerate(csv.reader(text.splitlines(), delimiter=delimiter), 1)
    wanted = list(columns.values())
    line, names = next(((line, [cell.strip() for cell in row]) for line, row in rows
                        if columns["time"] in (cell.strip() for cell in row)), (0, []))
    if not line:
        raise ValueError(f"no row names the time column {columns['time']!r}")
    missing = [column for column in wanted if column not in names]
    if missing:
        raise ValueError(f"line {line}: no column {missing[0]!r} (the columns: {', '.join(map(repr, names))})")
    where = [names.index(column) for column in wanted]
    lines, cells = [], []
    for number, row in rows:
        if any(cell.strip() for cell in row):
            lines.append(number)
            cells.append([row[i].strip() if i < len(row) else "" for i in where])
    return lines, cells


def _samples(lines: list[int], cells: list[list[str]], columns: dict[str, str],
             parse_time: Callable[[str], float], decimal: str, skip: int,
             source: str) -> tuple[list[int], dict[str, _Array]]:
    """The numbers of the rows, by meaning; rows with a bad cell skipped, up to ``skip`` of them."""
    meanings = list(columns)
    kept_lines, values, bad = [], [], []
    for line, row in zip(lines, cells):
        try:
            values.append([parse_time(row[0])] + [_number(cell, decimal) for cell in row[1:]])
            kept_lines.append(line)
        except ValueError:
            bad.append(line)
            if len(bad) > skip:
                raise ValueError(_bad_cell(line, row, columns, parse_time, decimal) + (
                    f" ({len(bad)} bad rows, more than skip_bad_rows = {skip})" if skip else "")) from None
    if bad:
        warnings.warn(f"{source}: skipped {len(bad)} row{'s' if len(bad) > 1 else ''} with a cell missing or not "
                      f"a number (line{'s' if len(bad) > 1 else ''} {', '.join(map(str, bad[:10]))}"
                      f"{', ...' if len(bad) > 10 else ''})", stacklevel=3)
    if len(values) < 2:
        raise ValueError(f"the log holds {len(values)} sample{'s' if len(values) != 1 else ''}; it needs two or more")
    table = np.array(values, dtype=float)
    return kept_lines, {meaning: table[:, i] for i, meaning in enumerate(meanings)}


def _bad_cell(line: int, row: list[str], columns: dict[str, str], parse_time: Callable[[str], float],
              decimal: str) -> str:
    """What is wrong with the first bad cell of ``row``, at ``line``."""
    parsers = [parse_time] + [lambda cell: _number(cell, decimal)] * (len(row) - 1)
    for cell, column, parse in zip(row, columns.values(), parsers):
        try:
            parse(cell)
        except ValueError as error:
            return f"line {line}, column {column!r}: {error}"
    raise AssertionError(f"line {line} has no bad cell")


def _number(cell: str, decimal: str) -> float:
    """The finite number a cell holds, written with ``decimal``."""
    if not cell:
        raise ValueError("the cell is empty")
    try:
        number = float(cell.replace(decimal, ".") if decimal != "." else cell)
    except ValueError:
        raise ValueError(f"{cell!r} is not a number") from None
    if not math.isfinite(number):
        raise ValueError(f"{cell!r} is not a finite number")
    return number


def _time_parser(unit: str) -> Callable[[str], float]:
    """What reads a time cell in ``unit`` as hours (of the day for a clock)."""
    hours = TIME_UNITS[unit]
    if hours is not None:
        return lambda cell: _number(cell, ".") * hours
    return _clock_h if unit == "clock" else _iso_h


def _clock_h(cell: str) -> float:
    parts = cell.split(":")
    try:
        hours, minutes, seconds = (float(part) for part in (*parts, "0")[:3])
    except ValueError:
        hours = math.nan
    if len(parts) not in (2, 3) or not (0 <= hours < 24 and 0 <= minutes < 60 and 0 <= seconds < 61):
        raise ValueError(f"{cell!r} is not a time of day, HH:MM or HH:MM:SS")
    return hours + minutes / 60.0 + seconds / 3600.0


def _iso_h(cell: str) -> float:
    try:
        moment = datetime.datetime.fromisoformat(cell)
    except ValueError:
        raise ValueError(f"{cell!r} is not an ISO 8601 timestamp such as 2026-12-01T06:00:10") from None
    if moment.tzinfo is None:
        # Naive timestamps are taken as they stand: no daylight saving moves them.
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment.timestamp() / 3600.0


def _checked_times(lines: list[int], hours: _Array, longest_gap_h: float, *, wraps: bool) -> _Array:
    """The times in hours from the first, which must rise without a gap
    longer than ``longest_gap_h``; a time of day that ``wraps`` goes on past
    midnight."""
    steps = np.diff(hours)
    if wraps:
        steps = np.where(steps < -_MIDNIGHT_H, steps + 24.0, steps)
    for i in np.flatnonzero(~(steps > 0.0)).tolist()[:1]:
        raise ValueError(f"line {lines[i + 1]}: the time {'repeats' if steps[i] == 0.0 else 'goes backwards'} "
                         f"(the sample before is on line {lines[i]})")
    for i in np.flatnonzero(steps > longest_gap_h).tolist()[:1]:
        raise ValueError(f"line {lines[i + 1]}: {steps[i]:.4g} h after the sample before, a gap longer than "
                         f"longest_gap_h = {longest_gap_h:g} h: the recorder stopped")
    return np.concatenate(([0.0], np.cumsum(steps)))


def _check_temperatures(lines: list[int], temperature_c: _Array, column: str) -> None:
    bad = (temperature_c <= -273.15) | (temperature_c >= MELTING_C)
    for i in np.flatnonzero(bad).tolist()[:1]:
        raise ValueError(f"line {lines[i]}, column {column!r}: {temperature_c[i]:.6g} °C is not below "
                         f"{MELTING_C:,g} °C, where steel melts, and above absolute zero")


def _carbon_potential(columns: dict[str, str], samples: dict[str, _Array], temperature_c: _Array, *,
                      source: str, **gas: Any) -> _Array | None:
    """The carbon potential at each sample, from its column; NaN (closed) below 727 °C."""
    reading = next((meaning for meaning in _READINGS if meaning in columns), None)
    if reading is None:
        return None
    austenite = temperature_c >= AUSTENITE_RANGE_C[0]
    if reading == "carbon_potential":
        return np.where(austenite, samples[reading], math.nan)
    potentials = np.full(temperature_c.size, math.nan)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for i in np.flatnonzero(austenite).tolist():
            potentials[i] = atmosphere.carbon_potential_wt(float(temperature_c[i]),
                                                           **{reading: float(samples[reading][i])}, **gas)
    _summarise(caught, source, columns[reading])
    return potentials


def _summarise(caught: Sequence[warnings.WarningMessage], source: str, column: str) -> None:
    """One warning for each kind of the warnings ``caught`` converting the
    samples of ``column``, with how many samples gave it and the first."""
    kinds: dict[str, list[str]] = {}
    for warning in caught:
        message = str(warning.message)
        kinds.setdefault("soot" if "graphite saturation" in message else "range", []).append(message)
    for messages in kinds.values():
        count = f"{len(messages)} sample{'s' if len(messages) > 1 else ''}"
        warnings.warn(f"{source}, column {column!r}: {count} like this: {messages[0]}", stacklevel=4)
