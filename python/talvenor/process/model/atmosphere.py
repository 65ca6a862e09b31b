"""The carbon potential of a furnace atmosphere, from what its instruments read.

A controller reads an oxygen probe's voltage, a CO2 analyser or a dew-point
meter; with the CO and H2 of the carrier gas, the equilibria of the gas give
its carbon activity a_C (relative to graphite), and the Fe-C assessment
gives the carbon content of austenite in equilibrium with it: the carbon
potential, in wt%.

- The equilibria, ΔG° = A + B T in J/mol, T in K, at 1 atm (:data:`REACTIONS`):
  linear fits over 800-1050 °C, within 42 J/mol, to the NASA 7-coefficient
  polynomials of the species (GRI-Mech 3.0 thermodynamic data; graphite
  from NASA SP-273).  Outside 800-1050 °C a warning says they are
  extrapolated.
- The oxygen probe: Nernst, E = (RT/4F) ln(p_O2,ref / p_O2) with air (0.209
  atm of O2) as the reference.  The dew point: the water vapour pressure over
  water by the Magnus formula, e_s = 6.112 exp(17.62 t / (243.12 + t)) hPa
  (t in °C; the WMO's coefficients).
- Austenite in equilibrium with a_C: the Fe-C assessment of P. Gustafson,
  Scand. J. Metall. 14 (1985) 259, with y = x_C / (1 - x_C) the carbon site
  fraction:
  ln a_C = (77 207 - 15.877 T)/(RT) + ln(y / (1 - y)) - 34 671 (1 - 2y)/(RT),
  solved for y (it is monotone).  a_C ≥ 1 is graphite saturation (soot): a
  warning says so, and the content is that at a_C = 1.
- A controller-compatible approximation, for matching a controller that uses
  its maker's probe formula with a "process factor" PF in place of the CO
  content: %C = 5.102 X / ((29 PF + 400) + X), X = exp((E - 786) /
  (0.043102 T)), E in mV, T in K: a probe maker's transmitter manual, the
  same Nernst chemistry with its constants folded in.

The potentials are those of plain iron; a steel's ``alloy_factor`` scales
them as :func:`simulate` does.  The gas is taken at equilibrium with itself
and with the probe's electrode; methane is not read by any of these
instruments (:data:`REACTIONS` gives its equilibrium for completeness).
"""

from __future__ import annotations

import math
import warnings

from scipy.optimize import brentq  # type: ignore[import-untyped]

from ... import constants
from .. import _validate
from ..units import site_fractions, weight_percent

__all__ = ["REACTIONS", "VALID_RANGE_C", "equilibrium_constant", "carbon_activity", "austenite_carbon_wt",
           "carbon_activity_of_austenite", "carbon_potential_wt", "probe_mv_for", "co2_pct_for", "dew_point_c_for",
           "water_vapour_hpa", "AIR_OXYGEN_ATM"]

#: ΔG° = A + B T (J/mol, T in K) of the gas equilibria, by name: (A, B).
REACTIONS = {
    "2 CO = C + CO2": (-168_661.0, 173.524),
    "CO + 1/2 O2 = CO2": (-281_837.0, 86.325),
    "CO + H2 = C + H2O": (-135_766.0, 143.497),
    "H2 + 1/2 O2 = H2O": (-248_943.0, 56.297),
    "CH4 = C + 2 H2": (90_189.0, -109.649),
    "CO + H2O = CO2 + H2": (-32_895.0, 30.028),
}
#: The temperatures in °C over which the fits of :data:`REACTIONS` hold.
VALID_RANGE_C = (800.0, 1050.0)
#: The oxygen of the probe's reference, air, in atm.
AIR_OXYGEN_ATM = 0.209
_R = constants.GAS_CONSTANT
_HPA_PER_ATM = constants.P_NORMAL / 100.0


def equilibrium_constant(reaction: str, temperature_k: float) -> float:
    """K = exp(-ΔG° / RT) of ``reaction`` (a key of :data:`REACTIONS`) at ``temperature_k``."""
    a, b = REACTIONS[reaction]
    return math.exp(-(a + b * temperature_k) / (_R * temperature_k))


def water_vapour_hpa(dew_point_c: float) -> float:
    """The vapour pressure of water in hPa at ``dew_point_c``, by the Magnus formula."""
    return 6.112 * math.exp(17.62 * dew_point_c / (243.12 + dew_point_c))


