"""A run's full record (zorv.record_run) holds the very run that sim
scores, step by step, as the integrator moves it; the gait measured from it
agrees with a count by hand and with the gait diagram; robustness draws its
changes from its seed alone."""
import math
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import zorv
import zorv_fast
from zorv import svg
from zorv.body import HEAD, JOINTS, LINKS, MAX_STEPS, POINTS, STARTS, TIME_STEP
from zorv.body import FEET
from zorv.motion.record import RunRecord

SVG = "{http://www.w3.org/2000/svg}"


def random_plans(count, seed=11):
    """Uniform plans, some beyond the box, and plans of the values sim
    treats specially."""
    rng = np.random.default_rng(seed)
    plans = [list(row) for row in rng.uniform(-1.5, 1.5, (count, 40))]
    plans[:4] = [[0.0] * 40, [float("nan")] * 40, [float("inf"), float("-inf")] * 20,
                 [-0.0] * 40]
    return plans


@pytest.fixture(scope="module")
def found_plans():
    """The best plans of twenty short searches."""
    return [zorv.search(zorv.SearchSettings(seed=seed, popsize=24, generations=8)).plan
            for seed in range(20)]


@pytest.fixture(scope="module")
def walker():
    """The record of a plan found by a longer search: it runs, lands and
    lifts its feet many times."""
    plan = zorv.search(zorv.SearchSettings(seed=1, popsize=64, generations=30)).plan
    return zorv.record_run(plan)


class TestRecord:
    def test_the_run_that_sim_scores_and_trace_traces(self, found_plans):
        plans = random_plans(1000) + found_plans
        scores = zorv_fast.sim_batch(plans)
        lengths = []
        for plan, score in zip(plans, scores):
            record = zorv.record_run(plan)
            positions = zorv.trace(plan)
            assert record.distance == score == record.positions[-1, HEAD, 0]
            assert np.array_equal(record.positions, positions)
            assert record.steps == len(positions)
            assert all(len(column) == record.steps for column in (
                record.velocities, record.contacts, record.link_lengths, record.link_angles,
                record.target_angles, record.joint_angles, record.torques))
            lengths.append(record.steps)
        assert min(lengths) < 60 and max(lengths) == MAX_STEPS  # short runs and whole ones

    def test_positions_follow_from_velocities_and_contacts_as_the_integrator_says(
            self, found_plans):
        for plan in random_plans(200, seed=3) + found_plans:
            record = zorv.record_run(plan)
            before = np.concatenate([np.array(STARTS)[np.newaxis], record.positions[:-1]])
            # The ground rule: a point at or below the ground line stands on
            # it for the step and is lifted back to it.
            assert np.array_equal(record.contacts, before[:, :, 1] <= 0.0)
            lifted = np.where(record.contacts, 0.0, before[:, :, 1])
            moved_x = record.velocities[:, :, 0] * TIME_STEP + before[:, :, 0]
            moved_y = record.velocities[:, :, 1] * TIME_STEP + lifted
            assert np.array_equal(record.positions[:, :, 0], moved_x)
            assert np.array_equal(record.positions[:, :, 1], moved_y)
            # A point standing on the ground ends the step with no speed into it.
            assert (record.velocities[:, :, 1][record.contacts] >= 0.0).all()

    def test_links_and_joints_are_measured_where_the_step_began(self, walker):
        before = np.concatenate([np.array(STARTS)[np.newaxis], walker.positions[:-1]])
        before[:, :, 1] = np.where(walker.contacts, 0.0, before[:, :, 1])
        for link, (proximal, distal) in enumerate(LINKS):
            dx = before[:, distal, 0] - before[:, proximal, 0]
            dy = before[:, distal, 1] - before[:, proximal, 1]
            assert np.array_equal(walker.link_lengths[:, link], np.sqrt(dy * dy + dx * dx) + 0.01)
            assert np.allclose(walker.link_angles[:, link], np.arctan2(dy, dx), rtol=0,
                               atol=1e-15)
        for joint, (parent, child) in enumerate(JOINTS):
            assert np.array_equal(walker.joint_angles[:, joint], walker.link_angles[:, child]
                                  - walker.link_angles[:, parent])

    @pytest.mark.parametrize("plan, end, steps", [
        ([0.0] * 40, "head", 128),                # it falls forward onto the head
        ([1.0, -1.0] * 20, "all steps", 200),
    ])
    def test_why_the_run_ended(self, plan, end, steps):
        record = zorv.record_run(plan)
        assert (record.end, record.steps) == (end, steps)
        if end == "head":  # the step after the one that took the head down still ran
            assert record.positions[-2, HEAD, 1] <= 0.0 < record.positions[-3, HEAD, 1]

    def test_the_arrays_are_read_only_and_bad_plans_are_refused_as_sim_refuses_them(self):
        record = zorv.record_run([0.0] * 40)
        with pytest.raises(ValueError):
            record.torques[0, 0] = 1.0
        for plan in ([0.0] * 39, "x" * 40, None):
            with pytest.raises(Exception) as by_sim:
                zorv_fast.sim(plan)
            with pytest.raises(type(by_sim.value)) as by_record:
                zorv.record_run(plan)
            assert str(by_record.value) == str(by_sim.value)


