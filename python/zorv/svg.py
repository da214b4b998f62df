"""Pictures of a run as SVG: an animation, a static filmstrip, and a
labelled drawing of the body."""
from __future__ import annotations

import math
from collections.abc import Sequence
from xml.sax.saxutils import escape

import numpy as np
import numpy.typing as npt

from .body import HEAD, JOINT_NAMES, JOINTS, LINK_LIMBS, LINKS, PLAN_SIZE, POINTS
from .svg_document import document, header, text_width
from .svg_document import number as _f

Trace = npt.NDArray[np.float64]

#: Seconds of playback per simulated step, and how long the last pose is
#: held before the animation starts over.
SECONDS_PER_STEP = 0.04
HOLD_SECONDS = 1.5

_SCALE = 100.0  # pixels per model unit
#: The widest an animation is drawn: long runs get fewer pixels per unit,
#: so that the text keeps its size when a window of about this width shows
#: the whole run.
_MOST_WIDTH = 1000.0
_MARGIN = 24.0
_TEXT_BAND = 44.0  # room above the scene for the labels
_LEGEND_BAND = 26.0  # room below the scene for the legend
_TITLE_FONT, _LEGEND_FONT = 14.0, 12.0  # as the style sheet sizes .label and .legend

# Each limb has a colour, and every link is drawn in its limb's: a limb
# without a colour fails here, at import, rather than going undrawn.
_LIMB_COLOURS = {"leg_a": "#d9480f", "leg_b": "#1c7ed6", "torso": "#343a40"}
_LINK_COLOURS = tuple(_LIMB_COLOURS[limb] for limb in LINK_LIMBS)


def _point_colour(point: int) -> str:
    """The colour of the link that ends at the point; the torso's for the
    hip, where none ends."""
    for link, (_, distal) in enumerate(LINKS):
        if distal == point:
            return _LINK_COLOURS[link]
    return _LIMB_COLOURS["torso"]


_POINT_COLOURS = tuple(_point_colour(point) for point in range(len(POINTS)))
_POINT_RADII = {"head": 9.0, "hip": 6.0}
_DEFAULT_RADIUS = 4.5

_STYLE = """
    .ground { stroke: #495057; stroke-width: 2; }
    .tick { stroke: #adb5bd; stroke-width: 1; }
    .ticklabel { font: 11px sans-serif; fill: #868e96; text-anchor: middle; }
    .trail { fill: none; stroke: #868e96; stroke-width: 1; stroke-dasharray: 3 3; }
    .link { stroke-width: 4; stroke-linecap: round; }
    .label { font: 14px sans-serif; fill: #212529; }
    .caption { font: 12px sans-serif; fill: #495057; }
    .legend { font: 12px sans-serif; fill: #495057; }
    .swatch { stroke-width: 4; stroke-linecap: round; }
"""

#: The legend's entries for the legs: their names and their limbs.
_LEGS = (("leg a", "leg_a"), ("leg b", "leg_b"))
#: What the numbers under the ground measure.
_GROUND_NOTE = "ground: x in model units"


def _legend(entries: Sequence[tuple[str, str | None]], x: float, y: float) -> list[str]:
    """One row of entries from x, centred on height y: each a text after a
    short line drawn with the given attributes, or the text alone (None)."""
    out = ['<g class="legend">']
    for text, swatch in entries:
        if swatch is not None:
            out.append(f'  <line {swatch} x1="{_f(x + 2)}" y1="{_f(y)}" x2="{_f(x + 22)}" '
                       f'y2="{_f(y)}"/>')
            x += 28
        out.append(f'  <text class="legend" x="{_f(x)}" y="{_f(y + 4)}">{escape(text)}</text>')
        x += text_width(text, _LEGEND_FONT) + 16
    out.append("</g>")
    return out


def _legend_width(entries: Sequence[tuple[str, str | None]]) -> float:
    return sum(text_width(text, _LEGEND_FONT) + 16 + (28 if swatch else 0)
               for text, swatch in entries)