def carbon_activity(temperature_c: float, *, probe_mv: float | None = None, co2_pct: float | None = None,
                    dew_point_c: float | None = None, co_pct: float = 20.0, h2_pct: float = 40.0) -> float:
    """The carbon activity (relative to graphite) of a gas at ``temperature_c``
    and 1 atm, from one reading: the oxygen probe's ``probe_mv``, the CO2
    content ``co2_pct`` or the ``dew_point_c``, with the CO (and, for the
    dew point, H2) of the gas in vol% (endogas: 20 % CO, 40 % H2)."""
    reading, value = _one_reading(probe_mv=probe_mv, co2_pct=co2_pct, dew_point_c=dew_point_c)
    t = _temperature_k(temperature_c)
    p_co = _fraction("co_pct", co_pct)
    if reading == "probe_mv":
        p_o2 = AIR_OXYGEN_ATM * math.exp(-4.0 * constants.FARADAY * value * 1e-3 / (_R * t))
        return (equilibrium_constant("2 CO = C + CO2", t) * p_co
                / (equilibrium_constant("CO + 1/2 O2 = CO2", t) * math.sqrt(p_o2)))
    if reading == "co2_pct":
        return equilibrium_constant("2 CO = C + CO2", t) * p_co * p_co / _fraction("co2_pct", value)
    p_h2o = water_vapour_hpa(value) / _HPA_PER_ATM
    return equilibrium_constant("CO + H2 = C + H2O", t) * p_co * _fraction("h2_pct", h2_pct) / p_h2o


def carbon_activity_of_austenite(carbon_wt: float, temperature_c: float) -> float:
    """The carbon activity of austenite of ``carbon_wt`` at ``temperature_c``
    (Gustafson's Fe-C assessment)."""
    y = float(_site_fraction(_validate.real("carbon_wt", carbon_wt, "positive")))
    return math.exp(_log_activity(y, _temperature_k(temperature_c)))


def austenite_carbon_wt(activity: float, temperature_c: float) -> float:
    """The carbon content in wt% of austenite in equilibrium with the carbon
    ``activity`` at ``temperature_c`` (Gustafson's Fe-C assessment); at and
    above 1, graphite saturation, with a warning (soot)."""
    activity = _validate.real("activity", activity, "positive")
    t = _temperature_k(temperature_c)
    if activity >= 1.0:
        warnings.warn(f"the carbon activity {activity:.3g} reaches graphite saturation at {temperature_c:g} °C: "
                      "the atmosphere sheds soot, and the steel takes no more carbon than graphite gives",
                      stacklevel=3)
        activity = 1.0
    target = math.log(activity)
    y = brentq(lambda y: _log_activity(y, t) - target, 1e-12, 0.49, xtol=1e-15, rtol=4.0 * 2.0 ** -52)
    return float(weight_percent(y)[0])


def carbon_potential_wt(temperature_c: float, *, probe_mv: float | None = None, co2_pct: float | None = None,
                        dew_point_c: float | None = None, co_pct: float = 20.0, h2_pct: float = 40.0,
                        process_factor: float | None = None) -> float:
    """The carbon potential in wt% of a gas at ``temperature_c`` from one
    reading (see :func:`carbon_activity`), or, with ``process_factor``, from
    the probe's voltage by the controller-compatible approximation of the
    module's notes.

    Examples
    --------
    >>> round(carbon_potential_wt(1000.0, co2_pct=5.0, co_pct=95.0), 3)
    0.303
    >>> round(carbon_potential_wt(930.0, probe_mv=1150.0), 2)     # endogas, 20 % CO
    0.93
    """
    if process_factor is not None:
        if probe_mv is None or co2_pct is not None or dew_point_c is not None:
            raise ValueError("process_factor goes with probe_mv alone")
        factor = _validate.real("process_factor", process_factor, "positive")
        t = _temperature_k(temperature_c)
        x = math.exp((_validate.real("probe_mv", probe_mv) - 786.0) / (0.043102 * t))
        return 5.102 * x / ((29.0 * factor + 400.0) + x)
    activity = carbon_activity(temperature_c, probe_mv=probe_mv, co2_pct=co2_pct, dew_point_c=dew_point_c,
                               co_pct=co_pct, h2_pct=h2_pct)
    return austenite_carbon_wt(activity, temperature_c)


