"""Values as one-line messages show them."""
from __future__ import annotations


def cut_short(text: str, width: int = 60) -> str:
    """`text` on one printable line (runs of white space as one space, other
    unprintable characters as "?"), cut to `width` characters with "..."."""
    text = "".join(c if c.isprintable() else "?" for c in " ".join(text.split()))
    return text if len(text) <= width else text[:width - 3] + "..."


def shown(value: object, width: int = 60) -> str:
    """A value as a message shows it: its repr, as `cut_short` gives it."""
    return cut_short(repr(value), width)
