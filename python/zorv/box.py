"""Keeping plans in [-1, 1], the box where sim reads them: a smooth map
into it, and a penalty on the optimizer's points outside it."""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

from . import _cmaes

#: The box the model clamps every plan value into.
LOWER, UPPER = -1.0, 1.0

Plans = npt.NDArray[np.float64]


def into_box(points: Plans) -> Plans:
    """Maps every finite value into [-1, 1]: unchanged within 0.9 of 0,
    bent smoothly onto the bound within 0.1 of it (value and slope
    continuous), and mirrored periodically beyond, so that nearby points
    stay nearby."""
    points = np.ascontiguousarray(points, dtype=np.float64)
    boxed: Plans = np.empty(points.shape)
    _cmaes.into_box(points, boxed)
    return boxed


def box_penalty(points: Plans, plans: Plans, distances: Plans) -> Plans:
    """How much to take off each distance for points outside the box: the
    squared distance to its clipped plan, weighted so that the spread of the
    generation's distances (its interquartile range) is worth as much as a
    step of the spread of its points."""
    # Sums through zorv._cmaes, in a fixed order: NumPy's reductions may
    # round differently on other CPUs.
    outside: Plans = np.empty(len(points))
    squares, centre_square = _cmaes.box_sums(points, plans, outside)
    if not outside.any():
        return outside
    ordered = np.sort(distances)
    quartile_range = float(ordered[3 * len(ordered) // 4] - ordered[len(ordered) // 4])
    # The coordinates' mean variance, as the mean square less the squared means.
    spread = squares / points.size - centre_square / points.shape[1]
    weight = 2 * max(quartile_range, 1e-12) / max(spread, 1e-300)
    penalty: Plans = weight * outside
    return penalty


class Boxed:
    """The optimizer's points and the plans made of them, one ask to the next."""

    def __init__(self, boundary: str) -> None:
        self.boundary = boundary
        self.points: Plans | None = None
        self.plans: Plans | None = None

    def plans_of(self, points: Plans) -> Plans:
        self.points = np.ascontiguousarray(points, dtype=np.float64)  # as the native code reads them
        if self.boundary == "transform":
            self.plans = into_box(self.points)
        else:
            # np.clip's bits in one native pass, at half NumPy's time here.
            self.plans = np.empty(self.points.shape)
            _cmaes.clip_to_box(self.points, self.plans)
        return self.plans

    def values_of(self, distances: Plans) -> Plans:
        """What the optimizer minimises."""
        values = -distances
        if self.boundary == "penalty":
            assert self.points is not None and self.plans is not None
            values = values + box_penalty(self.points, self.plans, distances)
        return values
