"""Reading the files a user names, safely."""

from __future__ import annotations

import errno
import os
import stat

__all__ = ["read_regular"]


def read_regular(path: str | os.PathLike[str], *, largest_bytes: int, what: str) -> bytes:
    """The bytes of the file at ``path``; an OSError before reading for a file
    that is not a regular one (a device or a pipe may never end) or is larger
    than ``largest_bytes``, which a ``what`` may not be."""
    # Without blocking, which opening a pipe with no writer would do.
    with open(path, "rb", opener=lambda file, flags: os.open(file, flags | os.O_NONBLOCK)) as file:
        status = os.fstat(file.fileno())
        if not stat.S_ISREG(status.st_mode):
            raise OSError(errno.EINVAL, f"not a regular file, which a {what} must be")
        if status.st_size > largest_bytes:
            raise OSError(errno.EFBIG, f"{status.st_size:,} bytes, more than a {what} may hold ({largest_bytes:,})")
        return file.read(largest_bytes)
