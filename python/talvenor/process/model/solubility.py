"""The solubility of carbon in austenite: the Acm line of the Fe–C diagram."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from .. import _validate
from .steel import STEEL_CARBON_MAX_WT, Steel

__all__ = ["AUSTENITE_RANGE_C", "austenite_temperature", "carbon_solubility_wt", "carbon_limit_wt",
           "carbon_limits_wt"]

#: The temperatures in °C from the eutectoid to the eutectic, over which
#: carbon steel is austenite up to its carbon solubility.
AUSTENITE_RANGE_C = (727.0, 1148.0)

# Three points of the Acm line, (°C, wt% C): the eutectoid point, one at
# 1000 °C and the greatest solubility, at the eutectic temperature.
_POINTS = ((727.0, 0.77), (1000.0, 1.54), (1148.0, STEEL_CARBON_MAX_WT))


def austenite_temperature(name: str, value: object,
                          why: str = "where the carbon solubility of austenite is known") -> float:
    """``value`` as a float, a temperature in °C within :data:`AUSTENITE_RANGE_C`."""
    low, high = AUSTENITE_RANGE_C
    return _validate.bounded(name, _validate.real(name, value), low=low, high=high, unit="°C", why=why)


def carbon_solubility_wt(temperature_c: float) -> float:
    """The carbon content in wt% of austenite in equilibrium with cementite.

    The Acm line of the metastable Fe–Fe3C diagram, as the quadratic in the
    temperature in °C through three of its points: 0.77 wt% at the eutectoid
    temperature, 727 °C; 1.54 wt% at 1000 °C; and 2.14 wt%, the greatest
    solubility, at the eutectic temperature, 1148 °C.  The eutectoid and
    eutectic points are those of the Fe–Fe3C diagram of the textbooks (as in
    Callister, *Materials Science and Engineering: An Introduction*); the
    point at 1000 °C is read off its Acm line.  Above this content, carbides
    form at the surface of a part.

    The line is that of plain iron–carbon: alloying elements and nitrogen
    move it, and are not counted here (a steel's ``carbide_limit_factor``
    scales it where the library applies it).  It holds from 727 to 1148 °C
    only.

    Parameters
    ----------
    temperature_c : float
        Temperature in °C, from 727 to 1148.

    Raises
    ------
    ValueError
        For a temperature outside 727–1148 °C.

    Examples
    --------
    >>> round(carbon_solubility_wt(930.0), 2)
    1.3
    >>> round(carbon_solubility_wt(950.0), 2)
    1.37
    """
    return float(_acm_wt(austenite_temperature("temperature_c", temperature_c)))


def _acm_wt(t: Any) -> Any:
    """The Acm line at the temperatures ``t`` in °C (a float or an array)."""
    # The quadratic through the three points, in Lagrange's form.
    (t_1, w_1), (t_2, w_2), (t_3, w_3) = _POINTS
    return (w_1 * (t - t_2) * (t - t_3) / ((t_1 - t_2) * (t_1 - t_3))
            + w_2 * (t - t_1) * (t - t_3) / ((t_2 - t_1) * (t_2 - t_3))
            + w_3 * (t - t_1) * (t - t_2) / ((t_3 - t_1) * (t_3 - t_2)))


def carbon_limit_wt(steel: Steel, temperature_c: float) -> float:
    """The carbon content in wt% at which carbide forms at the surface of
    ``steel`` at ``temperature_c``: the solubility of carbon in austenite
    (:func:`carbon_solubility_wt`, 727-1148 °C) as the steel's
    ``carbide_limit_factor`` scales it (1 unless the steel says otherwise:
    alloy carbides are not modelled)."""
    return steel.carbide_limit_factor * carbon_solubility_wt(temperature_c)


def carbon_limits_wt(steel: Steel, temperature_c: NDArray[np.float64]) -> NDArray[np.float64]:
    """:func:`carbon_limit_wt` at each of the temperatures ``temperature_c``
    (an array), NaN outside 727-1148 °C."""
    low, high = AUSTENITE_RANGE_C
    inside = (temperature_c >= low) & (temperature_c <= high)
    return np.where(inside, steel.carbide_limit_factor * _acm_wt(temperature_c), np.nan)
