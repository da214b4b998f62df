"""Convergence charts of searches as SVG: best distance against evaluations
(or seconds), one curve per search result."""
from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import Union
from xml.sax.saxutils import escape

from .display.svg_document import document, header, number as _f, text_size, text_width, wrap
from .files.reading import load_curve
from .records import Curve, label_for
from .searching.state import SearchResult

#: What the horizontal axis can show: the key into a History, and its title.
X_AXES = {"evaluations": "plans scored", "seconds": "time (s)"}
#: The vertical axis's title: distances are in the model's own units.
Y_TITLE = "best distance so far (model units)"
#: The legend's entry for the rings, on charts that have any.
RESTART_NOTE = "restart: a new run begins"

#: The chart's width; its height follows from its texts' sizes, which are
#: shares of the width (see zorv.display.svg_document.text_size).
_WIDTH = 640.0
_TICK_FONT = text_size(_WIDTH)  # also the legend's
_TITLE_FONT, _AXIS_TITLE_FONT = text_size(_WIDTH, 1.2), text_size(_WIDTH, 1.1)
_MARGIN = 12.0  # between the picture's edge and anything drawn
_LINE = 1.3  # lines of text, in font sizes apart
#: Colour-blind-safe hues, a curve's each (zorv.studies.pictures draws with
#: them too); beyond them the dashes tell curves apart.
COLOURS = ("#0072b2", "#d55e00", "#009e73", "#cc79a7", "#e69f00", "#56b4e9",
           "#000000", "#f0e442")
DASHES = ("", "6 3", "2 3", "8 3 2 3")

_STYLE = f"""
    .frame {{ fill: none; stroke: #495057; stroke-width: 1; }}
    .grid {{ stroke: #e9ecef; stroke-width: 1; }}
    .ticklabel {{ font: {_f(_TICK_FONT)}px sans-serif; fill: #495057; }}
    .axistitle {{ font: {_f(_AXIS_TITLE_FONT)}px sans-serif; fill: #212529; text-anchor: middle; }}
    .label {{ font: {_f(_TITLE_FONT)}px sans-serif; fill: #212529; }}
    .legend {{ font: {_f(_TICK_FONT)}px sans-serif; fill: #212529; }}
    .curve {{ fill: none; stroke-width: 2.5; stroke-linejoin: round; }}
    .restart {{ fill: #ffffff; stroke-width: 2.5; }}
    circle.restart-key {{ fill: #ffffff; stroke: #495057; stroke-width: 2.5; }}
"""


#: Ranges of values narrower than this, or than this share of their
#: values, are widened before ticks spread over them: the ticks would fall
#: closer together than floats can be, or their step below the smallest.
_NARROWEST, _FINEST = 1e-290, 1e-12


def nice_ticks(low: float, high: float, most: int = 8) -> list[float]:
    """Round tick values that cover [low, high]: the first at or below low,
    the last at or above high, at most about `most` of them."""
    if not high - low > max(_NARROWEST, abs(low) * _FINEST):  # also reversed, or NaN
        high = low + (abs(low) if abs(low) > _NARROWEST else 1.0)
    raw = (high - low) / max(most - 1, 1)
    if not math.isfinite(raw):
        raise ValueError(f"cannot draw values from {low!r} to {high!r} on one axis")
    magnitude = 10.0 ** math.floor(math.log10(raw))
    step = next(m * magnitude for m in (1, 2, 2.5, 5, 10) if m * magnitude >= raw)
    first = math.floor(low / step) * step
    count = math.ceil(round((high - first) / step, 9))
    ticks = [first + i * step for i in range(count + 1)]
    if not math.isfinite(ticks[-1]):
        raise ValueError(f"cannot draw values from {low!r} to {high!r} on one axis")
    return ticks


def tick_text(value: float, step: float) -> str:
    """A tick's label, with as many decimals as ticks `step` apart need."""
    if step >= 1:
        return f"{value:,.0f}"
    decimals = max(0, -math.floor(math.log10(step) + 1e-9))
    return f"{value:.{decimals}f}"


def x_axis_span(highest: float, most: int = 8) -> tuple[list[float], float]:
    """The horizontal axis from 0 to just past `highest`: its round ticks,
    about `most` at most and none beyond the axis's end, and that end, which
    is the first tenth of a tick step at or above `highest` (one step where
    nothing is above 0)."""
    ticks = nice_ticks(0.0, highest, most)
    step = ticks[1] - ticks[0]
    fine = step / 10
    end = min(ticks[-1], max(ticks[0] + step, math.ceil(round(highest / fine, 9)) * fine))
    return [t for t in ticks if t <= end], end


#: What a chart draws a curve of: a search's result, a result file's path,
#: or a Curve.
Drawable = Union[SearchResult, Curve, str, "os.PathLike[str]"]


