"""The optimizer's own time per generation on 1 and 2 worker threads, side
by side: zorv.search's whole loop at 40 dimensions with a scorer that costs
almost nothing, so that only the optimizer's work (drawing, shaping and
keeping the population in the box, and updating the distribution) is timed.

    python bench/optimizer_threads.py [--popsizes 256,512,1024,2048] [--rounds 5]

Each thread count runs in a fresh process (the pool is built once per
process); the rounds alternate between them, and each cell is the best wall
time per generation over all rounds and repeats, which on a busy machine
comes nearest to the time on cores of its own.
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

from _timing import print_table

WORKER = textwrap.dedent("""
    import json, sys, time
    import numpy as np
    import zorv, zorv_fast

    zorv_fast.sim_batch(np.zeros((2, 40)))  # the pool, outside every timing
    popsizes, repeats = json.loads(sys.argv[1]), int(sys.argv[2])
    best = {}
    for popsize in popsizes:
        # About 80 ms of work per search, so that its set-up counts little.
        generations = max(20, 4_000_000 // (popsize * 40 * 3))
        settings = zorv.SearchSettings(seed=1, popsize=popsize, generations=generations,
                                       checkpoint_every=0)
        seconds = []
        for _ in range(repeats):
            start = time.perf_counter()
            zorv.search(settings, score=lambda plans: plans[:, 0].copy())
            seconds.append((time.perf_counter() - start) / generations)
        best[popsize] = min(seconds)
    print(json.dumps(best))
""")


def time_in_process(threads, popsizes, repeats):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", WORKER, json.dumps(popsizes), str(repeats)],
                         env=env, check=True, capture_output=True, text=True)
    return {int(k): v for k, v in json.loads(out.stdout).items()}


def print_thread_comparison(popsizes, rounds, repeats):
    best = {1: {}, 2: {}}
    for _ in range(rounds):
        for threads in best:
            for popsize, seconds in time_in_process(threads, popsizes, repeats).items():
                best[threads][popsize] = min(seconds, best[threads].get(popsize, seconds))
    print(f"Optimizer time per generation on 1 and 2 worker threads, 40 dimensions, "
          f"near-free scorer (wall time, best of {rounds} x {repeats})")
    print_table(["popsize", "1 thread (us)", "2 threads (us)", "1 / 2 threads"],
                [[p, f"{1e6 * best[1][p]:,.0f}", f"{1e6 * best[2][p]:,.0f}",
                  f"{best[1][p] / best[2][p]:.2f}x"] for p in popsizes])


def main():
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--popsizes", default="256,512,1024,2048")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--repeats", type=int, default=5, help="searches per round")
    args = parser.parse_args()
    print_thread_comparison([int(p) for p in args.popsizes.split(",")], args.rounds,
                            args.repeats)


if __name__ == "__main__":
    main()
