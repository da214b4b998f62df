"""Scoring one population on Dask: plans per second with a local `sim_batch`
and with `zorv.distributed.score_population` on a cluster (by default two
local worker processes, one Dask thread each, the cores shared between their
pools), and the fixed cost of a call through the scheduler (a population of
two plans), which every generation pays.

    python bench/distributed.py [--plans 20000] [--repeats 5] [--workers 2]
    python bench/distributed.py --scheduler tcp://host:8786   # an existing cluster
"""
import argparse
import os
import sys
import time

# This file shares its name with Dask's package, which `import distributed`
# would then find here first: this folder goes last on the path (worker
# processes inherit the path).
_HERE = os.path.dirname(os.path.realpath(__file__))
sys.path = [p for p in sys.path if os.path.realpath(p or ".") != _HERE] + [_HERE]

from _timing import print_table, random_plans  # noqa: E402

import zorv_fast  # noqa: E402
from zorv.distributed import chunk_bounds, open_client, score_population  # noqa: E402


def best_time(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plans", type=int, default=20_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--workers", type=int, default=2, help="local worker processes")
    parser.add_argument("--scheduler", default=None, help="use this scheduler's workers")
    args = parser.parse_args()

    plans = random_plans(args.plans)
    tiny = plans[:2]
    zorv_fast.sim_batch(tiny)  # builds the pool outside the timing
    expected = zorv_fast.sim_batch(plans)

    started = time.perf_counter()
    with open_client(args.scheduler, None if args.scheduler else args.workers) as client:
        startup = time.perf_counter() - started
        workers = len(client.nthreads())
        assert score_population(client, plans) == expected  # also warms the workers
        chunk = max(1, args.plans // (4 * workers))
        seconds = {
            "sim_batch here": best_time(lambda: zorv_fast.sim_batch(plans), args.repeats),
            "cluster, a chunk per worker": best_time(
                lambda: score_population(client, plans), args.repeats),
            f"cluster, chunks of {chunk}": best_time(
                lambda: score_population(client, plans, chunk=chunk), args.repeats),
            "cluster, scatter only": best_time(
                lambda: client.scatter(plans, broadcast=True, hash=False), args.repeats),
        }
        tiny_seconds = {
            "sim_batch here": best_time(lambda: zorv_fast.sim_batch(tiny), args.repeats * 20),
            "cluster": best_time(lambda: score_population(client, tiny), args.repeats * 20),
        }
    threads = os.environ.get("RAYON_NUM_THREADS") or str(len(os.sched_getaffinity(0)))
    where = args.scheduler or f"{workers} local worker processes"
    print(f"{args.plans} random plans; {where}; sim_batch here on {threads} threads; "
          f"best of {args.repeats}; cluster started in {startup:.2f} s; "
          f"{len(chunk_bounds(args.plans, workers))} chunks by default")
    rows = []
    for name, s in seconds.items():
        rate = "" if name.endswith("scatter only") else f"{args.plans / s:,.0f}"
        rows.append([name, rate, f"{s * 1e3:.1f}"])
    print_table(["scoring", "plans/s", "ms per generation"], rows)
    print()
    print_table(["a generation of 2 plans", "ms per call"],
                [[name, f"{s * 1e3:.2f}"] for name, s in tiny_seconds.items()])


if __name__ == "__main__":
    main()
