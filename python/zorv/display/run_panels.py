"""The panels under a run's animation, on one axis of steps: each foot's
ground contact as bars (a gait diagram), and the joints' torques."""
from __future__ import annotations

from collections.abc import Sequence
from xml.sax.saxutils import escape

import numpy as np
import numpy.typing as npt

from ..body import FEET, JOINT_NAMES, POINTS
from ..motion.contacts import contact_spans
from .svg_document import number as _f, text_width

Trace = npt.NDArray[np.float64]

#: The torque chart's height, in text lines.
TORQUE_LINES = 7


class StepAxis:
    """The panels under the animation: steps across, from `left` to
    `right`, under the scene; their captions begin at `caption_x`."""

    def __init__(self, steps: int, left: float, right: float, caption_x: float) -> None:
        self.steps = steps
        self.left = left
        self.right = right
        self.caption_x = caption_x

    def x(self, step: float) -> float:
        return self.left + step * (self.right - self.left) / self.steps


def gait_panel(contacts: npt.NDArray[np.bool_], axis: StepAxis, top: float, size: float,
               line: float, point_colours: Sequence[str]) -> tuple[list[str], float]:
    """Each foot's ground contact as bars over the steps, in its point's
    colour, with text of `size` on lines `line` apart: its lines, and the
    height it takes."""
    out = [f'<text class="caption" x="{axis.caption_x}" y="{_f(top + size)}">ground contact '
           "of each foot, by step</text>"]
    row_top = top + line
    for row, point in enumerate(FEET):
        y = row_top + row * line
        out.append(f'<text class="legend" x="{axis.caption_x}" y="{_f(y + 0.75 * size)}">'
                   f'{escape(POINTS[point].replace("_", " "))}</text>')
        out.append(f'<rect class="gait-row" x="{_f(axis.left)}" y="{_f(y)}" '
                   f'width="{_f(axis.right - axis.left)}" height="{_f(size)}"/>')
        for first, count in contact_spans(contacts[:, point]):
            out.append(f'<rect class="contact" data-point="{POINTS[point]}" '
                       f'data-step="{first}" data-steps="{count}" '
                       f'fill="{point_colours[point]}" x="{_f(axis.x(first))}" y="{_f(y)}" '
                       f'width="{_f(axis.x(first + count) - axis.x(first))}" '
                       f'height="{_f(size)}"/>')
    bottom = row_top + len(FEET) * line
    every = next(step for step in (10, 20, 25, 50, 100, 200, 500)
                 if axis.x(step) - axis.x(0) >= text_width("000", size) + size)
    for step in range(0, axis.steps + 1, every):
        out.append(f'<text class="ticklabel" x="{_f(axis.x(step))}" '
                   f'y="{_f(bottom + 0.5 * size)}">{step}</text>')
    return out, bottom + line - top


def torque_panel(torques: Trace, axis: StepAxis, top: float, size: float, line: float,
                 joint_strokes: Sequence[str]) -> tuple[list[str], float]:
    """Each joint's torque over the steps, around a zero line, drawn with
    its stroke attributes: its lines, and the height it takes."""
    finite = np.abs(torques[np.isfinite(torques)])
    most = float(finite.max()) if finite.size and finite.max() > 0 else 1.0
    chart_top = top + line
    middle = chart_top + TORQUE_LINES * line / 2
    half = TORQUE_LINES * line / 2

    def y(value: float) -> float:
        return middle - value / most * half

    out = [f'<text class="caption" x="{axis.caption_x}" y="{_f(top + size)}">joint torques, '
           f"by step (at most {most:.3g})</text>",
           f'<line class="tick" x1="{_f(axis.left)}" y1="{_f(middle)}" x2="{_f(axis.right)}" '
           f'y2="{_f(middle)}"/>']
    for joint, (name, stroke) in enumerate(zip(JOINT_NAMES, joint_strokes)):
        points = " ".join(f"{_f(axis.x(k + 0.5))},{_f(y(float(value)))}"
                          for k, value in enumerate(torques[:, joint]))
        out.append(f'<polyline class="torque" data-joint="{name}" {stroke} points="{points}"/>')
    return out, TORQUE_LINES * line + 1.5 * line
