"""Progress as a person reads it: a line on a terminal or in a log, and
times with two or three digits."""
from __future__ import annotations

import math
import time
from typing import TextIO

from ..records import Progress


def duration(seconds: float) -> str:
    """A time for people, with two or three digits: milliseconds under a
    second ("0.85 ms", "41 ms"), seconds under a minute ("3.21 s", "12.3
    s"), then minutes and seconds, then hours and minutes."""
    if not math.isfinite(seconds) or seconds < 0:
        return f"{seconds} s"
    if seconds < 0.9995:
        milliseconds = seconds * 1000
        decimals = 2 if milliseconds < 0.995 else 1 if milliseconds < 9.95 else 0
        return f"{milliseconds:.{decimals}f} ms"
    if seconds < 59.95:
        return f"{seconds:.{2 if seconds < 9.995 else 1}f} s"
    whole = round(seconds)
    if whole < 3600:
        return f"{whole // 60} min {whole % 60} s"
    minutes = round(seconds / 60)
    return f"{minutes // 60} h {minutes % 60} min"


def progress_text(p: Progress) -> str:
    """Where a search stands, in one line: a bar, the generations, the plans
    scored per second and the best distance."""
    done = p.generation / p.generations if p.generations else 1.0
    filled = int(done * 20)
    bar = "#" * filled + "-" * (20 - filled)
    run = f"  run {p.run + 1}" if p.run else ""
    return (f"[{bar}] generation {p.generation}/{p.generations}{run}  "
            f"{p.evaluations_per_second:,.0f} evals/s  best {p.best_score:.6f}")


class ProgressLine:
    """The search's progress on stderr: on a terminal, one line rewritten in
    place at most ten times a second; in a file or a pipe (a log), whole
    lines, one every LOG_INTERVAL seconds and the last."""

    #: Seconds between the lines written to a file or a pipe.
    LOG_INTERVAL = 10.0

    def __init__(self, stream: TextIO, enabled: bool) -> None:
        self.stream = stream
        self.enabled = enabled
        try:
            self.in_place = stream.isatty()
        except (AttributeError, ValueError):  # no such method, or closed
            self.in_place = False
        self.interval = 0.1 if self.in_place else self.LOG_INTERVAL
        self.last_shown = -math.inf
        self.width = 0
        self.pending: Progress | None = None  # not shown yet

    def update(self, progress: Progress) -> None:
        self.pending = progress
        now = time.monotonic()
        if progress.generation == progress.generations or now - self.last_shown >= self.interval:
            self.last_shown = now
            self._show(progress)
            self.pending = None

    def _show(self, p: Progress) -> None:
        if self.enabled:
            self.write(progress_text(p))

    def write(self, line: str) -> None:
        """Shows `line`: over the last one on a terminal, as a line of its
        own in a log."""
        if self.in_place:
            self.stream.write("\r" + line.ljust(self.width))
            self.width = len(line)
        else:
            self.stream.write(line + "\n")
        self.stream.flush()

    def close(self) -> None:
        if not self.enabled:
            return
        if self.pending is not None:
            self._show(self.pending)
            self.pending = None
        if self.in_place and self.width:
            self.stream.write("\n")
            self.width = 0
        self.stream.flush()
