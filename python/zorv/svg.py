"""Pictures of a run as SVG: an animation, a static filmstrip, and a
labelled drawing of the body."""
from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from xml.sax.saxutils import escape

import numpy as np
import numpy.typing as npt

from .body import FEET, HEAD, JOINTS, JOINT_NAMES, LINKS, LINK_LIMBS, PLAN_SIZE, POINTS
from .display.run_panels import StepAxis, gait_panel, torque_panel
from .display.svg_document import document, header, number as _f, text_size, text_width, wrap


Trace = npt.NDArray[np.float64]

#: Seconds of playback per simulated step, and how long the last pose is
#: held before the animation starts over.
SECONDS_PER_STEP = 0.04
HOLD_SECONDS = 1.5

_SCALE = 100.0  # pixels per model unit
#: The widest an animation is drawn: long runs get fewer pixels per unit,
#: so that the runner keeps its size when a window of about this width
#: shows the whole run.
_MOST_WIDTH = 1000.0
#: The narrowest a scene is drawn: its texts are sized by its width.
_LEAST_WIDTH = 600.0
_MARGIN = 24.0
_LINE = 1.3  # lines of text, in font sizes apart

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

@dataclass(frozen=True)
class _Text:
    """The font sizes of a picture, as shares of its width (see
    zorv.display.svg_document.text_size): its heading's, and every other text's."""

    size: float
    heading: float

    @classmethod
    def for_width(cls, width: float) -> _Text:
        return cls(text_size(width), text_size(width, 1.15))

    @property
    def line(self) -> float:
        return _LINE * self.size


def _style(text: _Text) -> str:
    return f"""
    .ground {{ stroke: #495057; stroke-width: 2; }}
    .tick {{ stroke: #adb5bd; stroke-width: 1; }}
    .ticklabel {{ font: {_f(text.size)}px sans-serif; fill: #6c757d; text-anchor: middle; }}
    .trail {{ fill: none; stroke: #868e96; stroke-width: 1.5; stroke-dasharray: 4 4; }}
    .link {{ stroke-width: 4; stroke-linecap: round; }}
    .label {{ font: {_f(text.heading)}px sans-serif; fill: #212529; }}
    .caption {{ font: {_f(text.size)}px sans-serif; fill: #495057; }}
    .legend {{ font: {_f(text.size)}px sans-serif; fill: #495057; }}
    .swatch {{ stroke-width: 4; stroke-linecap: round; }}
    .gait-row {{ fill: #f1f3f5; }}
    .torque {{ fill: none; stroke-width: 1.5; }}
    .cursor {{ stroke: #212529; stroke-width: 1.5; stroke-opacity: 0.6; }}
"""

#: The legend's entries for the legs: their names and their limbs.
_LEGS = (("leg a", "leg_a"), ("leg b", "leg_b"))
#: What the numbers under the ground measure.
_GROUND_NOTE = "ground: x in model units"


def _entry_width(entry: tuple[str, str | None], text: _Text) -> float:
    words, swatch = entry
    return text_width(words, text.size) + (1.5 * text.size if swatch else 0.0)


def _legend_rows(entries: Sequence[tuple[str, str | None]], text: _Text,
                 room: float) -> list[list[tuple[str, str | None]]]:
    """The entries in rows that fit `room`, in order."""
    rows: list[list[tuple[str, str | None]]] = [[]]
    used = 0.0
    for entry in entries:
        width = _entry_width(entry, text)
        if rows[-1] and used + text.size + width > room:
            rows.append([])
            used = 0.0
        used += (text.size if rows[-1] else 0.0) + width
        rows[-1].append(entry)
    return rows


