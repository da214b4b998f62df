"""A study's pictures as SVG, each optimizer in its colour and named as the
command line named it, text sized as every zorv picture's is (see
zorv.display.svg_document.text_size):

- convergence: the median best distance so far against plans scored, on a
  logarithmic axis, in a band from the lower to the upper quartile;
- targets: the share of (run, target) pairs whose run had reached the
  target, against plans scored (an empirical cumulative distribution);
- finals: every run's final best distance as a dot, a row per optimizer,
  with a mark at its median.

The curves are drawn through the values at a few hundred plans' counts
spread evenly on the logarithmic axis, each value exact there.
"""
from __future__ import annotations

import math
import statistics
from collections.abc import Sequence
from dataclasses import dataclass
from xml.sax.saxutils import escape

from ..display.svg_document import document, header, number as _f, text_size, text_width, wrap
from ..plot import COLOURS, DASHES, nice_ticks, tick_text
from .aggregation import RunCurve, quantile, reached_share
from .study import Study

_WIDTH = 640.0
_FONT = text_size(_WIDTH)
_TITLE_FONT, _AXIS_FONT = text_size(_WIDTH, 1.2), text_size(_WIDTH, 1.1)
_MARGIN = 12.0
_LINE = 1.3  # lines of text, in font sizes apart
#: Plans' counts at which the curves' values are taken.
_SAMPLES = 300
_PLANS_TITLE = "plans scored (logarithmic)"
_DISTANCE_TITLE = "best distance so far (model units)"

_STYLE = f"""
    .frame {{ fill: none; stroke: #495057; stroke-width: 1; }}
    .grid {{ stroke: #e9ecef; stroke-width: 1; }}
    .ticklabel {{ font: {_f(_FONT)}px sans-serif; fill: #495057; }}
    .axistitle {{ font: {_f(_AXIS_FONT)}px sans-serif; fill: #212529; text-anchor: middle; }}
    .label {{ font: {_f(_TITLE_FONT)}px sans-serif; fill: #212529; }}
    .legend, .row-label {{ font: {_f(_FONT)}px sans-serif; fill: #212529; }}
    .median {{ fill: none; stroke-width: 2.5; stroke-linejoin: round; }}
    .quartiles {{ stroke: none; fill-opacity: 0.18; }}
    .run {{ fill-opacity: 0.75; stroke: #ffffff; stroke-width: 1; }}
    .median-mark {{ stroke: #212529; stroke-width: 3; }}
"""


