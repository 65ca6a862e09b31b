"""``python -m talvenor.process``: the command line of :mod:`talvenor.process.cli`."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
