"""Searches compared side by side: zorv's population CMA-ES (each way of
keeping plans in [-1, 1]), pycma with --boundary transform and none, and, when installed,
Nevergrad's NGOpt and TwoPointsDE and the cmaes package.

    python bench/search.py [--seeds 5] [--budget 100000] [--seconds 10] [--save DIR]
    python bench/search.py --large [--large-budget 2000000] [--seeds 5] [--only TEXT]

First, the optimizers' own time per generation at popsize 256 in 40
dimensions, as thread CPU time (best of several repeats): ask and tell alone,
and zorv.search's whole loop with a scorer that costs nothing; then that
loop's wall time at popsize 256 and 2,048 on one and two worker threads
(bench/optimizer_threads.py, which also runs on its own).

For each optimizer: plans scored per second, the share of wall time spent
inside sim_batch (over the fixed-budget runs) and the wall time per
generation outside it, and the median and the spread
(min to max) over the seeds of the best distance after a fixed number of
evaluations and after a fixed wall time. --save writes each zorv.search run
at the fixed budget as a result file for `python -m zorv plot`.
Nevergrad and cmaes are not dependencies of zorv: `pip install nevergrad
cmaes` (or the test extra) adds their rows.

--large runs other rows instead, at a large budget only (2,000,000 plans by
default): the default search (restarted while budget is left), each restart
schedule, the search with one run only (--restarts 0, as before restarts),
and pycma's own restarting driver, fmin2 with BIPOP, from the same popsize.
"""
import argparse
import json
import math
import re
import statistics
import time
import warnings
from pathlib import Path

import numpy as np

import zorv
import zorv_fast
from _timing import print_table
from optimizer_threads import print_thread_comparison
from zorv.body import PLAN_SIZE
from zorv.searching.settings import BOUNDARIES, RESTART_SCHEDULES


class TimedScorer:
    """sim_batch, adding up the seconds spent inside it."""

    def __init__(self):
        self.seconds = 0.0

    def __call__(self, plans):
        start = time.perf_counter()
        scores = zorv_fast.sim_batch(plans)
        self.seconds += time.perf_counter() - start
        return scores


def zorv_run(optimizer, boundary, popsize, **more):
    def run(seed, budget, seconds, save):
        scorer = TimedScorer()
        deadline = None if seconds is None else time.perf_counter() + seconds
        settings = zorv.SearchSettings(
            seed=seed, popsize=popsize, optimizer=optimizer, boundary=boundary, **more,
            **({"evaluations": budget} if seconds is None else {"generations": 10**9}))
        result = zorv.search(settings, score=scorer,
                             should_stop=None if deadline is None
                             else lambda: time.perf_counter() > deadline)
        if save is not None and seconds is None:
            extra = "".join(f"-{key}{value}" for key, value in sorted(more.items()))
            name = f"{optimizer}-{boundary}-{popsize}{extra}-seed{seed}.json"
            (save / name).write_text(json.dumps(result.to_json()) + "\n")
        return result.score, result.evaluations, result.elapsed, scorer.seconds
    return run


def ask_tell_run(make, batch):
    """An optimizer with ask and tell per candidate, fed `batch` at a time.
    `make(seed, budget)` returns (ask() -> plan array, tell(candidates, distances))."""
    def run(seed, budget, seconds, save):
        ask, tell = make(seed, budget if seconds is None else 10**9)
        scorer = TimedScorer()
        best, evaluations = -math.inf, 0
        start = time.perf_counter()
        while (evaluations < budget if seconds is None
               else time.perf_counter() - start < seconds):
            count = batch if seconds is not None else min(batch, budget - evaluations)
            candidates, plans = ask(count)
            distances = np.asarray(scorer(plans))
            tell(candidates, distances)
            evaluations += count
            best = max(best, float(distances.max()))
        return best, evaluations, time.perf_counter() - start, scorer.seconds
    return run


def nevergrad_run(name, batch=256):
    import nevergrad as ng

    def make(seed, budget):
        parametrization = ng.p.Array(shape=(PLAN_SIZE,), lower=-1.0, upper=1.0)
        parametrization.random_state = np.random.RandomState(seed)
        optimizer = ng.optimizers.registry[name](parametrization=parametrization,
                                                 budget=budget, num_workers=batch)

        def ask(count):
            candidates = [optimizer.ask() for _ in range(count)]
            return candidates, np.clip([c.value for c in candidates], -1.0, 1.0)

        def tell(candidates, distances):
            for candidate, distance in zip(candidates, distances):
                optimizer.tell(candidate, -float(distance))
        return ask, tell
    return ask_tell_run(make, batch)


