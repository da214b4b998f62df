"""What the commands show people: one-line errors, times, and a search's
progress line."""
from __future__ import annotations

import math
import os
import sys
import time
from pathlib import Path
from typing import TextIO

from .output_files import OutputPathError, write_text
from .records import Progress


def program_name(prog: str | None) -> str:
    """The command's name in its messages: `prog` where given, else as it
    was run (python -m zorv, or the script's own name)."""
    if prog is not None:
        return prog
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else "zorv"
    return "python -m zorv" if name == "__main__.py" else name


def print_error(prog: str, message: str) -> None:
    """One error line on standard error, after the command's name."""
    print(f"{prog}: error: {message}", file=sys.stderr)


def write_or_say(path: Path, text: str, prog: str) -> bool:
    """Writes the whole file or leaves the old one (see zorv.output_files);
    says why in one error line and returns False when it cannot."""
    try:
        write_text(path, text)
    except OutputPathError as failure:
        print_error(prog, str(failure))
        return False
    return True


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
        if not self.enabled:
            return
        done = p.generation / p.generations if p.generations else 1.0
        filled = int(done * 20)
        bar = "#" * filled + "-" * (20 - filled)
        run = f"  run {p.run + 1}" if p.run else ""
        line = (f"[{bar}] generation {p.generation}/{p.generations}{run}  "
                f"{p.evaluations_per_second:,.0f} evals/s  best {p.best_score:.6f}")
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
