"""How robust a plan is: the distances of the plan with small random
changes to its values, and their summary."""
from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import SupportsFloat

import numpy as np
import numpy.typing as npt

import zorv_fast

from ..body import PLAN_SIZE

__all__ = ["DEFAULT_NOISE", "DEFAULT_SAMPLES", "DEFAULT_SEED", "Robustness", "robustness"]

#: The changes robustness() draws unless told otherwise: their standard
#: deviation, how many, and their seed.
DEFAULT_NOISE, DEFAULT_SAMPLES, DEFAULT_SEED = 0.01, 1000, 1

#: Scores plans: an (N, 40) array in, N distances out, in order.
BatchScorer = Callable[[npt.NDArray[np.float64]], Sequence[float]]


@dataclass(frozen=True, eq=False)
class Robustness:
    """The distances of a plan changed at random (see robustness)."""

    distance: float
    """The plan's own distance."""
    noise: float
    """The standard deviation of the changes to each value."""
    seed: int
    """The seed they were drawn with."""
    distances: npt.NDArray[np.float64]
    """The changed plans' distances, in the order they were drawn."""
    median: float
    lower_quartile: float
    upper_quartile: float
    within_1_percent: float
    """The share of changed plans that go within 1 % of the plan's own
    distance (of its size), farther or not as far."""
    within_10_percent: float
    """The share within 10 %."""

    @property
    def samples(self) -> int:
        return len(self.distances)

    def lines(self) -> list[str]:
        """The summary as lines for people, as `zorv show --robustness`
        prints it."""
        return [f"robustness: {self.samples} changes of noise {self.noise:g} (seed "
                f"{self.seed}) to a plan of distance {self.distance!r}",
                f"distances: median {self.median:.4g}, quartiles {self.lower_quartile:.4g} "
                f"and {self.upper_quartile:.4g}",
                f"within 1 % of the plan's own: {self.within_1_percent:.1%}; within 10 %: "
                f"{self.within_10_percent:.1%}"]


def _plan_values(plan: object) -> npt.NDArray[np.float64]:
    try:
        values = np.array(plan, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"plan must be {PLAN_SIZE} numbers") from None
    if values.shape != (PLAN_SIZE,):
        raise ValueError(f"plan must be {PLAN_SIZE} numbers, got shape {values.shape}")
    return values


def _whole(value: object, name: str, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < least:
        raise ValueError(f"{name} must be a whole number of at least {least}, got {value!r}")
    return int(value)


def robustness(plan: Sequence[SupportsFloat] | npt.ArrayLike, noise: float = DEFAULT_NOISE,
               samples: int = DEFAULT_SAMPLES, seed: int = DEFAULT_SEED, *,
               score: BatchScorer | None = None) -> Robustness:
    """Scores `plan` with small random changes to its values.

    Each of `samples` changed plans is the plan plus `noise` times standard
    normal numbers, one per value, drawn with
    ``numpy.random.default_rng(seed)`` as one (samples, 40) array; `sim`
    clamps the changed values into [-1, 1] as it reads them. The plan and
    the changed plans are scored in one call of `score` (by default
    `zorv_fast.sim_batch`, on every core), so the result's bits are fixed by
    the plan, the noise, the samples and the seed. With `noise=0` every
    changed plan is the plan itself.

    Raises:
        ValueError: `plan` is not 40 numbers, `noise` not a finite number of
            at least 0, `samples` or `seed` not a whole number of at least 1
            and 0; the message names the argument.
    """
    values = _plan_values(plan)
    if isinstance(noise, bool) or not isinstance(noise, numbers.Real) or not (
            math.isfinite(noise) and noise >= 0):
        raise ValueError(f"noise must be a finite number of at least 0, got {noise!r}")
    samples = _whole(samples, "samples", 1)
    seed = _whole(seed, "seed", 0)
    changes = np.random.default_rng(seed).standard_normal((samples, PLAN_SIZE))
    plans = np.empty((samples + 1, PLAN_SIZE))
    plans[0] = values
    plans[1:] = values + float(noise) * changes
    scores = np.asarray((zorv_fast.sim_batch if score is None else score)(plans),
                        dtype=np.float64)
    own, distances = float(scores[0]), scores[1:].copy()
    distances.setflags(write=False)
    lower, median, upper = (float(q) for q in np.percentile(distances, [25, 50, 75]))
    off = np.abs(distances - own)
    return Robustness(distance=own, noise=float(noise), seed=seed, distances=distances,
                      median=median, lower_quartile=lower, upper_quartile=upper,
                      within_1_percent=float(np.mean(off <= 0.01 * abs(own))),
                      within_10_percent=float(np.mean(off <= 0.1 * abs(own))))
