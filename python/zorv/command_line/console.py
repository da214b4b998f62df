"""The standard streams the commands write to, which never cost a command
its work, and the lines that say what a command wrote where."""
from __future__ import annotations

import contextlib
import io
import os
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any, TextIO

from ..files.writing import OutputPathError, is_standard_output, write_text
from .messages import print_error


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
    """Writes the whole file or leaves the old one (see zorv.files.writing);
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
