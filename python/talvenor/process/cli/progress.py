"""How far a run has got, on a terminal."""

from __future__ import annotations

import time
from typing import TextIO

__all__ = ["Progress"]


class Progress:
    """Shows how far a run has got on a terminal, once it has taken a while."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.shown = False
        self.next = time.monotonic() + 0.5

    def __enter__(self) -> Progress | None:
        return self if self.stream.isatty() else None

    def __call__(self, fraction: float) -> None:
        now = time.monotonic()
        if now >= self.next:
            self.stream.write(f"\rrunning the recipe: {100.0 * fraction:3.0f} %")
            self.stream.flush()
            self.shown, self.next = True, now + 0.1

    def __exit__(self, *exc: object) -> None:
        if self.shown:
            self.stream.write("\r" + " " * 30 + "\r")
            self.stream.flush()
