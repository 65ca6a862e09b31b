"""Physical constants and composition-dependent Arrhenius diffusivities.

One shared object carries every module: ``talvenor._talvenor`` is the top-level
module, and ``constants``, ``diffusion``, ``slycke`` and ``calphad`` are the same
file loaded under those names.
"""

import importlib.machinery
import importlib.util
import sys

from . import _talvenor
from ._talvenor import __version__, version


def _load(name):
    qualified = f"{__name__}.{name}"
    loader = importlib.machinery.ExtensionFileLoader(qualified, _talvenor.__file__)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(qualified, loader))
    sys.modules[qualified] = module
    try:
        loader.exec_module(module)
    except BaseException:
        del sys.modules[qualified]
        raise
    return module


constants = _load("constants")
diffusion = _load("diffusion")
slycke = _load("slycke")
calphad = _load("calphad")

__all__ = ["version", "__version__", "constants", "diffusion", "slycke", "calphad"]
