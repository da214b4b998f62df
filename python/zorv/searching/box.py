"""Keeping plans in [-1, 1], the box where sim reads them: a smooth map
into it, and a penalty on the optimizer's points outside it."""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

from .. import _cmaes

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


def penalised_values(points: Plans, plans: Plans, distances: Plans) -> Plans:
    """What the optimizer minimises for `points`, clipped into the `plans`
    that scored `distances`: -distances plus a penalty on points outside the
    box, the squared distance to its clipped plan, weighted so that the
    spread of the generation's distances (its interquartile range) is worth
    as much as a step of the spread of its points (the coordinates' mean
    variance)."""
    # One native call, its sums in a fixed order: NumPy's reductions may
    # round differently on other CPUs.
    values: Plans = np.empty(len(points))
    _cmaes.penalised_values(points, plans, np.ascontiguousarray(distances, dtype=np.float64),
                            values)
    return values


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
        if self.boundary == "penalty":
            assert self.points is not None and self.plans is not None
            return penalised_values(self.points, self.plans, distances)
        return -distances
