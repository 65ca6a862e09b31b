"""The solubility of carbon in austenite: the Acm line of the Fe-C diagram."""

from __future__ import annotations

from . import checks

__all__ = ["SOLUBILITY_RANGE_C", "austenite_temperature", "carbon_solubility_wt"]

#: The temperatures between the eutectoid and the eutectic, in °C, over which
#: austenite is in equilibrium with cementite.
SOLUBILITY_RANGE_C = (727.0, 1148.0)

# Known points of the Acm line, (°C, wt% C): the eutectoid, 1000 °C and the
# eutectic.
_POINTS = ((727.0, 0.77), (1000.0, 1.54), (1148.0, 2.14))


def austenite_temperature(name: str, value: object) -> float:
    """``value`` as a float, a temperature in °C within the solubility range,
    where steel is austenite and the Slycke diffusivities apply."""
    temperature = checks.real(name, value)
    low, high = SOLUBILITY_RANGE_C
    if not low <= temperature <= high:
        raise ValueError(f"{name} must lie within {low:g}-{high:g} °C, where austenite is in equilibrium "
                         f"with cementite, got {temperature!r}")
    return temperature


def carbon_solubility_wt(temperature_c: float) -> float:
    """The carbon content of austenite in equilibrium with cementite, in wt%.

    The quadratic in the temperature through the three known points of the
    Acm line of the binary Fe-C diagram: 0.77 wt% at the eutectoid (727 °C),
    1.54 wt% at 1000 °C and 2.14 wt% at the eutectic (1148 °C).  It holds
    for plain carbon steel; alloying elements shift it, which a steel's
    ``alloy_factor`` accounts for where the callers apply it.  Carbon beyond
    it forms carbides.

    Parameters
    ----------
    temperature_c : float
        Temperature in °C, from 727 to 1148.

    Raises
    ------
    ValueError
        Outside 727-1148 °C, where austenite is not in equilibrium with
        cementite.

    Examples
    --------
    >>> round(carbon_solubility_wt(930.0), 2)
    1.3
    """
    temperature = austenite_temperature("temperature_c", temperature_c)
    # Lagrange's form of the quadratic through the three points.
    return sum(w * _weight(temperature, i) for i, (_, w) in enumerate(_POINTS))


def _weight(temperature: float, i: int) -> float:
    own = _POINTS[i][0]
    weight = 1.0
    for j, (other, _) in enumerate(_POINTS):
        if j != i:
            weight *= (temperature - other) / (own - other)
    return weight
