"""The optimizers a search runs, behind the few calls its loop makes."""
from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any, Protocol, runtime_checkable

import numpy as np

from .cma_es import CMAES, Normals
from .machine.libraries import import_library
from .searching.box import LOWER, UPPER, Boxed, Plans
from .searching.restarts import Run, first_run
from .searching.settings import (BUILTIN, MAX_OPTIMIZER_NAME, OPTIMIZERS, PYCMA, SearchSettings,
                                 usable_optimizer_name)


@runtime_checkable
class Optimizer(Protocol):
    """What the search loop needs of an optimizer, built in or one's own.

    `ask()` returns the next plans to score, an (N, 40) array (any N of at
    least 1, values anywhere: sim clamps them to [-1, 1], but a checkpoint
    whose best plan lies outside cannot be resumed); `tell(distances)`
    takes their N distances back, in the same order, larger is better.
    Optionally, `stop()` returns the names of the stop rules that fire (an
    empty list: go on); `save_state()` and `load_state(state)` (see
    ResumableOptimizer) make its searches checkpointed and resumable.

    A search's result names the optimizer that ran it (`settings.optimizer`
    in the result and its file, and the label `zorv plot` gives its curve):
    the name set in the settings when it is not a built-in one; else the
    optimizer's `name` attribute, when it is a string that settings accept
    (one printable line of at most 100 characters) and not a built-in name;
    else its class's name (the built-in optimizers' classes keep their
    names).
    """

    def ask(self) -> Plans:
        """The next plans to score: an (N, 40) array, N at least 1."""

    def tell(self, distances: Plans) -> None:
        """Takes the distances of the plans of the last ask(), in their order."""


@runtime_checkable
class StoppingOptimizer(Optimizer, Protocol):
    """An optimizer with stop rules: the search restarts it, or ends, when
    they fire."""

    def stop(self) -> list[str]: ...


@runtime_checkable
class ResumableOptimizer(Optimizer, Protocol):
    """An optimizer that can also save its state, between a tell and the
    next ask, as plain data (dicts with string keys, lists, strings,
    booleans, finite numbers, NumPy's scalars included, and numeric arrays,
    which checkpoint files hold as lists; NaN and infinities cannot be
    saved), and go on from such data, arrays as lists included, in a new
    instance made for the same settings and run. Searches with one
    checkpoint it and can be resumed; the rest is optional."""

    def save_state(self) -> dict[str, Any]: ...

    def load_state(self, state: dict[str, Any]) -> None: ...


