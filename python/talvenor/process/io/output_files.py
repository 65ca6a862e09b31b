"""Output files that appear all together or not at all."""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile

__all__ = ["OutputFiles"]


class OutputFiles:
    """The files of one run, each first written to a temporary file in the
    folder of its target and moved into place by :meth:`commit`.

    Used as a ``with`` block: leaving it without a commit (an error, an
    interrupt) removes the temporary files, and the targets stay exactly as
    they were.  A target that is a symbolic link is written through it.
    """

    def __init__(self) -> None:
        self._temporary: dict[str, str] = {}

    def __enter__(self) -> OutputFiles:
        return self

    def reserve(self, path: str) -> None:
        """Make the temporary file for the output ``path``.

        Reserving all outputs before the work finds a folder that cannot be
        written to before the work is done.  The temporary file has the
        suffix of ``path``, which names the format to writers that look.
        """
        self._temporary[path] = _reserve(path)

    def temporary(self, path: str) -> str:
        """Where the output for ``path`` is written until the commit."""
        return self._temporary[path]

    def commit(self) -> None:
        """Move every output into place; an OSError names the output."""
        for path, temporary in list(self._temporary.items()):
            try:
                os.replace(temporary, os.path.realpath(path))
            except OSError as error:
                raise OSError(error.errno, error.strerror, path) from None
            del self._temporary[path]

    def __exit__(self, *exc: object) -> None:
        for temporary in self._temporary.values():
            with contextlib.suppress(OSError):
                os.remove(temporary)
        self._temporary.clear()


def _reserve(path: str) -> str:
    """A new empty file beside the target of ``path``, with the permissions
    the target has (or would have, were it created)."""
    target = os.path.realpath(path)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mode = 0o666 & ~_umask()
    name = os.path.basename(target)
    try:
        descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=os.path.splitext(name)[1],
                                                 dir=os.path.dirname(target))
    except OSError as error:
        raise OSError(error.errno, error.strerror, path) from None
    try:
        os.fchmod(descriptor, mode)
    finally:
        os.close(descriptor)
    return temporary


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask
