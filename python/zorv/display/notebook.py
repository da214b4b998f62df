"""What zorv shows in a Jupyter notebook: objects as HTML (a heading, a
table of facts and a picture inline), and a search's progress as a display
that updates itself (a line on standard error outside a notebook). Search
results and run records build their HTML with summary_html.

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
from typing import Any, TextIO

from ..records import Progress
from .progress import ProgressLine, progress_text

__all__ = ["NotebookProgress", "inline_svg", "progress_display", "summary_html"]

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
