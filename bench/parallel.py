"""Parallel efficiency of `sim_batch` on one thread and on all threads, on
the same random plans: a large batch in one call, and a search's batches of
256 plans, called back to back, after the workers have fallen asleep, and
with about 0.2 ms of other Python/NumPy work between calls as a search has.

    python bench/parallel.py [--plans 20000] [--small 256] [--repeats 9]

Efficiency is the one-thread time divided by (threads x the all-threads
time) of the same case; "calls with other work" times only the sim_batch
calls, and the last columns give the other work's own time a call on one
and on all threads, which shows whether idle workers slow that work down.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np

from _timing import print_table, random_plans

WORKER = textwrap.dedent("""
    import json, sys, time
    import numpy as np
    import zorv_fast

    path, small, repeats, calls, other_rounds = (
        sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]))
    array = np.load(path)
    small_array = np.ascontiguousarray(array[:small])
    as_lists = array.tolist()
    zorv_fast.sim_batch(array[:2])  # builds the pool outside the timing
    clock = time.perf_counter

    def other_work(scores):
        # What a search does between generations, at a fixed amount of work.
        order = None
        for _ in range(other_rounds):
            order = np.argsort(scores)
            np.dot(small_array.T, small_array[order])
        return order

    def best(call):
        times = []
        for _ in range(repeats):
            start = clock()
            call()
            times.append(clock() - start)
        return min(times)

    def best_single(pause):
        times = []
        for _ in range(repeats * 5):
            if pause:
                time.sleep(pause)
            start = clock()
            zorv_fast.sim_batch(small_array)
            times.append(clock() - start)
        return min(times)

    def with_other_work():
        batch_times, other_times = [], []
        for _ in range(repeats):
            in_batch = in_other = 0.0
            for _ in range(calls):
                start = clock()
                scores = zorv_fast.sim_batch(small_array)
                between = clock()
                other_work(np.asarray(scores))
                in_batch += between - start
                in_other += clock() - between
            batch_times.append(in_batch / calls)
            other_times.append(in_other / calls)
        return min(batch_times), min(other_times)

    result = {
        "numpy": best(lambda: zorv_fast.sim_batch(array)),
        "list": best(lambda: zorv_fast.sim_batch(as_lists)),
        "small_back_to_back": best_single(0.0),
        "small_after_sleep": best_single(0.02),
    }
    result["small_with_other_work"], result["other_work"] = with_other_work()
    print(json.dumps(result))
""")


def other_rounds_for(seconds, small_plans):
    """Rounds of the worker's other work that take about `seconds` here."""
    rng = np.random.default_rng(1)
    plans = rng.uniform(-1, 1, size=(small_plans, 40))
    scores = rng.standard_normal(small_plans)
    best = float("inf")
    for _ in range(200):
        start = time.perf_counter()
        np.dot(plans.T, plans[np.argsort(scores)])
        best = min(best, time.perf_counter() - start)
    return max(1, round(seconds / best))


def run_worker(path, threads, small, repeats, calls, other_rounds):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS="1",
               OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", WORKER, str(path), str(small), str(repeats),
                          str(calls), str(other_rounds)],
                         env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plans", type=int, default=20_000)
    parser.add_argument("--small", type=int, default=256)
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--calls", type=int, default=100,
                        help="calls a repeat of the case with other work makes")
    parser.add_argument("--other-ms", type=float, default=0.2,
                        help="other work between calls, in milliseconds")
    args = parser.parse_args()
    threads = len(os.sched_getaffinity(0))
    other_rounds = other_rounds_for(args.other_ms / 1000, args.small)
    with tempfile.TemporaryDirectory() as scratch:
        path = Path(scratch) / "plans.npy"
        np.save(path, random_plans(args.plans))
        seconds = {count: run_worker(path, count, args.small, args.repeats, args.calls, other_rounds)
                   for count in sorted({1, threads})}
    single, full = seconds[1], seconds[threads]

    def row(name, plans, case, other=False):
        us = lambda s: f"{s * 1e6 / plans:.3f}"  # noqa: E731
        other_us = lambda r: f"{r['other_work'] * 1e6:.0f}" if other else ""  # noqa: E731
        return [name, f"{plans:,}", us(single[case]), us(full[case]),
                f"{single[case] / (threads * full[case]):.3f}", other_us(single), other_us(full)]

    rows = [
        row("sim_batch(array), one call", args.plans, "numpy"),
        row("sim_batch(list), one call", args.plans, "list"),
        row("sim_batch(array), calls back to back", args.small, "small_back_to_back"),
        row("sim_batch(array), calls 20 ms apart", args.small, "small_after_sleep"),
        row(f"sim_batch(array), calls with {args.other_ms} ms other work", args.small,
            "small_with_other_work", other=True),
    ]
    print(f"random plans, {threads} threads against 1, best of {args.repeats} "
          f"({args.calls} calls a repeat with other work, {other_rounds} rounds of it)")
    print_table(["case", "plans", "us/plan, 1 thread", f"us/plan, {threads} threads",
                 "efficiency", "other work us, 1", f"other work us, {threads}"], rows)


if __name__ == "__main__":
    main()
