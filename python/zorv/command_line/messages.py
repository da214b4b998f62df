"""The command line's one-line messages: its name as it was run, and its
error lines. It imports nothing of the package, so that a command can say
what is wrong before anything native loads (a damaged installation)."""
from __future__ import annotations

import os
import sys


def program_name(prog: str | None) -> str:
    """The command's name in its messages: `prog` where given, else as it
    was run (python -m zorv, or the script's own name)."""
    if prog is not None:
        return prog
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else "zorv"
    return "python -m zorv" if name == "__main__.py" else name


def print_error(prog: str, message: str) -> None:
    """One error line on standard error, after the command's name; dropped
    where standard error cannot be written."""
    if sys.stderr is None:  # closed when the interpreter started
        return
    try:
        print(f"{prog}: error: {message}", file=sys.stderr)
    except (OSError, ValueError):  # a closed pipe, a full disk, a closed stream
        pass
