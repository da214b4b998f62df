from collections.abc import Sequence
from typing import SupportsFloat

point_names: tuple[str, str, str, str, str, str]
links: tuple[tuple[int, int], ...]
max_steps: int

def run(plan: Sequence[SupportsFloat], /) -> bytearray: ...
