"""`python -m zorv` and the `zorv` command: see `python -m zorv --help`."""
from __future__ import annotations

import os
import signal
import sys
import threading
from collections.abc import Callable, Sequence
from types import FrameType

#: cli.EXIT_INTERRUPTED, which cannot be imported before this can answer a
#: Ctrl-C: 128 + SIGINT, as shells report it.
_EXIT_INTERRUPTED = 128 + signal.SIGINT


def _exit_interrupted(signum: int, frame: FrameType | None) -> None:
    # Nothing has been done yet that could be lost. Raising instead would not
    # do: an extension module's import in progress (NumPy's) turns the
    # KeyboardInterrupt into an ImportError with a traceback.
    os._exit(_EXIT_INTERRUPTED)


def _import_command_line() -> Callable[[Sequence[str] | None, str | None], int]:
    """cli.main, imported with a Ctrl-C meanwhile ending the process at once."""
    takes_over = (threading.current_thread() is threading.main_thread()
                  and signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    if takes_over:
        signal.signal(signal.SIGINT, _exit_interrupted)
    try:
        from .cli import main as run_command_line
    finally:
        if takes_over:
            signal.signal(signal.SIGINT, signal.default_int_handler)
    return run_command_line


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """Runs the command line. A Ctrl-C that the command does not take itself,
    also one while NumPy and the rest load, ends it quietly with status 130."""
    try:
        return _import_command_line()(argv, prog)
    except KeyboardInterrupt:
        return _EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