def probe_mv_for(carbon_potential_wt: float, temperature_c: float, *, co_pct: float = 20.0) -> float:
    """The oxygen probe's voltage in mV at which a gas of ``co_pct`` at
    ``temperature_c`` has the carbon potential ``carbon_potential_wt``.

    Examples
    --------
    >>> round(probe_mv_for(0.8, 930.0), 1)
    1139.7
    """
    t = _temperature_k(temperature_c)
    activity = _setpoint_activity(carbon_potential_wt, temperature_c)
    root_o2 = (equilibrium_constant("2 CO = C + CO2", t) * _fraction("co_pct", co_pct)
               / (equilibrium_constant("CO + 1/2 O2 = CO2", t) * activity))
    return 1e3 * _R * t / (4.0 * constants.FARADAY) * math.log(AIR_OXYGEN_ATM / (root_o2 * root_o2))


def co2_pct_for(carbon_potential_wt: float, temperature_c: float, *, co_pct: float = 20.0) -> float:
    """The CO2 in vol% at which a gas of ``co_pct`` at ``temperature_c`` has
    the carbon potential ``carbon_potential_wt``."""
    p_co = _fraction("co_pct", co_pct)
    activity = _setpoint_activity(carbon_potential_wt, temperature_c)
    return 100.0 * equilibrium_constant("2 CO = C + CO2", _temperature_k(temperature_c)) * p_co * p_co / activity


def dew_point_c_for(carbon_potential_wt: float, temperature_c: float, *, co_pct: float = 20.0,
                    h2_pct: float = 40.0) -> float:
    """The dew point in °C at which a gas of ``co_pct`` and ``h2_pct`` at
    ``temperature_c`` has the carbon potential ``carbon_potential_wt`` (the
    Magnus formula inverted)."""
    activity = _setpoint_activity(carbon_potential_wt, temperature_c)
    p_h2o = (equilibrium_constant("CO + H2 = C + H2O", _temperature_k(temperature_c)) * _fraction("co_pct", co_pct)
             * _fraction("h2_pct", h2_pct) / activity)
    ratio = math.log(p_h2o * _HPA_PER_ATM / 6.112)
    return 243.12 * ratio / (17.62 - ratio)


def _setpoint_activity(carbon_potential_wt: float, temperature_c: float) -> float:
    """The carbon activity of a wanted potential, which must lie below graphite saturation."""
    carbon_potential_wt = _validate.real("carbon_potential_wt", carbon_potential_wt, "positive")
    activity = carbon_activity_of_austenite(carbon_potential_wt, temperature_c)
    if activity >= 1.0:
        raise ValueError(f"carbon_potential_wt {carbon_potential_wt!r} is at or above graphite saturation at "
                         f"{temperature_c:g} °C, {austenite_carbon_wt(0.999999, temperature_c):.3g} wt%: no gas "
                         "holds it")
    return activity


def _log_activity(y: float, temperature_k: float) -> float:
    rt = _R * temperature_k
    return (77_207.0 - 15.877 * temperature_k) / rt + math.log(y / (1.0 - y)) - 34_671.0 * (1.0 - 2.0 * y) / rt


def _site_fraction(carbon_wt: float) -> float:
    return float(site_fractions(carbon_wt)[0])


def _temperature_k(temperature_c: float) -> float:
    t = _validate.celsius("temperature_c", temperature_c)
    low, high = VALID_RANGE_C
    if not low <= t <= high:
        warnings.warn(f"{t:g} °C is outside {low:g}-{high:g} °C, over which the gas equilibria are fitted; the "
                      "carbon potential is extrapolated", stacklevel=4)
    return t + constants.T_NORMAL


def _fraction(name: str, pct: float) -> float:
    """``pct``, a content in vol%, as a fraction of 1 atm."""
    return _validate.bounded(name, _validate.real(name, pct, "positive"), high=100.0, unit="%") / 100.0


def _one_reading(**readings: float | None) -> tuple[str, float]:
    given = [(name, value) for name, value in readings.items() if value is not None]
    if len(given) != 1:
        raise ValueError(f"give one of {', '.join(readings)}, got {', '.join(name for name, _ in given) or 'none'}")
    name, value = given[0]
    return name, _validate.real(name, value)
