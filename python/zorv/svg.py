"""Pictures of a run as SVG: an animation, or a static filmstrip."""
from __future__ import annotations

import math
from xml.sax.saxutils import escape

import numpy as np
import numpy.typing as npt

from .body import HEAD, LINK_LIMBS, LINKS, POINTS
from .svg_document import document, header
from .svg_document import number as _f

Trace = npt.NDArray[np.float64]

#: Seconds of playback per simulated step, and how long the last pose is
#: held before the animation starts over.
SECONDS_PER_STEP = 0.04
HOLD_SECONDS = 1.5

_SCALE = 100.0  # pixels per model unit
_MARGIN = 24.0
_TEXT_BAND = 44.0  # room above the scene for the labels

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
"""


class _View:
    """Maps model coordinates (y up, ground at 0) to pixels (y down)."""

    def __init__(self, x_min: float, x_max: float, y_max: float) -> None:
        self.x_min = x_min
        self.width = (x_max - x_min) * _SCALE + 2 * _MARGIN
        self.scene_height = y_max * _SCALE + 2 * _MARGIN
        self.height = self.scene_height + _TEXT_BAND

    def px(self, x: float) -> float:
        return (x - self.x_min) * _SCALE + _MARGIN

    def py(self, y: float) -> float:
        return _TEXT_BAND + self.scene_height - _MARGIN - y * _SCALE


def _view_for(positions: Trace) -> _View:
    xs = positions[..., 0]
    ys = positions[..., 1]
    finite_x = xs[np.isfinite(xs)]
    finite_y = ys[np.isfinite(ys)]
    x_min = float(finite_x.min()) if finite_x.size else -1.0
    x_max = float(finite_x.max()) if finite_x.size else 1.0
    y_max = float(finite_y.max()) if finite_y.size else 2.0
    x_min, x_max = math.floor(x_min - 0.25), math.ceil(x_max + 0.25)
    return _View(x_min, x_max, max(y_max, 2.0) + 0.1)


def _ground(view: _View, x_lo: float, x_hi: float) -> list[str]:
    y0 = view.py(0.0)
    out = [f'<line class="ground" x1="{_f(view.px(x_lo))}" y1="{_f(y0)}" '
           f'x2="{_f(view.px(x_hi))}" y2="{_f(y0)}"/>']
    for metre in range(math.ceil(x_lo), math.floor(x_hi) + 1):
        x = view.px(metre)
        out.append(f'<line class="tick" x1="{_f(x)}" y1="{_f(y0)}" x2="{_f(x)}" '
                   f'y2="{_f(y0 + 6)}"/>')
        out.append(f'<text class="ticklabel" x="{_f(x)}" y="{_f(y0 + 18)}">{metre}</text>')
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
    return f"head distance {float(positions[-1, HEAD, 0])!r} after {steps} steps"


def animation(positions: Trace, *, title: str = "zorv run") -> str:
    """An animated SVG of the run: one frame per step, looping forever.

    Frames are `<g class="frame">` groups shown one at a time by SMIL
    `<animate>`, which every current browser plays.
    """
    steps = len(positions)
    if steps == 0:
        raise ValueError("a run has at least one step")
    view = _view_for(positions)
    cycle = steps * SECONDS_PER_STEP + HOLD_SECONDS
    out = header(view.width, view.height, f"{title}: {_summary(positions)}", _STYLE)
    out.append(f'<text class="label" x="{_MARGIN}" y="20">{escape(title)}: '
               f"{escape(_summary(positions))}</text>")
    out += _ground(view, view.x_min, view.x_min + (view.width - 2 * _MARGIN) / _SCALE)
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
    height_view = _view_for(positions)  # the same heights in every panel
    columns = max(1, min(columns, len(chosen)))
    rows = -(-len(chosen) // columns)
    panel_width = window * _SCALE + 2 * _MARGIN
    panel_height = height_view.height
    width, height = columns * panel_width, rows * panel_height + 30
    out = header(width, height, f"{title}: {_summary(positions)}", _STYLE)
    out.append(f'<text class="label" x="{_MARGIN}" y="20">{escape(title)}: '
               f"{escape(_summary(positions))}</text>")
    for i, (k, (lo, hi)) in enumerate(zip(chosen, spans)):
        x_min = (lo + hi) / 2 - window / 2
        view = _View(x_min, x_min + window, (height_view.scene_height - 2 * _MARGIN) / _SCALE)
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
    return document(out)