def cmaes_package_run(popsize):
    import cmaes

    def make(seed, budget):
        optimizer = cmaes.CMA(mean=np.zeros(PLAN_SIZE), sigma=0.5, seed=seed,
                              population_size=popsize,
                              bounds=np.tile([-1.0, 1.0], (PLAN_SIZE, 1)))

        def ask(count):
            candidates = np.array([optimizer.ask() for _ in range(optimizer.population_size)])
            return candidates, np.clip(candidates, -1.0, 1.0)

        def tell(candidates, distances):
            optimizer.tell(list(zip(candidates, -distances)))
        return ask, tell
    return ask_tell_run(make, popsize)


def optimizers(popsize):
    default = zorv.SearchSettings()
    rows = [(f"zorv builtin, boundary {boundary}{' (default)' if boundary == default.boundary else ''}"
             f", popsize {default.popsize}", zorv_run("builtin", boundary, default.popsize))
            for boundary in BOUNDARIES]
    for size in sorted({popsize, default.popsize}):
        rows += [(f"pycma, boundary transform, popsize {size}", zorv_run("pycma", "transform", size)),
                 (f"pycma, boundary none, popsize {size}", zorv_run("pycma", "none", size))]
    try:
        import nevergrad  # noqa: F401
    except ImportError:
        print("Nevergrad is not installed (pip install nevergrad): no NGOpt, TwoPointsDE rows")
    else:
        rows += [("Nevergrad NGOpt, batches of 256", nevergrad_run("NGOpt")),
                 ("Nevergrad TwoPointsDE, batches of 256", nevergrad_run("TwoPointsDE"))]
    try:
        import cmaes  # noqa: F401
    except ImportError:
        print("cmaes is not installed (pip install cmaes): no cmaes row")
    else:
        rows.append((f"cmaes package, bounded, popsize {popsize}", cmaes_package_run(popsize)))
    return rows


def pycma_bipop_run(popsize):
    """cma.fmin2 with BIPOP restarts and its own bound transform, scoring each
    generation with one sim_batch call, stopped once the budget is spent."""
    def run(seed, budget, seconds, save):
        import cma
        scorer = TimedScorer()
        spent = [0, -math.inf]  # evaluations, best distance
        start = time.perf_counter()

        def objective(solutions):
            distances = scorer(np.clip(np.array(solutions, dtype=np.float64), -1.0, 1.0))
            spent[0] += len(solutions)
            spent[1] = max(spent[1], max(distances))
            return [-d for d in distances]

        def spent_up(es):
            return (spent[0] >= budget if seconds is None
                    else time.perf_counter() - start >= seconds)

        np.random.seed(seed)  # cma draws from NumPy's global generator
        cma.fmin2(None, np.zeros(PLAN_SIZE), 0.5, parallel_objective=objective,
                  restarts=10**6, bipop=True,
                  options={"bounds": [-1.0, 1.0], "popsize": popsize, "seed": float("nan"),
                           "verbose": -9, "verb_disp": 0, "verb_log": 0,
                           "termination_callback": spent_up})
        return spent[1], spent[0], time.perf_counter() - start, scorer.seconds
    return run


def large_budget_rows():
    default = zorv.SearchSettings()
    rows = [(f"zorv builtin, restarts {schedule}"
             f"{' (default)' if schedule == default.restart_schedule else ''}",
             zorv_run("builtin", default.boundary, default.popsize, restart_schedule=schedule))
            for schedule in RESTART_SCHEDULES]
    rows.append(("zorv builtin, one run (--restarts 0)",
                 zorv_run("builtin", default.boundary, default.popsize, restarts=0)))
    rows.append((f"pycma fmin2 BIPOP, bounded, popsize {default.popsize}",
                 pycma_bipop_run(default.popsize)))
    return rows


def thread_microseconds(call, repeats=5):
    """Best thread CPU time of `call()` over the repeats, in microseconds."""
    best = math.inf
    for _ in range(repeats):
        start = time.thread_time()
        call()
        best = min(best, time.thread_time() - start)
    return best * 1e6


