"""Recipe design: the cycle that gives a case depth in the shortest time.

- :func:`design_boost_diffuse` (:mod:`.gas`): gas carburizing, a boost and
  a diffuse at two carbon potentials.
- :func:`design_vacuum_cycle` (:mod:`.vacuum`): low-pressure carburizing,
  pulses of boost at a carbon flux and diffuse.
"""

from .gas import design_boost_diffuse
from .vacuum import design_vacuum_cycle

__all__ = ["design_boost_diffuse", "design_vacuum_cycle"]
