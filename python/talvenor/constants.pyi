# Physical and mathematical constants, in SI units where they have one.
# Each constant is a float attribute and a no-argument function that returns
# the same float.
from typing import Final

__all__ = [
    "pi",
    "avogadro",
    "boltzmann",
    "electron_charge",
    "faraday",
    "gas_constant",
    "gravity",
    "planck",
    "speed_of_light",
    "stefan_boltzmann",
    "t_reference",
    "t_normal",
    "p_normal",
    "PI",
    "AVOGADRO",
    "BOLTZMANN",
    "ELECTRON_CHARGE",
    "FARADAY",
    "GAS_CONSTANT",
    "GRAVITY",
    "PLANCK",
    "SPEED_OF_LIGHT",
    "STEFAN_BOLTZMANN",
    "T_REFERENCE",
    "T_NORMAL",
    "P_NORMAL",
]

PI: Final[float]
AVOGADRO: Final[float]  # 1/mol
BOLTZMANN: Final[float]  # J/K
ELECTRON_CHARGE: Final[float]  # C
FARADAY: Final[float]  # C/mol
GAS_CONSTANT: Final[float]  # J/(mol K)
GRAVITY: Final[float]  # m/s^2
PLANCK: Final[float]  # J s
SPEED_OF_LIGHT: Final[float]  # m/s
STEFAN_BOLTZMANN: Final[float]  # W/(m^2 K^4)
T_REFERENCE: Final[float]  # K
T_NORMAL: Final[float]  # K
P_NORMAL: Final[float]  # Pa

def pi() -> float:
    """Mathematical constant π (pi)."""

def avogadro() -> float:
    """Avogadro's number [1/mol]."""

def boltzmann() -> float:
    """Boltzmann constant [J/K]."""

def electron_charge() -> float:
    """Elementary charge [C]."""

def faraday() -> float:
    """Faraday constant [C/mol]."""

def gas_constant() -> float:
    """Universal gas constant [J/(mol·K)]."""

def gravity() -> float:
    """Conventional gravitational acceleration on Earth [m/s²]."""

def planck() -> float:
    """Planck constant [J·s]."""

def speed_of_light() -> float:
    """Speed of light in vacuum [m/s]."""

def stefan_boltzmann() -> float:
    """Stefan-Boltzmann constant [W/(m²·K⁴)]."""

def t_reference() -> float:
    """Thermodynamic reference temperature [K]."""

def t_normal() -> float:
    """Normal state reference temperature [K]."""

def p_normal() -> float:
    """Normal state reference pressure [Pa]."""
