"""Searches for a far-running plan with CMA-ES, written straight against
`cma` and `zorv_fast.sim_batch` (what `python -m zorv search` does for you).

    python examples/cma_search.py [GENERATIONS]

CMA-ES minimises, so it is told the negated distances. The bounds option
keeps every plan it asks for inside [-1, 1], where the plan values live.
The whole generation goes to sim_batch as one (popsize, 40) array, read in
place, and back to cma without its per-point checks. zorv's own population
CMA-ES (`zorv.cma_es.CMAES`, behind `python -m zorv search`) has the same
ask and tell, with less Python work per plan.
"""
import argparse
import warnings

import numpy as np

import zorv_fast

with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # cma's note that matplotlib is missing
    import cma  # type: ignore[import-untyped]


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
        description="Searches for a far-running plan with the cma package's CMA-ES.")
    parser.add_argument("generations", nargs="?", type=whole_number, default=50,
                        help="generations to run (default 50)")
    generations = parser.parse_args().generations
    np.random.seed(7)  # cma samples from NumPy's global generator
    es = cma.CMAEvolutionStrategy(
        40 * [0.0], 0.5,
        {"bounds": [-1.0, 1.0], "popsize": 128, "seed": float("nan"), "verbose": -9},
    )
    best_plan, best_distance = [0.0] * 40, zorv_fast.sim([0.0] * 40)
    for generation in range(1, generations + 1):
        asked = es.ask()
        plans = np.array(asked)
        distances = np.array(zorv_fast.sim_batch(plans))  # in the order of `plans`
        es.tell(asked, -distances, check_points=False)
        i = int(np.argmax(distances))
        if distances[i] > best_distance:
            best_plan, best_distance = plans[i].tolist(), float(distances[i])
        if generation % 10 == 0 or generation == generations:
            print(f"generation {generation:4d}: best distance {best_distance:.6f}")
    assert zorv_fast.sim(best_plan) == best_distance  # sim_batch and sim agree bit for bit
    print("best plan:", [round(v, 4) for v in best_plan])


if __name__ == "__main__":
    main()
