"""CMA-ES search for plans that carry the runner's head far."""
from __future__ import annotations

import math
import time
import warnings
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, field
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt
from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]

import zorv_fast

from .body import PLAN_SIZE
from .cma_es import CMAES
from .memory import require_population_fits

#: The box the model clamps every plan value into.
LOWER, UPPER = -1.0, 1.0

#: The optimizers a search can run: the population CMA-ES of zorv.cma_es,
#: or the cma package's (pycma), kept as the reference it is measured against.
OPTIMIZERS = ("builtin", "pycma")
#: How plans are kept in [-1, 1] (sim clamps every value there, so outside
#: the box the distance is flat):
#: "penalty" clips the optimizer's points and penalises their distance from
#: the box, "transform" maps them into the box (linear inside, quadratic near
#: the bounds, periodic beyond; pycma uses its own such map), "none" clips
#: them only, which lets the search drift outside. bench/search.py compares
#: them: at 100,000 evaluations the penalty goes farthest.
BOUNDARIES = ("penalty", "transform", "none")

Plans = npt.NDArray[np.float64]
#: Scores plans: an (N, 40) float64 array in, N scores out, in the same order.
Scorer = Callable[[Plans], Sequence[float]]


def _score_here(plans: Plans) -> list[float]:
    return zorv_fast.sim_batch(plans)  # an array is read in place


@dataclass(frozen=True)
class SearchSettings:
    """What a search does; together with the seed it fixes the result.

    The defaults and every check of a search's settings live here; the
    command line takes both from this class.
    """

    seed: int = 1
    #: Plans per generation. sim_batch makes wide generations cheap, and on
    #: this problem they find farther plans per evaluation than CMA-ES's
    #: default of 15, and keep the cores busier.
    popsize: int = 256
    generations: int | None = None  # at most one of generations, evaluations
    evaluations: int | None = None
    sigma0: float = 0.5
    #: Plans scored per call of the scorer. One call cannot be interrupted,
    #: so this bounds how long a stop request waits (a few milliseconds).
    chunk: int = 1024
    optimizer: str = "builtin"
    boundary: str = "penalty"

    #: Generations run when neither generations nor evaluations is given.
    DEFAULT_GENERATIONS = 100

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
        if self.optimizer not in OPTIMIZERS:
            raise ValueError(f"optimizer must be one of {', '.join(OPTIMIZERS)}, "
                             f"got {self.optimizer!r}")
        if self.boundary not in BOUNDARIES:
            raise ValueError(f"boundary must be one of {', '.join(BOUNDARIES)}, "
                             f"got {self.boundary!r}")

    @property
    def planned_generations(self) -> int:
        if self.evaluations is not None:
            return -(-self.evaluations // self.popsize)
        if self.generations is not None:
            return self.generations
        return self.DEFAULT_GENERATIONS

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
class History:
    """One entry per completed generation: the plans scored so far, the best
    distance so far, the median distance of the generation's plans, and the
    seconds since the search started."""

    evaluations: list[int] = field(default_factory=list)
    best: list[float] = field(default_factory=list)
    median: list[float] = field(default_factory=list)
    seconds: list[float] = field(default_factory=list)

    def append(self, evaluations: int, best: float, median: float, seconds: float) -> None:
        self.evaluations.append(evaluations)
        self.best.append(best)
        self.median.append(median)
        self.seconds.append(seconds)

    def __len__(self) -> int:
        return len(self.evaluations)

    def to_json(self) -> dict[str, list[Any]]:
        return asdict(self)

    @classmethod
    def from_json(cls, data: dict[str, list[Any]]) -> History:
        history = cls(*(list(data[name]) for name in ("evaluations", "best", "median", "seconds")))
        if len({len(column) for column in asdict(history).values()}) != 1:
            raise ValueError("history columns differ in length")
        return history


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
    history: History = field(default_factory=History)

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
            "history": self.history.to_json(),
        }


# --- keeping plans in the box --------------------------------------------

#: Width of the quadratic part of the transform at each bound.
_BEND = 0.1


