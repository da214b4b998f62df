"""Values as one-line messages show them."""
from __future__ import annotations

import os
from os import PathLike


def cut_short(text: str, width: int = 60) -> str:
    """`text` on one printable line (runs of white space as one space, other
    unprintable characters as "?"), cut to `width` characters with "..."."""
    text = "".join(c if c.isprintable() else "?" for c in " ".join(text.split()))
    return text if len(text) <= width else text[:width - 3] + "..."


def shown(value: object, width: int = 60) -> str:
    """A value as a message shows it: its repr, as `cut_short` gives it."""
    return cut_short(repr(value), width)


def shown_file(path: PathLike[str] | str) -> str:
    """A file's path as a message names it: whole, in quotes, so that a
    name with spaces, or none at all, is still seen for what it is."""
    return repr(os.fspath(path))
