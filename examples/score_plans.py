"""Scores a few hand-made plans and a small random population.

    python examples/score_plans.py [--random N] [--seed SEED]
"""
import argparse
import random

import zorv_fast


def whole_number(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        number = 0
    if number < 1:
        raise argparse.ArgumentTypeError(f"not a whole number of at least 1: {text!r}")
    return number


parser = argparse.ArgumentParser(description="Scores a few hand-made plans and random ones.")
parser.add_argument("--random", type=whole_number, default=1000, metavar="N",
                    help="random plans to score (default 1000)")
parser.add_argument("--seed", type=int, default=7, help="seed of the random plans (default 7)")
args = parser.parse_args()

# Value 2s is the hip command and value 2s + 1 the knee command of segment s.
named_plans = {
    "standing still (all 0)": [0.0] * 40,
    "all +1": [1.0] * 40,
    "all -1": [-1.0] * 40,
    "alternating +1, -1": [1.0, -1.0] * 20,
    "alternating -1, +1": [-1.0, 1.0] * 20,
}
for name, plan in named_plans.items():
    print(f"{name:>24}: {zorv_fast.sim(plan)!r}")

rng = random.Random(args.seed)
population = [[rng.uniform(-1.0, 1.0) for _ in range(40)] for _ in range(args.random)]
scores = zorv_fast.sim_batch(population)
best = max(range(len(scores)), key=scores.__getitem__)
print(f"best of {len(population)} random plans: {scores[best]!r} (plan {best})")
