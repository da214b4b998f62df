"""Runs an optimizer of your own in zorv's search loop: chunked scoring,
Ctrl-C, the history, result files with checkpoints, and a Dask scorer if
you give one, as for the built-in CMA-ES.

    python examples/own_optimizer.py [GENERATIONS] [OUTPUT.json] [--nevergrad]
    python -m zorv plot random-search.json -o curve.svg

An optimizer is any object with ask(), returning an (N, 40) array of
plans, and tell(distances), taking their N distances back (larger is
better); stop(), returning the stop rules that fire, and save_state() with
load_state(state), which make its searches resumable, are optional.
RandomSearch below has them all: uniform plans around the best so far,
the spread shrinking when a generation finds nothing better. Its `name`
is the one that the result file and `zorv plot` give it.
With Nevergrad installed (`pip install nevergrad`, not a dependency),
`--nevergrad` runs its NGOpt the same way.
"""
from __future__ import annotations

import argparse
import importlib.util
import sys
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt

import zorv
import zorv.checkpoints
from zorv.files.writing import OutputPathError

Plans = npt.NDArray[np.float64]


class RandomSearch:
    """Uniform plans within `spread` of the best so far."""

    name = "random-search"

    def __init__(self, seed: int, popsize: int = 256) -> None:
        self.rng = np.random.default_rng(seed)
        self.popsize = popsize
        self.centre = np.zeros(40)
        self.best: float | None = None  # the centre's distance, once one is told
        self.spread = 1.0
        self.asked: Plans = np.empty((0, 40))

    def ask(self) -> Plans:
        steps = self.rng.uniform(-self.spread, self.spread, (self.popsize, 40))
        self.asked = np.clip(self.centre + steps, -1.0, 1.0)
        return self.asked

    def tell(self, distances: Plans) -> None:
        best = int(np.argmax(distances))
        if self.best is None or distances[best] > self.best:
            self.best, self.centre = float(distances[best]), self.asked[best].copy()
        else:
            self.spread *= 0.9

    def stop(self) -> list[str]:
        return ["spread"] if self.spread < 1e-3 else []

    def save_state(self) -> dict[str, Any]:
        return {"rng": self.rng.bit_generator.state, "centre": self.centre,
                "best": self.best, "spread": self.spread}

    def load_state(self, state: dict[str, Any]) -> None:
        self.rng.bit_generator.state = state["rng"]
        self.centre = np.array(state["centre"], dtype=np.float64)
        self.best = None if state["best"] is None else float(state["best"])
        self.spread = float(state["spread"])


class NevergradOptimizer:
    """Nevergrad's NGOpt, asked for a whole population at a time."""

    name = "nevergrad-ngopt"

    def __init__(self, seed: int, popsize: int = 256, budget: int = 100_000) -> None:
        import nevergrad as ng

        # Nevergrad loads cma when it picks it, which notes that matplotlib is missing.
        warnings.filterwarnings("ignore", message="Could not import matplotlib")

        parametrization = ng.p.Array(shape=(40,), lower=-1.0, upper=1.0)
        parametrization.random_state = np.random.RandomState(seed)
        self.optimizer = ng.optimizers.NGOpt(parametrization, budget=budget,
                                             num_workers=popsize)
        self.popsize = popsize
        self.asked: list[Any] = []

    def ask(self) -> Plans:
        self.asked = [self.optimizer.ask() for _ in range(self.popsize)]
        return np.array([candidate.value for candidate in self.asked])

    def tell(self, distances: Plans) -> None:
        for candidate, distance in zip(self.asked, distances):
            self.optimizer.tell(candidate, -float(distance))  # Nevergrad minimises


def whole_number(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"not a whole number of at least 1: {text!r}")
    return number


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Runs RandomSearch, or Nevergrad's NGOpt, in zorv's search loop.")
    parser.add_argument("generations", nargs="?", type=whole_number, default=200,
                        help="generations to run (default 200)")
    parser.add_argument("output", nargs="?", default=None,
                        help="result file (default: the optimizer's name, .json)")
    parser.add_argument("--nevergrad", action="store_true",
                        help="run Nevergrad's NGOpt (pip install nevergrad)")
    args = parser.parse_args()
    if args.nevergrad and importlib.util.find_spec("nevergrad") is None:
        sys.exit(f"{parser.prog}: error: --nevergrad needs Nevergrad, which is not "
                 "installed: pip install nevergrad")
    optimizer = NevergradOptimizer if args.nevergrad else RandomSearch
    output = args.output or f"{optimizer.name}.json"
    settings = zorv.SearchSettings(seed=1, generations=args.generations)
    # A function of (settings, run) makes a fresh optimizer for each run,
    # so the search can restart it when its stop rules fire; an object
    # (optimizer=RandomSearch(1)) runs once.
    make = ((lambda s, run: NevergradOptimizer(s.seed + run.index, run.popsize)) if args.nevergrad
            else (lambda s, run: RandomSearch(s.seed + 1000 * run.index, run.popsize)))
    try:
        result = zorv.search(settings, optimizer=make,
                             checkpoint=lambda so_far: zorv.checkpoints.save(output, so_far))
        zorv.checkpoints.save(output, result)
    except OutputPathError as error:
        sys.exit(f"{parser.prog}: error: {error}")
    print(f"best distance {result.score!r} after {result.evaluations} plans "
          f"in {result.runs} runs: {output}")


if __name__ == "__main__":
    main()
