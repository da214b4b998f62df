"""Search for, record and draw runs of the zorv two-legged runner.

The scoring itself is `zorv_fast.sim` and `zorv_fast.sim_batch`, re-exported
here; `trace` records a run step by step, `search` looks for far-running plans
with CMA-ES, and `zorv.svg` draws runs. `zorv.body` has the sizes and names of
the body and the plan, as the compiled model defines them. `python -m zorv
--help` lists the command-line tools.
"""
from __future__ import annotations

import importlib
import importlib.util
import sys
import types
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # what type checkers see; each "as" marks the name as exported
    from zorv_fast import sim as sim
    from zorv_fast import sim_batch as sim_batch

    from .body import HEAD as HEAD
    from .body import LINKS as LINKS
    from .body import MAX_STEPS as MAX_STEPS
    from .body import POINTS as POINTS
    from .optimizers import Optimizer as Optimizer
    from .provenance import __version__ as __version__
    from .records import History as History
    from .records import Progress as Progress
    from .search import ScoringFailed as ScoringFailed
    from .search import SearchFailed as SearchFailed
    from .search import search as search
    from .settings import SearchSettings as SearchSettings
    from .state import CheckpointError as CheckpointError
    from .state import SearchResult as SearchResult
    from .state import SearchState as SearchState
    from .trace import trace as trace

#: Where each name of the package comes from. They are imported on first
#: use: NumPy, which search and trace need, takes a tenth of a second to
#: import, and `python -m zorv` imports this package before its own code can
#: turn a Ctrl-C in that time into a quiet exit.
_SOURCES = {
    "sim": "zorv_fast", "sim_batch": "zorv_fast",
    "HEAD": ".body", "LINKS": ".body", "MAX_STEPS": ".body", "POINTS": ".body",
    "Optimizer": ".optimizers", "__version__": ".provenance",
    "History": ".records", "Progress": ".records", "SearchResult": ".state",
    "ScoringFailed": ".search", "SearchFailed": ".search", "search": ".search",
    "SearchSettings": ".settings",
    "CheckpointError": ".state", "SearchState": ".state", "trace": ".trace",
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


class _Package(types.ModuleType):
    """The package's module, where the functions `search` and `trace` keep
    their names: importing the submodules of the same names would bind them
    there otherwise."""

    def __setattr__(self, name: str, value: object) -> None:
        if isinstance(value, types.ModuleType) and name in _SOURCES:
            return  # the submodule stays reachable as sys.modules["zorv." + name]
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package
