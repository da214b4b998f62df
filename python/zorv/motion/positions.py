"""Where the body points are after every step of a run."""
from __future__ import annotations

from collections.abc import Sequence
from typing import SupportsFloat

import numpy as np
import numpy.typing as npt

from .. import _trace
from ..body import HEAD, LINKS, MAX_STEPS, POINTS

__all__ = ["HEAD", "LINKS", "MAX_STEPS", "POINTS", "trace"]


def trace(plan: Sequence[SupportsFloat]) -> npt.NDArray[np.float64]:
    """Runs `plan` and returns the positions after every step.

    The result has shape (steps, len(POINTS), 2): step, body point (in
    POINTS order), then x and y; `steps` is the run's length, at most
    MAX_STEPS. The run is the one that `zorv_fast.sim`
    scores, so ``trace(plan)[-1, HEAD, 0] == zorv_fast.sim(plan)`` holds bit
    for bit.
    The plan is read the way `sim` reads it, by the same native code: a
    sequence of exactly `zorv.body.PLAN_SIZE` numbers, clamped to [-1, 1],
    NaN counting as -1; what `sim` rejects raises the same exception with
    the same message.
    """
    raw = _trace.run(plan)
    return np.frombuffer(raw, dtype=np.float64).reshape(-1, len(POINTS), 2)