def hand_count(record, point):
    """Footfalls, lift-offs and contact spans of a point, counted step by step."""
    footfalls, lift_offs, spans = [], [], []
    for k in range(record.steps):
        now = bool(record.contacts[k, point])
        was = bool(record.contacts[k - 1, point]) if k else None
        if now and (k == 0 or not was):
            spans.append([k, 0])
        if now:
            spans[-1][1] += 1
        if k and now and not was:
            footfalls.append((k, float(record.positions[k - 1, point, 0])))
        if k and was and not now:
            lift_offs.append((k, float(record.positions[k - 1, point, 0])))
    return footfalls, lift_offs, [tuple(span) for span in spans]


class TestGaitMeasures:
    def test_agree_with_a_hand_count_and_with_the_gait_diagram(self, walker):
        measures = zorv.gait_measures(walker)
        root = ET.fromstring(svg.animation(walker.positions, contacts=walker.contacts))
        bars = root.findall(f".//{SVG}rect[@class='contact']")
        assert [foot.name for foot in measures.feet] == [POINTS[p] for p in FEET]
        for foot, point in zip(measures.feet, FEET):
            footfalls, lift_offs, spans = hand_count(walker, point)
            assert len(footfalls) >= 2 and lift_offs
            assert [(e.step, e.x) for e in foot.footfalls] == footfalls
            assert [(e.step, e.x) for e in foot.lift_offs] == lift_offs
            drawn = [(int(bar.get("data-step")), int(bar.get("data-steps"))) for bar in bars
                     if bar.get("data-point") == POINTS[point]]
            assert drawn == spans
            # Each bar after the first begins with a footfall; each ends
            # with a lift-off, but for one that lasts to the end.
            assert [first for first, _ in drawn if first] == [e.step for e in foot.footfalls]
            assert [first + n for first, n in drawn if first + n < walker.steps] == [
                e.step for e in foot.lift_offs]
            assert foot.duty_factor == sum(n for _, n in drawn) / walker.steps
            assert [(s.step, s.steps, s.length) for s in foot.strides] == [
                (a[0], b[0] - a[0], b[1] - a[1]) for a, b in zip(footfalls, footfalls[1:])]
            assert all(s.duration == s.steps * TIME_STEP for s in foot.strides)
        up = [k for k in range(walker.steps) if not walker.contacts[k].any()]
        assert sum(f.steps for f in measures.flights) == len(up)
        assert [k for f in measures.flights for k in range(f.step, f.step + f.steps)] == up
        masses = np.array(zorv.body.MASSES)
        travel = (masses @ walker.positions[-1, :, 0] - masses @ np.array(STARTS)[:, 0]) / 70
        assert math.isclose(measures.travel, travel, rel_tol=1e-12)
        assert measures.mean_speed == measures.travel / (walker.steps * TIME_STEP)
        assert math.isclose(measures.cost_of_transport,
                            measures.positive_work / (70 * zorv.body.GRAVITY * measures.travel))
        assert all(line and "\n" not in line for line in measures.lines())

    @pytest.mark.parametrize("angles, torque, work", [
        ([0.3, 0.2, 0.0, -0.5], 2.0, 2.0 * 0.8),     # turned the way the torque drives it
        ([0.0, 0.5, 0.6], 2.0, 0.0),                 # turned against the torque: no work
        ([0.0, 0.5, 0.6], -1.0, 0.6),
        ([3.1, -3.1], -1.0, 2 * math.pi - 6.2),      # the short way round, across +-pi
        ([-3.1, 3.1], 1.0, 2 * math.pi - 6.2),
    ])
    def test_positive_work_is_done_where_the_joint_turns_the_way_its_torque_drives_it(
            self, angles, torque, work):
        steps = len(angles)
        zeros = np.zeros((steps, 4))
        joint_angles = zeros.copy()
        joint_angles[:, 1] = angles
        torques = zeros.copy()
        torques[:, 1] = torque
        positions = np.zeros((steps, len(POINTS), 2))
        positions[:, :, 0] = np.linspace(0.0, 1.0, steps)[:, np.newaxis]
        record = RunRecord(positions, positions, np.zeros((steps, len(POINTS)), dtype=bool),
                           np.zeros((steps, 5)), np.zeros((steps, 5)), zeros, joint_angles,
                           torques, "all steps")
        measures = zorv.gait_measures(record)
        assert math.isclose(measures.joint_work[1], work, abs_tol=1e-12)
        assert measures.positive_work == measures.joint_work[1]
        assert [f.steps for f in measures.flights] == [steps]