def _legend(rows: Sequence[Sequence[tuple[str, str | None]]], text: _Text, x0: float,
            y: float) -> list[str]:
    """The legend's rows from x0, the first centred on height y: each entry
    a text after a short line drawn with the given attributes, or the text
    alone (None)."""
    out = ['<g class="legend">']
    for row, entries in enumerate(rows):
        x, middle = x0, y + row * text.line
        for words, swatch in entries:
            if swatch is not None:
                out.append(f'  <line {swatch} x1="{_f(x + 2)}" y1="{_f(middle)}" '
                           f'x2="{_f(x + 1.1 * text.size)}" y2="{_f(middle)}"/>')
                x += 1.5 * text.size
            out.append(f'  <text class="legend" x="{_f(x)}" y="{_f(middle + 0.35 * text.size)}">'
                       f"{escape(words)}</text>")
            x += text_width(words, text.size) + text.size
    out.append("</g>")
    return out


def _heading(words: str, text: _Text, width: float) -> list[str]:
    """The heading's lines, wrapped to the picture's width."""
    return wrap(words, text.heading, width - 2 * _MARGIN)


def _heading_lines(lines: Sequence[str], text: _Text) -> list[str]:
    return [f'<text class="label" x="{_MARGIN}" '
            f'y="{_f(_MARGIN / 2 + text.heading * (1 + _LINE * row))}">{escape(line)}</text>'
            for row, line in enumerate(lines)]


def _heading_height(lines: Sequence[str], text: _Text) -> float:
    return _MARGIN / 2 + _LINE * text.heading * len(lines)


def _leg_entries() -> list[tuple[str, str | None]]:
    return [(name, f'class="swatch" stroke="{_LIMB_COLOURS[limb]}"') for name, limb in _LEGS]


class _View:
    """Maps model coordinates (y up, ground at 0) to pixels (y down), below
    a band of `top` pixels for texts, above room for the ground's labels."""

    def __init__(self, x_min: float, x_max: float, y_max: float, scale: float = _SCALE,
                 top: float = 0.0, ground_labels: float = _MARGIN) -> None:
        self.x_min = x_min
        self.scale = scale
        self.top = top
        self.width = (x_max - x_min) * scale + 2 * _MARGIN
        self.ground_y = top + _MARGIN + y_max * scale
        self.height = self.ground_y + 6 + ground_labels

    def px(self, x: float) -> float:
        return (x - self.x_min) * self.scale + _MARGIN

    def py(self, y: float) -> float:
        return self.ground_y - y * self.scale


def _top_of(positions: Trace) -> float:
    """The height, in model units, that a scene of the run reaches up to."""
    ys = positions[..., 1][np.isfinite(positions[..., 1])]
    return max(float(ys.max()) if ys.size else 2.0, 2.0) + 0.1


def _span_for(positions: Trace) -> tuple[float, float, float]:
    """The x range, in whole model units, that holds every point of the
    run, and at least _LEAST_WIDTH pixels, and the pixels per unit."""
    xs = positions[..., 0][np.isfinite(positions[..., 0])]
    x_min = math.floor(float(xs.min()) - 0.25) if xs.size else -2
    x_max = math.ceil(float(xs.max()) + 0.25) if xs.size else 2
    scale = min(_SCALE, (_MOST_WIDTH - 2 * _MARGIN) / (x_max - x_min))
    x_max = max(x_max, x_min + math.ceil((_LEAST_WIDTH - 2 * _MARGIN) / scale))
    return x_min, x_max, scale


def _label_step(view: _View, x_lo: float, x_hi: float, text: _Text) -> int:
    """Every how many units the ground is labelled: the fewest that leave a
    label's width and a gap between two labels."""
    widest = max(text_width(str(unit), text.size)
                 for unit in (math.ceil(x_lo), math.floor(x_hi)))
    return next(step for step in (1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 10**9)
                if step * view.scale >= widest + text.size)


