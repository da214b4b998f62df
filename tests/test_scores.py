"""Known scores of whole runs, checked on the compiled module and on the
Python reference model, and the reference model's first step checked value
by value.

The model tests need no compiled module; the module tests skip when it
cannot be imported."""
import math
import struct

import pytest

import reference_model as model


def bits(value):
    return struct.pack("<d", value)


def zeros_with(index, value):
    plan = [0.0] * 40
    plan[index] = value
    return plan


INF, NAN = math.inf, math.nan
ZEROS = 1.9828948004369278
ONES = 1.9547961488814911
MINUS_ONES = 2.895094681507079
ALTERNATING = 0.2555901140915791
ALTERNATING_REVERSED = 0.0746086412545685

# (name, plan, score, steps run)
KNOWN_RUNS = [
    ("zeros", [0.0] * 40, ZEROS, 128),
    ("ones", [1.0] * 40, ONES, 150),
    ("minus_ones", [-1.0] * 40, MINUS_ONES, 192),
    ("alternating", [1.0, -1.0] * 20, ALTERNATING, 200),
    ("alternating_reversed", [-1.0, 1.0] * 20, ALTERNATING_REVERSED, 200),
    # Normalisation: out-of-range, infinite, NaN and tiny values.
    ("negative_zeros", [-0.0] * 40, ZEROS, 128),
    ("tiny", [1e-300] * 40, ZEROS, 128),
    ("nans", [NAN] * 40, MINUS_ONES, 192),
    ("plus_infinities", [INF] * 40, ONES, 150),
    ("minus_infinities", [-INF] * 40, MINUS_ONES, 192),
    ("large", [3.0] * 40, ONES, 150),
    ("alternating_infinities", [INF, -INF] * 20, ALTERNATING, 200),
    ("alternating_large", [1e300, -1e300] * 20, ALTERNATING, 200),
    ("alternating_nan_second", [1.0, NAN] * 20, ALTERNATING, 200),
    ("alternating_reversed_nan_first", [NAN, 1.0] * 20,
     ALTERNATING_REVERSED, 200),
]


@pytest.fixture(scope="module")
def sim():
    return pytest.importorskip("zorv_fast").sim


@pytest.mark.parametrize("name, plan, score, steps", KNOWN_RUNS,
                         ids=[case[0] for case in KNOWN_RUNS])
def test_model_reproduces_known_runs(name, plan, score, steps):
    assert model.simulate_with_steps(plan) == (score, steps)
    assert bits(model.simulate(plan)) == bits(score)


@pytest.mark.parametrize("name, plan, score, steps", KNOWN_RUNS,
                         ids=[case[0] for case in KNOWN_RUNS])
def test_module_known_scores(sim, name, plan, score, steps):
    result = sim(plan)
    assert type(result) is float
    assert bits(result) == bits(score)


@pytest.mark.parametrize("base", [
    [0.0] * 40, [-1.0] * 40, [1.0, -1.0] * 20, [0.3, -0.6] * 20])
@pytest.mark.parametrize("value", [7.5, INF, math.nextafter(1.0, 2.0)])
def test_module_value_above_one_reads_as_one(sim, base, value):
    plan = list(base)
    plan[10] = value
    clipped = list(base)
    clipped[10] = 1.0
    expected = sim(clipped)
    assert bits(sim(plan)) == bits(expected)
    assert bits(model.simulate(clipped)) == bits(expected)
    # The caller's list is not normalised in place.
    assert bits(plan[10]) == bits(value)


@pytest.mark.parametrize("index", [0, 1, 17, 38, 39])
def test_module_nan_reads_as_minus_one(sim, index):
    assert bits(sim(zeros_with(index, NAN))) == \
        bits(sim(zeros_with(index, -1.0)))


def test_module_scores_are_repeatable(sim):
    plan = [math.sin(i * 0.7) for i in range(40)]
    first = sim(plan)
    assert all(bits(sim(plan)) == bits(first) for _ in range(5))


# ---- the reference model's own first step -------------------------------

