"""How a run that cannot go on says why."""

__all__ = ["Failure"]


class Failure(ValueError):
    """A run that cannot go on; its message says why, and the caller adds
    which stage of which recipe."""
