"""What every SVG picture of zorv has in common: its header, its numbers,
the room its texts take, and its end."""
from __future__ import annotations

import math
import re
from collections.abc import Sequence
from xml.sax.saxutils import escape

#: The most that a character takes in the common sans-serif fonts (DejaVu
#: Sans is the widest of them), as a share of the font's size: spaces, the
#: narrow punctuation and letters; digits and the other lower-case letters;
#: anything else, capitals included.
_NARROW, _NARROW_WIDTH = frozenset(" .,:;'!|()[]ijlft-"), 0.4
_MIDDLE, _MIDDLE_WIDTH = frozenset("0123456789abcdeghknopqrsuvxyz"), 0.68
_WIDEST = 1.0


#: The width, in CSS pixels, at which the manual's pages show a picture
#: (the column of text of mkdocs-material at a desktop window's width), and
#: what is left of a phone's 390 pixels for it.
PAGE_WIDTH, PHONE_WIDTH = 688.0, 358.0
#: The size of a picture's smallest text, as a share of the picture's
#: width: pictures are shown scaled to a width, not at their own, so that
#: text stays 17 pixels tall on a page and 9 on a phone, however wide the
#: picture is drawn.
SMALLEST_TEXT = 0.025


def text_size(width: float, times: float = 1.0) -> float:
    """The font size, in the picture's units, of text `times` the smallest
    in a picture `width` units wide."""
    return width * SMALLEST_TEXT * times


def wrap(text: str, font_size: float, room: float) -> list[str]:
    """The text in lines that fit `room` at this font size, broken at
    spaces (a word wider than the room alone on its line); words joined by
    a no-break space stay together."""
    lines: list[str] = []
    for word in text.split(" "):
        if lines and text_width(f"{lines[-1]} {word}", font_size) <= room:
            lines[-1] = f"{lines[-1]} {word}"
        else:
            lines.append(word)
    return lines or [""]


def number(value: float) -> str:
    """A coordinate or length as written in the SVG; a non-finite one, which
    no viewer draws, as 0."""
    return f"{value:.2f}" if math.isfinite(value) else "0"


def text_width(text: str, font_size: float) -> float:
    """How wide the text may be drawn in a sans-serif font of this size:
    an upper bound, for leaving it room, not for centring it."""
    return font_size * sum(_NARROW_WIDTH if c in _NARROW else _MIDDLE_WIDTH if c in _MIDDLE
                           else _WIDEST for c in text)


#: The first lines of every picture zorv draws, the last of them its mark:
#: the commands that draw pictures replace a file that begins so without
#: being told to (an earlier picture of theirs), and no other.
_DECLARATION = '<?xml version="1.0" encoding="UTF-8"?>'
_SVG_START = '<svg xmlns="http://www.w3.org/2000/svg" '
MARK = "<metadata>drawn by zorv</metadata>"

#: Bytes enough to hold the lines before the mark and the mark itself.
HEAD_BYTES = 512


def drawn_by_zorv(head: bytes) -> bool:
    """Whether a file that begins with `head` (its first HEAD_BYTES bytes,
    or all of a shorter file) is a picture that zorv drew."""
    lines = head.split(b"\n", 3)
    return len(lines) > 3 and lines[0] == _DECLARATION.encode() and (
        lines[1].startswith(_SVG_START.encode()) and lines[2] == MARK.encode())


def header(width: float, height: float, title: str, style: str) -> list[str]:
    """The opening lines: the <svg> element, zorv's mark, its title, its
    style sheet and a white background.

    The picture has a viewBox of this size and no width or height of its
    own: a browser scales it to fit the window it is opened in, and a page
    that shows it in an <img> to the width the page gives it.
    """
    return [
        _DECLARATION,
        f'{_SVG_START}viewBox="0 0 {number(width)} {number(height)}">',
        MARK,
        f"<title>{escape(title)}</title>",
        f"<style>{style}</style>",
        f'<rect width="{number(width)}" height="{number(height)}" fill="#ffffff"/>',
    ]


#: Characters that an XML document cannot hold: control characters, the
#: halves of surrogate pairs (a file name that is no UTF-8 comes with them
#: into a title) and the two non-characters of the first plane.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def document(lines: Sequence[str]) -> str:
    """The whole file: the lines, the closing </svg>, one a line; any
    character that XML cannot hold (see _NOT_XML) shown as U+FFFD."""
    return _NOT_XML.sub("\ufffd", "\n".join([*lines, "</svg>"]) + "\n")
