"""Checkpoint files: a search's result so far, and with it, under
"checkpoint", the state that a resumed search goes on from.

Plain JSON, which loading cannot execute: floats are written with repr and
read back bit for bit, arrays as lists. A checkpoint file is a result file
too (`show` and `plot` read it), written whole or not at all
(zorv.files.writing).

Every number in such a file is finite and within the range of a float, as
zorv.files.reading reads them: a value that is not (NaN, an infinity, an
integer of 400 digits) or that is no plain data at all (a complex number,
an object) is refused as the file is made, with an UnwritableValueError
that names where it lies, instead of being written into a file that could
not be read back. NumPy's scalars and arrays of numbers are written as the
plain numbers they hold (a float32 widened exactly).
"""
from __future__ import annotations

import json
import math
import os
import sys
from pathlib import Path
from typing import Any

import numpy as np

from .display.text import shown
from .files.reading import InputFileError, read_json, too_large
from .files.writing import write_text
from .machine.provenance import made_by, package_version
from .searching.state import CheckpointError, SearchResult, SearchState

#: Changes whenever the state's form does.
FORMAT = 1

#: The deepest nesting of lists and dicts that an optimizer's state may
#: have: far more than any needs, and less than a file may nest to be read
#: back (zorv.files.reading.MAX_NESTING, which allows for the levels above
#: the state).
MAX_DEPTH = 100


def to_json(result: SearchResult) -> dict[str, Any]:
    """The result's JSON form, with what made it under "made_by" and its
    state under "checkpoint" (its arrays still arrays: `dumps` writes them
    as lists)."""
    data = result.to_json()
    data["made_by"] = made_by(result.batch_path)
    if result.state is not None:
        data["checkpoint"] = {"format": FORMAT, "zorv_fast": package_version(),
                              "state": result.state.to_json()}
    return data


class UnwritableValueError(ValueError):
    """A result or state that holds a value no result file can hold: the
    message is one line, naming where the value lies."""


def dumps(result: SearchResult) -> str:
    """The result and its state as a result file's text; UnwritableValueError
    for one holding a value that the file could not hold."""
    data = to_json(result)
    checkpoint = data.get("checkpoint")
    if checkpoint is not None and checkpoint["state"]["optimizer"] is not None:
        # The optimizer's state is the optimizer's own data: NumPy's
        # numbers, arrays of any dtype, whatever it saves.
        checkpoint["state"]["optimizer"] = plain_json(
            checkpoint["state"]["optimizer"], "state", "the optimizer's state", "checkpoint")
    try:
        return json.dumps(data, indent=1, allow_nan=False) + "\n"
    except (ValueError, TypeError, RecursionError):
        # The rest is the search's own data, checked here only when it
        # cannot be written as it is (a result made by hand, say).
        plain = plain_json(data, "", "the result", "result")
        return json.dumps(plain, indent=1, allow_nan=False) + "\n"


def plain_json(value: object, path: str, what: str, kind: str) -> Any:
    """`value` as plain JSON data: dicts with string keys, lists, strings,
    finite numbers within the range of a float, booleans and None, from
    those, tuples and NumPy's scalars and arrays. UnwritableValueError for
    anything else, as "{what} cannot be saved: {path}[...] is ..., which a
    {kind} file cannot hold" (the path where the value lies)."""
    try:
        return _plain(value, path, MAX_DEPTH)
    except _Unwritable as error:
        where, problem = error.args
        raise UnwritableValueError(f"{what} cannot be saved: {where or 'it'} "
                                   + problem.replace(_FILE, f"{kind} file")) from None


class _Unwritable(Exception):
    """(where, what is wrong there, with _FILE for the kind of file)"""


#: Stands for the kind of file in _Unwritable's text; a repr never holds it.
_FILE = "\0"


def _key(path: str, key: object) -> str:
    return f"{path}[{key!r}]" if path else str(key)