FIRST_STEP = {  # point: (fx, fy before gravity, x, y, vx, vy) after step 1
    "hip": (-1.6701572342632458, -14.432588196127123, -0.0005567190780877486,
            0.9941891372679577, -0.0055671907808774864, -0.05810862732042374),
    "knee_a": (-1.8100646859897243, -12.716819349487432,
               -0.0018100646859897246, 0.48628318065051257,
               -0.018100646859897245, -0.13716819349487433),
    "foot_a": (-1.28027857910973, 14.285446800467826, -0.25256055715821946,
               0.027570893600935654, -0.025605571582194606,
               0.27570893600935653),
    "knee_b": (16.07501904583345, 14.207882914016658, 0.26607501904583347,
               0.5132078829140166, 0.16075019045833452, 0.13207882914016658),
    "foot_b": (-8.38816591693952, 1.7647058823529427, 0.23322366816612095,
               0.002529411764705886, -0.16776331833879043,
               0.025294117647058856),
    "head": (-2.9263526295312294, -3.108628051222871, 0.14707364737046877,
             1.895891371948777, -0.0292635262953123, -0.041086280512228714),
}
POINTS = ["hip", "knee_a", "foot_a", "knee_b", "foot_b", "head"]
FIELDS = ["fx", "fy", "x", "y", "vx", "vy"]


@pytest.mark.parametrize("point", POINTS)
def test_model_first_step_of_zeros(point):
    state = model.first_step_state([0.0] * 40)
    index = POINTS.index(point)
    got = tuple(state[field][index] for field in FIELDS)
    assert [bits(v) for v in got] == [bits(v) for v in FIRST_STEP[point]]


@pytest.mark.parametrize("plan, k, targets", [
    ([0.0] * 40, 0, (3.275, 0.9, 2.3249999999999997, 0.9)),
    ([1.0] * 40, 0, (0.525 + 2.8, (1.0 - 0.05) * 0.9, 2.8 - 0.525,
                     (0.05 + 1.0) * 0.9)),
    ([1.0] * 40, 9, (0.9750000000000001 + 2.8,
                     (1.0 - 0.9500000000000001) * 0.9,
                     2.8 - 0.9750000000000001,
                     (0.9500000000000001 + 1.0) * 0.9)),
    ([-1.0] * 40, 9, (-0.925 + 2.8, (1.0 + 0.9500000000000001) * 0.9,
                      2.8 + 0.925, (1.0 - 0.9500000000000001) * 0.9)),
])
def test_model_controller_first_segment(plan, k, targets):
    assert model.joint_targets(plan, 0, k) == targets


@pytest.mark.parametrize("value, targets", [
    (1.0, (3.8, 0.0, 1.7999999999999998, 1.8)),
    (-1.0, (1.7999999999999998, 1.8, 3.8, 0.0)),
])
@pytest.mark.parametrize("s", [1, 10, 19])
@pytest.mark.parametrize("k", [0, 4, 9])
def test_model_controller_later_segments(value, targets, s, k):
    assert model.joint_targets([value] * 40, s, k) == targets


def test_model_first_step_torques():
    state = model.start_state()
    x, y, vx, vy = state
    links = [model.measure_link(x, y, vx, vy, link) for link in model.LINKS]
    torques = model.joint_torques(links, model.joint_targets([0.0] * 40, 0, 0))
    assert torques == [5.971120476496674, 4.3635239099919385,
                       -3.7559273434872065, 4.3635239099919385]


def fake_link(angle, spin=0.0, length=0.51):
    return ((0.0, 0.0), (0.0, 0.0), angle, spin, length)


@pytest.mark.parametrize("rel, target, error", [
    (0.0, math.pi, math.pi),
    (0.0, -math.pi, -math.pi),
    (0.0, 3.1415926535897936, -3.1415926535897927),
    (2 * math.pi, 3.8, 3.8000000000000007),
])
def test_model_error_wrapped_once(rel, target, error):
    links = [fake_link(0.0)] * 5
    links[model.THIGH_A] = fake_link(rel)
    links[model.TORSO] = fake_link(0.0, length=0.9)
    torque = model.joint_torques(links, (target, 0.0, 0.0, 0.0))[0]
    assert torque == error * 20.0
