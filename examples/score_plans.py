"""Scores a few hand-made plans and a small random population."""
import random

import zorv_fast

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

rng = random.Random(7)
population = [[rng.uniform(-1.0, 1.0) for _ in range(40)] for _ in range(1000)]
scores = zorv_fast.sim_batch(population)
best = max(range(len(scores)), key=scores.__getitem__)
print(f"best of {len(population)} random plans: {scores[best]!r} (plan {best})")