def _plain(value: object, path: str, depth: int) -> Any:
    if value is None or isinstance(value, (bool, str)):
        return str(value) if isinstance(value, str) else value
    if isinstance(value, np.bool_):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        whole = int(value)
        if abs(whole) > sys.float_info.max:
            raise _Unwritable(path, f"is an integer of {whole.bit_length()} bits: a "
                                    f"{_FILE} holds numbers within the range of a float")
        return whole
    if isinstance(value, (float, np.floating)):
        number = float(value)
        if not math.isfinite(number):
            if isinstance(value, float) or not np.isfinite(value):
                raise _Unwritable(path, f"is {number!r}, which a {_FILE} cannot hold")
            raise _Unwritable(path, f"is {shown(value, 40)}: a {_FILE} holds numbers within "
                                    "the range of a float")
        if number != value:
            raise _Unwritable(path, f"is {shown(value, 40)}, which a {_FILE} cannot hold "
                                    "exactly: it holds floats")
        return number
    if isinstance(value, (dict, list, tuple, np.ndarray)) and depth == 0:
        raise _Unwritable(path, f"is nested more than {MAX_DEPTH} deep, which a {_FILE} "
                                "cannot hold")
    if isinstance(value, dict):
        plain = {}
        for key, item in value.items():
            if not isinstance(key, str):
                raise _Unwritable(path, f"has the key {shown(key, 40)}: a {_FILE} holds "
                                        "string keys only")
            plain[str(key)] = _plain(item, _key(path, str(key)), depth - 1)
        return plain
    if isinstance(value, (list, tuple)):
        return [_plain(item, f"{path}[{index}]", depth - 1) for index, item in enumerate(value)]
    if isinstance(value, np.ndarray):
        if value.dtype.kind in "biuf":
            if value.dtype.kind == "f":
                finite = np.isfinite(value)
                if not finite.all():
                    first = tuple(int(i) for i in np.argwhere(~finite)[0])
                    where = path + "".join(f"[{i}]" for i in first)
                    raise _Unwritable(where, f"is {float(value[first])!r}, which a {_FILE} "
                                             "cannot hold")
            if value.dtype.kind != "f" or value.dtype.itemsize <= 8:
                return value.tolist()  # exact: Python's ints and floats hold these
        if value.dtype.kind in "biufOU":
            return _plain(value.tolist(), path, depth)
        raise _Unwritable(path, f"is an array of {value.dtype}, which a {_FILE} cannot hold")
    raise _Unwritable(path, f"is {shown(value, 40)} of type {type(value).__name__}, which a "
                            f"{_FILE} cannot hold")


def save(path: str | os.PathLike[str], result: SearchResult) -> None:
    """Writes the result and its state to `path`, replacing the previous
    file atomically; OutputPathError when it cannot."""
    write_text(Path(path), dumps(result))


def load(path: str | os.PathLike[str], search_command: str = "zorv search") -> SearchState:
    """The state in a checkpoint file, checked; CheckpointError (one line)
    for a file that cannot be read or is no checkpoint of this version (a
    message that says `search_command` writes them)."""
    shown = repr(os.fspath(path))
    try:
        data = read_json(path)
    except InputFileError as error:
        raise CheckpointError(str(error)) from None
    checkpoint = data.get("checkpoint") if isinstance(data, dict) else None
    if not isinstance(checkpoint, dict):
        raise CheckpointError(f"{shown} holds no checkpoint: expected a result written by "
                              f"{search_command}")
    if checkpoint.get("format") != FORMAT or checkpoint.get("zorv_fast") != package_version():
        raise CheckpointError(
            f"{shown} was written by another version (zorv_fast "
            f"{str(checkpoint.get('zorv_fast'))[:40]!r}, checkpoint format "
            f"{str(checkpoint.get('format'))[:20]}); this is zorv_fast "
            f"{package_version()!r}, format {FORMAT}")
    try:
        return SearchState.from_json(checkpoint.get("state"))
    except MemoryError:
        raise CheckpointError(str(too_large(path))) from None
    except CheckpointError as error:
        # Parts of the message may come from the file: one line, printable.
        text = "".join(c if c.isprintable() else "?" for c in str(error)[:300])
        raise CheckpointError(f"{shown}: {text}") from None
