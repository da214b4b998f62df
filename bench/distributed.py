"""Scoring one population on Dask: seconds per call, plans per second and the
bytes that cross the network per call, for local clusters of 2, 4 and 8
single-thread workers, next to a local `sim_batch` on all cores.

    python bench/distributed.py [--plans 2 20000 200000] [--workers 2 4 8] [--repeats 3]
    python bench/distributed.py --search [--generations 20] [--popsize 20000] [--repeats 3]

The bytes are the loopback interface's receive counter (/proc/net/dev)
around one call: everything the call moves between the client, the scheduler
and the workers, plans out and scores back. A population is N x 320 bytes of
plans; each plan should cross the network about once or twice (client to
scheduler to worker), whatever the number of workers.

--search instead times whole searches on two local workers (the search's
own seconds, without the cluster's start): zorv.search with a DaskScorer
from Python, the same scorer hidden behind a plain function (so that the
search sends it chunks of settings.chunk plans, as it does for scorers that
do not split calls themselves), and `python -m zorv search --local-workers`.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

# This file shares its name with Dask's package, which `import distributed`
# would then find here first: this folder goes last on the path (worker
# processes inherit the path).
_HERE = os.path.dirname(os.path.realpath(__file__))
sys.path = [p for p in sys.path if os.path.realpath(p or ".") != _HERE] + [_HERE]

from _timing import print_table, random_plans  # noqa: E402

import zorv_fast  # noqa: E402
import zorv  # noqa: E402
from zorv.distributed import DaskScorer, open_client, score_population  # noqa: E402

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


def search_rows(generations, popsize, repeats):
    settings = zorv.SearchSettings(seed=1, popsize=popsize, generations=generations)
    rows = []
    # Each search on a cluster of its own, freshly started, as the command
    # line's is: its first generation pays for the workers' warm-up.
    for name, plain in (("zorv.search, DaskScorer (whole generations)", False),
                        (f"zorv.search, chunks of {settings.chunk}", True)):
        times = []
        for _ in range(repeats):
            with open_client(local_workers=2) as client:
                scorer = DaskScorer(client)
                score = (lambda plans: scorer(plans)) if plain else scorer
                times.append(zorv.search(settings, score=score).elapsed)
        rows.append([name, f"{min(times):.2f}", f"{generations * popsize / min(times):,.0f}"])
    with tempfile.TemporaryDirectory() as folder:
        output = os.path.join(folder, "best.json")
        times = []
        for _ in range(repeats):
            subprocess.run([sys.executable, "-m", "zorv", "search", "--seed", "1", "--popsize",
                            str(popsize), "--generations", str(generations), "--local-workers",
                            "2", "--quiet", "-o", output], check=True, stdout=subprocess.DEVNULL)
            with open(output) as result:
                times.append(json.load(result)["seconds"])
        rows.append(["python -m zorv search --local-workers 2", f"{min(times):.2f}",
                     f"{generations * popsize / min(times):,.0f}"])
    print(f"\n{generations} generations at popsize {popsize}, seed 1, on 2 local workers "
          f"started for each search; best of {repeats}")
    print_table(["search", "seconds", "plans/s"], rows)


def main():
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--plans", type=int, nargs="+", default=[2, 20_000, 200_000])
    parser.add_argument("--workers", type=int, nargs="+", default=[2, 4, 8])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--search", action="store_true",
                        help="time whole searches instead (see above)")
    parser.add_argument("--generations", type=int, default=20)
    parser.add_argument("--popsize", type=int, default=20_000)
    args = parser.parse_args()
    if args.search:
        search_rows(args.generations, args.popsize, args.repeats)
        return

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