class TestRobustness:
    def test_no_noise_gives_the_plans_own_distance_every_time(self, found_plans):
        for plan in found_plans[:5] + [[-0.0] * 40]:
            result = zorv.robustness(plan, noise=0, samples=50, seed=4)
            assert result.distance == zorv_fast.sim(plan)
            assert result.distances.tolist() == [result.distance] * 50
            assert result.within_1_percent == result.within_10_percent == 1.0
            assert result.median == result.lower_quartile == result.distance

    def test_the_seed_fixes_every_bit(self, found_plans):
        plan = found_plans[0]
        first = zorv.robustness(plan, noise=0.02, samples=300, seed=7)
        again = zorv.robustness(plan, noise=0.02, samples=300, seed=7)
        other = zorv.robustness(plan, noise=0.02, samples=300, seed=8)
        assert first.distances.tobytes() == again.distances.tobytes()
        assert first.distances.tolist() != other.distances.tolist()
        # The changes are those the documentation describes: drawn as one
        # array from default_rng(seed), scored as sim clamps them.
        changes = np.random.default_rng(7).standard_normal((300, 40))
        expected = zorv_fast.sim_batch(np.array(plan) + 0.02 * changes)
        assert first.distances.tolist() == expected
        assert first.lower_quartile <= first.median <= first.upper_quartile
        off = np.abs(first.distances - first.distance)
        assert first.within_1_percent == np.mean(off <= 0.01 * abs(first.distance))
        assert first.within_1_percent <= first.within_10_percent

    @pytest.mark.parametrize("kwargs, words", [
        (dict(noise=-0.01), "noise must be a finite number of at least 0, got -0.01"),
        (dict(noise=float("nan")), "noise must be"),
        (dict(noise="0.1"), "noise must be"),
        (dict(samples=0), "samples must be a whole number of at least 1, got 0"),
        (dict(samples=2.5), "samples must be"),
        (dict(seed=-1), "seed must be a whole number of at least 0, got -1"),
        (dict(plan=[0.0] * 39), "plan must be 40 numbers, got shape (39,)"),
        (dict(plan=["x"] * 40), "plan must be 40 numbers"),
    ])
    def test_bad_arguments_are_named(self, kwargs, words):
        arguments = {"plan": [0.0] * 40, **kwargs}
        with pytest.raises(ValueError) as refused:
            zorv.robustness(**arguments)
        assert words in str(refused.value) and "\n" not in str(refused.value)
