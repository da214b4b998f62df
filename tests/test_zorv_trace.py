"""zorv.trace(): the positions of every step of a run, from the private
zorv._trace module, against sim() and against the Python reference model."""
import math
import random
import shutil
import struct
import subprocess

import numpy as np
import pytest

import reference_model as model
import zorv
import zorv_fast


def bits(value):
    return struct.pack("<d", value)


def random_plans(count, seed, spread=1.0):
    rng = random.Random(seed)
    return [[rng.uniform(-spread, spread) for _ in range(40)] for _ in range(count)]


def reference_positions(plan):
    """(steps, 6, 2) from the reference model's own step loop."""
    plan = model.normalise(plan)
    state = model.start_state()
    rows = []
    for s in range(20):
        for k in range(10):
            ended = model.step(state, plan, s, k)[0]
            rows.append([[state[0][p], state[1][p]] for p in range(6)])
            if ended:
                return rows
    return rows


class TestAgreesWithSim:
    # Values beyond [-1, 1] exercise the clamping too.
    PLANS = (random_plans(300, seed=11) + random_plans(100, seed=12, spread=3.0)
             + [[0.0] * 40, [1.0] * 40, [-1.0] * 40, [math.nan] * 40, [1.0, -1.0] * 20])

    def test_last_head_x_is_the_score_bit_for_bit(self):
        scores = zorv_fast.sim_batch(self.PLANS)
        for plan, score in zip(self.PLANS, scores):
            positions = zorv.trace(plan)
            assert bits(positions[-1, zorv.HEAD, 0]) == bits(score)
            assert bits(positions[-1, zorv.HEAD, 0]) == bits(zorv_fast.sim(plan))

    def test_run_lasts_until_hip_or_head_reached_the_ground(self):
        # A step ends the run when the hip or the head was at or below the
        # ground before it, i.e. after the step recorded one row earlier.
        lengths = set()
        for plan in self.PLANS:
            positions = zorv.trace(plan)
            steps = len(positions)
            lengths.add(steps)
            assert 1 <= steps <= zorv.MAX_STEPS
            low = np.minimum(positions[:, zorv.POINTS.index("hip"), 1],
                             positions[:, zorv.HEAD, 1]) <= 0.0
            grounded = np.flatnonzero(low[:-1])
            if steps < zorv.MAX_STEPS:
                assert grounded.size and grounded[0] == steps - 2
            else:
                assert grounded.size == 0
        assert len(lengths) > 5  # the plans above end at many different steps


class TestAgreesWithReferenceModel:
    @pytest.mark.parametrize("plan", random_plans(6, seed=5) + [[0.0] * 40, [-1.0, 1.0] * 20])
    def test_every_position_of_every_step(self, plan):
        expected = reference_positions(plan)
        positions = zorv.trace(plan)
        assert positions.shape == (len(expected), 6, 2)
        assert positions.tobytes() == np.array(expected, dtype=np.float64).tobytes()


class TestResult:
    def test_shape_dtype_and_ownership(self):
        positions = zorv.trace([0.25] * 40)
        assert positions.ndim == 3 and positions.shape[1:] == (6, 2)
        assert positions.dtype == np.float64
        assert positions.flags.c_contiguous and positions.flags.writeable
        positions[0, 0, 0] = 123.0  # its own memory: a second trace is unaffected
        assert zorv.trace([0.25] * 40)[0, 0, 0] != 123.0

    def test_repeatable(self):
        plan = random_plans(1, seed=3)[0]
        assert zorv.trace(plan).tobytes() == zorv.trace(plan).tobytes()

    def test_body_description(self):
        assert zorv.POINTS == ("hip", "knee_a", "foot_a", "knee_b", "foot_b", "head")
        assert zorv.POINTS[zorv.HEAD] == "head"
        assert len(zorv.LINKS) == 5
        # Every point but the hip hangs from exactly one link; all links are
        # connected to the hip through their proximal points.
        distal = sorted(b for _, b in zorv.LINKS)
        assert distal == [1, 2, 3, 4, 5]
        for a, b in zorv.LINKS:
            assert 0 <= a < 6 and a != b
            assert a == 0 or a in distal


class TestArguments:
    @pytest.mark.parametrize("make", [tuple, list, np.array, lambda p: [int(v > 0) for v in p]],
                             ids=["tuple", "list", "ndarray", "ints"])
    def test_plan_kinds_read_like_sim(self, make):
        plan = make(random_plans(1, seed=9)[0])
        assert bits(zorv.trace(plan)[-1, zorv.HEAD, 0]) == bits(zorv_fast.sim(plan))

    def test_plan_is_not_changed(self):
        plan = [0.0] * 40
        plan[10] = 7.5
        zorv.trace(plan)
        assert plan[10] == 7.5

    def test_item_that_empties_the_plan_while_read(self):
        # Read item by item, as sim() reads it: the emptied list has no item 4.
        class Emptying:
            def __init__(self, plan):
                self.plan = plan

            def __float__(self):
                self.plan.clear()
                return 0.5

        def emptying_plan():
            plan = [0.0] * 40
            plan[3] = Emptying(plan)
            return plan

        assert message_of(lambda: zorv.trace(emptying_plan())) == (
            IndexError, "list index out of range")
        assert message_of(lambda: zorv_fast.sim(emptying_plan())) == (
            IndexError, "list index out of range")

    @pytest.mark.parametrize("length", [0, 39, 41])
    def test_wrong_length(self, length):
        with pytest.raises(ValueError, match="length 40"):
            zorv.trace([0.0] * length)

    @pytest.mark.parametrize("bad", [[0.0] * 39 + ["1"], [None] * 40, 5])
    def test_not_numbers(self, bad):
        with pytest.raises(TypeError):
            zorv.trace(bad)

    # trace() once read any iterable through a tuple of its own, so it took a
    # generator that sim() rejects.
    @pytest.mark.parametrize("make_bad", [
        lambda: (0.0 for _ in range(40)), lambda: iter([0.0] * 40), lambda: {0.0},
        lambda: "x" * 40, lambda: [0.0] * 39 + [10 ** 400], lambda: [0.0] * 39 + [None],
    ], ids=["generator", "iterator", "set", "str", "overflow", "none"])
    def test_rejects_what_sim_rejects_with_the_same_message(self, make_bad):
        assert message_of(lambda: zorv.trace(make_bad())) == message_of(
            lambda: zorv_fast.sim(make_bad()))


def message_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


def test_private_module_exports_only_its_init():
    import zorv._trace as private
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", private.__file__],
                         capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert names == {"PyInit__trace"}
