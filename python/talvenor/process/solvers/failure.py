"""Why a run cannot go on: the kernel's exception."""

from ..._kernel import Failure

__all__ = ["Failure"]
