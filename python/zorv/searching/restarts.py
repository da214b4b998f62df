"""Which run of the optimizer comes next when the last one's stop rules fire.

A run that converged has found a local optimum, and so, on this problem,
has one whose best distance has stalled (CMA-ES's own stop rules can take
millions of plans to see it: the distances of its plans still spread); the
budget left goes to a fresh run from the start plan, with its own random numbers, and the search
keeps the best plan over all runs. "same" gives each run the population of
the first; "ipop" doubles the population at every restart (wider
populations find broader optima, but take longer to); "bipop" alternates such
runs with runs of smaller populations (down to CMA-ES's default) and step
sizes, drawn at random,
giving each kind about the same number of evaluations (Hansen's BIPOP).
"""
from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import Any

import numpy as np

from .. import _cmaes
from ..body import PLAN_SIZE
from ..cma_es import default_popsize
from .settings import SearchSettings

#: Populations do not grow beyond this: a generation of it already takes
#: seconds, and its arrays hundreds of megabytes.
MAX_POPSIZE = 2**20


@dataclass(frozen=True)
class Run:
    """One run of the optimizer: its place in the search, its population
    and first step size, and what the schedule has counted so far."""

    index: int  # 0 for the first run
    popsize: int
    sigma0: float
    large_runs: int = 1  # runs of doubled populations so far, the first included
    large_evaluations: int = 0  # scored by them, this run excluded
    small_evaluations: int = 0  # scored by the runs of smaller populations
    small: bool = False

    def to_json(self) -> dict[str, Any]:
        return {"index": self.index, "popsize": self.popsize, "sigma0": self.sigma0,
                "large_runs": self.large_runs, "large_evaluations": self.large_evaluations,
                "small_evaluations": self.small_evaluations, "small": self.small}

    @classmethod
    def from_json(cls, data: object) -> Run:
        """A run as `to_json` gives it; ValueError (one line) for anything
        else. Its population is checked against the settings by
        zorv.searching.state.SearchState: any of at least 2 for the first run, as
        SearchSettings admits, at most MAX_POPSIZE for the others."""
        if not isinstance(data, dict) or set(data) != set(cls(0, 2, 1.0).to_json()):
            raise ValueError("a run is an object with the fields of Run")
        for name in ("index", "popsize", "large_runs", "large_evaluations",
                     "small_evaluations"):
            value = data[name]
            if isinstance(value, bool) or not isinstance(value, int) or value < 0:
                raise ValueError(f"run {name} must be a whole number, got {value!r}")
        if data["popsize"] < 2:
            raise ValueError(f"run popsize must be at least 2, got {data['popsize']}")
        if not 1 <= data["large_runs"] <= data["index"] + 1:
            raise ValueError(f"run large_runs must be from 1 to the runs so far, "
                             f"got {data['large_runs']}")
        sigma0 = data["sigma0"]
        if isinstance(sigma0, bool) or not isinstance(sigma0, float) or not (
                math.isfinite(sigma0) and sigma0 > 0):
            raise ValueError(f"run sigma0 must be a positive number, got {sigma0!r}")
        if not isinstance(data["small"], bool):
            raise ValueError("run small must be true or false")
        return cls(**data)


#: A run has stalled when its best distance has grown by less than this
#: fraction over the last half of its generations (and at least
#: STALL_GENERATIONS of them).
STALL_GAIN = 1e-6
STALL_GENERATIONS = 50


@dataclass
class RunProgress:
    """How far the current run has come: its generations, its best distance,
    and the best it had when it last gained more than STALL_GAIN."""

    generations: int = 0
    best: float = 0.0
    reference_best: float = 0.0
    reference_generation: int = 0

    def record(self, generation_best: float) -> None:
        """After each generation: the best distance of its plans."""
        self.best = generation_best if self.generations == 0 else max(self.best,
                                                                      generation_best)
        self.generations += 1
        if (self.generations == 1
                or self.best > self.reference_best + STALL_GAIN * abs(self.reference_best)):
            self.reference_best, self.reference_generation = self.best, self.generations

    def copy(self) -> RunProgress:
        """A copy of its own, made without dataclasses.replace's checks: a
        search copies it every generation."""
        copied = object.__new__(RunProgress)
        copied.__dict__.update(self.__dict__)
        return copied

    @property
    def stalled(self) -> bool:
        return (self.generations - self.reference_generation
                > max(STALL_GENERATIONS, self.reference_generation // 2))

    def to_json(self) -> dict[str, Any]:
        return {"generations": self.generations, "best": self.best,
                "reference_best": self.reference_best,
                "reference_generation": self.reference_generation}

    @classmethod
    def from_json(cls, data: object) -> RunProgress:
        """A run's progress as `to_json` gives it; ValueError (one line) for
        anything else."""
        if not isinstance(data, dict) or set(data) != set(cls().to_json()):
            raise ValueError("run progress is an object with the fields of RunProgress")
        counts = (data["generations"], data["reference_generation"])
        if any(isinstance(v, bool) or not isinstance(v, int) or v < 0 for v in counts):
            raise ValueError("bad run progress counts")
        if not all(isinstance(data[k], float) and math.isfinite(data[k])
                   for k in ("best", "reference_best")):
            raise ValueError("bad run progress distances")
        # The first generation sets the reference; later ones move it up to
        # the best, never past it.
        if (data["reference_generation"] > data["generations"]
                or (data["generations"] > 0) != (data["reference_generation"] > 0)
                or data["reference_best"] > data["best"]):
            raise ValueError("the run progress's reference lies beyond its best or its "
                             "generations")
        return cls(**data)


def first_run(settings: SearchSettings) -> Run:
    return Run(0, settings.popsize, float(settings.sigma0))


def _run_draws(settings: SearchSettings, index: int) -> np.random.Generator:
    """The random numbers that choose run `index` (bipop's population and
    step size), a stream of their own apart from the run's samples."""
    return np.random.Generator(np.random.SFC64(
        np.random.SeedSequence([settings.seed, index, 1])))


def next_run(settings: SearchSettings, last: Run, last_evaluations: int) -> Run:
    """The run after `last`, which scored `last_evaluations` plans."""
    large = last.large_evaluations + (0 if last.small else last_evaluations)
    small = last.small_evaluations + (last_evaluations if last.small else 0)
    index = last.index + 1
    if settings.restart_schedule == "bipop" and small < large:
        # A population between CMA-ES's default and half the last doubled
        # one, and a step size down to a hundredth, both drawn at random.
        draw = float(_run_draws(settings, index).random())
        largest = settings.popsize * 2 ** (last.large_runs - 1)
        smallest = default_popsize(PLAN_SIZE)
        # Powers through zorv._cmaes's exp and log: the same bits everywhere.
        ratio = max(1.0, largest / 2 / smallest)
        popsize = max(2, math.floor(smallest * _cmaes.exp(draw * draw * _cmaes.log(ratio))))
        step = _cmaes.exp(-2 * draw * _cmaes.log(10.0))
        return Run(index, min(popsize, MAX_POPSIZE), settings.sigma0 * step,
                   last.large_runs, large, small, small=True)
    doubled = settings.restart_schedule != "same"
    popsize = min(settings.popsize * 2 ** (last.large_runs if doubled else 0), MAX_POPSIZE)
    return replace(Run(index, popsize, float(settings.sigma0)), large_runs=last.large_runs + 1,
                   large_evaluations=large, small_evaluations=small)