def optimizer_time_rows(popsize=256, generations=200):
    """The optimizers' own time per generation: ask and tell fed fixed
    distances, and zorv.search with a scorer that only copies a column."""
    from zorv.optimizers import new_optimizer
    distances = np.random.default_rng(1).standard_normal(popsize)
    rows = []
    for optimizer in ("builtin", "pycma"):
        settings = zorv.SearchSettings(seed=1, popsize=popsize, optimizer=optimizer,
                                       generations=generations)

        def ask_tell():
            es = new_optimizer(settings)
            for _ in range(generations):
                es.ask()
                es.tell(distances)

        def search():
            zorv.search(settings, score=lambda plans: plans[:, 0].copy())
        rows.append([f"zorv {optimizer}" if optimizer == "builtin" else "pycma",
                     f"{thread_microseconds(ask_tell) / generations:.0f}",
                     f"{thread_microseconds(search) / generations:.0f}"])
    return rows


def generation_size(name):
    """The plans per generation of a row: the number its name ends with."""
    return int(re.search(r"(\d+)$", name).group(1))


def spread(values):
    return (f"{statistics.median(values):.3f} ({min(values):.2f}-{max(values):.2f})")


def main():
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--budget", type=int, default=100_000, help="evaluations per run")
    parser.add_argument("--seconds", type=float, default=10.0, help="wall time per run")
    parser.add_argument("--popsize", type=int, default=128,
                        help="popsize of pycma and cmaes besides zorv's default")
    parser.add_argument("--only", default="", help="run only rows whose name contains this")
    parser.add_argument("--save", type=Path, default=None,
                        help="folder for the result files of the fixed-budget zorv.search runs")
    parser.add_argument("--large", action="store_true",
                        help="run the restart rows at --large-budget only")
    parser.add_argument("--large-budget", type=int, default=2_000_000)
    args = parser.parse_args()
    if args.large:
        return large(args)
    if args.save is not None:
        args.save.mkdir(parents=True, exist_ok=True)
    warnings.simplefilter("ignore")  # cma's and nevergrad's notes on import
    zorv_fast.sim_batch(np.zeros((2, PLAN_SIZE)))  # the pool, outside every timing

    print("Optimizer time per generation, popsize 256, 40 dimensions "
          "(thread CPU, best of 5)")
    print_table(["optimizer", "ask + tell (us)", "search loop, free scorer (us)"],
                optimizer_time_rows())
    print()
    print_thread_comparison([256, 2048], rounds=5, repeats=5)

    seeds = range(1, args.seeds + 1)
    rows = []
    for name, run in optimizers(args.popsize):
        if args.only not in name:
            continue
        at_budget = [run(seed, args.budget, None, args.save) for seed in seeds]
        at_time = [run(seed, None, args.seconds, None) for seed in seeds]
        evaluations = sum(r[1] for r in at_budget)
        wall = sum(r[2] for r in at_budget)
        inside = sum(r[3] for r in at_budget)
        generations = sum(math.ceil(r[1] / generation_size(name)) for r in at_budget)
        rows.append([name, f"{evaluations / wall:,.0f}", f"{100 * inside / wall:.0f} %",
                     f"{1e6 * (wall - inside) / generations:,.0f}",
                     spread([r[0] for r in at_budget]), spread([r[0] for r in at_time])])
        print(f"  {name}: done", flush=True)
    print(f"\n{args.seeds} seeds; best distance as median (min-max) after {args.budget:,} "
          f"evaluations and after {args.seconds:g} s; sim_batch on all cores")
    print_table(["optimizer", "plans/s", "in sim_batch", "outside it per gen (us)",
                 f"best after {args.budget:,} evals", f"best after {args.seconds:g} s"], rows)


def large(args):
    warnings.simplefilter("ignore")
    if args.save is not None:
        args.save.mkdir(parents=True, exist_ok=True)
    zorv_fast.sim_batch(np.zeros((2, PLAN_SIZE)))
    seeds = range(1, args.seeds + 1)
    rows = []
    for name, run in large_budget_rows():
        if args.only not in name:
            continue
        results = []
        for seed in seeds:
            results.append(run(seed, args.large_budget, None, args.save))
            print(f"  {name}, seed {seed}: {results[-1][0]!r} after {results[-1][1]:,} plans, "
                  f"{results[-1][2]:.1f} s", flush=True)
        rows.append([name, f"{min(r[1] for r in results):,}",
                     f"{sum(r[1] for r in results) / sum(r[2] for r in results):,.0f}",
                     spread([r[0] for r in results])])
    print(f"\n{args.seeds} seeds; best distance as median (min-max) after "
          f"{args.large_budget:,} evaluations; sim_batch on all cores")
    print_table(["search", "plans scored (fewest)", "plans/s",
                 f"best after {args.large_budget:,} evals"], rows)


if __name__ == "__main__":
    main()