def _leg_entries() -> list[tuple[str, str | None]]:
    return [(name, f'class="swatch" stroke="{_LIMB_COLOURS[limb]}"') for name, limb in _LEGS]


class _View:
    """Maps model coordinates (y up, ground at 0) to pixels (y down)."""

    def __init__(self, x_min: float, x_max: float, y_max: float, scale: float = _SCALE) -> None:
        self.x_min = x_min
        self.scale = scale
        self.width = (x_max - x_min) * scale + 2 * _MARGIN
        self.scene_height = y_max * scale + 2 * _MARGIN
        self.height = self.scene_height + _TEXT_BAND

    def px(self, x: float) -> float:
        return (x - self.x_min) * self.scale + _MARGIN

    def py(self, y: float) -> float:
        return _TEXT_BAND + self.scene_height - _MARGIN - y * self.scale


def _top_of(positions: Trace) -> float:
    """The height, in model units, that a scene of the run reaches up to."""
    ys = positions[..., 1][np.isfinite(positions[..., 1])]
    return max(float(ys.max()) if ys.size else 2.0, 2.0) + 0.1


def _view_for(positions: Trace, min_width: float = 0.0) -> _View:
    """The view that holds every point of the run, and is at least
    min_width pixels wide."""
    xs = positions[..., 0][np.isfinite(positions[..., 0])]
    x_min = math.floor(float(xs.min()) - 0.25) if xs.size else -2
    x_max = math.ceil(float(xs.max()) + 0.25) if xs.size else 2
    scale = min(_SCALE, (_MOST_WIDTH - 2 * _MARGIN) / (x_max - x_min))
    x_max = max(x_max, x_min + math.ceil((min_width - 2 * _MARGIN) / scale))
    return _View(x_min, x_max, _top_of(positions), scale)


def _ground(view: _View, x_lo: float, x_hi: float) -> list[str]:
    y0 = view.py(0.0)
    out = [f'<line class="ground" x1="{_f(view.px(x_lo))}" y1="{_f(y0)}" '
           f'x2="{_f(view.px(x_hi))}" y2="{_f(y0)}"/>']
    for unit in range(math.ceil(x_lo), math.floor(x_hi) + 1):
        x = view.px(unit)
        out.append(f'<line class="tick" x1="{_f(x)}" y1="{_f(y0)}" x2="{_f(x)}" '
                   f'y2="{_f(y0 + 6)}"/>')
        out.append(f'<text class="ticklabel" x="{_f(x)}" y="{_f(y0 + 18)}">{unit}</text>')
    return out


def _pose(view: _View, points: Trace, indent: str) -> list[str]:
    out = []
    for link, (a, b) in enumerate(LINKS):
        out.append(f'{indent}<line class="link" stroke="{_LINK_COLOURS[link]}" '
                   f'x1="{_f(view.px(points[a, 0]))}" y1="{_f(view.py(points[a, 1]))}" '
                   f'x2="{_f(view.px(points[b, 0]))}" y2="{_f(view.py(points[b, 1]))}"/>')
    for point, (name, (x, y)) in enumerate(zip(POINTS, points)):
        radius = _POINT_RADII.get(name, _DEFAULT_RADIUS)
        out.append(f'{indent}<circle class="point {name}" fill="{_POINT_COLOURS[point]}" '
                   f'cx="{_f(view.px(x))}" cy="{_f(view.py(y))}" r="{radius}"/>')
    return out


def _summary(positions: Trace) -> str:
    steps = len(positions)
    return f"head distance {float(positions[-1, HEAD, 0]):.3f} after {steps} steps"


