"""The command line, ``talvenor-process`` (or ``python -m talvenor.process``)."""

from .main import main

__all__ = ["main"]
