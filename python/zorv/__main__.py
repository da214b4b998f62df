"""`python -m zorv` and the `zorv` command: see `python -m zorv --help`."""
from __future__ import annotations

import signal
import sys
from collections.abc import Sequence

#: cli.EXIT_INTERRUPTED, which cannot be imported before this can answer a
#: Ctrl-C: 128 + SIGINT, as shells report it.
_EXIT_INTERRUPTED = 128 + signal.SIGINT


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """Runs the command line. A Ctrl-C that the command does not take itself,
    also one while NumPy and the rest load, ends it quietly with status 130."""
    try:
        from .cli import main as run_command_line

        return run_command_line(argv, prog)
    except KeyboardInterrupt:
        return _EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
