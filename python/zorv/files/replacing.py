"""Whether a command may replace the file that one of its outputs names
without --overwrite: a new or empty file, a device or a FIFO, and a file of
the command's own kind (a picture that zorv drew, for the commands that
draw pictures) it may; a search's result, and anything else, it may not.
"""
from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import Any

from ..display.svg_document import HEAD_BYTES, drawn_by_zorv
from .reading import InputFileError, read_json

#: What a command writes: a search's result, which replaces nothing
#: unasked (not even an earlier result), or a picture, which replaces
#: zorv's own earlier pictures.
RESULT = "a search result"
PICTURE = "a picture drawn by zorv"


def why_kept(path: Path, option: str, kind: str) -> str | None:
    """Why the file at `path`, an output of `kind` (RESULT or PICTURE)
    named by `option`, may not be replaced without --overwrite, in one line
    that says what it holds; None where it may be."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    if not stat.S_ISREG(info.st_mode) or info.st_size == 0:
        return None
    if kind == PICTURE and drawn_by_zorv(_head(path)):
        return None
    shown = repr(str(path))
    try:
        data: Any = read_json(path)
    except InputFileError:
        data = None
    search_result = (isinstance(data, dict) and isinstance(data.get("settings"), dict)
                     and isinstance(data.get("plan"), list))
    if not search_result:
        return (f"{shown} holds {info.st_size:,} bytes of something other than {kind}: "
                f"choose another {option}, or give --overwrite to replace it")
    score, generations = data.get("score"), data.get("generations")
    seed = data.get("seed", data["settings"].get("seed"))
    about = []
    if isinstance(score, float):
        about.append(f"best distance {score:.3f}")
    if isinstance(generations, int):
        about.append(f"after {generations} generations")
    details = f" ({' '.join(about)})" if about else ""
    checkpoint = data.get("checkpoint")
    state = checkpoint.get("state") if isinstance(checkpoint, dict) else None
    if isinstance(state, dict) and state.get("finished") is False:
        return (f"{shown} holds an unfinished search of seed {seed}{details}: --resume it, "
                f"choose another {option}, or give --overwrite")
    return (f"{shown} holds a search of seed {seed}{details}: choose another {option}, "
            "or give --overwrite to replace it")


def _head(path: Path) -> bytes:
    """The file's first bytes, read without blocking (it was a regular file
    a moment ago); none where it cannot be read."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
    try:
        fd = os.open(path, flags)
    except OSError:
        return b""
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return b""
        return os.pread(fd, HEAD_BYTES, 0)
    except OSError:
        return b""
    finally:
        os.close(fd)
