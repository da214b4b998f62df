"""Parallel efficiency of `sim_batch`: plans per second at 1 thread and at
all threads, on the same random plans.

    python bench/parallel.py [--plans 10000] [--repeats 5]
"""
import argparse
import os
import tempfile
from pathlib import Path

import numpy as np

from _timing import print_table, random_plans, time_in_process


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plans", type=int, default=10_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    threads = len(os.sched_getaffinity(0))
    with tempfile.TemporaryDirectory() as scratch:
        path = Path(scratch) / "plans.npy"
        np.save(path, random_plans(args.plans))
        rates = {}
        for count in sorted({1, threads}):
            seconds = time_in_process(path, count, ["numpy", "list"], args.repeats)
            rates[count] = {case: args.plans / s for case, s in seconds.items()}
    rows = []
    for case in ("numpy", "list"):
        single, full = rates[1][case], rates[threads][case]
        rows.append([f"sim_batch({case})", f"{single:,.0f}", f"{full:,.0f}",
                     f"{full / (threads * single):.3f}"])
    print(f"{args.plans} random plans, {threads} threads, best of {args.repeats}")
    print_table(["input", "plans/s, 1 thread", f"plans/s, {threads} threads", "efficiency"], rows)


if __name__ == "__main__":
    main()
