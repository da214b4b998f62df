"""Reading the files the command line is given: plans and search results.

A file is opened without waiting (a FIFO or a terminal opened for reading
would otherwise block until someone writes), must be a regular file, and is
read up to a bound, so that a wrong path costs neither a hang nor the
machine's memory. Its JSON must hold finite numbers only: NaN, Infinity and
numbers beyond the float range (1e309, an integer of 400 digits) are
refused as they are read, so that nothing downstream meets them; and lists
and objects nested deeper than any file zorv writes are refused too, so
that nothing downstream runs out of stack on them. A file too large for
the memory this process may use is refused as well. Every refusal is an
InputFileError whose message is one line for the user.
"""
from __future__ import annotations

import json
import math
import os
import stat
import sys
from typing import Any

from ..body import PLAN_SIZE
from ..records import VALUE_COLUMNS, Curve

#: The most bytes read from one file. A search of a million generations
#: writes a result of about 110 MB; four times that is still a result, not
#: a wrong path.
MAX_INPUT_BYTES = 512 * 2**20

#: The deepest nesting of lists and objects read. A result nests a few
#: levels deep, with an optimizer's state three levels down, which itself
#: nests at most zorv.checkpoints.MAX_DEPTH deep; copying and checking a
#: value this deep stays far within Python's recursion limit.
MAX_NESTING = 128

#: Digits beyond which an integer cannot be a float (the largest has 309);
#: longer ones are refused before Python converts them, which takes time
#: quadratic in their length.
_MOST_DIGITS = 309

_KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a device"),
          (stat.S_ISBLK, "a device"), (stat.S_ISSOCK, "a socket"))


class InputFileError(Exception):
    """A file that cannot be used; the message is one line."""


class _NumberError(ValueError):
    """A number in JSON text that is not a finite float."""


def file_kind(mode: int) -> str:
    """What a file of this mode (st_mode) that is no regular file is, as
    messages name it: "a folder", "a FIFO", ..."""
    return next((kind for test, kind in _KINDS if test(mode)), "something else")


def _name(path: str | os.PathLike[str]) -> str:
    return repr(os.fspath(path))


