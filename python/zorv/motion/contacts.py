"""Ground contact over a run: the runs of steps in which a point stands on
the ground, as the gait measures count them and the gait diagram draws them."""
from __future__ import annotations

import numpy as np
import numpy.typing as npt


def contact_spans(contacts: npt.NDArray[np.bool_]) -> list[tuple[int, int]]:
    """The runs of True in one point's contacts: (first step, steps) each,
    in order. The gait diagram draws them as bars."""
    padded = np.concatenate([[False], np.asarray(contacts, dtype=bool), [False]])
    changes = np.flatnonzero(padded[1:] != padded[:-1])
    return [(int(first), int(last - first)) for first, last in zip(changes[::2], changes[1::2])]
