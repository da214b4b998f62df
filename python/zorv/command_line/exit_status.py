"""The command line's exit statuses, as shells read them. Imported before
anything else of the package loads, so it imports nothing of it."""
from __future__ import annotations

#: It failed while running: a lost cluster, a file that could not be
#: written (what could be kept is kept), documented scores that do not hold.
FAILED = 1
#: It was refused before it started: bad options, files or paths.
BAD_INPUT = 2


def after_signal(signum: int) -> int:
    """The status of a command that signal `signum` stopped: 128 + its
    number, as shells report it (130 for Ctrl-C)."""
    return 128 + int(signum)