def _ground(view: _View, x_lo: float, x_hi: float, text: _Text) -> list[str]:
    y0 = view.py(0.0)
    out = [f'<line class="ground" x1="{_f(view.px(x_lo))}" y1="{_f(y0)}" '
           f'x2="{_f(view.px(x_hi))}" y2="{_f(y0)}"/>']
    step = _label_step(view, x_lo, x_hi, text)
    for unit in range(math.ceil(x_lo), math.floor(x_hi) + 1):
        x = view.px(unit)
        out.append(f'<line class="tick" x1="{_f(x)}" y1="{_f(y0)}" x2="{_f(x)}" '
                   f'y2="{_f(y0 + 6)}"/>')
        if unit % step == 0:
            out.append(f'<text class="ticklabel" x="{_f(x)}" y="{_f(y0 + 6 + text.size)}">'
                       f"{unit}</text>")
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


#: How each joint's torque is drawn: in its leg's colour, knees dashed.
_JOINT_STROKES = tuple(
    f'stroke="{_LINK_COLOURS[child]}"' + (' stroke-dasharray="6 4"' if "knee" in name else "")
    for name, (_, child) in zip(JOINT_NAMES, JOINTS))


def animation(positions: Trace, *, title: str = "zorv run",
              contacts: npt.NDArray[np.bool_] | None = None,
              torques: Trace | None = None) -> str:
    """An animated SVG of the run: one frame per step, looping forever.

    Frames are `<g class="frame">` groups shown one at a time by SMIL
    `<animate>`, which every current browser plays. Given the run's
    `contacts` (a zorv.RunRecord's), a gait diagram under the scene shows
    each foot's ground contact as bars over the steps; given its `torques`,
    a chart shows each joint's torque. A line marks the step shown on both.
    """
    steps = len(positions)
    if steps == 0:
        raise ValueError("a run has at least one step")
    heading = f"{title}: {_summary(positions)}"
    x_min, x_max, scale = _span_for(positions)
    width = (x_max - x_min) * scale + 2 * _MARGIN
    text = _Text.for_width(width)
    heading_lines = _heading(heading, text, width)
    caption_y = _heading_height(heading_lines, text) + text.size
    view = _View(x_min, x_max, _top_of(positions), scale, top=caption_y + text.size / 2,
                 ground_labels=text.line)
    legend = _legend_rows([*_leg_entries(), ("head's path", 'class="trail"'),
                           (_GROUND_NOTE, None)], text, width - 2 * _MARGIN)
    cycle = steps * SECONDS_PER_STEP + HOLD_SECONDS
    names_width = max(text_width(POINTS[point].replace("_", " "), text.size) for point in FEET)
    axis = StepAxis(steps, _MARGIN + names_width + text.size, width - _MARGIN, _MARGIN)
    panels: list[str] = []
    # Half a line below the ground's labels, where there are panels.
    gap = 0.0 if contacts is None and torques is None else text.line / 2
    panels_top = panel_top = view.height + gap
    if contacts is not None:
        drawn, taken = gait_panel(np.asarray(contacts, dtype=bool), axis, panel_top,
                                  text.size, text.line, _POINT_COLOURS)
        panels += drawn
        panel_top += taken
    if torques is not None:
        drawn, taken = torque_panel(np.asarray(torques, dtype=np.float64), axis, panel_top,
                                    text.size, text.line, _JOINT_STROKES)
        panels += drawn
        panel_top += taken
        legend = _legend_rows([*[(name.replace("_", " "), f'class="swatch" {stroke}')
                                 for name, stroke in zip(JOINT_NAMES, _JOINT_STROKES)],
                               *[entry for row in legend for entry in row]], text,
                              width - 2 * _MARGIN)
    height = panel_top + (len(legend) + 0.5) * text.line
    out = header(width, height, heading, _style(text))
    out += _heading_lines(heading_lines, text)
    out += _ground(view, x_min, x_max, text)
    trail = " ".join(f"{_f(view.px(x))},{_f(view.py(y))}" for x, y in positions[:, HEAD])
    out.append(f'<polyline class="trail" points="{trail}"/>')
    out += panels  # under the cursor that each frame draws on them
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
        out.append(f'  <text class="caption" x="{_MARGIN}" y="{_f(caption_y)}">'
                   f"step {k + 1} / {steps}, head x {head_x:.3f}</text>")
        if panels:
            at = _f(axis.x(k + 0.5))
            out.append(f'  <line class="cursor" x1="{at}" y1="{_f(panels_top + text.line)}" '
                       f'x2="{at}" y2="{_f(panel_top - text.line / 2)}"/>')
        out.append("</g>")
    out += _legend(legend, text, _MARGIN, panel_top + text.line / 2)
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
    width = columns * panel_width
    text = _Text.for_width(width)
    heading = f"{title}: {_summary(positions)}"
    heading_lines = _heading(heading, text, width)
    heading_height = _heading_height(heading_lines, text) + text.size / 2
    # Each panel says which step it shows; the ground's labels, where.
    caption_y = _MARGIN / 2 + text.size
    panel_height = _View(0.0, window, top, top=caption_y, ground_labels=text.line).height
    legend = _legend_rows([*_leg_entries(), (_GROUND_NOTE, None)], text, width - 2 * _MARGIN)
    height = heading_height + rows * panel_height + (len(legend) + 0.5) * text.line
    out = header(width, height, heading, _style(text))
    out += _heading_lines(heading_lines, text)
    for i, (k, (lo, hi)) in enumerate(zip(chosen, spans)):
        x_min = (lo + hi) / 2 - window / 2
        view = _View(x_min, x_min + window, top, top=caption_y, ground_labels=text.line)
        dx, dy = (i % columns) * panel_width, heading_height + (i // columns) * panel_height
        out.append(f'<g class="frame" data-step="{k + 1}" '
                   f'transform="translate({_f(dx)},{_f(dy)})">')
        out.append(f'  <rect x="2" y="2" width="{_f(panel_width - 4)}" '
                   f'height="{_f(panel_height - 4)}" fill="none" stroke="#dee2e6"/>')
        out += ["  " + line for line in _ground(view, x_min, x_min + window, text)]
        out += _pose(view, positions[k], "  ")
        out.append(f'  <text class="caption" x="{_f(_MARGIN / 2)}" y="{_f(caption_y)}">'
                   f"step {k + 1}</text>")
        out.append("</g>")
    out += _legend(legend, text, _MARGIN, height - (len(legend) - 0.5) * text.line)
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
def _diagram_style(text: _Text) -> str:
    return _style(text) + f"""
    .name {{ font: {_f(text.size)}px sans-serif; }}
    .note {{ font: {_f(text.size)}px sans-serif; }}
    .turn {{ fill: none; stroke-width: 2.5; }}
"""


def _turn(view: _View, joint: str, centre: Trace, radius: float, start: float, end: float,
          colour: str, words: str, text: _Text) -> list[str]:
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
            f'y="{_f(view.py(ty) + 0.35 * text.size)}">{escape(words)}</text>']


