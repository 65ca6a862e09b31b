# The top-level native module: the version and the constants submodule.
from typing import Final

from . import constants as constants

__all__ = ["version", "constants", "__version__"]

__version__: Final[str]

def version() -> str: ...
