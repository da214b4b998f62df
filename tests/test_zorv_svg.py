"""zorv.svg and zorv.plot: the animation and the filmstrip are well-formed
SVG with one frame per step, drawn where the trace says, and the animation
shows exactly one frame at any moment of its loop; every picture scales to
its window and keeps its texts inside, and the legends and the body drawing
say what the model does."""
import math
import random
import xml.etree.ElementTree as ET
from fractions import Fraction

import numpy as np
import pytest

import zorv
from zorv import plot, svg
from zorv.body import JOINT_NAMES, JOINTS, LINK_LIMBS, LINKS
from zorv.plot import nice_ticks
from zorv.records import Curve, History
from zorv.display.svg_document import text_width

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
        assert f"head distance {positions[-1, zorv.HEAD, 0]:.3f} after {len(positions)} steps" \
            in texts
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
            ticks = {float(t.get("x1")) for t in frame.findall(f"{NS}line[@class='tick']")}
            labelled = {float(t.get("x")): int(t.text)
                        for t in frame.findall(f"{NS}text[@class='ticklabel']")}
            assert len(labelled) >= 2 and set(labelled) <= ticks  # each label at its tick
            (ta, a), (tb, b) = sorted(labelled.items())[:2]
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


def chart(*maxima, restarts=()):
    """A convergence chart of made-up searches, one per maximum of plans
    scored, the first restarted at the entries given."""
    curves = []
    for i, most in enumerate(maxima):
        history = History()
        for k in range(1, 41):
            history.append(round(most * k / 40), 2.0 + i + k / 7, 1.0, most * k / 4e6)
        history.run_starts += list(restarts) if i == 0 else []
        curves.append(Curve(f"search {i}", history))
    return parse(plot.convergence(curves))


def gait_animation(plan):
    """An animation with its gait diagram and torque chart."""
    record = zorv.record_run(plan)
    return svg.animation(record.positions, contacts=record.contacts, torques=record.torques)


PICTURES = {
    "animation": lambda: svg.animation(zorv.trace(PLANS["random"])),
    "gait animation": lambda: gait_animation(PLANS["random"]),
    "filmstrip": lambda: svg.filmstrip(zorv.trace(PLANS["random"])),
    "body": lambda: svg.body_diagram(zorv.trace(PLANS["zeros"])[0]),
    "chart": lambda: plot.convergence([Curve("a", History([5, 2_450_000], [1.5, 2.5],
                                                               [1.0, 1.0], [0.1, 9.0]))]),
}


@pytest.mark.parametrize("kind", [*sorted(PICTURES), "long title"])
def test_every_picture_is_recognised_as_zorvs_from_its_first_bytes(kind):
    # The commands that draw pictures replace their own earlier ones unasked.
    from zorv.display.svg_document import HEAD_BYTES, drawn_by_zorv
    draw = PICTURES.get(kind, lambda: svg.animation(zorv.trace(PLANS["zeros"]), title="t" * 1000))
    assert drawn_by_zorv(draw().encode("utf-8")[:HEAD_BYTES])


#: DejaVu Sans's widths of the characters of tick labels, per unit of font
#: size: the widest of the usual sans-serif fonts.
DIGIT_WIDTHS = {**dict.fromkeys("0123456789", 0.636), ",": 0.318, ".": 0.318, "-": 0.361}


def view_box(root):
    left, top, width, height = map(float, root.get("viewBox").split())
    assert (left, top) == (0, 0) and width > 0 and height > 0
    return width, height


def texts_with_positions(element, dx=0.0, dy=0.0):
    """Every text with its position in the whole picture, through the
    translations of the groups it is in."""
    transform = element.get("transform", "")
    if transform.startswith("translate(") and transform.endswith(")") and "rotate" not in transform:
        x, y = map(float, transform[len("translate("):-1].split(","))
        dx, dy = dx + x, dy + y
    if element.tag == f"{NS}text" and "rotate" not in transform:
        yield element, dx + float(element.get("x")), dy + float(element.get("y"))
    for child in element:
        yield from texts_with_positions(child, dx, dy)


