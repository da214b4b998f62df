"""Checkpoint files: a search's result so far, and with it, under
"checkpoint", the state that a resumed search goes on from.

Plain JSON, which loading cannot execute: floats are written with repr and
read back bit for bit, arrays as lists. A checkpoint file is a result file
too (`show` and `plot` read it), written whole or not at all
(zorv.output_files).
"""
from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any

import numpy as np

from .input_files import InputFileError, read_json
from .output_files import write_text
from .provenance import made_by, package_version
from .records import SearchResult
from .state import CheckpointError, SearchState

#: Changes whenever the state's form does.
FORMAT = 1


def to_json(result: SearchResult) -> dict[str, Any]:
    """The result's JSON form, with what made it under "made_by" and its
    state under "checkpoint" (its arrays still arrays: `dumps` writes them
    as lists)."""
    data = result.to_json()
    data["made_by"] = made_by()
    if result.state is not None:
        data["checkpoint"] = {"format": FORMAT, "zorv_fast": package_version(),
                              "state": result.state.to_json()}
    return data


def _plain(value: object) -> object:
    if isinstance(value, np.ndarray):
        return value.tolist()
    raise TypeError(f"cannot write {type(value).__name__} in a checkpoint")


def dumps(result: SearchResult) -> str:
    return json.dumps(to_json(result), indent=1, default=_plain) + "\n"


def save(path: str | os.PathLike[str], result: SearchResult) -> None:
    """Writes the result and its state to `path`, replacing the previous
    file atomically; OutputPathError when it cannot."""
    write_text(Path(path), dumps(result))


def load(path: str | os.PathLike[str]) -> SearchState:
    """The state in a checkpoint file, checked; CheckpointError (one line)
    for a file that cannot be read or is no checkpoint of this version."""
    shown = repr(os.fspath(path))
    try:
        data = read_json(path)
    except InputFileError as error:
        raise CheckpointError(str(error)) from None
    checkpoint = data.get("checkpoint") if isinstance(data, dict) else None
    if not isinstance(checkpoint, dict):
        raise CheckpointError(f"{shown} holds no checkpoint: expected a result written by "
                              "python -m zorv search")
    if checkpoint.get("format") != FORMAT or checkpoint.get("zorv_fast") != package_version():
        raise CheckpointError(
            f"{shown} was written by another version (zorv_fast "
            f"{str(checkpoint.get('zorv_fast'))[:40]!r}, checkpoint format "
            f"{str(checkpoint.get('format'))[:20]}); this is zorv_fast "
            f"{package_version()!r}, format {FORMAT}")
    try:
        return SearchState.from_json(checkpoint.get("state"))
    except CheckpointError as error:
        # Parts of the message may come from the file: one line, printable.
        text = "".join(c if c.isprintable() else "?" for c in str(error)[:300])
        raise CheckpointError(f"{shown}: {text}") from None
