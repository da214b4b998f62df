"""What zorv shows in a Jupyter notebook: search results and run records
as HTML, their run's animation inline, and a search's progress as a display
that updates itself (a line on standard error outside a notebook).

IPython is not needed: the HTML is built here, and a notebook's display is
used only where a notebook's kernel runs.
"""
from __future__ import annotations

import base64
import importlib
import sys
import time
from collections.abc import Mapping
from html import escape
from typing import TYPE_CHECKING, Any, TextIO

from .console import ProgressLine, progress_text
from .records import Progress

if TYPE_CHECKING:
    from .gait.run_record import RunRecord
    from .settings import SearchSettings
    from .state import SearchResult

__all__ = ["NotebookProgress", "inline_svg", "progress_display", "record_html", "result_html",
           "settings_brief", "summary_html"]

#: The width at which a notebook shows an animation, in CSS pixels.
PICTURE_WIDTH = 720


def inline_svg(picture: str, description: str) -> str:
    """An SVG picture as an <img> of its own text: its style sheet stays its
    own, and its animation plays, as in a browser."""
    data = base64.b64encode(picture.encode("utf-8")).decode("ascii")
    return (f'<img alt="{escape(description)}" style="max-width: 100%" '
            f'width="{PICTURE_WIDTH}" src="data:image/svg+xml;base64,{data}"/>')


def summary_html(heading: str, facts: Mapping[str, str], picture: str | None = None,
                 description: str = "") -> str:
    """A heading, a table of facts (name, value as text) and a picture
    under them: how results, run records and other objects of zorv show
    themselves in a notebook."""
    rows = "".join(f'<tr><th style="text-align: left">{escape(name)}</th>'
                   f'<td style="text-align: left">{escape(value)}</td></tr>'
                   for name, value in facts.items())
    shown = "" if picture is None else inline_svg(picture, description or heading)
    return (f'<div class="zorv"><strong>{escape(heading)}</strong>'
            f"<table>{rows}</table>{shown}</div>")


def settings_brief(settings: SearchSettings) -> str:
    """The settings that shape a search, in one line: its optimizer,
    boundary, population, step size, budget, seed, restarts and start."""
    budget = (f"{settings.evaluations} plans" if settings.evaluations is not None
              else f"{settings.planned_generations} generations")
    restarts = ("restarts as the budget allows" if settings.restarts is None
                else f"{settings.restarts} restarts")
    start = "from the zero plan" if settings.start is None else "from a given start plan"
    return (f"{settings.optimizer}, boundary {settings.boundary}, popsize {settings.popsize}, "
            f"sigma {settings.sigma0:g}, {budget}, seed {settings.seed}, {restarts} "
            f"({settings.restart_schedule}), {start}")


def _animation(record: RunRecord, title: str) -> str:
    from . import svg
    return svg.animation(record.positions, title=title, contacts=record.contacts)


def result_html(result: SearchResult) -> str:
    """A search result: its distance, how the search went, its settings in
    brief and its best plan's run as an animation."""
    from .gait.run_record import ENDS, record_run
    record = record_run(result.plan)
    how = f"{result.generations} generations, {result.evaluations:,} plans scored"
    if result.runs > 1:
        how += f", {result.runs} runs"
    facts = {"distance": repr(result.score), "search": how,
             "ended": ", ".join(result.stop_reasons) or "(going on)",
             "settings": settings_brief(result.settings),
             "run": f"{record.steps} steps: {ENDS[record.end]}"}
    title = f"best of seed {result.settings.seed}"
    return summary_html("zorv search result", facts, _animation(record, title),
                        f"the run of the best plan, {title}")


def record_html(record: RunRecord) -> str:
    """A run record: its distance, its length, why it ended, and its
    animation."""
    from .gait.run_record import ENDS
    facts = {"distance": repr(record.distance),
             "run": f"{record.steps} steps: {ENDS[record.end]}"}
    return summary_html("zorv run record", facts, _animation(record, "run"),
                        "the recorded run")


class NotebookProgress:
    """A search's progress as a notebook display, rewritten in place at
    most ten times a second and after the last generation."""

    INTERVAL = 0.1

    def __init__(self, display: Any, html: Any) -> None:
        self.html = html
        self.handle = display(html("<code>starting the search</code>"), display_id=True)
        self.last_shown = -float("inf")
        self.pending: Progress | None = None

    def update(self, progress: Progress) -> None:
        self.pending = progress
        now = time.monotonic()
        if progress.generation == progress.generations or now - self.last_shown >= self.INTERVAL:
            self.last_shown = now
            self._show()

    def _show(self) -> None:
        if self.pending is not None:
            self.handle.update(self.html(f"<code>{escape(progress_text(self.pending))}</code>"))
            self.pending = None

    def close(self) -> None:
        self._show()


def _notebook_display() -> tuple[Any, Any] | None:
    """IPython's display and HTML where a notebook's kernel runs this
    process; None elsewhere (a script, a terminal's IPython)."""
    ipython = sys.modules.get("IPython")
    if ipython is None:
        return None
    shell = ipython.get_ipython()
    if shell is None or getattr(shell, "kernel", None) is None:
        return None
    # Looked up by name: IPython's releases differ in what their stubs export.
    shown = importlib.import_module("IPython.display")
    return shown.display, shown.HTML


def progress_display(stream: TextIO) -> ProgressLine | NotebookProgress:
    """Where a search shows its progress: a display in a notebook, a line on
    `stream` elsewhere (rewritten in place on a terminal)."""
    shown = _notebook_display()
    if shown is not None:
        return NotebookProgress(*shown)
    return ProgressLine(stream, enabled=True)
