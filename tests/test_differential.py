"""The compiled simulator against the Python reference model, bit for bit, on
many random plans from a fixed seed.

Equal doubles are compared by their bytes, so -0.0 differs from +0.0; two
NaN scores count as equal whatever their payload.  The mutation tests below
change one operation of the model (one bracket moved, or a reciprocal swapped
for a division) and require the comparison to notice: they show that the
random plans are varied enough to catch a single reordered operation."""
import math
import random
import struct
import types
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import reference_model as model

zorv_fast = pytest.importorskip("zorv_fast")

SEED = 0x5EED2024
PLAN_COUNT = 600
EDGE_VALUES = [math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 1.0, -1.0,
           1e-300, -1e-300, 1e300, -1e300, 7.5, -7.5,
           math.nextafter(1.0, 2.0), math.nextafter(-1.0, -2.0),
           math.nextafter(1.0, 0.0), math.nextafter(-1.0, 0.0)]


def same_score(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def random_plan(rng):
    style = rng.randrange(6)
    if style == 0:
        return [rng.uniform(-1.0, 1.0) for _ in range(40)]
    if style == 1:  # mostly in range, some far out, some edge values
        def value():
            kind = rng.choices(("in", "out", "edge"), (6, 2, 1))[0]
            if kind == "in":
                return rng.uniform(-1.0, 1.0)
            if kind == "out":
                return rng.uniform(-4.0, 4.0)
            return rng.choice(EDGE_VALUES)
        return [value() for _ in range(40)]
    if style == 2:  # constant hip and knee commands
        hip, knee = rng.uniform(-1.2, 1.2), rng.uniform(-1.2, 1.2)
        return [hip, knee] * 20
    if style == 3:  # a smooth gait
        a, b = rng.uniform(0.0, 1.5), rng.uniform(0.0, 1.5)
        freq, phase = rng.uniform(0.1, 1.5), rng.uniform(0.0, 6.3)
        return [a * math.sin(freq * (i // 2) + phase) if i % 2 == 0
                else b * math.cos(freq * (i // 2) + phase) for i in range(40)]
    if style == 4:
        return [rng.choice(EDGE_VALUES) for _ in range(40)]
    return [rng.choice((-1.0, 1.0)) for _ in range(40)]


PLANS = [random_plan(random.Random(SEED + i)) for i in range(PLAN_COUNT)]


@pytest.fixture(scope="module")
def module_scores():
    return [zorv_fast.sim(plan) for plan in PLANS]


def mismatches(scores, simulate):
    return [(i, scores[i], simulate(plan)) for i, plan in enumerate(PLANS)
            if not same_score(scores[i], simulate(plan))]


def test_plans_cover_many_run_lengths():
    steps = {model.simulate_with_steps(plan)[1] for plan in PLANS}
    assert len(PLANS) >= 500
    assert len(steps) >= 80 and 200 in steps and min(steps) < 80
    assert any(any(math.isnan(v) for v in plan) for plan in PLANS)
    assert any(any(math.isinf(v) for v in plan) for plan in PLANS)


def test_module_matches_model_on_random_plans(module_scores):
    bad = mismatches(module_scores, model.simulate)
    assert not bad, f"{len(bad)} of {len(PLANS)} plans differ, e.g. {bad[:3]}"


def test_batch_matches_model_on_random_plans(module_scores):
    scores = zorv_fast.sim_batch(PLANS)
    assert len(scores) == len(PLANS)
    assert all(same_score(a, b) for a, b in zip(scores, module_scores))


@settings(max_examples=200, derandomize=True, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True),
                min_size=40, max_size=40))
def test_module_matches_model_on_generated_plans(plan):
    assert same_score(zorv_fast.sim(plan), model.simulate(plan))


# Each mutant changes exactly one operation of the model.
MUTANTS = {
    "step weight as (k + 0.5) * 0.1":
        ("w = float(k) * 0.1 + 0.05", "w = (float(k) + 0.5) * 0.1"),
    "spring direction divided by L":
        ("((dx * inv_length) * tension,", "((dx / length) * tension,"),
    "spring direction times tension first":
        ("(dy * inv_length) * tension)", "dy * (inv_length * tension))"),
    "tension distributed":
        ("(rest - length) * stiffness - rate * damping",
         "rest * stiffness - length * stiffness - rate * damping"),
    "spin multiplied by 1/(L*L)":
        ("dx) / length_sq", "dx) * inv_length_sq"),
    "perpendicular divided by L*L":
        ("dx * inv_length_sq)", "dx / length_sq)"),
    "torso ratio by reciprocal":
        ("length_p / LINKS[parent][2]", "length_p * (1.0 / LINKS[parent][2])"),
    "knee command as a lerp":
        ("prev_knee * u + w * plan[2 * s + 1]",
         "prev_knee + (plan[2 * s + 1] - prev_knee) * w"),
    "thigh force reassociated":
        ("p[THIGH_A] * knee_a + (s[THIGH_A] - p[THIGH_A] * hip_a)",
         "(p[THIGH_A] * knee_a + s[THIGH_A]) - p[THIGH_A] * hip_a"),
    "torso force reassociated":
        ("(s[TORSO] + p[TORSO] * hip_a) + p[TORSO] * hip_b",
         "s[TORSO] + (p[TORSO] * hip_a + p[TORSO] * hip_b)"),
    "hip accumulator reassociated":
        ("((0.0 - g_thigh_a) - g_thigh_b) - g_torso",
         "(0.0 - g_thigh_a) - (g_thigh_b + g_torso)"),
    "velocity divided by mass":
        ("((fx[i] * 0.1) * inv) + vx[i]", "((fx[i] * 0.1) / m) + vx[i]"),
    "velocity force times 1/m first":
        ("((fy[i] * 0.1) * inv) + vy[i]", "(fy[i] * (0.1 * inv)) + vy[i]"),
    "NaN plan value read as +1":
        ("t = v if v > -1.0 else -1.0", "t = max(v, -1.0)"),
}


def mutant(old, new):
    source = Path(model.__file__).read_text()
    assert source.count(old) == 1, f"mutation site not unique: {old!r}"
    variant = types.ModuleType("reference_model_mutant")
    exec(compile(source.replace(old, new), "<mutant>", "exec"),
         variant.__dict__)
    return variant


@pytest.mark.parametrize("name", list(MUTANTS))
def test_single_changed_operation_is_caught(module_scores, name):
    variant = mutant(*MUTANTS[name])
    caught = next((i for i, plan in enumerate(PLANS)
                   if not same_score(module_scores[i], variant.simulate(plan))),
                  None)
    assert caught is not None, f"mutant '{name}' agrees on every plan"