def body_diagram(pose: Trace, *, title: str = "The runner's body as a run starts") -> str:
    """A labelled drawing of the body in one pose, such as a trace's first
    step: its six points named, legs a and b in their colours, arrows for
    what a hip command and a knee command of +1 do, and notes on both."""
    (hip_colour, hip_name), (knee_colour, knee_name) = _COMMAND_COLOURS.values()
    points = {name: pose[i] for i, name in enumerate(POINTS)}
    # The drawing on the left, the notes in a column as wide beside it.
    drawing_width = 2 * _DIAGRAM_SCALE + 2 * _MARGIN
    width = 2 * drawing_width
    text = _Text.for_width(width)
    heading_lines = _heading(title, text, width)
    top = _heading_height(heading_lines, text) + text.size
    view = _View(-1.0, 1.0, _top_of(pose[np.newaxis]), _DIAGRAM_SCALE, top=top,
                 ground_labels=text.line)
    notes_x = view.width + text.size / 2
    head_x = f"{points['head'][0]:.2f}"
    notes = [
        (f"hip command, from -1 to +1 ({hip_name} arrows: +1)", hip_colour),
        ("swings the two thighs apart in opposite senses: +1 swings leg a back and leg b "
         "forward, -1 the reverse", None),
        (f"knee command, from -1 to +1 ({knee_name} arrows: +1)", knee_colour),
        ("+1 straightens knee a and bends knee b, -1 the reverse", None),
        (f"A plan holds one of each for each of its {PLAN_SIZE // 2} segments. The run starts "
         "standing on both feet, leg a back and leg b forward, the head at "
         f"x\u00a0=\u00a0{head_x}; its score is the head's x when the run ends.", None),
    ]
    note_lines: list[tuple[float, str, str | None]] = []
    y = top + text.size
    for paragraph, (words, note_colour) in enumerate(notes):
        if paragraph and (note_colour is not None or paragraph == len(notes) - 1):
            y += text.line / 2  # a gap before each command's notes, and before the plan's
        for line in wrap(words, text.size, width - notes_x - _MARGIN):
            note_lines.append((y, line, note_colour))
            y += text.line
    legend = _legend_rows([*_leg_entries(), (_GROUND_NOTE, None)], text, width - 2 * _MARGIN)
    legend_y = max(view.height, y) + text.line / 2
    height = legend_y + (len(legend) - 0.5) * text.line + _MARGIN / 2
    out = header(width, height, title, _diagram_style(text))
    out.append("<defs>")
    for colour in (hip_colour, knee_colour):
        out.append(f'  <marker id="head-{colour[1:]}" viewBox="0 0 10 10" refX="7" refY="5" '
                   f'markerWidth="7" markerHeight="7" orient="auto">'
                   f'<path d="M0,0 L10,5 L0,10 z" fill="{colour}"/></marker>')
    out.append("</defs>")
    out += _heading_lines(heading_lines, text)
    out += _ground(view, -1.0, 1.0, text)
    out += _pose(view, pose, "")
    for point, name in enumerate(POINTS):
        nudge_x, nudge_y, anchor = _NAME_OFFSETS.get(name, (12, 5, "start"))
        x = view.px(pose[point, 0]) + nudge_x
        y = view.py(pose[point, 1]) + nudge_y + 0.35 * text.size - 5
        out.append(f'<text class="name point-name" fill="{_POINT_COLOURS[point]}" '
                   f'text-anchor="{anchor}" x="{_f(x)}" y="{_f(y)}">'
                   f'{name.replace("_", " ")}</text>')
    # The legs' names beside the middles of their shins, the torso's beside it.
    for limb, (a, b), beside, anchor in (("leg a", ("knee_a", "foot_a"), -0.22, "end"),
                                          ("leg b", ("knee_b", "foot_b"), 0.2, "start"),
                                          ("torso", ("hip", "head"), 0.1, "start")):
        middle_x, middle_y = (points[a] + points[b]) / 2
        out.append(f'<text class="name" fill="{_LIMB_COLOURS[limb.replace(" ", "_")]}" '
                   f'text-anchor="{anchor}" x="{_f(view.px(middle_x + beside))}" '
                   f'y="{_f(view.py(middle_y) + 0.35 * text.size)}">{limb}</text>')
    # What +1 does: an arrow at each joint, from its child link onwards.
    for joint, (_, child) in zip(JOINT_NAMES, JOINTS):
        centre, end = pose[LINKS[child][0]], pose[LINKS[child][1]]
        start = math.atan2(end[1] - centre[1], end[0] - centre[0])
        kind = joint.split("_")[0]
        out += _turn(view, joint, centre, _TURN_RADII[kind],
                     start, start + _TURN_AT_PLUS_ONE[joint] * _TURN_ANGLE,
                     _COMMAND_COLOURS[kind][0], "+1", text)
    for y, line, note_colour in note_lines:
        # An attribute, which a fill in the style sheet would override.
        out.append(f'<text class="note" fill="{note_colour or "#212529"}" x="{_f(notes_x)}" '
                   f'y="{_f(y)}">{escape(line)}</text>')
    out += _legend(legend, text, _MARGIN, legend_y)
    return document(out)
