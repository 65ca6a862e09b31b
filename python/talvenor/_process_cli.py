"""The ``talvenor-process`` command's entry point.

It imports the command line itself, so that a Ctrl-C while numpy and scipy
load ends the command as one during a run does (a line on standard error,
exit status 130), not with a traceback.
"""

import sys


def main() -> int:
    """Load :mod:`talvenor.process.cli` and run it; return the exit status."""
    try:
        from talvenor.process.cli import main as command_line
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    return command_line()