class TestFitsItsWindow:
    @pytest.mark.parametrize("kind", sorted(PICTURES))
    def test_scales_to_its_window_with_every_text_inside(self, kind):
        root = parse(PICTURES[kind]())
        # No size of its own: a browser fits the viewBox to the window.
        assert root.get("width") is None and root.get("height") is None
        width, height = view_box(root)
        background = root.find(f"{NS}rect")
        assert (float(background.get("width")), float(background.get("height"))) == (width,
                                                                                       height)
        texts = list(texts_with_positions(root))
        assert texts
        for text, x, y in texts:
            assert 0 <= x <= width and 10 <= y <= height, (kind, text.text, x, y)

    @pytest.mark.parametrize("most", [7_680, 100_096, 305_000, 2_450_000, 99_999_999])
    def test_x_axis_ends_near_the_data_with_its_last_label_inside(self, most):
        root = chart(most, most // 3)
        width, _ = view_box(root)
        area = root.find(f"{NS}rect[@class='frame plot-area']")
        left, right = float(area.get("x")), float(area.get("x")) + float(area.get("width"))
        farthest = max(float(p.split(",")[0]) for line in root.iter(f"{NS}polyline")
                       for p in line.get("points").split())
        assert left + 0.95 * (right - left) <= farthest <= right
        labels = [t for t in root.iter(f"{NS}text") if t.get("class") == "ticklabel x"]
        values = [float(t.text.replace(",", "")) for t in labels]
        assert values[0] == 0 and values == sorted(values) and len(values) >= 4
        assert values[-1] - (values[1] - values[0]) < most  # none left out at the end
        last = labels[-1]
        assert last.get("text-anchor") == "middle"
        half = sum(DIGIT_WIDTHS[c] for c in last.text) * 11 / 2
        assert float(last.get("x")) + half <= width
        assert float(last.get("x")) <= right


def long_run(units):
    """A made-up trace whose runner walks `units` model units."""
    pose = zorv.trace(PLANS["zeros"])[0]
    steps = np.linspace(0.0, units, 60)
    return np.stack([pose + np.array([shift, 0.0]) for shift in steps])


def font_sizes(root):
    """The font size of each class, as the picture's style sheet gives it."""
    import re
    style = root.find(f"{NS}style").text
    return {name: float(size) for name, size in
            re.findall(r"\.([\w-]+) \{[^}]*font: ([\d.]+)px", style)}


def font_rule(root, name):
    """The style sheet's rule for a class."""
    import re
    return re.search(rf"\.{name} \{{([^}}]*)\}}", root.find(f"{NS}style").text).group(1)


LEGIBLE = {**PICTURES,
           "long animation": lambda: svg.animation(long_run(60.0), title="a long run"),
           "wide filmstrip": lambda: svg.filmstrip(long_run(60.0), frames=12, columns=6),
           "many charts": lambda: plot.convergence([Curve(f"search {i} of many, " * 3, History(
               [5, 99_999_999], [1.5, 2.5 + i], [1.0, 1.0], [0.1, 9.0])) for i in range(9)])}


class TestLegible:
    """Pages show pictures scaled to their column: text must be tall enough
    there and on a phone, and must not run off the picture or into the
    next label."""

    @pytest.mark.parametrize("kind", sorted(LEGIBLE))
    def test_every_text_is_legible_on_a_page_and_on_a_phone(self, kind):
        root = parse(LEGIBLE[kind]())
        width, _ = view_box(root)
        sizes = font_sizes(root)
        for text, x, _ in texts_with_positions(root):
            size = next(sizes[c] for c in text.get("class").split() if c in sizes)
            # The manual's column at a desktop window, and a phone's.
            assert size * 688 / width >= 11 and size * 358 / width >= 8.5, (kind, text.text)
            if text.get("text-anchor", "start") == "start" and "rotate" not in text.get(
                    "transform", ""):
                # A wrapped text's lines each start where its <tspan> says.
                lines = [(float(span.get("x")) - float(text.get("x")), span.text)
                         for span in text] or [(0.0, text.text)]
                for dx, words in lines:
                    assert x + dx + text_width(words, size) <= width + 0.01, (kind, words)

    @pytest.mark.parametrize("units", [3.0, 12.0, 60.0, 400.0])
    def test_ground_labels_leave_room_between_them(self, units):
        root = parse(svg.animation(long_run(units)))
        size = font_sizes(root)["ticklabel"]
        labels = sorted((float(t.get("x")), t.text) for t in root.iter(f"{NS}text")
                        if t.get("class") == "ticklabel")
        assert len(labels) >= 3
        for (x0, a), (x1, b) in zip(labels, labels[1:]):
            assert x1 - x0 >= (text_width(a, size) + text_width(b, size)) / 2 + size / 2

    def test_best_so_far_is_drawn_as_the_step_function_it_is(self):
        history = History()
        for k, best in enumerate([1.0, 1.5, 1.5, 1.5, 2.0, 3.5, 3.5], start=1):
            history.append(100 * k, best, 0.5, 0.1 * k)
        root = parse(plot.convergence([Curve("steps", history)]))
        [curve] = root.iter(f"{NS}polyline")
        points = [tuple(map(float, p.split(","))) for p in curve.get("points").split()]
        # Level, then straight up where a generation beats the best: corners
        # at the generations that do, and the last generation's end.
        xs = sorted({x for x, _ in points})
        ys = sorted({y for _, y in points}, reverse=True)  # pixels: up is smaller
        assert len(xs) == 5 and len(ys) == 4 and len(points) == 8
        for (x0, y0), (x1, y1) in zip(points, points[1:]):
            assert (y0 == y1 and x1 > x0) or (x0 == x1 and y1 < y0)
        assert points[0] == (xs[0], ys[0]) and points[-1] == (xs[-1], ys[-1])


def legend_colours(root):
    """The legend's texts, each with the colour of the line before it."""
    shown = {}
    for group in root.iter(f"{NS}g"):
        if group.get("class") == "legend":
            children = list(group)
            for before, text in zip(children, children[1:]):
                if text.tag == f"{NS}text" and before.tag == f"{NS}line":
                    shown[text.text] = before.get("stroke")
    return shown


class TestSaysWhatItShows:
    @pytest.mark.parametrize("kind", ["animation", "filmstrip", "body"])
    def test_legend_names_each_leg_in_the_colour_it_is_drawn(self, kind):
        root = parse(PICTURES[kind]())
        # The first frame's links, in link order.
        link_colours = [line.get("stroke") for line in root.iter(f"{NS}line")
                        if line.get("class") == "link"][:len(LINKS)]
        limbs = {limb: {c for c, l in zip(link_colours, LINK_LIMBS) if l == limb}
                 for limb in ("leg_a", "leg_b")}
        shown = legend_colours(root)
        assert {shown["leg a"]} == limbs["leg_a"] and {shown["leg b"]} == limbs["leg_b"]
        assert limbs["leg_a"] != limbs["leg_b"]
        assert "model units" in "".join(root.itertext())

    def test_body_names_each_point_beside_it(self):
        pose = zorv.trace(PLANS["zeros"])[0]
        root = parse(svg.body_diagram(pose))
        circles = {c.get("class").split()[-1]: c for c in root.iter(f"{NS}circle")}
        names = [t for t in root.iter(f"{NS}text") if t.get("class") == "name point-name"]
        assert sorted(t.text for t in names) == sorted(n.replace("_", " ") for n in zorv.POINTS)
        for text in names:
            circle = circles[text.text.replace(" ", "_")]
            assert text.get("fill") == circle.get("fill")
            assert math.dist((float(text.get("x")), float(text.get("y"))),
                             (float(circle.get("cx")), float(circle.get("cy")))) < 25
        # Each command's notes in its arrows' colour, which no style overrides.
        arrows = {a.get("data-joint"): a.get("stroke") for a in root.iter(f"{NS}polyline")}
        notes = {t.text.split(" command")[0]: t.get("fill") for t in root.iter(f"{NS}text")
                 if t.get("class") == "note" and " command, " in t.text}
        assert notes == {"hip": arrows["hip_joint_a"], "knee": arrows["knee_joint_a"]}
        assert "fill" not in font_rule(root, "note")
        # Its own words for the start: the head's x as the pose has it.
        assert f"x = {pose[zorv.HEAD, 0]:.2f}" in " ".join(" ".join(root.itertext()).split())

    def test_body_arrows_turn_the_links_the_way_the_model_does(self):
        # A command held at +1, then at -1: the model's runs say which way
        # each joint's child link turns about its parent.
        def relative_angles(plan):
            points = zorv.trace(plan)[30]
            angles = [math.atan2(*(points[b] - points[a])[::-1]) for a, b in LINKS]
            return {name: angles[child] - angles[parent]
                    for name, (parent, child) in zip(JOINT_NAMES, JOINTS)}

        turned = {}
        for channel, command in (("hip", [1.0, 0.0]), ("knee", [0.0, 1.0])):
            up = relative_angles(command * 20)
            down = relative_angles([-v for v in command] * 20)
            for name in JOINT_NAMES:
                if name.startswith(channel):
                    change = math.remainder(up[name] - down[name], math.tau)
                    assert abs(change) > 0.5
                    turned[name] = math.copysign(1, change)
        root = parse(svg.body_diagram(zorv.trace(PLANS["zeros"])[0]))
        arrows = {a.get("data-joint"): a for a in root.iter(f"{NS}polyline")}
        assert sorted(arrows) == sorted(JOINT_NAMES)
        circles = list(root.iter(f"{NS}circle"))
        for name, arrow in arrows.items():
            (x0, y0), *_, (x1, y1) = [tuple(map(float, p.split(",")))
                                      for p in arrow.get("points").split()]
            # The arrow's sense about the joint it rings, y pointing down.
            joint_point = LINKS[JOINTS[JOINT_NAMES.index(name)][1]][0]
            cx, cy = (float(circles[joint_point].get(k)) for k in ("cx", "cy"))
            cross = (x0 - cx) * -(y1 - cy) - -(y0 - cy) * (x1 - cx)
            assert math.copysign(1, cross) == turned[name], name

    def test_chart_draws_results_files_and_curves_alike(self, tmp_path):
        from zorv.checkpoints import save
        from zorv.files.reading import InputFileError
        result = zorv.search(zorv.SearchSettings(popsize=8, generations=4,
                                                 restart_schedule="bipop"))
        save(tmp_path / "result.json", result)
        own = Curve("mine", result.history)
        root = parse(plot.convergence([result, tmp_path / "result.json",
                                       str(tmp_path / "result.json"), own]))
        curves = [line.get("points") for line in root.iter(f"{NS}polyline")]
        assert len(curves) == 4 and len(set(curves)) == 1
        settings = "builtin, boundary penalty, popsize 8, seed 1, bipop restarts"
        legend = [" ".join(" ".join(t.itertext()).split()) for t in root.iter(f"{NS}text")
                  if t.get("class") == "legend"]
        best = f": best {result.score:.3f}"
        assert legend == [settings + best, f"{tmp_path / 'result.json'} ({settings})" + best,
                          f"{tmp_path / 'result.json'} ({settings})" + best, "mine" + best]
        (tmp_path / "plan.json").write_text("[0.0]")
        with pytest.raises(InputFileError, match="holds no search history"):
            plot.convergence([result, tmp_path / "plan.json"])
        with pytest.raises(TypeError, match="not History"):
            plot.convergence([result.history])

    def test_chart_explains_its_rings_only_when_it_has_them(self):
        def ring_keys(root):
            return [t for t in root.iter(f"{NS}text") if "restart-key" in t.get("class", "")]
        with_rings = chart(50_000, 60_000, restarts=[12, 30])
        assert len(with_rings.findall(f"{NS}circle[@class='restart']")) == 2
        assert [t.text for t in ring_keys(with_rings)] == ["restart: a new run begins"]
        without = chart(50_000, 60_000)
        assert not without.findall(f"{NS}circle[@class='restart']") and not ring_keys(without)
        legend = [" ".join(t.text.split()) for t in without.iter(f"{NS}text")
                  if t.get("class") == "legend"]
        assert legend == ["search 0: best 7.714", "search 1: best 8.714"]
        titles = [t.text for t in without.iter(f"{NS}text") if t.get("class") == "axistitle"]
        assert titles == ["plans scored", "best distance so far (model units)"]
