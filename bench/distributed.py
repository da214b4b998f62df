"""Scoring one population on Dask: seconds per call, plans per second and the
bytes that cross the network per call, for local clusters of 2, 4 and 8
single-thread workers, next to a local `sim_batch` on all cores.

    python bench/distributed.py [--plans 2 20000 200000] [--workers 2 4 8] [--repeats 3]

The bytes are the loopback interface's receive counter (/proc/net/dev)
around one call: everything the call moves between the client, the scheduler
and the workers, plans out and scores back. A population is N x 320 bytes of
plans; each plan should cross the network about once or twice (client to
scheduler to worker), whatever the number of workers.
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
from zorv.distributed import open_client, score_population  # noqa: E402

PLAN_BYTES = 40 * 8


def loopback_received():
    with open("/proc/net/dev") as counters:
        for line in counters:
            name, _, fields = line.partition(":")
            if name.strip() == "lo":
                return int(fields.split()[0])
    raise RuntimeError("no loopback interface in /proc/net/dev")


def measure(call, repeats):
    """Best seconds and fewest loopback bytes of `repeats` calls."""
    seconds, moved = [], []
    for _ in range(repeats):
        before, start = loopback_received(), time.perf_counter()
        call()
        seconds.append(time.perf_counter() - start)
        moved.append(loopback_received() - before)
    return min(seconds), min(moved)


def main():
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--plans", type=int, nargs="+", default=[2, 20_000, 200_000])
    parser.add_argument("--workers", type=int, nargs="+", default=[2, 4, 8])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    populations = {n: random_plans(n) for n in args.plans}
    expected = {n: zorv_fast.sim_batch(plans) for n, plans in populations.items()}
    rows = []
    for n, plans in populations.items():
        s, moved = measure(lambda: zorv_fast.sim_batch(plans), args.repeats)
        rows.append(["sim_batch here", f"{n:,}", f"{s:.3f}", f"{n / s:,.0f}", "", ""])
    # One Dask thread and one sim_batch thread per worker process.
    os.environ["RAYON_NUM_THREADS"] = "1"
    for workers in args.workers:
        started = time.perf_counter()
        with open_client(local_workers=workers) as client:
            startup = time.perf_counter() - started
            for n, plans in populations.items():
                assert score_population(client, plans) == expected[n]  # warms the workers
                s, moved = measure(lambda: score_population(client, plans), args.repeats)
                rows.append([f"{workers} workers (started in {startup:.1f} s)", f"{n:,}",
                             f"{s:.3f}", f"{n / s:,.0f}", f"{moved / 1e6:.1f}",
                             f"{moved / (n * PLAN_BYTES):.2f}"])
        print(f"  {workers} workers: done", flush=True)
    threads = len(os.sched_getaffinity(0))
    print(f"\nRandom plans; best of {args.repeats}; sim_batch here on {threads} threads; "
          "each worker one Dask thread and RAYON_NUM_THREADS=1")
    print_table(["scoring", "plans", "s per call", "plans/s", "MB over loopback",
                 "x N x 320 B"], rows)


if __name__ == "__main__":
    main()
