"""What the commands show people: one-line errors, times, and a search's
progress line; and the standard streams they write it to, which never cost
a command its work."""
from __future__ import annotations

import contextlib
import io
import math
import os
import sys
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any, TextIO

from .messages import print_error
from .output_files import OutputPathError, is_standard_output, write_text
from .records import Progress


class DroppingStream:
    """A standard stream that the command's work never fails on: text that
    cannot be written (a closed pipe, a full disk, a terminal that has gone
    away, a stream closed at the start) is dropped, and the stream's file
    descriptor then points to /dev/null, so that nothing written later, the
    interpreter's last flush included, fails either. File names that are no
    UTF-8 go out as the bytes they are (surrogateescape), as `ls` shows
    them, not as an encoding error."""

    def __init__(self, stream: TextIO, descriptor: int) -> None:
        self.stream = stream
        self.descriptor = descriptor
        self.lost = False
        reconfigure = getattr(stream, "reconfigure", None)
        if callable(reconfigure):
            with contextlib.suppress(Exception):  # a stream of one's own may refuse
                reconfigure(errors="surrogateescape")

    def write(self, text: str) -> int:
        if not self.lost:
            try:
                self.stream.write(text)
            except UnicodeEncodeError:
                self._attempt(self.stream.write, text.encode("utf-8", "surrogateescape")
                              .decode("ascii", "backslashreplace"))
            except (OSError, ValueError):
                self._lose()
        return len(text)

    def flush(self) -> None:
        if not self.lost:
            self._attempt(self.stream.flush)

    def isatty(self) -> bool:
        if self.lost:
            return False
        try:
            return self.stream.isatty()
        except (AttributeError, OSError, ValueError):
            return False

    def _attempt(self, action: Any, *args: Any) -> None:
        try:
            action(*args)
        except (OSError, ValueError):
            self._lose()

    def _lose(self) -> None:
        self.lost = True
        with contextlib.suppress(OSError):
            _point_to_null(self.descriptor)
        # What the stream still buffers goes to /dev/null with its next flush.
        with contextlib.suppress(OSError, ValueError):
            self.stream.flush()

    def __getattr__(self, name: str) -> Any:  # encoding, fileno, ... of the stream
        return getattr(self.stream, name)


def _point_to_null(descriptor: int) -> None:
    null = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
    try:
        if null != descriptor:
            os.dup2(null, descriptor, inheritable=descriptor <= 2)
    finally:
        if null != descriptor:
            os.close(null)


def _is_open(descriptor: int) -> bool:
    try:
        os.fstat(descriptor)
    except OSError:
        return False
    return True


@contextlib.contextmanager
def standard_streams() -> Iterator[None]:
    """For a command's whole run: standard output and error that never end
    it (see DroppingStream), flushed before it returns. Descriptors 0 to 2
    that were closed at the start are opened on /dev/null first, so that no
    file the command opens takes the place of one (and receives what the
    native code or the interpreter writes to standard error)."""
    for descriptor in (0, 1, 2):
        if not _is_open(descriptor):
            with contextlib.suppress(OSError):
                _point_to_null(descriptor)
    originals = sys.stdout, sys.stderr
    guarded = [DroppingStream(stream if stream is not None
                              else io.TextIOWrapper(io.FileIO(descriptor, "w", closefd=False),
                                                    line_buffering=True), descriptor)
               for stream, descriptor in ((sys.stdout, 1), (sys.stderr, 2))]
    sys.stdout, sys.stderr = guarded
    try:
        yield
    finally:
        for stream in guarded:
            stream.flush()
        sys.stdout, sys.stderr = originals


def write_or_say(path: Path, text: str, prog: str) -> bool:
    """Writes the whole file or leaves the old one (see zorv.output_files);
    says why in one error line and returns False when it cannot."""
    try:
        write_text(path, text)
    except OutputPathError as failure:
        print_error(prog, str(failure))
        return False
    return True


def summary_stream(*outputs: Path) -> TextIO:
    """Where the lines that say what was written go: standard output,
    unless one of the files written is standard output itself (-o
    /dev/stdout into a pipe, which gets the file alone)."""
    return sys.stderr if any(map(is_standard_output, outputs)) else sys.stdout


def shown_path(path: Path) -> str:
    """A file written, as the lines that say so name it: its absolute path,
    through links; standard output by the name it was given (its own path is
    a pipe's, /proc/PID/fd/pipe:[N], which names nothing)."""
    return str(path) if is_standard_output(path) else str(path.resolve())


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
        if not self.enabled:
            return
        line = progress_text(p)
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
