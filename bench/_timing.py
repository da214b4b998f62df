"""Shared pieces of the benchmarks: the random plans and timing of
`sim_batch` in a fresh process per thread count (the pool is built once per
process, so each thread count needs its own)."""
import json
import os
import subprocess
import sys
import textwrap

import numpy as np


def random_plans(count, seed=20261208):
    """Plans like a search produces: mostly in [-1, 1], a few values beyond."""
    rng = np.random.default_rng(seed)
    plans = rng.uniform(-1.0, 1.0, size=(count, 40))
    beyond = rng.random(size=plans.shape) < 0.05
    plans[beyond] *= 3.0
    return plans


WORKER = textwrap.dedent("""
    import json, sys, time
    import numpy as np
    import zorv_fast

    path, repeats, cases = sys.argv[1], int(sys.argv[2]), sys.argv[3].split(",")
    array = np.load(path)
    as_lists = array.tolist()
    zorv_fast.sim_batch(array[:2])  # builds the pool outside the timing

    def best(call):
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            try:
                call()
            except ValueError:
                pass
            times.append(time.perf_counter() - start)
        return min(times)

    calls = {
        "list": lambda: zorv_fast.sim_batch(as_lists),
        "numpy": lambda: zorv_fast.sim_batch(array),
        "sim_loop": lambda: [zorv_fast.sim(p) for p in as_lists],
        # Fails on its last element after converting everything else, before
        # anything is simulated: the general conversion alone (a bad element
        # sends the whole input down the general path).
        "list_conversion": lambda: zorv_fast.sim_batch(as_lists + [[0.0] * 39]),
        # The fixed cost of a call on an array, which is all its conversion costs.
        "numpy_empty": lambda: zorv_fast.sim_batch(array[:0]),
    }
    print(json.dumps({case: best(calls[case]) for case in cases}))
""")


def time_in_process(plans_path, threads, cases, repeats, variables=None):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), **(variables or {}))
    out = subprocess.run([sys.executable, "-c", WORKER, str(plans_path), str(repeats),
                          ",".join(cases)], env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def print_table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    line = lambda r: "  ".join(str(c).rjust(w) for c, w in zip(r, widths))  # noqa: E731
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line(row))
