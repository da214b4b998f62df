"""Where a study stands, as `zorv.compare` tells it, and the one progress
line that `zorv compare` shows of it."""
from __future__ import annotations

import math
import time
from dataclasses import dataclass
from typing import TextIO

from ..display.progress import ProgressLine, duration
from ..records import Progress


@dataclass(frozen=True)
class StudyProgress:
    """A study after a generation of one of its runs, or after a run."""

    runs: int
    """Runs of the study."""
    ended: int
    """Runs done or failed."""
    running: tuple[tuple[str, int], ...]
    """(optimizer, seed) of each run going on now."""
    run: Progress | None
    """Where the run going on stands, for a study that runs one at a time."""
    seconds_left: float | None
    """About how long the rest takes, from the pace of the plans scored so
    far in this session; None before any."""


class StudyProgressLine:
    """A study's progress on a stream: "run 7/40 builtin seed 3:
    generation 12/40, best 9.812  time left ~2 min", in place on a
    terminal, whole lines every ProgressLine.LOG_INTERVAL seconds in a log
    (see zorv.command_line.console.ProgressLine)."""

    def __init__(self, stream: TextIO, enabled: bool) -> None:
        self.line = _Line(stream, enabled)

    def update(self, progress: StudyProgress) -> None:
        self.line.study = progress
        if progress.run is not None:
            self.line.update(progress.run)
            return
        # Between runs, or with runs elsewhere: at the same pace, the last
        # shown as the line closes.
        self.line.pending = None
        now = time.monotonic()
        if now - self.line.last_shown >= self.line.interval:
            self.line.last_shown = now
            self.line.show_study()
        else:
            self.line.study_pending = True

    def close(self) -> None:
        if self.line.study_pending and self.line.pending is None:
            self.line.show_study()
        self.line.close()


class _Line(ProgressLine):
    """ProgressLine's pace and placement, with a study's text."""

    def __init__(self, stream: TextIO, enabled: bool) -> None:
        super().__init__(stream, enabled)
        self.study: StudyProgress | None = None
        self.study_pending = False  # a study's state not shown yet

    def _show(self, p: Progress) -> None:
        self.show_study()

    def show_study(self) -> None:
        self.study_pending = False
        study = self.study
        if not self.enabled or study is None:
            return
        self.write(describe(study))


def describe(study: StudyProgress) -> str:
    """The progress line's text."""
    if len(study.running) == 1:
        optimizer, seed = study.running[0]
        text = f"run {study.ended + 1}/{study.runs} {optimizer} seed {seed}"
    else:  # runs on a cluster, several at once
        text = f"runs {study.ended}/{study.runs} done"
    if study.run is not None:
        text += (f": generation {study.run.generation}/{study.run.generations}, "
                 f"best {study.run.best_score:.3f}")
    if study.seconds_left is not None and math.isfinite(study.seconds_left):
        text += f"  time left ~{_about(study.seconds_left)}"
    return text


def _about(seconds: float) -> str:
    """A time left, rounded as an estimate is: whole seconds, minutes or
    hours and minutes."""
    if seconds < 60:
        return f"{max(1, round(seconds))} s"
    if seconds < 3600:
        return f"{round(seconds / 60)} min"
    return duration(seconds)
