"""How the command line ends with an error."""

__all__ = ["PROGRAM", "Failure"]

PROGRAM = "talvenor-process"


class Failure(Exception):
    """Ends the command with one line on standard error and this exit status."""

    def __init__(self, message: str, status: int = 2) -> None:
        super().__init__(message)
        self.status = status
