"""Units: weight percent and site fractions, grams per m², kelvin and °C.

In austenite there is one octahedral interstitial site per iron atom, so the
site fraction of an interstitial element is the number of its atoms per iron
atom::

    y_i = (w_i / M_i) / ((100 - w_C - w_N) / M_Fe)

with the rest of the steel counted as iron.  ``weight_percent`` is the exact
inverse: with u_i = y_i M_i / M_Fe = w_i / (100 - w_C - w_N),
w_i = 100 u_i / (1 + u_C + u_N).

A profile in site fractions over a depth in m holds, per m² of treated
surface, :func:`grams_per_site_fraction_m` grams of each element per unit of
its integral.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .. import constants

__all__ = ["MOLAR_MASS_CARBON", "MOLAR_MASS_NITROGEN", "MOLAR_MASS_IRON", "site_fractions", "weight_percent",
           "grams_per_site_fraction_m", "to_kelvin", "to_celsius"]

MOLAR_MASS_CARBON = 12.011  # g/mol
MOLAR_MASS_NITROGEN = 14.007  # g/mol
MOLAR_MASS_IRON = 55.845  # g/mol

def site_fractions(carbon_wt: ArrayLike,
                   nitrogen_wt: ArrayLike = 0.0) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Site fractions ``(y_C, y_N)`` of carbon and nitrogen contents in wt%.

    Parameters
    ----------
    carbon_wt, nitrogen_wt : array_like
        Contents in weight percent; they broadcast against each other.

    Returns
    -------
    y_carbon, y_nitrogen : ndarray
        Atoms of carbon and of nitrogen per iron atom.

    Raises
    ------
    ValueError
        If a content is negative or not finite, or carbon and nitrogen
        together reach 100 wt%.

    Examples
    --------
    >>> y_carbon, y_nitrogen = site_fractions(0.8)
    >>> round(float(y_carbon), 4)
    0.0375
    """
    if type(carbon_wt) is float and type(nitrogen_wt) is float and 0.0 <= carbon_wt + nitrogen_wt < 100.0 \
            and carbon_wt >= 0.0 and nitrogen_wt >= 0.0:
        # Two plain numbers, the common case, without numpy's overhead; the
        # same operations in the same order.
        iron_moles = (100.0 - carbon_wt - nitrogen_wt) / MOLAR_MASS_IRON
        return (np.float64((carbon_wt / MOLAR_MASS_CARBON) / iron_moles),
                np.float64((nitrogen_wt / MOLAR_MASS_NITROGEN) / iron_moles))
    w_carbon, w_nitrogen = np.broadcast_arrays(np.asarray(carbon_wt, dtype=float),
                                               np.asarray(nitrogen_wt, dtype=float))
    for name, w in (("carbon_wt", w_carbon), ("nitrogen_wt", w_nitrogen)):
        _refuse(name, "must be finite and not negative", w, ~(np.isfinite(w) & (w >= 0.0)))
    iron = 100.0 - w_carbon - w_nitrogen
    _refuse("carbon_wt + nitrogen_wt", "must be below 100", w_carbon + w_nitrogen, ~(iron > 0.0))
    iron_moles = iron / MOLAR_MASS_IRON
    return (w_carbon / MOLAR_MASS_CARBON) / iron_moles, (w_nitrogen / MOLAR_MASS_NITROGEN) / iron_moles


def weight_percent(y_carbon: ArrayLike, y_nitrogen: ArrayLike = 0.0) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Contents ``(w_C, w_N)`` in wt% of carbon and nitrogen site fractions.

    The exact inverse of :func:`site_fractions`.

    Examples
    --------
    >>> w_carbon, w_nitrogen = weight_percent(*site_fractions(0.8, 0.3))
    >>> round(float(w_carbon), 12), round(float(w_nitrogen), 12)
    (0.8, 0.3)
    """
    u_carbon = np.asarray(y_carbon, dtype=float) * (MOLAR_MASS_CARBON / MOLAR_MASS_IRON)
    u_nitrogen = np.asarray(y_nitrogen, dtype=float) * (MOLAR_MASS_NITROGEN / MOLAR_MASS_IRON)
    scale = 100.0 / (1.0 + u_carbon + u_nitrogen)
    return u_carbon * scale, u_nitrogen * scale


def grams_per_site_fraction_m(density_kg_m3: float) -> NDArray[np.float64]:
    """Grams of carbon and of nitrogen per m² of treated surface per unit of
    site fraction times m, in a steel of ``density_kg_m3``: the factor from
    the integral of a profile over the depth to the mass it holds.

    Examples
    --------
    >>> [round(float(g)) for g in grams_per_site_fraction_m(7870.0)]
    [1692660, 1973947]
    """
    return density_kg_m3 * 1e3 / MOLAR_MASS_IRON * np.array([MOLAR_MASS_CARBON, MOLAR_MASS_NITROGEN])


def to_kelvin(temperature_c: float) -> float:
    """A temperature in °C in K."""
    return temperature_c + constants.T_NORMAL


def to_celsius(temperature_k: float) -> float:
    """A temperature in K in °C."""
    return temperature_k - constants.T_NORMAL


def _refuse(name: str, rule: str, values: NDArray[np.float64], bad: NDArray[np.bool_]) -> None:
    if bad.any():
        raise ValueError(f"{name} {rule}, got {float(values[bad].flat[0])!r}")