def read_bytes(path: str | os.PathLike[str], limit: int = MAX_INPUT_BYTES) -> bytes:
    """The contents of a regular file of at most `limit` bytes; InputFileError
    for anything else, without blocking on it."""
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0)
    try:
        descriptor = os.open(path, flags | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise InputFileError(f"cannot read {_name(path)}: {error.strerror or error}") from None
    try:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise InputFileError(f"cannot read {_name(path)}: it is "
                                 f"{file_kind(status.st_mode)}, not a file")
        parts: list[bytes] = []
        # One byte more than the limit tells a file over it, also one that
        # grows while it is read.
        left = limit + 1 if status.st_size <= limit else 0
        while left > 0:
            part = os.read(descriptor, min(left, 2**20))
            if not part:
                break
            parts.append(part)
            left -= len(part)
        if left > 0:
            return b"".join(parts)
    except OSError as error:
        raise InputFileError(f"cannot read {_name(path)}: {error.strerror or error}") from None
    except MemoryError:
        raise too_large(path) from None
    finally:
        os.close(descriptor)
    raise InputFileError(f"{_name(path)} is larger than {limit:,} bytes: "
                         "not a file written by zorv")


def too_large(path: str | os.PathLike[str]) -> InputFileError:
    """The error for a file whose contents do not fit in the memory this
    process may take (a cgroup's limit, ulimit -v)."""
    return InputFileError(f"{_name(path)} is too large to read in the memory this "
                          "process may use")


def _finite_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise _NumberError(f"{text[:40]} is beyond the range of a float")
    return value


def _float_sized_int(text: str) -> int:
    if len(text.lstrip("-")) > _MOST_DIGITS:
        raise _NumberError(f"an integer of {len(text.lstrip('-'))} digits is beyond "
                           "the range of a float")
    value = int(text)
    if abs(value) > sys.float_info.max:
        raise _NumberError(f"{text[:40]}... is beyond the range of a float")
    return value


def _refuse_constant(text: str) -> Any:
    raise _NumberError(f"{text} is not a number")


def read_json(path: str | os.PathLike[str], limit: int = MAX_INPUT_BYTES) -> Any:
    """The JSON value in a file, every number in it finite; InputFileError
    with a one-line message if the file cannot be read or parsed."""
    data = read_bytes(path, limit)
    try:
        text = data.decode("utf-8")
        del data
        value = json.loads(text, parse_float=_finite_float, parse_int=_float_sized_int,
                           parse_constant=_refuse_constant)
    except UnicodeDecodeError:
        raise InputFileError(f"{_name(path)} is not UTF-8 text") from None
    except MemoryError:
        raise too_large(path) from None
    except json.JSONDecodeError as error:
        raise InputFileError(f"{_name(path)} is not valid JSON: {error.msg} "
                             f"at line {error.lineno} column {error.colno}") from None
    except _NumberError as error:
        raise InputFileError(f"{_name(path)}: {error}") from None
    except (ValueError, RecursionError) as error:
        raise InputFileError(f"{_name(path)} is not valid JSON: {error}") from None
    if _nested_deeper_than(value, MAX_NESTING):
        raise InputFileError(f"{_name(path)} nests lists and objects more than {MAX_NESTING} "
                             "deep: not a file written by zorv")
    return value


def _nested_deeper_than(value: Any, limit: int) -> bool:
    """Whether lists and dicts nest more than `limit` deep in `value`, found
    a level at a time without recursion (and each list's items' types
    gathered at C speed: a result's long lists hold numbers only)."""
    level = [value] if type(value) in (list, dict) else []
    for _ in range(limit):
        deeper: list[Any] = []
        for container in level:
            items = container.values() if type(container) is dict else container
            kinds = set(map(type, items))
            if list in kinds or dict in kinds:
                deeper.extend(item for item in items if type(item) in (list, dict))
        if not deeper:
            return False
        level = deeper
    return True


def _is_number(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _first_not_number(values: list[Any]) -> tuple[int, str] | None:
    """The index and JSON text of the first value that is not a number."""
    for index, value in enumerate(values):
        if not _is_number(value):
            return index, json.dumps(value)[:40]
    return None


def load_plan(path: str | os.PathLike[str]) -> list[float]:
    """Reads a plan from JSON: a search result (its "plan") or a bare list.

    Raises InputFileError with a one-line message for every kind of bad file.
    """
    data = read_json(path)
    values = data.get("plan") if isinstance(data, dict) else data
    if not isinstance(values, list):
        raise InputFileError(f"{_name(path)} holds no plan: expected a list of {PLAN_SIZE} "
                             'numbers, or an object with such a list as "plan"')
    if len(values) != PLAN_SIZE:
        raise InputFileError(f"{_name(path)}: a plan has {PLAN_SIZE} numbers, "
                             f"this one has {len(values)}")
    wrong = _first_not_number(values)
    if wrong is not None:
        raise InputFileError(f"{_name(path)}: plan value {wrong[0]} is not a number: {wrong[1]}")
    return [float(v) for v in values]


def load_curve(path: str | os.PathLike[str], search_command: str = "zorv search") -> Curve:
    """Reads the convergence history of a search result written by `search`,
    labelled with the path as given and the search's settings; a message
    says that `search_command` writes such results."""
    data = read_json(path)
    no_history = InputFileError(f"{_name(path)} holds no search history: expected a result "
                                f"written by {search_command}")
    history = data.get("history") if isinstance(data, dict) else None
    if not isinstance(history, dict):
        raise no_history
    for column in VALUE_COLUMNS:
        values = history.get(column)
        if not isinstance(values, list):
            raise no_history
        wrong = _first_not_number(values)
        if wrong is not None:
            raise InputFileError(f"{_name(path)}: history {column} value {wrong[0]} "
                                 f"is not a number: {wrong[1]}")
    try:
        return Curve.from_result(data, name=os.fspath(path))
    except MemoryError:
        raise too_large(path) from None
    except ValueError as error:  # the history's own checks (zorv.records.History)
        detail = "".join(c if c.isprintable() else "?" for c in str(error)[:200])
        raise InputFileError(f"{_name(path)} holds no search history: {detail}") from None
    except (KeyError, TypeError, AttributeError):
        raise no_history from None
