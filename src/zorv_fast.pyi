"""Fast, bit-reproducible simulation of a planar two-legged runner driven by a 40-number plan."""
from collections.abc import Sequence
from typing import SupportsFloat

__all__ = ["sim", "sim_batch"]

def sim(plan: Sequence[SupportsFloat]) -> float:
    """Simulates a plan and returns the distance traveled."""

def sim_batch(plans: Sequence[Sequence[SupportsFloat]]) -> list[float]:
    """Simulates multiple plans in batches and returns the distances traveled."""
