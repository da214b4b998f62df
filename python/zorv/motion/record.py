"""The full record of a run: every step's positions, velocities, contacts,
link measurements, joint targets, angles and torques, as the model's own
stages computed them."""
from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import SupportsFloat, TypeVar

import numpy as np
import numpy.typing as npt

from .. import _trace
from ..body import HEAD, MAX_STEPS, POINTS, STARTS

__all__ = ["ENDS", "RunRecord", "record_run"]

#: Why a run ends, as RunRecord.end names it, each explained in one line.
ENDS: dict[str, str] = {
    "hip": "the hip touched the ground",
    "head": "the head touched the ground",
    "hip and head": "the hip and the head touched the ground",
    "all steps": f"the run took all {MAX_STEPS} steps",
}

_HIP = POINTS.index("hip")


@dataclass(frozen=True, eq=False)
class RunRecord:
    """Everything each step of a run shows, one row per step, as read-only
    NumPy arrays (step k is row k; a run ends after at most MAX_STEPS).

    The values are the model's own, taken from its stages as the run that
    `zorv_fast.sim` scores computes them: `distance` is ``sim(plan)`` bit
    for bit, and `positions` is ``zorv.trace(plan)``. Points, links and
    joints are in the order of zorv.body's POINTS, LINK_NAMES and
    JOINT_NAMES.
    """

    positions: npt.NDArray[np.float64]
    """(steps, points, 2): x and y of each point after the step."""
    velocities: npt.NDArray[np.float64]
    """(steps, points, 2): x and y velocity of each point after the step;
    the step moved each point by its velocity times zorv.body.TIME_STEP."""
    contacts: npt.NDArray[np.bool_]
    """(steps, points): whether the point stood on the ground in the step
    (it began the step at or below the ground line)."""
    link_lengths: npt.NDArray[np.float64]
    """(steps, links): each link's length as its spring measured it in the
    step, the distance between its points plus 0.01."""
    link_angles: npt.NDArray[np.float64]
    """(steps, links): each link's direction in the step, atan2(dy, dx)
    from its proximal to its distal point, in radians."""
    target_angles: npt.NDArray[np.float64]
    """(steps, joints): the relative angle that each joint's muscle drives
    the joint towards in the step (modulo 2 pi), as the plan sets it."""
    joint_angles: npt.NDArray[np.float64]
    """(steps, joints): each joint's measured relative angle in the step:
    its child link's angle minus its parent link's."""
    torques: npt.NDArray[np.float64]
    """(steps, joints): each muscle's torque in the step; a positive torque
    lowers the joint's relative angle."""
    end: str
    """Why the run ended: "hip" or "head" (it touched the ground; the step
    after the one that took it there still runs), "hip and head", or
    "all steps" (see ENDS)."""

    @property
    def steps(self) -> int:
        """Steps the run took."""
        return len(self.positions)

    @property
    def distance(self) -> float:
        """The head's x after the last step: the plan's score."""
        return float(self.positions[-1, HEAD, 0])

    def _repr_html_(self) -> str:
        """In a notebook: its distance, its length, why it ended, and its
        animation."""
        from .. import svg
        from ..display.notebook import summary_html
        facts = {"distance": repr(self.distance), "run": f"{self.steps} steps: {ENDS[self.end]}"}
        picture = svg.animation(self.positions, title="run", contacts=self.contacts)
        return summary_html("zorv run record", facts, picture, "the recorded run")


def _fields(rows: npt.NDArray[np.float64]) -> dict[str, npt.NDArray[np.float64]]:
    """The record's columns by the native layout's names."""
    return {name: rows[:, first:first + count] for name, first, count in _trace.record_fields}


_Item = TypeVar("_Item", bound=np.generic)


def _read_only(array: npt.NDArray[_Item]) -> npt.NDArray[_Item]:
    array.setflags(write=False)
    return array


def _end(positions: npt.NDArray[np.float64]) -> str:
    """Why a run of these positions ended: the end test looks at the hip's
    and the head's heights as the last step began (a NaN height ends
    nothing)."""
    before = positions[-2] if len(positions) > 1 else np.array(STARTS)
    hip, head = bool(before[_HIP, 1] <= 0.0), bool(before[HEAD, 1] <= 0.0)
    if hip and head:
        return "hip and head"
    if hip or head:
        return "hip" if hip else "head"
    return "all steps"


def record_run(plan: Sequence[SupportsFloat] | npt.ArrayLike) -> RunRecord:
    """Runs `plan` and records every step of it (see RunRecord).

    The plan is read the way `zorv_fast.sim` reads it, by the same native
    code: a sequence of exactly `zorv.body.PLAN_SIZE` numbers, clamped to
    [-1, 1], NaN counting as -1; what `sim` rejects raises the same
    exception with the same message.
    """
    raw = _trace.record(plan)  # type: ignore[arg-type]
    rows = np.frombuffer(raw, dtype=np.float64).reshape(-1, _trace.record_row_size)
    columns = _fields(rows)
    positions = np.stack([columns["x"], columns["y"]], axis=-1)
    return RunRecord(
        positions=_read_only(positions),
        velocities=_read_only(np.stack([columns["vx"], columns["vy"]], axis=-1)),
        contacts=_read_only(columns["contact"] != 0.0),
        link_lengths=_read_only(columns["link_length"].copy()),
        link_angles=_read_only(columns["link_angle"].copy()),
        target_angles=_read_only(columns["target_angle"].copy()),
        joint_angles=_read_only(columns["joint_angle"].copy()),
        torques=_read_only(columns["torque"].copy()),
        end=_end(positions),
    )
