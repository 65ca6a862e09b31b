from . import calphad as calphad
from . import constants as constants
from . import diffusion as diffusion
from . import slycke as slycke
from ._talvenor import __version__ as __version__
from ._talvenor import version as version

__all__ = ["version", "__version__", "constants", "diffusion", "slycke", "calphad"]