def animation(positions: Trace, *, title: str = "zorv run") -> str:
    """An animated SVG of the run: one frame per step, looping forever.

    Frames are `<g class="frame">` groups shown one at a time by SMIL
    `<animate>`, which every current browser plays.
    """
    steps = len(positions)
    if steps == 0:
        raise ValueError("a run has at least one step")
    heading = f"{title}: {_summary(positions)}"
    legend = [*_leg_entries(), ("head's path", 'class="trail"'), (_GROUND_NOTE, None)]
    view = _view_for(positions, min_width=2 * _MARGIN + max(
        text_width(heading, _TITLE_FONT), _legend_width(legend)))
    cycle = steps * SECONDS_PER_STEP + HOLD_SECONDS
    height = view.height + _LEGEND_BAND
    out = header(view.width, height, heading, _STYLE)
    out.append(f'<text class="label" x="{_MARGIN}" y="20">{escape(heading)}</text>')
    out += _ground(view, view.x_min, view.x_min + (view.width - 2 * _MARGIN) / view.scale)
    trail = " ".join(f"{_f(view.px(x))},{_f(view.py(y))}" for x, y in positions[:, HEAD])
    out.append(f'<polyline class="trail" points="{trail}"/>')
    for k in range(steps):
        start = k * SECONDS_PER_STEP / cycle
        end = (k + 1) * SECONDS_PER_STEP / cycle
        if steps == 1:
            values, times = "1", "0"
        elif k == 0:
            values, times = "1;0", f"0;{end:.6f}"
        elif k == steps - 1:  # held until the loop starts over
            values, times = "0;1", f"0;{start:.6f}"
        else:
            values, times = "0;1;0", f"0;{start:.6f};{end:.6f}"
        initial = "1" if k == 0 else "0"
        out.append(f'<g class="frame" data-step="{k + 1}" opacity="{initial}">')
        out.append(f'  <animate attributeName="opacity" calcMode="discrete" values="{values}" '
                   f'keyTimes="{times}" dur="{cycle:.3f}s" repeatCount="indefinite"/>')
        out += _pose(view, positions[k], "  ")
        head_x = float(positions[k, HEAD, 0])
        out.append(f'  <text class="caption" x="{_MARGIN}" y="38">step {k + 1} / {steps}'
                   f"   head x {head_x:.3f}</text>")
        out.append("</g>")
    out += _legend(legend, _MARGIN, height - _LEGEND_BAND / 2)
    return document(out)


def filmstrip_steps(steps: int, frames: int) -> list[int]:
    """Evenly spread step indices (0-based), always including the last."""
    if frames < 1:
        raise ValueError(f"frames must be at least 1, got {frames}")
    if frames >= steps:
        return list(range(steps))
    if frames == 1:
        return [steps - 1]
    return sorted({round(i * (steps - 1) / (frames - 1)) for i in range(frames)})


def _finite_span(points: Trace) -> tuple[float, float]:
    xs = points[..., 0][np.isfinite(points[..., 0])]
    return (float(xs.min()), float(xs.max())) if xs.size else (0.0, 0.0)


