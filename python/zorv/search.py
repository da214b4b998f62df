"""CMA-ES search for plans that carry the runner's head far."""
from __future__ import annotations

import math
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

import zorv_fast

PLAN_SIZE = 40
LOWER, UPPER = -1.0, 1.0
#: Plans scored per sim_batch call. One call cannot be interrupted, so this
#: bounds how long a stop request waits (a few milliseconds per chunk).
DEFAULT_CHUNK = 1024
DEFAULT_GENERATIONS = 100
#: Plans per generation. sim_batch makes wide generations cheap, and on this
#: problem they find farther plans per generation than CMA-ES's default of 15.
DEFAULT_POPSIZE = 128

#: Scores plans: an (N, 40) float64 array in, N scores out, in the same order.
Scorer = Callable[[npt.NDArray[np.float64]], Sequence[float]]


def _score_here(plans: npt.NDArray[np.float64]) -> list[float]:
    return zorv_fast.sim_batch(plans)  # an array is read in place


@dataclass(frozen=True)
class SearchSettings:
    """What a search does; together with the seed it fixes the result."""

    seed: int = 1
    popsize: int = DEFAULT_POPSIZE
    generations: int | None = None  # at most one of generations, evaluations
    evaluations: int | None = None
    sigma0: float = 0.5
    chunk: int = DEFAULT_CHUNK

    def __post_init__(self) -> None:
        if not 0 <= self.seed < 2**32:
            raise ValueError(f"seed must be in [0, 2**32), got {self.seed}")
        if self.popsize < 2:
            raise ValueError(f"popsize must be at least 2, got {self.popsize}")
        if self.generations is not None and self.evaluations is not None:
            raise ValueError("give generations or evaluations, not both")
        if self.generations is not None and self.generations < 1:
            raise ValueError(f"generations must be at least 1, got {self.generations}")
        if self.evaluations is not None and self.evaluations < 1:
            raise ValueError(f"evaluations must be at least 1, got {self.evaluations}")
        if not (math.isfinite(self.sigma0) and self.sigma0 > 0):
            raise ValueError(f"sigma0 must be a positive number, got {self.sigma0}")
        if self.chunk < 1:
            raise ValueError(f"chunk must be at least 1, got {self.chunk}")

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


@dataclass(frozen=True)
class Progress:
    """Where a search stands after a generation."""

    generation: int
    generations: int  # planned
    evaluations: int
    elapsed: float  # seconds
    best_score: float

    @property
    def evaluations_per_second(self) -> float:
        return self.evaluations / self.elapsed if self.elapsed > 0 else 0.0


@dataclass
class SearchResult:
    """The best plan found and how the search went."""

    plan: list[float]
    score: float  # == zorv_fast.sim(plan)
    settings: SearchSettings
    generations: int  # completed
    evaluations: int
    elapsed: float
    interrupted: bool = False
    stop_reasons: list[str] = field(default_factory=list)

    def to_json(self) -> dict[str, Any]:
        return {
            "plan": list(self.plan),
            "score": self.score,
            "seed": self.settings.seed,
            "settings": self.settings.as_dict(),
            "generations": self.generations,
            "evaluations": self.evaluations,
            "seconds": self.elapsed,
            "interrupted": self.interrupted,
            "stop_reasons": list(self.stop_reasons),
        }


def _import_cma() -> Any:
    # Imported on first use: it takes half a second, which trace() and the
    # drawing code need not pay.
    with warnings.catch_warnings():
        # cma warns on import when matplotlib (only for its plots) is absent.
        warnings.simplefilter("ignore")
        import cma  # type: ignore[import-untyped]
    return cma


def _new_strategy(settings: SearchSettings) -> Any:
    cma = _import_cma()
    # cma treats seed 0 as "seed from the clock"; seeding NumPy's global
    # generator here, which cma draws from, makes every seed reproducible.
    np.random.seed(settings.seed)
    options: dict[str, Any] = {
        "seed": float("nan"),
        "bounds": [LOWER, UPPER],
        "verbose": -9,
        "verb_disp": 0,
        "verb_log": 0,
        "popsize": settings.popsize,
    }
    return cma.CMAEvolutionStrategy(np.zeros(PLAN_SIZE), settings.sigma0, options)


def planned_generations(settings: SearchSettings) -> int:
    if settings.evaluations is not None:
        return -(-settings.evaluations // settings.popsize)
    if settings.generations is not None:
        return settings.generations
    return DEFAULT_GENERATIONS


def search(
    settings: SearchSettings,
    *,
    on_generation: Callable[[Progress], None] | None = None,
    should_stop: Callable[[], bool] | None = None,
    score: Scorer | None = None,
) -> SearchResult:
    """Maximises the head distance with CMA-ES, plans bounded to [-1, 1].

    Each generation is scored with `zorv_fast.sim_batch`, or with
    `score(plans)` when given (an (N, 40) array in, its N scores out, in
    order; `zorv.distributed.DaskScorer` scores on a Dask cluster), in chunks of
    `settings.chunk` plans; `should_stop` is asked after every chunk, and a
    true answer ends the search at once with the best plan scored so far
    (the interrupted generation is not told to CMA-ES). The start plan, all
    zeros, counts as scored. The search also ends when CMA-ES's own stop
    rules fire (`stop_reasons` names them). The same settings give the same
    result; the search seeds NumPy's global generator, which cma draws from.
    """
    score_chunk = _score_here if score is None else score
    strategy = _new_strategy(settings)
    started = time.perf_counter()
    total = planned_generations(settings)

    best_plan: npt.NDArray[np.float64] = np.zeros(PLAN_SIZE)
    best_score = zorv_fast.sim(best_plan.tolist())
    evaluations = 0
    generation = 0
    interrupted = False
    while generation < total and not strategy.stop():
        asked = strategy.ask()
        # The bound handling keeps every candidate in [-1, 1] already; the
        # clip only guards the saved plan, and sim clamps the same way.
        candidates = np.clip(np.array(asked, dtype=np.float64), LOWER, UPPER)
        scores: list[float] = []
        for first in range(0, len(candidates), settings.chunk):
            rows = candidates[first:first + settings.chunk]
            chunk_scores = list(score_chunk(rows))
            evaluations += len(chunk_scores)
            for row, value in zip(rows, chunk_scores):
                if value > best_score:
                    best_plan, best_score = row.copy(), value
            scores.extend(chunk_scores)
            if should_stop is not None and should_stop():
                interrupted = True
                break
        if interrupted:
            break
        strategy.tell(asked, [-s for s in scores])
        generation += 1
        if on_generation is not None:
            on_generation(Progress(generation, total, evaluations,
                                   time.perf_counter() - started, best_score))

    plan = [float(v) for v in best_plan]
    stop_reasons = [] if interrupted or generation >= total else sorted(strategy.stop())
    return SearchResult(
        plan=plan,
        score=zorv_fast.sim(plan),
        settings=settings,
        generations=generation,
        evaluations=evaluations,
        elapsed=time.perf_counter() - started,
        interrupted=interrupted,
        stop_reasons=[str(r) for r in stop_reasons],
    )