def _colour(index: int) -> tuple[str, str]:
    """An optimizer's colour, and its dashes beyond the colours."""
    dash = DASHES[(index // len(COLOURS)) % len(DASHES)]
    return COLOURS[index % len(COLOURS)], f' stroke-dasharray="{dash}"' if dash else ""


def _by_optimizer(study: Study) -> list[tuple[str, list[RunCurve]]]:
    curves = study.curves()
    groups = [(optimizer, [c for c in curves if c.optimizer == optimizer])
              for optimizer in study.plan.optimizers]
    return [(optimizer, own) for optimizer, own in groups if own]


def _plans_grid(curves: Sequence[RunCurve], budget: int) -> list[float]:
    """Plans' counts spread evenly on a logarithmic axis, from the fewest
    that a run had scored at its first generation to the budget."""
    low = max(1, min(curve.evaluations[0] if curve.evaluations else budget for curve in curves))
    high = max(budget, max(curve.evaluations[-1] if curve.evaluations else 0
                           for curve in curves))
    if high <= low:
        return [float(low)]
    ratio = math.log(high / low) / (_SAMPLES - 1)
    return [float(low)] + [low * math.exp(ratio * i) for i in range(1, _SAMPLES - 1)] + [
        float(high)]


@dataclass(frozen=True)
class _Frame:
    """A chart's plot area and the ranges of its axes."""

    left: float
    top: float
    width: float
    height: float
    x_range: tuple[float, float]
    y_range: tuple[float, float]
    log_x: bool

    def px(self, x: float) -> float:
        low, high = self.x_range
        if self.log_x:
            x, low, high = math.log10(x), math.log10(low), math.log10(high)
        return self.left + (x - low) / (high - low) * self.width

    def py(self, y: float) -> float:
        low, high = self.y_range
        return self.top + self.height - (y - low) / (high - low) * self.height

    @property
    def bottom(self) -> float:
        return self.top + self.height


def _log_ticks(low: float, high: float) -> list[float]:
    """Round numbers from `low` to `high`: the powers of ten where there
    are three or more, else 1, 2 and 5 times them; at least the ends."""
    powers = range(math.floor(math.log10(low)), math.ceil(math.log10(high)) + 1)
    for multiples in ((1,), (1, 2, 5)):
        ticks = [m * 10.0**p for p in powers for m in multiples if low <= m * 10.0**p <= high]
        if len(ticks) >= 3:
            return ticks
    return ticks if len(ticks) >= 2 else [low, high]


def _title(text: str) -> tuple[list[str], list[str], float]:
    """The title's lines, drawn, and the height they take."""
    lines = wrap(text, _TITLE_FONT, _WIDTH - 2 * _MARGIN)
    drawn = [f'<text class="label" x="{_f(_MARGIN)}" '
             f'y="{_f(_MARGIN + _TITLE_FONT * (1 + _LINE * row))}">{escape(line)}</text>'
             for row, line in enumerate(lines)]
    return lines, drawn, _MARGIN + _LINE * _TITLE_FONT * len(lines) + _FONT


def _chart(title: str, x_range: tuple[float, float], x_ticks: list[float],
           x_texts: list[str], log_x: bool, y_ticks: list[float], y_texts: list[str],
           x_title: str, y_title: str) -> tuple[list[str], _Frame, float]:
    """A chart's title, frame, grid, ticks and axis titles; its frame, and
    where the room below it (for a legend) begins."""
    _, title_lines, top = _title(title)
    height = max(_WIDTH * 0.5, text_width(y_title, _AXIS_FONT) + _FONT)
    left = min(_MARGIN + _LINE * _AXIS_FONT + 0.5 * _FONT
               + max(text_width(text, _FONT) for text in y_texts), _WIDTH / 4)
    right = max(_MARGIN, text_width(x_texts[-1], _FONT) / 2 + _MARGIN / 2)
    frame = _Frame(left, top, _WIDTH - left - right, height, x_range,
                   (y_ticks[0], y_ticks[-1]), log_x)
    out = title_lines
    for tick, text in zip(x_ticks, x_texts):
        x = frame.px(tick)
        out.append(f'<line class="grid" x1="{_f(x)}" y1="{_f(top)}" x2="{_f(x)}" '
                   f'y2="{_f(frame.bottom)}"/>')
        out.append(f'<text class="ticklabel x" x="{_f(x)}" y="{_f(frame.bottom + _FONT * 1.3)}" '
                   f'text-anchor="middle">{escape(text)}</text>')
    for tick, text in zip(y_ticks, y_texts):
        y = frame.py(tick)
        out.append(f'<line class="grid" x1="{_f(left)}" y1="{_f(y)}" '
                   f'x2="{_f(left + frame.width)}" y2="{_f(y)}"/>')
        out.append(f'<text class="ticklabel y" x="{_f(left - 0.5 * _FONT)}" '
                   f'y="{_f(y + 0.35 * _FONT)}" text-anchor="end">{escape(text)}</text>')
    out.append(f'<rect class="frame plot-area" x="{_f(left)}" y="{_f(top)}" '
               f'width="{_f(frame.width)}" height="{_f(height)}"/>')
    out.append(f'<text class="axistitle" x="{_f(left + frame.width / 2)}" '
               f'y="{_f(frame.bottom + _FONT * 1.6 + _AXIS_FONT * 1.2)}">{escape(x_title)}</text>')
    out.append(f'<text class="axistitle" transform="translate({_f(_MARGIN + _AXIS_FONT)},'
               f'{_f(top + height / 2)}) rotate(-90)">{escape(y_title)}</text>')
    return out, frame, frame.bottom + _FONT * 1.6 + _AXIS_FONT * 1.6 + _MARGIN


def _legend(entries: Sequence[tuple[str, int]], left: float, top: float,
            ) -> tuple[list[str], float]:
    """Each entry's swatch and text (wrapped to the width), from `top`;
    and where the legend ends."""
    out = []
    text_x = left + 36
    row = 0
    line = _LINE * _FONT
    for text, index in entries:
        colour, dash = _colour(index)
        lines = wrap(text, _FONT, _WIDTH - text_x - _MARGIN)
        y = top + row * line
        out.append(f'<line x1="{_f(left)}" y1="{_f(y)}" x2="{_f(left + 28)}" y2="{_f(y)}" '
                   f'stroke="{colour}" stroke-width="2.5"{dash}/>')
        spans = "".join(f'<tspan x="{_f(text_x)}" y="{_f(y + 0.35 * _FONT + i * line)}">'
                        f"{escape(part)}</tspan>" for i, part in enumerate(lines))
        out.append(f'<text class="legend">{spans}</text>')
        row += len(lines)
    return out, top + row * line + _MARGIN


def _steps(xs: Sequence[float], ys: Sequence[float]) -> list[tuple[float, float]]:
    """The corners of a step function that takes ys[i] from xs[i] on."""
    points = [(xs[0], ys[0])]
    for i in range(1, len(xs)):
        if ys[i] != ys[i - 1]:
            points += [(xs[i], ys[i - 1]), (xs[i], ys[i])]
    points.append((xs[-1], ys[-1]))
    return points


def _points(frame: _Frame, points: Sequence[tuple[float, float]]) -> str:
    return " ".join(f"{_f(frame.px(x))},{_f(frame.py(y))}" for x, y in points)


def _plans_axis(grid: Sequence[float]) -> tuple[tuple[float, float], list[float], list[str]]:
    """The plans axis's range, from the grid's first count to its last
    (a tenth more where they are one), its ticks and their labels."""
    low, high = grid[0], max(grid[-1], grid[0] * 1.1)
    ticks = _log_ticks(low, high)
    return (low, high), ticks, [f"{tick:,.0f}" for tick in ticks]


def convergence(study: Study) -> str:
    """The median best distance so far of each optimizer's runs against
    plans scored, in a band between its quartiles."""
    groups = _by_optimizer(study)
    grid = _plans_grid([c for _, own in groups for c in own], study.plan.budget)
    series = []
    for optimizer, own in groups:
        at = [sorted(curve.best_at(plans) for curve in own) for plans in grid]
        series.append((optimizer, len(own), [statistics.median(v) for v in at],
                       [quantile(v, 0.25) for v in at], [quantile(v, 0.75) for v in at]))
    low = min(min(lower) for _, _, _, lower, _ in series)
    high = max(max(upper) for _, _, _, _, upper in series)
    y_ticks = nice_ticks(low, high, 7)
    y_texts = [tick_text(tick, y_ticks[1] - y_ticks[0]) for tick in y_ticks]
    x_range, x_ticks, x_texts = _plans_axis(grid)
    title = (f"Median best distance so far over {len(study.plan.seeds)} seeds, with its "
             "quartiles")
    out, frame, legend_top = _chart(title, x_range, x_ticks, x_texts, True, y_ticks, y_texts,
                                    _PLANS_TITLE, _DISTANCE_TITLE)
    entries = []
    for index, (optimizer, runs, median, lower, upper) in enumerate(series):
        colour, dash = _colour(index)
        band = _steps(grid, upper) + _steps(grid, lower)[::-1]
        out.append(f'<polygon class="quartiles" fill="{colour}" points="{_points(frame, band)}"/>')
        out.append(f'<polyline class="median" stroke="{colour}"{dash} '
                   f'points="{_points(frame, _steps(grid, median))}">'
                   f"<title>{escape(optimizer)}: median {median[-1]:.3f}</title></polyline>")
        entries.append((f"{optimizer}: median\u00a0{median[-1]:.3f} of {runs}\u00a0"
                        f"run{'s' if runs != 1 else ''}", index))
    legend, height = _legend(entries, frame.left, legend_top)
    return document(header(_WIDTH, height, title, _STYLE) + out + legend)


def targets(study: Study) -> str:
    """The share of (run, target) pairs reached against plans scored, a
    curve per optimizer."""
    groups = _by_optimizer(study)
    goals = study.targets()
    grid = _plans_grid([c for _, own in groups for c in own], study.plan.budget)
    y_ticks = [0.0, 0.25, 0.5, 0.75, 1.0]
    x_range, x_ticks, x_texts = _plans_axis(grid)
    shown = ", ".join(f"{goal:g}" for goal in goals)
    title = f"Runs that reached each target, as a share of (run, target) pairs; targets {shown}"
    out, frame, legend_top = _chart(title, x_range, x_ticks, x_texts, True, y_ticks,
                                    [f"{tick:.0%}" for tick in y_ticks], _PLANS_TITLE,
                                    "(run, target) pairs reached")
    entries = []
    for index, (optimizer, own) in enumerate(groups):
        colour, dash = _colour(index)
        shares = [reached_share(own, goals, plans) for plans in grid]
        out.append(f'<polyline class="median" stroke="{colour}"{dash} '
                   f'points="{_points(frame, _steps(grid, shares))}">'
                   f"<title>{escape(optimizer)}: {shares[-1]:.0%}</title></polyline>")
        entries.append((f"{optimizer}: {shares[-1]:.0%} reached", index))
    legend, height = _legend(entries, frame.left, legend_top)
    return document(header(_WIDTH, height, title, _STYLE) + out + legend)


def finals(study: Study) -> str:
    """Every run's final best distance as a dot, a row per optimizer under
    its name, with a mark at the median."""
    groups = _by_optimizer(study)
    values = [curve.final for _, own in groups for curve in own]
    ticks = nice_ticks(min(values), max(values), 6)
    texts = [tick_text(tick, ticks[1] - ticks[0]) for tick in ticks]
    title = "Final best distance of every run, and the median of each optimizer's"
    _, out, top = _title(title)
    left = _MARGIN + text_width(texts[0], _FONT) / 2
    right = _MARGIN + text_width(texts[-1], _FONT) / 2
    frame = _Frame(left, top, _WIDTH - left - right, 1.0, (ticks[0], ticks[-1]), (0.0, 1.0),
                   False)
    line = _LINE * _FONT
    y = top
    for index, (optimizer, own) in enumerate(groups):
        colour, _ = _colour(index)
        lines = wrap(optimizer, _FONT, _WIDTH - 2 * _MARGIN)
        spans = "".join(f'<tspan x="{_f(_MARGIN)}" y="{_f(y + _FONT + i * line)}">'
                        f"{escape(part)}</tspan>" for i, part in enumerate(lines))
        out.append(f'<text class="row-label">{spans}</text>')
        middle = y + len(lines) * line + 1.2 * _FONT
        for number, curve in enumerate(own):
            offset = (number % 5 - 2) * 3.0  # dots of equal distances stay apart
            out.append(f'<circle class="run" cx="{_f(frame.px(curve.final))}" '
                       f'cy="{_f(middle + offset)}" r="5" fill="{colour}">'
                       f"<title>seed {curve.seed}: {curve.final!r}</title></circle>")
        median = statistics.median(curve.final for curve in own)
        out.append(f'<line class="median-mark" x1="{_f(frame.px(median))}" '
                   f'y1="{_f(middle - _FONT)}" x2="{_f(frame.px(median))}" '
                   f'y2="{_f(middle + _FONT)}"><title>{escape(optimizer)}: median '
                   f"{median:.3f}</title></line>")
        y = middle + 1.4 * _FONT
    axis = y + 0.4 * _FONT
    out.append(f'<line class="frame" x1="{_f(frame.left)}" y1="{_f(axis)}" '
               f'x2="{_f(frame.left + frame.width)}" y2="{_f(axis)}"/>')
    for tick, text in zip(ticks, texts):
        x = frame.px(tick)
        out.append(f'<line class="frame" x1="{_f(x)}" y1="{_f(axis)}" x2="{_f(x)}" '
                   f'y2="{_f(axis + 0.4 * _FONT)}"/>')
        out.append(f'<text class="ticklabel x" x="{_f(x)}" y="{_f(axis + 1.7 * _FONT)}" '
                   f'text-anchor="middle">{text}</text>')
    out.append(f'<text class="axistitle" x="{_f(frame.left + frame.width / 2)}" '
               f'y="{_f(axis + 2.2 * _FONT + _AXIS_FONT * 1.2)}">final best distance '
               "(model units); the bar marks the median</text>")
    height = axis + 2.2 * _FONT + _AXIS_FONT * 1.2 + _MARGIN + _FONT
    return document(header(_WIDTH, height, title, _STYLE) + out)
