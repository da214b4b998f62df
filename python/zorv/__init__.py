"""Search for, record and draw runs of the zorv two-legged runner.

The scoring itself is `zorv_fast.sim` and `zorv_fast.sim_batch`, re-exported
here; `trace` records a run step by step, `search` looks for far-running plans
with CMA-ES, and `zorv.svg` draws runs. `zorv.body` has the sizes and names of
the body and the plan, as the compiled model defines them. `python -m zorv
--help` lists the command-line tools.
"""
from zorv_fast import sim, sim_batch

from .body import HEAD, LINKS, MAX_STEPS, POINTS
from .records import History, Progress, SearchResult
from .search import ScoringFailed, search
from .settings import SearchSettings
from .state import CheckpointError, SearchState
from .trace import trace

__all__ = [
    "CheckpointError",
    "HEAD",
    "History",
    "LINKS",
    "MAX_STEPS",
    "POINTS",
    "Progress",
    "SearchResult",
    "ScoringFailed",
    "SearchSettings",
    "SearchState",
    "search",
    "sim",
    "sim_batch",
    "trace",
]
