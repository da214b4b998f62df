"""Search for, record and draw runs of the zorv two-legged runner.

The scoring itself is `zorv_fast.sim` and `zorv_fast.sim_batch`, re-exported
here; `trace` records a run step by step, `search` looks for far-running plans
with CMA-ES, `compare` runs optimizers on many seeds into a study,
`record_run`, `gait_measures` and `robustness` study what a plan's run
does, and `zorv.svg` draws runs. `zorv.body` has the sizes and names of
the body and the plan, as the compiled model defines them. `python -m zorv
--help` lists the command-line tools.
"""
from __future__ import annotations

# The command line's first lines: until they have run, a Ctrl-C would print
# a KeyboardInterrupt traceback. Only modules that the interpreter loads at
# startup come before them; _signal is the interpreter's own module behind
# `signal`, whose import runs Python code.
import os
import sys

TYPE_CHECKING = False  # what typing.TYPE_CHECKING is at run time, without importing typing
if TYPE_CHECKING:  # `signal` describes _signal's functions for the type checker
    import signal as _signal
else:
    import _signal

#: The status of a command that Ctrl-C ends:
#: zorv.command_line.exit_status.after_signal(SIGINT), which no import of
#: the package may give before a Ctrl-C can be answered (a test checks that
#: they agree).
_EXIT_INTERRUPTED = 128 + _signal.SIGINT


def _exit_interrupted(signum: int, frame: object) -> None:
    # Nothing has been done yet that could be lost. Raising instead would not
    # do: an extension module's import in progress (NumPy's) turns the
    # KeyboardInterrupt into an ImportError with a traceback, or a caller's
    # `except ImportError` swallows it and the command runs on.
    os._exit(_EXIT_INTERRUPTED)


def _exit_at_once_on_interrupt() -> bool:
    """Makes a Ctrl-C end the process at once, where SIGINT has Python's own
    handler (or this one already); whether it does now."""
    handler = _signal.getsignal(_signal.SIGINT)
    if handler is _exit_interrupted:
        return True
    if handler is not _signal.default_int_handler:
        return False
    try:
        _signal.signal(_signal.SIGINT, _exit_interrupted)
    except ValueError:  # not the main thread, whose signals these are
        return False
    return True


def _started_as_command_line() -> bool:
    """Whether this process is the `zorv` command or `python -m zorv`
    starting: then zorv.__main__ runs next, and gives SIGINT back to Python
    once the command's modules are loaded."""
    if os.path.basename(sys.argv[0]) == "zorv":
        return True
    if sys.argv[:1] != ["-m"]:  # what it is while python -m finds its module
        return False
    given = getattr(sys, "orig_argv", None)  # Python 3.10 and later
    if given is None:
        return True
    return any(word == "-mzorv" or (word == "-m" and after == "zorv")
               for word, after in zip(given, [*given[1:], ""]))


if _started_as_command_line():
    _exit_at_once_on_interrupt()

import importlib  # noqa: E402
import importlib.util  # noqa: E402

if TYPE_CHECKING:  # what type checkers see; each "as" marks the name as exported
    from typing import Any

    from zorv_fast import sim as sim
    from zorv_fast import sim_batch as sim_batch

    from .body import HEAD as HEAD, LINKS as LINKS, MAX_STEPS as MAX_STEPS, POINTS as POINTS
    from .machine.provenance import __version__ as __version__
    from .motion.gait import gait_measures as gait_measures
    from .motion.perturbation import robustness as robustness
    from .motion.positions import trace as trace
    from .motion.record import RunRecord as RunRecord, record_run as record_run
    from .optimizers import Optimizer as Optimizer
    from .records import History as History, Progress as Progress
    from .searching.loop import (ScoringFailed as ScoringFailed, SearchFailed as SearchFailed,
                                 search as search)
    from .searching.settings import SearchSettings as SearchSettings
    from .searching.state import (CheckpointError as CheckpointError, SearchResult as SearchResult,
                                  SearchState as SearchState)
    from .studies.running import compare as compare
    from .studies.study import Study as Study

#: Where each name of the package comes from. They are imported on first
#: use: NumPy, which search and trace need, takes a tenth of a second to
#: import, which `import zorv` and the command line's --help need not wait
#: for.
_SOURCES = {
    "sim": "zorv_fast", "sim_batch": "zorv_fast",
    "HEAD": ".body", "LINKS": ".body", "MAX_STEPS": ".body", "POINTS": ".body",
    "Optimizer": ".optimizers", "__version__": ".machine.provenance",
    "History": ".records", "Progress": ".records",
    "ScoringFailed": ".searching.loop", "SearchFailed": ".searching.loop",
    "search": ".searching.loop", "SearchSettings": ".searching.settings",
    "CheckpointError": ".searching.state", "SearchResult": ".searching.state",
    "SearchState": ".searching.state",
    "compare": ".studies.running", "Study": ".studies.study",
    "trace": ".motion.positions", "RunRecord": ".motion.record", "record_run": ".motion.record",
    "gait_measures": ".motion.gait", "robustness": ".motion.perturbation",
}

__all__ = sorted(_SOURCES)


def __getattr__(name: str) -> Any:
    source = _SOURCES.get(name)
    if source is not None:
        value = getattr(importlib.import_module(source, __name__), name)
    elif importlib.util.find_spec(f"{__name__}.{name}") is not None:  # such as zorv.body
        value = importlib.import_module(f"{__name__}.{name}")
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_SOURCES})