def finish_generation(settings: SearchSettings, run: Run) -> float:
    """The generation of `run` from which the builtin CMA-ES draws
    `finish_popsize` plans a generation: the first that starts with at
    most the settings' `finish_share` of the budget left (0 for a run that
    starts in it; infinity with no share, or a budget in generations)."""
    if settings.finish_share == 0 or settings.evaluations is None:
        return math.inf
    budget = settings.evaluations
    finish_start = budget - math.floor(settings.finish_share * budget)
    earlier = run.large_evaluations + run.small_evaluations
    return max(0, -(-(finish_start - earlier) // run.popsize))


class BuiltinOptimizer:
    """zorv.cma_es.CMAES from the settings' start plan (the zero plan unless
    given), with the run's population, step size and random numbers, its
    rank-mu rate scaled by `rank_mu_scale`, and each plan outside the box
    drawn again up to `resample_outside` times; over the last
    `finish_share` of a budget in plans it draws `finish_popsize` plans a
    generation (where the run's are more)."""

    def __init__(self, settings: SearchSettings, run: Run | None = None) -> None:
        run = first_run(settings) if run is None else run
        # The first run's samples are seeded with the seed alone, a restart's
        # with the seed and its index.
        normals = Normals(settings.seed if run.index == 0 else [settings.seed, run.index])
        self.es = CMAES(np.array(settings.start_plan), run.sigma0, normals, popsize=run.popsize,
                        rank_mu_scale=settings.rank_mu_scale)
        self.box = Boxed(settings.boundary)
        self.resample_outside = settings.resample_outside
        self.finish_popsize = min(run.popsize, settings.finish_popsize)
        self.finish_generation = finish_generation(settings, run)

    def _finishing(self, es: CMAES) -> CMAES:
        """`es`, or, from the finish's first generation on, the same
        distribution with the finish's population."""
        if es.generation >= self.finish_generation and es.popsize != self.finish_popsize:
            return es.with_popsize(self.finish_popsize)
        return es

    def generations_left(self, plans: int) -> int:
        """The generations that `plans` more plans take from here: of this
        run's population until the finish, of the finish's after it."""
        generations = 0
        if self.es.generation < self.finish_generation:
            generations = int(min(self.finish_generation - self.es.generation,
                                  -(-plans // self.es.popsize)))
            plans = max(0, plans - generations * self.es.popsize)
        return generations + -(-plans // self.finish_popsize)

    def ask(self) -> Plans:
        self.es = self._finishing(self.es)
        return self.box.plans_of(self.es.ask_within(LOWER, UPPER, self.resample_outside))

    def tell(self, distances: Plans) -> None:
        self.es.tell(self.box.values_of(distances))

    def stop(self) -> list[str]:
        return self.es.stop()

    def save_state(self) -> dict[str, Any]:
        return self.es.save_state()

    def load_state(self, state: dict[str, Any]) -> None:
        es = self.es
        if isinstance(state, dict) and state.get("popsize") == self.finish_popsize != es.popsize:
            # Saved in the finish: loaded into what the finish makes of this
            # run's CMAES, which it would not have made before its generation.
            generation = state.get("generation")
            if not (isinstance(generation, int) and generation >= self.finish_generation):
                raise ValueError(f"the optimizer state has the finish's population, "
                                 f"{self.finish_popsize}, before the finish's generation")
            es = es.with_popsize(self.finish_popsize)
        es.load_state(state)
        self.es = es


def _import_cma() -> Any:
    # Imported on first use: it takes half a second, which trace() and the
    # drawing code need not pay; and it is an extra, not a dependency.
    return import_library("cma", "the pycma optimizer")


class PycmaOptimizer:
    """The cma package's CMA-ES, fed arrays without per-point checks. With
    boundary "transform" it keeps the plans in the box with its own bound
    transform, as it does by default; the other boundaries are ours.

    Its state is a tree of objects that only pickle saves whole: it offers
    no save_state, so its searches are not resumed."""

    def __init__(self, settings: SearchSettings, run: Run | None = None) -> None:
        run = first_run(settings) if run is None else run
        cma = _import_cma()
        # cma treats seed 0 as "seed from the clock"; seeding NumPy's global
        # generator here, which cma draws from, makes every seed reproducible.
        np.random.seed(settings.seed if run.index == 0
                       else np.random.SeedSequence([settings.seed, run.index]).generate_state(1))
        options: dict[str, Any] = {
            "seed": float("nan"),
            "verbose": -9,
            "verb_disp": 0,
            "verb_log": 0,
            "popsize": run.popsize,
        }
        if settings.boundary == "transform":
            options["bounds"] = [LOWER, UPPER]
        self.es = cma.CMAEvolutionStrategy(np.array(settings.start_plan), run.sigma0, options)
        # cma's transform already lands in the box: clipping changes nothing.
        self.box = Boxed("none" if settings.boundary == "transform" else settings.boundary)
        self.asked: list[Plans] = []

    def ask(self) -> Plans:
        self.asked = self.es.ask()
        return self.box.plans_of(np.array(self.asked, dtype=np.float64))

    def tell(self, distances: Plans) -> None:
        self.es.tell(self.asked, self.box.values_of(distances), check_points=False)

    def stop(self) -> list[str]:
        return sorted(str(reason) for reason in self.es.stop())


#: Makes the optimizer of one run of a search: the first, or a restarted
#: one (`run.index`, its `popsize` and `sigma0`, chosen by the restart
#: schedule).
OptimizerFactory = Callable[[SearchSettings, Run], Optimizer]

_BUILT_IN: dict[str, OptimizerFactory] = {BUILTIN: BuiltinOptimizer, PYCMA: PycmaOptimizer}


def own_optimizer_name(optimizer: object, given: str) -> str:
    """The name that a search's result gives to one's own `optimizer`, run
    with settings whose optimizer is `given` (see Optimizer): never a
    built-in one, which would claim that a built-in optimizer ran it, unless
    it is that very optimizer (zorv.optimizers.BuiltinOptimizer, say)."""
    if given not in OPTIMIZERS or type(optimizer) is _BUILT_IN[given]:
        return given
    offered = getattr(optimizer, "name", None)
    if usable_optimizer_name(offered) and offered not in OPTIMIZERS:
        return str(offered)
    kind = type(optimizer)
    name = kind.__name__
    if name in OPTIMIZERS:  # a class of one's own that happens to share the name
        name = f"{kind.__module__}.{name}"
    return name[:MAX_OPTIMIZER_NAME]


def new_optimizer(settings: SearchSettings, run: Run | None = None) -> Optimizer:
    """The built-in optimizer that `settings.optimizer` names."""
    make = _BUILT_IN[settings.optimizer]
    return make(settings, first_run(settings) if run is None else run)
