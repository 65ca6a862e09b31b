# The Slycke model of carbon and nitrogen diffusion in austenite.  The
# composition is [y_C, y_N]: the site fractions of carbon and nitrogen (atoms
# per iron atom); entries after the second are ignored, and fewer than two
# raise PanicException, which derives from BaseException.
from .diffusion import ArrheniusModifiedDiffusivity

__all__ = ["create_carbon_diffusivity", "create_nitrogen_diffusivity"]

def create_carbon_diffusivity() -> ArrheniusModifiedDiffusivity: ...
def create_nitrogen_diffusivity() -> ArrheniusModifiedDiffusivity: ...
