from collections.abc import Sequence
from typing import SupportsFloat

plan_size: int
max_steps: int
point_names: tuple[str, ...]
link_names: tuple[str, ...]
links: tuple[tuple[int, int], ...]
link_limbs: tuple[str, ...]
joint_names: tuple[str, ...]
joints: tuple[tuple[int, int], ...]
core_library: str
point_masses: tuple[float, ...]
point_starts: tuple[tuple[float, float], ...]
record_fields: tuple[tuple[str, int, int], ...]
record_row_size: int
time_step: float
gravity: float
thread_variables: tuple[str, str]

def run(plan: Sequence[SupportsFloat], /) -> bytearray: ...
def record(plan: Sequence[SupportsFloat], /) -> bytearray: ...
def scored_plan(plan: Sequence[SupportsFloat], /) -> list[float]: ...
def batch_settings() -> tuple[str, str, str, str, str, str, int, str | None, str | None]: ...