def as_curve(drawable: Drawable) -> Curve:
    """The curve of a search result (labelled by its settings), of a result
    file (labelled by its path and settings), or the Curve itself."""
    if isinstance(drawable, Curve):
        return drawable
    if isinstance(drawable, SearchResult):
        if not len(drawable.history):
            raise ValueError("nothing to draw: the search completed no generation")
        return Curve(label_for(drawable.settings), drawable.history)
    if isinstance(drawable, (str, os.PathLike)):
        return load_curve(drawable)
    raise TypeError("a chart draws search results, Curves and paths of result files, not "
                    f"{type(drawable).__name__}")


def convergence(curves: Sequence[Drawable], *, x_axis: str = "evaluations",
                title: str = "zorv search: best distance so far") -> str:
    """An SVG chart of how searches converged: one polyline (class "curve")
    per search, and a ring (class "restart") where each of its restarted
    runs begins.

    The x axis ends just past the data; the plot area leaves room for every
    tick label, and the legend names each curve and, where there are rings,
    what they mark.

    Args:
        curves: The searches, one curve each, in the legend's order: results
            of `zorv.search`, paths of result files (read as `zorv plot`
            reads them), or `Curve` objects, which name their curves.
            A result's curve is named by its settings, a file's by its path
            too.
        x_axis: What the horizontal axis shows: "evaluations" (plans scored)
            or "seconds".
        title: The chart's title.

    Returns:
        The SVG document's text.

    Raises:
        ValueError: Nothing to draw, a result without generations, an
            unknown `x_axis`, or values too far apart for one axis.
        zorv.files.reading.InputFileError: A path to a file that holds no
            usable search result.
        TypeError: Something that is none of these.
    """
    drawn = [as_curve(drawable) for drawable in curves]
    if not drawn:
        raise ValueError("nothing to draw: no curves")
    if x_axis not in X_AXES:
        raise ValueError(f"x_axis must be one of {', '.join(X_AXES)}, got {x_axis!r}")
    xs = [[float(v) for v in getattr(c.history, x_axis)] for c in drawn]
    ys = [[float(v) for v in c.history.best] for c in drawn]
    highest = max(max(x) for x in xs)
    restarted = any(len(c.history.run_starts) > 1 for c in drawn)

    # From the top: the title, the plot area, the x tick labels and title,
    # then the legend, its entries wrapped to the chart's width.
    title_lines = wrap(title, _TITLE_FONT, _WIDTH - 2 * _MARGIN)
    top = _MARGIN + _LINE * _TITLE_FONT * len(title_lines) + _TICK_FONT
    # The y axis's title runs along the plot area, which is at least as tall.
    plot_h = max(_WIDTH * 0.5, text_width(Y_TITLE, _AXIS_TITLE_FONT) + _TICK_FONT)
    y_ticks = nice_ticks(min(min(y) for y in ys), max(max(y) for y in ys),
                         max(3, min(8, int(plot_h / (2.5 * _TICK_FONT)))))
    y_texts = [tick_text(tick, y_ticks[1] - y_ticks[0]) for tick in y_ticks]
    # The y labels end a little left of the axis, its title left of them.
    # Numbers of hundreds of digits, which no search makes, get no more
    # than a quarter of the width.
    y_title_room = _MARGIN + _LINE * _AXIS_TITLE_FONT
    left = min(y_title_room + 0.5 * _TICK_FONT
               + max(text_width(text, _TICK_FONT) for text in y_texts), _WIDTH / 4)
    # As many x ticks as leave a label's width and a gap between labels,
    # and room at the right for the last one's half.
    for most in range(8, 1, -1):
        x_ticks, x_end = x_axis_span(highest, most)
        x_texts = [tick_text(tick, x_ticks[1] - x_ticks[0]) for tick in x_ticks]
        right = min(max(_MARGIN, text_width(x_texts[-1], _TICK_FONT) / 2 + _MARGIN / 2),
                    _WIDTH / 4)
        plot_w = _WIDTH - left - right
        spacing = (x_ticks[1] - x_ticks[0]) / (x_end - x_ticks[0]) * plot_w
        if spacing >= max(text_width(text, _TICK_FONT) for text in x_texts) + _TICK_FONT:
            break
    bottom = top + plot_h
    legend_top = bottom + _TICK_FONT * 1.6 + _AXIS_TITLE_FONT * 1.6 + _MARGIN
    text_x = left + 36
    entries = [wrap(f"{curve.label}: best\u00a0{y[-1]:.3f}", _TICK_FONT,
                    _WIDTH - text_x - _MARGIN)
               for curve, y in zip(drawn, ys)]
    if restarted:
        entries.append([RESTART_NOTE])
    line_height = _LINE * _TICK_FONT
    height = legend_top + sum(len(lines) for lines in entries) * line_height + _MARGIN

    def px(x: float) -> float:
        return left + (x - x_ticks[0]) / (x_end - x_ticks[0]) * plot_w

    def py(y: float) -> float:
        return bottom - (y - y_ticks[0]) / (y_ticks[-1] - y_ticks[0]) * plot_h

    out = header(_WIDTH, height, title, _STYLE)
    for row, line in enumerate(title_lines):
        out.append(f'<text class="label" x="{_f(_MARGIN)}" '
                   f'y="{_f(_MARGIN + _TITLE_FONT * (1 + _LINE * row))}">{escape(line)}</text>')
    for tick, text in zip(x_ticks, x_texts):
        out.append(f'<line class="grid" x1="{_f(px(tick))}" y1="{_f(top)}" '
                   f'x2="{_f(px(tick))}" y2="{_f(bottom)}"/>')
        out.append(f'<text class="ticklabel x" x="{_f(px(tick))}" '
                   f'y="{_f(bottom + _TICK_FONT * 1.3)}" text-anchor="middle">{text}</text>')
    for tick, text in zip(y_ticks, y_texts):
        out.append(f'<line class="grid" x1="{_f(left)}" y1="{_f(py(tick))}" '
                   f'x2="{_f(left + plot_w)}" y2="{_f(py(tick))}"/>')
        out.append(f'<text class="ticklabel y" x="{_f(left - 0.5 * _TICK_FONT)}" '
                   f'y="{_f(py(tick) + 0.35 * _TICK_FONT)}" text-anchor="end">{text}</text>')
    out.append(f'<rect class="frame plot-area" x="{_f(left)}" y="{_f(top)}" '
               f'width="{_f(plot_w)}" height="{_f(plot_h)}"/>')
    out.append(f'<text class="axistitle" x="{_f(left + plot_w / 2)}" '
               f'y="{_f(bottom + _TICK_FONT * 1.6 + _AXIS_TITLE_FONT * 1.2)}">'
               f"{X_AXES[x_axis]}</text>")
    out.append(f'<text class="axistitle" transform="translate('
               f'{_f(_MARGIN + _AXIS_TITLE_FONT)},{_f(top + plot_h / 2)}) rotate(-90)">'
               f"{Y_TITLE}</text>")

    row = 0
    for i, (curve, x, y, lines) in enumerate(zip(drawn, xs, ys, entries)):
        colour = COLOURS[i % len(COLOURS)]
        dash = DASHES[(i // len(COLOURS)) % len(DASHES)]
        dash_attr = f' stroke-dasharray="{dash}"' if dash else ""
        points = " ".join(f"{_f(px(a))},{_f(py(b))}" for a, b in _steps(x, y))
        out.append(f'<polyline class="curve" stroke="{colour}"{dash_attr} points="{points}">'
                   f"<title>{escape(curve.label)}: {y[-1]:.3f}</title></polyline>")
        # A ring where each restarted run begins: on the last point before it.
        for run, start in enumerate(curve.history.run_starts[1:], start=2):
            at = max(0, start - 1)
            out.append(f'<circle class="restart" cx="{_f(px(x[at]))}" cy="{_f(py(y[at]))}" '
                       f'r="5" stroke="{colour}"><title>run {run} starts after '
                       f"{curve.history.evaluations[at]:,} plans</title></circle>")
        legend_y = legend_top + row * line_height
        out.append(f'<line x1="{_f(left)}" y1="{_f(legend_y)}" x2="{_f(left + 28)}" '
                   f'y2="{_f(legend_y)}" stroke="{colour}" stroke-width="2.5"{dash_attr}/>')
        out.append(_legend_text(lines, text_x, legend_y, line_height, "legend"))
        row += len(lines)
    if restarted:
        legend_y = legend_top + row * line_height
        out.append(f'<circle class="restart-key" cx="{_f(left + 14)}" cy="{_f(legend_y)}" r="5"/>')
        out.append(_legend_text([RESTART_NOTE], text_x, legend_y, line_height,
                                "legend restart-key"))
    return document(out)


def _steps(x: Sequence[float], y: Sequence[float]) -> list[tuple[float, float]]:
    """The points of a best-so-far curve drawn as the step function it is:
    each best holds until the generation that beats it, which rises at
    once; a corner only where the best changes, and the last point."""
    points = [(x[0], y[0])]
    for i in range(1, len(x)):
        if y[i] != y[i - 1]:
            points += [(x[i], y[i - 1]), (x[i], y[i])]
    if len(x) > 1 and points[-1] != (x[-1], y[-1]):
        points.append((x[-1], y[-1]))
    return points


def _legend_text(lines: Sequence[str], x: float, y: float, line_height: float,
                 classes: str) -> str:
    """A legend's entry, its first line centred on height y, its others
    below it (each a <tspan> where there are several)."""
    baseline = y + 0.35 * _TICK_FONT
    opening = f'<text class="{classes}" x="{_f(x)}" y="{_f(baseline)}">'
    if len(lines) == 1:
        return f"{opening}{escape(lines[0])}</text>"
    spans = "".join(f'<tspan x="{_f(x)}" y="{_f(baseline + row * line_height)}">'
                    f"{escape(line)}</tspan>" for row, line in enumerate(lines))
    return f"{opening}{spans}</text>"