def into_box(points: Plans) -> Plans:
    """Maps any values into [-1, 1]: unchanged within 0.9 of 0, bent
    smoothly onto the bound within 0.1 of it (value and slope continuous),
    and mirrored periodically beyond, so that nearby points stay nearby."""
    boxed = points.copy()
    outside = np.abs(points) > UPPER - _BEND
    if not outside.any():
        return boxed
    low, high = LOWER - _BEND, UPPER + _BEND  # the stretch that folds onto the box
    period = 2 * (high - low)
    folded = points[outside] - low
    folded -= np.floor(folded / period) * period  # np.mod is several times slower
    folded = np.where(folded > high - low, period - folded, folded) + low
    folded = np.where(folded < LOWER + _BEND, LOWER + (folded - low) ** 2 / (4 * _BEND), folded)
    boxed[outside] = np.where(folded > UPPER - _BEND,
                              UPPER - (folded - high) ** 2 / (4 * _BEND), folded)
    return boxed


def median(values: Plans) -> float:
    """np.median, without its several microseconds of Python per call."""
    ordered = np.sort(values)
    middle = len(ordered) // 2
    return float(ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2)


def box_penalty(points: Plans, plans: Plans, distances: Plans) -> Plans:
    """How much to take off each distance for points outside the box: the
    squared distance to its clipped plan, weighted so that the spread of the
    generation's distances (its interquartile range) is worth as much as a
    step of the spread of its points."""
    outside: Plans = ((points - plans) ** 2).sum(axis=1)
    if not outside.any():
        return outside
    ordered = np.sort(distances)
    quartile_range = float(ordered[3 * len(ordered) // 4] - ordered[len(ordered) // 4])
    # The coordinates' mean variance, as the mean square less the squared means.
    centre = points.mean(axis=0)
    spread = (float(np.einsum("ij,ij->", points, points)) / points.size
              - float(centre @ centre) / len(centre))
    weight = 2 * max(quartile_range, 1e-12) / max(spread, 1e-300)
    penalty: Plans = weight * outside
    return penalty


# --- the optimizers ---------------------------------------------------------

class Optimizer(Protocol):
    """What the search loop needs: plans in [-1, 1] to score, their
    distances back in the same order (larger is better), and stop rules."""

    def ask(self) -> Plans: ...

    def tell(self, distances: Plans) -> None: ...

    def stop(self) -> list[str]: ...


class _Boxed:
    """The optimizer's points and the plans made of them, one ask to the next."""

    def __init__(self, boundary: str) -> None:
        self.boundary = boundary
        self.points: Plans | None = None
        self.plans: Plans | None = None

    def plans_of(self, points: Plans) -> Plans:
        self.points = points
        self.plans = into_box(points) if self.boundary == "transform" else np.clip(
            points, LOWER, UPPER)
        return self.plans

    def values_of(self, distances: Plans) -> Plans:
        """What the optimizer minimises."""
        values = -distances
        if self.boundary == "penalty":
            assert self.points is not None and self.plans is not None
            values = values + box_penalty(self.points, self.plans, distances)
        return values


class BuiltinOptimizer:
    """zorv.cma_es.CMAES from the all-zero plan, seeded from the settings."""

    def __init__(self, settings: SearchSettings) -> None:
        # SFC64 draws normal samples a fifth faster than NumPy's default PCG64.
        self.es = CMAES(np.zeros(PLAN_SIZE), settings.sigma0,
                        np.random.Generator(np.random.SFC64(settings.seed)),
                        popsize=settings.popsize)
        self.box = _Boxed(settings.boundary)

    def ask(self) -> Plans:
        return self.box.plans_of(self.es.ask())

    def tell(self, distances: Plans) -> None:
        self.es.tell(self.box.values_of(distances))

    def stop(self) -> list[str]:
        return self.es.stop()


def _import_cma() -> Any:
    # Imported on first use: it takes half a second, which trace() and the
    # drawing code need not pay.
    with warnings.catch_warnings():
        # cma warns on import when matplotlib (only for its plots) is absent.
        warnings.simplefilter("ignore")
        import cma  # type: ignore[import-untyped]
    return cma


class PycmaOptimizer:
    """The cma package's CMA-ES, fed arrays without per-point checks. With
    boundary "transform" it keeps the plans in the box with its own bound
    transform, as it does by default; the other boundaries are ours."""

    def __init__(self, settings: SearchSettings) -> None:
        cma = _import_cma()
        # cma treats seed 0 as "seed from the clock"; seeding NumPy's global
        # generator here, which cma draws from, makes every seed reproducible.
        np.random.seed(settings.seed)
        options: dict[str, Any] = {
            "seed": float("nan"),
            "verbose": -9,
            "verb_disp": 0,
            "verb_log": 0,
            "popsize": settings.popsize,
        }
        if settings.boundary == "transform":
            options["bounds"] = [LOWER, UPPER]
        self.es = cma.CMAEvolutionStrategy(np.zeros(PLAN_SIZE), settings.sigma0, options)
        # cma's transform already lands in the box: clipping changes nothing.
        self.box = _Boxed("none" if settings.boundary == "transform" else settings.boundary)
        self.asked: list[Plans] = []

    def ask(self) -> Plans:
        self.asked = self.es.ask()
        return self.box.plans_of(np.array(self.asked, dtype=np.float64))

    def tell(self, distances: Plans) -> None:
        self.es.tell(self.asked, self.box.values_of(distances), check_points=False)

    def stop(self) -> list[str]:
        return sorted(str(reason) for reason in self.es.stop())


def new_optimizer(settings: SearchSettings) -> Optimizer:
    if settings.optimizer == "pycma":
        return PycmaOptimizer(settings)
    return BuiltinOptimizer(settings)


# --- the search loop --------------------------------------------------------

def search(
    settings: SearchSettings,
    *,
    on_generation: Callable[[Progress], None] | None = None,
    should_stop: Callable[[], bool] | None = None,
    score: Scorer | None = None,
) -> SearchResult:
    """Maximises the head distance with CMA-ES, plans kept in [-1, 1].

    Each generation is scored with `zorv_fast.sim_batch`, or with
    `score(plans)` when given (an (N, 40) array in, its N scores out, in
    order; `zorv.distributed.DaskScorer` scores on a Dask cluster), in chunks of
    `settings.chunk` plans; `should_stop` is asked after every chunk, and a
    true answer ends the search at once with the best plan scored so far
    (the interrupted generation is not told to the optimizer). The start
    plan, all zeros, counts as scored. The search also ends when the
    optimizer's own stop rules fire (`stop_reasons` names them).

    The same settings give the same result on the same machine and NumPy
    build (NumPy's linear algebra may pick other kernels on another CPU, and
    with them other last bits of the search's path). The saved plan's score
    is exact everywhere: it is `zorv_fast.sim(plan)`. A population too large
    for this process's memory raises PopulationTooLargeError (a ValueError)
    before anything is drawn.
    """
    require_population_fits(settings.popsize, settings.optimizer)
    # The optimizer's matrices are 40 by 40: more BLAS threads only spin,
    # on the cores that sim_batch needs.
    with threadpool_limits(limits=1, user_api="blas"):
        return _search(settings, on_generation, should_stop,
                       _score_here if score is None else score)


def _search(settings: SearchSettings, on_generation: Callable[[Progress], None] | None,
            should_stop: Callable[[], bool] | None, score_chunk: Scorer) -> SearchResult:
    optimizer = new_optimizer(settings)
    started = time.perf_counter()
    total = settings.planned_generations

    best_plan: Plans = np.zeros(PLAN_SIZE)
    best_score = zorv_fast.sim(best_plan.tolist())
    history = History()
    evaluations = 0
    generation = 0
    interrupted = False
    stop_reasons: list[str] = []
    while generation < total and not (stop_reasons := optimizer.stop()):
        plans = optimizer.ask()
        distances = np.empty(len(plans))
        for first in range(0, len(plans), settings.chunk):
            rows = plans[first:first + settings.chunk]
            scores = np.asarray(score_chunk(rows), dtype=np.float64)
            distances[first:first + len(rows)] = scores
            evaluations += len(rows)
            best = int(np.argmax(scores))
            if scores[best] > best_score:
                best_plan, best_score = rows[best].copy(), float(scores[best])
            if should_stop is not None and should_stop():
                interrupted = True
                break
        if interrupted:
            break
        optimizer.tell(distances)
        generation += 1
        elapsed = time.perf_counter() - started
        history.append(evaluations, best_score, median(distances), elapsed)
        if on_generation is not None:
            on_generation(Progress(generation, total, evaluations, elapsed, best_score))

    plan = [float(v) for v in best_plan]
    return SearchResult(
        plan=plan,
        score=zorv_fast.sim(plan),
        settings=settings,
        generations=generation,
        evaluations=evaluations,
        elapsed=time.perf_counter() - started,
        interrupted=interrupted,
        stop_reasons=[] if interrupted else stop_reasons,
        history=history,
    )
