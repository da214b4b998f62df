"""The optimizers of other libraries behind zorv's optimizer protocol: the
`cmaes` package's CMA-ES and any optimizer of Nevergrad's registry.

Neither library is needed by a plain install (`pip install cmaes`,
`pip install nevergrad`, or zorv_fast's extras of those names), and each is
imported when its first optimizer is made: they take a second or more to
import. A library that is missing is a zorv.machine.libraries.LibraryMissingError,
whose message names the pip command.

Both ask for a whole generation at once, which the search scores with one
call of its scorer, and take every distance back at once. Neither saves its
state: their searches are not resumed before they finish.
"""
from __future__ import annotations

import math
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import numpy as np

from ..body import PLAN_SIZE
from ..machine.libraries import import_library
from ..optimizers import OptimizerFactory
from .box import LOWER, UPPER, Plans
from .restarts import Run, first_run
from .settings import SearchSettings

#: The stop rule of the cmaes package's CMA: its should_stop() fired (it
#: does not say which of its tolerances did).
CMAES_STOP = "should_stop"


def _run_seed(settings: SearchSettings, run: Run) -> int:
    """The seed of a run's random numbers: the settings' seed for the first,
    drawn from the seed and the run's index for a restart's."""
    if run.index == 0:
        return settings.seed
    return int(np.random.SeedSequence([settings.seed, run.index]).generate_state(1)[0])


@contextmanager
def _quiet() -> Iterator[None]:
    # Nevergrad warns about settings it finds inefficient and about the
    # libraries it loads; a study's one progress line has no room for them.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


class CmaesOptimizer:
    """The cmaes package's CMA from the all-zero plan, with the run's
    population and step size, the box [-1, 1] as its bounds (its plans lie
    in it, whatever the settings' boundary) and its seed from the settings'
    seed and the run's index. It minimises, so it is told minus each
    distance. Its should_stop() is its stop rule ("should_stop"), so that
    zorv's restart schedules restart it."""

    name = "cmaes"

    def __init__(self, settings: SearchSettings, run: Run | None = None) -> None:
        run = first_run(settings) if run is None else run
        cmaes = import_library("cmaes", "the cmaes optimizer")
        bounds = np.tile([LOWER, UPPER], (PLAN_SIZE, 1))
        self.es = cmaes.CMA(mean=np.zeros(PLAN_SIZE), sigma=run.sigma0, bounds=bounds,
                            seed=_run_seed(settings, run), population_size=run.popsize)
        self.asked: Plans = np.empty((0, PLAN_SIZE))

    def ask(self) -> Plans:
        self.asked = np.array([self.es.ask() for _ in range(self.es.population_size)],
                              dtype=np.float64)
        return self.asked

    def tell(self, distances: Plans) -> None:
        self.es.tell([(plan, -float(distance)) for plan, distance in zip(self.asked, distances)])

    def stop(self) -> list[str]:
        return [CMAES_STOP] if self.es.should_stop() else []


def nevergrad_names() -> list[str]:
    """The names in Nevergrad's registry of optimizers."""
    with _quiet():
        return sorted(import_library("nevergrad", "Nevergrad's optimizers")
                      .optimizers.registry)


class NevergradOptimizer:
    """The optimizer of Nevergrad's registry named `optimizer`, on an array
    of 40 values bounded to [-1, 1], seeded through the parametrization's
    random state (from the settings' seed and the run's index), with
    `num_workers` the run's population: it is asked that many plans a
    generation and told each one's loss, minus its distance. Its budget is
    what is left of the search's, in whole generations, which is what
    Nevergrad chooses among its methods by. It has no stop rules: it runs
    until the search's budget is spent, or until its best distance stalls
    and the search starts a fresh run (see zorv.searching.restarts)."""

    def __init__(self, optimizer: str, settings: SearchSettings, run: Run | None = None) -> None:
        run = first_run(settings) if run is None else run
        ng = import_library("nevergrad", "Nevergrad's optimizers")
        with _quiet():
            make = ng.optimizers.registry[optimizer]
            parametrization = ng.p.Array(shape=(PLAN_SIZE,), lower=LOWER, upper=UPPER)
            parametrization.random_state = np.random.RandomState(_run_seed(settings, run))
            earlier = run.large_evaluations + run.small_evaluations
            left = max(settings.budget - earlier, run.popsize)
            budget = math.ceil(left / run.popsize) * run.popsize
            self.optimizer = make(parametrization=parametrization, budget=budget,
                                  num_workers=run.popsize)
        self.name = f"nevergrad:{optimizer}"
        self.popsize = run.popsize
        self.asked: list[Any] = []

    def ask(self) -> Plans:
        with _quiet():
            self.asked = [self.optimizer.ask() for _ in range(self.popsize)]
        return np.array([candidate.value for candidate in self.asked], dtype=np.float64)

    def tell(self, distances: Plans) -> None:
        with _quiet():
            for candidate, distance in zip(self.asked, distances):
                self.optimizer.tell(candidate, -float(distance))


def nevergrad_factory(optimizer: str) -> OptimizerFactory:
    """What makes each run's NevergradOptimizer named `optimizer`."""
    def make(settings: SearchSettings, run: Run) -> NevergradOptimizer:
        return NevergradOptimizer(optimizer, settings, run)

    return make
