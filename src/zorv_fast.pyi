"""Fast, bit-reproducible simulation of a planar two-legged runner driven by a 40-number plan."""
from collections.abc import Sequence
from typing import Any, SupportsFloat, Union

import numpy.typing as npt

__all__ = ["sim", "sim_batch"]

# A plan is any sequence of 40 numbers; a NumPy array counts as one, and an
# (N, 40) float64 array is read in place as N plans.
_Plan = Union[Sequence[SupportsFloat], npt.NDArray[Any]]

def sim(plan: _Plan) -> float:
    """Simulates a plan and returns the distance traveled."""

def sim_batch(plans: Union[Sequence[_Plan], npt.NDArray[Any]]) -> list[float]:
    """Simulates multiple plans in batches and returns the distances traveled."""
