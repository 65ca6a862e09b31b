"""Recipe design: the cycle that meets a drawing in the shortest time.

- :func:`design_cycle` (:mod:`.cycle`): the shortest cycle in a furnace
  (gas or vacuum, a :class:`Furnace`) whose finished part meets every band
  of the requirements, heat-up and tail included.
- Its building blocks, which aim at a carbon case depth at one temperature,
  boost and diffuse only: :func:`design_boost_diffuse` (:mod:`.gas`), gas
  carburizing, a boost and a diffuse at two carbon potentials; and
  :func:`design_vacuum_cycle` (:mod:`.vacuum`), low-pressure carburizing,
  pulses of boost at a carbon flux and diffuse.
"""

from .cycle import CycleDesign, DrawingNotMet, design_cycle
from .gas import design_boost_diffuse
from .vacuum import design_vacuum_cycle

__all__ = ["design_cycle", "CycleDesign", "DrawingNotMet", "design_boost_diffuse", "design_vacuum_cycle"]
