"""What every SVG picture of zorv has in common: its header, its numbers and
its end."""
from __future__ import annotations

import math
from collections.abc import Sequence
from xml.sax.saxutils import escape


def number(value: float) -> str:
    """A coordinate or length as written in the SVG; a non-finite one, which
    no viewer draws, as 0."""
    return f"{value:.2f}" if math.isfinite(value) else "0"


def header(width: float, height: float, title: str, style: str) -> list[str]:
    """The opening lines: the <svg> element of this size, its title, its
    style sheet and a white background."""
    return [
        '<?xml version="1.0" encoding="UTF-8"?>',
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{number(width)}" '
        f'height="{number(height)}" viewBox="0 0 {number(width)} {number(height)}">',
        f"<title>{escape(title)}</title>",
        f"<style>{style}</style>",
        f'<rect width="{number(width)}" height="{number(height)}" fill="#ffffff"/>',
    ]


def document(lines: Sequence[str]) -> str:
    """The whole file: the lines, the closing </svg>, one a line."""
    return "\n".join([*lines, "</svg>"]) + "\n"
