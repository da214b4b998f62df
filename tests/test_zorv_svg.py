"""zorv.svg: the animation and the filmstrip are well-formed SVG with one
frame per step, drawn where the trace says, and the animation shows exactly
one frame at any moment of its loop."""
import math
import random
import xml.etree.ElementTree as ET
from fractions import Fraction

import pytest

import zorv
from zorv import svg
from zorv.plot import nice_ticks

NS = "{http://www.w3.org/2000/svg}"
PLANS = {
    "zeros": [0.0] * 40,
    "alternating": [1.0, -1.0] * 20,
    "random": [random.Random(4).uniform(-1, 1) for _ in range(40)],
}


def parse(text):
    return ET.fromstring(text.encode("utf-8"))


def frames_of(root):
    return root.findall(f"{NS}g[@class='frame']")


def visible_at(animate, t):
    """Opacity of a discrete SMIL animation at fraction t of its cycle."""
    values = animate.get("values").split(";")
    times = [Fraction(v) for v in animate.get("keyTimes").split(";")]
    assert times[0] == 0 and times == sorted(times) and times[-1] <= 1
    assert len(values) == len(times)
    current = values[0]
    for value, start in zip(values, times):
        if start <= t:
            current = value
    return current == "1"


@pytest.fixture(params=sorted(PLANS), scope="module")
def run(request):
    positions = zorv.trace(PLANS[request.param])
    return positions, parse(svg.animation(positions, title=request.param))


class TestAnimation:
    def test_one_frame_per_step_with_the_whole_runner(self, run):
        positions, root = run
        frames = frames_of(root)
        assert len(frames) == len(positions)
        assert [int(f.get("data-step")) for f in frames] == list(range(1, len(positions) + 1))
        for frame in frames:
            assert len(frame.findall(f"{NS}line")) == 5
            assert len(frame.findall(f"{NS}circle")) == 6
            assert len(frame.findall(f"{NS}animate")) == 1

    def test_exactly_one_frame_visible_all_through_the_loop(self, run):
        positions, root = run
        animations = [f.find(f"{NS}animate") for f in frames_of(root)]
        durations = {a.get("dur") for a in animations}
        assert len(durations) == 1 and all(a.get("repeatCount") == "indefinite"
                                           for a in animations)
        samples = 4 * len(positions) + 7
        seen = []
        for i in range(samples):
            t = Fraction(i, samples)
            shown = [k for k, a in enumerate(animations) if visible_at(a, t)]
            assert len(shown) == 1, (t, shown)
            seen.append(shown[0])
        assert seen == sorted(seen)  # steps play in order
        assert set(seen) == set(range(len(positions)))  # and every one is shown
        initial = [f.get("opacity") for f in frames_of(root)]
        assert initial == ["1"] + ["0"] * (len(positions) - 1)

    def test_points_drawn_where_the_trace_puts_them(self, run):
        positions, root = run
        frames = frames_of(root)
        ground = root.find(f"{NS}line[@class='ground']")
        ground_y = float(ground.get("y1"))
        for k in (0, len(positions) // 2, len(positions) - 1):
            circles = frames[k].findall(f"{NS}circle")
            names = [c.get("class").split()[-1] for c in circles]
            assert names == list(zorv.POINTS)
            assert len(frames[k].findall(f"{NS}line[@class='link']")) == len(zorv.LINKS)
            cx = [float(c.get("cx")) for c in circles]
            cy = [float(c.get("cy")) for c in circles]
            # One scale for x and y, y pointing down from the ground line.
            for p in range(6):
                for q in range(6):
                    dx = positions[k, p, 0] - positions[k, q, 0]
                    assert math.isclose(cx[p] - cx[q], dx * 100, abs_tol=0.02)
                dy = positions[k, p, 1]
                assert math.isclose(ground_y - cy[p], dy * 100, abs_tol=0.02)

    def test_text_gives_distance_and_steps(self, run):
        positions, root = run
        texts = "".join(root.itertext())
        assert repr(float(positions[-1, zorv.HEAD, 0])) in texts
        assert f"after {len(positions)} steps" in texts
        last = frames_of(root)[-1]
        assert f"step {len(positions)} / {len(positions)}" in "".join(last.itertext())

    def test_title_is_escaped(self):
        root = parse(svg.animation(zorv.trace([0.0] * 40), title="a <b> & 'c'"))
        assert root.find(f"{NS}title").text.startswith("a <b> & 'c'")


class TestFilmstrip:
    @pytest.mark.parametrize("frames", [1, 2, 5, 8])
    def test_frames_spread_over_the_run_ending_with_the_last(self, run, frames):
        positions, _ = run
        root = parse(svg.filmstrip(positions, frames=frames))
        steps = [int(f.get("data-step")) for f in frames_of(root)]
        assert len(steps) == frames
        assert steps == sorted(set(steps))
        assert steps[-1] == len(positions)
        if frames > 1:
            assert steps[0] == 1
        assert root.find(f".//{NS}animate") is None

    def test_ground_ticks_measure_where_each_pose_is(self, run):
        # Each panel follows the runner; its numbered ticks must still give
        # the model x of every point drawn in it.
        positions, _ = run
        root = parse(svg.filmstrip(positions, frames=6))
        for frame in frames_of(root):
            k = int(frame.get("data-step")) - 1
            ticks = frame.findall(f"{NS}line[@class='tick']")
            labels = [int(t.text) for t in frame.findall(f"{NS}text[@class='ticklabel']")]
            assert len(ticks) >= 2 and len(labels) == len(ticks)
            (ta, a), (tb, b) = [(float(t.get("x1")), m) for t, m in zip(ticks, labels)][:2]
            scale = (tb - ta) / (b - a)
            assert math.isclose(scale, 100.0, rel_tol=1e-3)
            for circle, (x, _) in zip(frame.findall(f"{NS}circle"), positions[k]):
                assert math.isclose(float(circle.get("cx")), ta + (x - a) * scale, abs_tol=0.05)

    def test_more_frames_than_steps_gives_every_step(self):
        positions = zorv.trace([0.0] * 40)
        root = parse(svg.filmstrip(positions, frames=10_000))
        assert len(frames_of(root)) == len(positions)

    def test_rejects_no_frames(self):
        with pytest.raises(ValueError):
            svg.filmstrip(zorv.trace([0.0] * 40), frames=0)


class TestChartTicks:
    @pytest.mark.parametrize("low, high", [
        (0.0, 10.5), (2.5, 2.5), (-3.0, -3.0), (3.0, 2.0), (0.0, 5e-324), (0.0, 1e-300),
        (1e300, 1.0000001e300), (-1e307, 1e307), (7.25, 7.25 + 2e-15),
    ])
    def test_cover_the_range_in_a_few_finite_ascending_steps(self, low, high):
        ticks = nice_ticks(low, high)
        assert all(math.isfinite(t) for t in ticks)
        assert ticks[0] <= low and ticks[-1] >= max(low, high)
        assert 2 <= len(ticks) <= 10 and ticks == sorted(set(ticks))

    @pytest.mark.parametrize("low, high", [
        (-1e308, 1e308), (1.7e308, 1.79e308), (float("nan"), 1.0), (0.0, float("inf")),
    ])
    def test_refuse_what_no_axis_holds(self, low, high):
        with pytest.raises(ValueError, match="cannot draw"):
            nice_ticks(low, high)