def filmstrip(positions: Trace, *, frames: int = 8, columns: int = 4,
              title: str = "zorv run") -> str:
    """A static SVG: a grid of panels, each the runner at one step.

    The panels follow the runner like a camera: each is centred on its pose,
    and the numbered ground ticks show how far the runner has come.
    """
    steps = len(positions)
    if steps == 0:
        raise ValueError("a run has at least one step")
    chosen = filmstrip_steps(steps, frames)
    spans = [_finite_span(positions[k]) for k in chosen]
    window = max(2.5, max(hi - lo for lo, hi in spans) + 0.6)
    top = _top_of(positions)  # the same heights in every panel
    columns = max(1, min(columns, len(chosen)))
    rows = -(-len(chosen) // columns)
    panel_width = window * _SCALE + 2 * _MARGIN
    panel_height = _View(0.0, window, top).height
    heading = f"{title}: {_summary(positions)}"
    legend = [*_leg_entries(), (_GROUND_NOTE, None)]
    width = max(columns * panel_width, 2 * _MARGIN + max(text_width(heading, _TITLE_FONT),
                                                         _legend_width(legend)))
    height = 30 + rows * panel_height + _LEGEND_BAND
    out = header(width, height, heading, _STYLE)
    out.append(f'<text class="label" x="{_MARGIN}" y="20">{escape(heading)}</text>')
    for i, (k, (lo, hi)) in enumerate(zip(chosen, spans)):
        x_min = (lo + hi) / 2 - window / 2
        view = _View(x_min, x_min + window, top)
        dx, dy = (i % columns) * panel_width, 30 + (i // columns) * panel_height
        out.append(f'<g class="frame" data-step="{k + 1}" '
                   f'transform="translate({_f(dx)},{_f(dy)})">')
        out.append(f'  <rect x="2" y="2" width="{_f(panel_width - 4)}" '
                   f'height="{_f(panel_height - 4)}" fill="none" stroke="#dee2e6"/>')
        out += ["  " + line for line in _ground(view, x_min, x_min + window)]
        out += _pose(view, positions[k], "  ")
        out.append(f'  <text class="caption" x="{_MARGIN}" y="30">step {k + 1} / {steps}'
                   f"   head x {float(positions[k, HEAD, 0]):.3f}</text>")
        out.append("</g>")
    out += _legend(legend, _MARGIN, height - _LEGEND_BAND / 2)
    return document(out)


#: Where each point's name goes in the body drawing, in pixels from the
#: point, and how it is anchored: leg a's to the left, leg b's to the right.
_NAME_OFFSETS = {"hip": (-14, 5, "end"), "knee_a": (-12, 5, "end"), "foot_a": (-12, -2, "end"),
                 "knee_b": (12, 5, "start"), "foot_b": (12, -2, "start"),
                 "head": (15, 5, "start")}
_DIAGRAM_SCALE = 200.0  # pixels per model unit in the body drawing
#: The arrows' colours, and the names the notes give them, by command.
_COMMAND_COLOURS = {"hip": ("#7048e8", "violet"), "knee": ("#2b8a3e", "green")}
#: Which way a command of +1 turns each joint's child link about its
#: parent (+1 counter-clockwise, as x runs forward and y up): the hip
#: command raises leg a's hip target and lowers leg b's, the knee command
#: lowers knee a's bend and raises knee b's.
_TURN_AT_PLUS_ONE = {"hip_joint_a": -1, "knee_joint_a": 1, "hip_joint_b": 1, "knee_joint_b": -1}
#: How far each arrow turns (radians) and its radius (model units).
_TURN_ANGLE = 0.6
_TURN_RADII = {"hip": 0.3, "knee": 0.22}
_DIAGRAM_STYLE = _STYLE + """
    .name { font: 13px sans-serif; }
    .note { font: 13px sans-serif; fill: #212529; }
    .turn { fill: none; stroke-width: 2; }
"""


def _turn(view: _View, joint: str, centre: Trace, radius: float, start: float, end: float,
          colour: str, text: str) -> list[str]:
    """A curved arrow around a joint, from angle start to angle end (model
    radians, counter-clockwise), and its text just outside its middle."""
    angles = np.linspace(start, end, 13)
    points = " ".join(f"{_f(view.px(centre[0] + radius * math.cos(a)))},"
                      f"{_f(view.py(centre[1] + radius * math.sin(a)))}" for a in angles)
    middle = (start + end) / 2
    tx = centre[0] + (radius + 0.08) * math.cos(middle)
    ty = centre[1] + (radius + 0.08) * math.sin(middle)
    anchor = "end" if math.cos(middle) < -0.3 else "start" if math.cos(middle) > 0.3 else "middle"
    return [f'<polyline class="turn" data-joint="{joint}" stroke="{colour}" '
            f'marker-end="url(#head-{colour[1:]})" points="{points}"/>',
            f'<text class="name" fill="{colour}" text-anchor="{anchor}" x="{_f(view.px(tx))}" '
            f'y="{_f(view.py(ty) + 5)}">{escape(text)}</text>']


def body_diagram(pose: Trace, *, title: str = "The runner's body as a run starts") -> str:
    """A labelled drawing of the body in one pose, such as a trace's first
    step: its six points named, legs a and b in their colours, arrows for
    what a hip command and a knee command of +1 do, and notes on both."""
    (hip_colour, hip_name), (knee_colour, knee_name) = _COMMAND_COLOURS.values()
    points = {name: pose[i] for i, name in enumerate(POINTS)}
    view = _View(-1.0, 1.0, _top_of(pose[np.newaxis]), _DIAGRAM_SCALE)
    notes_x = view.width + 10
    notes = [
        (f"hip command, from -1 to +1 ({hip_name} arrows: +1)", hip_colour),
        ("swings the two thighs apart in opposite senses:", None),
        ("+1 swings leg a back and leg b forward, -1 the reverse", None),
        ("", None),
        (f"knee command, from -1 to +1 ({knee_name} arrows: +1)", knee_colour),
        ("+1 straightens knee a and bends knee b, -1 the reverse", None),
        ("", None),
        (f"A plan holds one of each for each of its {PLAN_SIZE // 2} segments.", None),
        ("The run starts standing on both feet, leg a back and", None),
        (f"leg b forward, the head at x = {points['head'][0]:.2f}; its score is", None),
        ("the head's x when the run ends.", None),
    ]
    width = notes_x + max(text_width(text, 13) for text, _ in notes) + _MARGIN
    height = view.height + _LEGEND_BAND
    out = header(width, height, title, _DIAGRAM_STYLE)
    out.append("<defs>")
    for colour in (hip_colour, knee_colour):
        out.append(f'  <marker id="head-{colour[1:]}" viewBox="0 0 10 10" refX="7" refY="5" '
                   f'markerWidth="7" markerHeight="7" orient="auto">'
                   f'<path d="M0,0 L10,5 L0,10 z" fill="{colour}"/></marker>')
    out.append("</defs>")
    out.append(f'<text class="label" x="{_MARGIN}" y="24">{escape(title)}</text>')
    out += _ground(view, -1.0, 1.0)
    out += _pose(view, pose, "")
    for point, name in enumerate(POINTS):
        nudge_x, nudge_y, anchor = _NAME_OFFSETS.get(name, (12, 5, "start"))
        x, y = view.px(pose[point, 0]) + nudge_x, view.py(pose[point, 1]) + nudge_y
        out.append(f'<text class="name point-name" fill="{_POINT_COLOURS[point]}" '
                   f'text-anchor="{anchor}" x="{_f(x)}" y="{_f(y)}">'
                   f'{name.replace("_", " ")}</text>')
    # The legs' names beside the middles of their shins, the torso's beside it.
    for text, (a, b), beside, anchor in (("leg a", ("knee_a", "foot_a"), -0.22, "end"),
                                          ("leg b", ("knee_b", "foot_b"), 0.2, "start"),
                                          ("torso", ("hip", "head"), 0.1, "start")):
        middle_x, middle_y = (points[a] + points[b]) / 2
        out.append(f'<text class="name" fill="{_LIMB_COLOURS[text.replace(" ", "_")]}" '
                   f'text-anchor="{anchor}" x="{_f(view.px(middle_x + beside))}" '
                   f'y="{_f(view.py(middle_y) + 5)}">{text}</text>')
    # What +1 does: an arrow at each joint, from its child link onwards.
    for joint, (_, child) in zip(JOINT_NAMES, JOINTS):
        centre, end = pose[LINKS[child][0]], pose[LINKS[child][1]]
        start = math.atan2(end[1] - centre[1], end[0] - centre[0])
        kind = joint.split("_")[0]
        out += _turn(view, joint, centre, _TURN_RADII[kind],
                     start, start + _TURN_AT_PLUS_ONE[joint] * _TURN_ANGLE,
                     _COMMAND_COLOURS[kind][0], "+1")
    for line, (text, note_colour) in enumerate(notes):
        if not text:
            continue
        fill = f' fill="{note_colour}"' if note_colour else ""
        out.append(f'<text class="note"{fill} x="{_f(notes_x)}" y="{_f(80 + 22 * line)}">'
                   f"{escape(text)}</text>")
    out += _legend([*_leg_entries(), (_GROUND_NOTE, None)], _MARGIN, height - _LEGEND_BAND / 2)
    return document(out)
