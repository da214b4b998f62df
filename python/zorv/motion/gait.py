"""A run's gait, measured from its record: when each foot lands and lifts
off, its strides and duty factor, the phases of flight, the speed, the
muscles' work and the cost of transport."""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from ..body import FEET, GRAVITY, JOINT_NAMES, MASSES, POINTS, STARTS, TIME_STEP
from .contacts import contact_spans
from .record import ENDS, RunRecord

__all__ = ["Flight", "FootGait", "GaitEvent", "GaitMeasures", "Stride", "gait_measures"]

@dataclass(frozen=True)
class GaitEvent:
    """A foot landing or lifting off: the step in which it first stands on
    the ground again, or first no longer does, and its x as that step
    began."""

    step: int
    x: float


@dataclass(frozen=True)
class Stride:
    """From one footfall of a foot to its next."""

    step: int
    """The step of the first footfall."""
    steps: int
    """Steps to the next footfall."""
    length: float
    """How far the foot landed ahead of where it landed before (x)."""
    duration: float
    """Model time from one footfall to the next."""


@dataclass(frozen=True)
class FootGait:
    """One foot's share of the gait."""

    name: str
    footfalls: tuple[GaitEvent, ...]
    """Each landing: a step in which the foot stands on the ground after one
    in which it did not (the run starts with both feet down)."""
    lift_offs: tuple[GaitEvent, ...]
    """Each lift-off: a step in which the foot no longer stands on the ground."""
    strides: tuple[Stride, ...]
    """From each footfall to the next."""
    duty_factor: float
    """The share of the run's steps in which the foot stands on the ground."""


@dataclass(frozen=True)
class Flight:
    """Steps in a row in which no point of the body touches the ground."""

    step: int
    """The first of them."""
    steps: int
    duration: float
    """Their model time."""


@dataclass(frozen=True)
class GaitMeasures:
    """A run's gait (see gait_measures)."""

    steps: int
    """Steps the run took."""
    end: str
    """Why it ended (see zorv.motion.record.ENDS)."""
    duration: float
    """Its model time: steps times zorv.body.TIME_STEP."""
    feet: tuple[FootGait, ...]
    """Each foot's footfalls, lift-offs, strides and duty factor."""
    flights: tuple[Flight, ...]
    """The phases in which the whole body is off the ground."""
    travel: float
    """How far the body's centre of mass moved forward (x) over the run."""
    mean_speed: float
    """travel / duration."""
    joint_work: tuple[float, ...]
    """Each muscle's positive mechanical work, in JOINT_NAMES order: the
    sum over steps of its torque times the turn of its joint that the torque
    drives, where that is positive."""
    positive_work: float
    """The muscles' positive work together."""
    cost_of_transport: float
    """positive_work over weight (total mass times gravity) times travel:
    work per unit of weight and distance; NaN where the body did not move
    forward."""

    def lines(self) -> list[str]:
        """The measures as lines for people, as `zorv show --gait` prints them."""
        out = [f"{self.steps} steps ({self.duration:.4g} time units): {ENDS[self.end]}"]
        for foot in self.feet:
            strides = ""
            if foot.strides:
                lengths = [s.length for s in foot.strides]
                durations = [s.duration for s in foot.strides]
                strides = (f", mean stride {sum(lengths) / len(lengths):.4g} long over "
                           f"{sum(durations) / len(durations):.4g} time units")
            out.append(f"{foot.name}: {_count(len(foot.footfalls), 'footfall')} at steps "
                       f"{_steps(foot.footfalls)}, {_count(len(foot.lift_offs), 'lift-off')}, "
                       f"{_count(len(foot.strides), 'stride')}{strides}; duty factor "
                       f"{foot.duty_factor:.3f}")
        flying = sum(flight.steps for flight in self.flights)
        out.append(f"{_count(len(self.flights), 'flight phase')}, {flying} steps in all")
        out.append(f"centre of mass: {self.travel:.4g} forward, mean speed "
                   f"{self.mean_speed:.4g}")
        work = ", ".join(f"{name} {value:.4g}" for name, value in zip(JOINT_NAMES, self.joint_work))
        out.append(f"positive muscle work {self.positive_work:.4g} ({work}); cost of transport "
                   f"{self.cost_of_transport:.4g}")
        return out


def _count(number: int, thing: str) -> str:
    return f"{number} {thing}{'' if number == 1 else 's'}"


def _steps(events: tuple[GaitEvent, ...]) -> str:
    return ", ".join(str(event.step) for event in events) or "none"


def _foot(record: RunRecord, point: int) -> FootGait:
    contact = record.contacts[:, point]
    x_before = record.positions[:, point, 0]  # row k - 1: where step k began
    landed = np.flatnonzero(contact[1:] & ~contact[:-1]) + 1
    lifted = np.flatnonzero(~contact[1:] & contact[:-1]) + 1
    footfalls = tuple(GaitEvent(int(k), float(x_before[k - 1])) for k in landed)
    lift_offs = tuple(GaitEvent(int(k), float(x_before[k - 1])) for k in lifted)
    strides = tuple(Stride(a.step, b.step - a.step, b.x - a.x, (b.step - a.step) * TIME_STEP)
                    for a, b in zip(footfalls, footfalls[1:]))
    return FootGait(POINTS[point], footfalls, lift_offs, strides, float(contact.mean()))


def _joint_work(record: RunRecord) -> npt.NDArray[np.float64]:
    """Each joint's positive work: a positive torque lowers the joint's
    angle, so the torque of a step times the fall of the angle from that
    step's measurement to the next is the work it did, taken where positive.
    The turn is taken the short way round (the angles are atan2's)."""
    turn = np.diff(record.joint_angles, axis=0)
    turn = (turn + math.pi) % (2 * math.pi) - math.pi
    work: npt.NDArray[np.float64] = np.maximum(0.0, -record.torques[:-1] * turn).sum(axis=0)
    return work


def gait_measures(record: RunRecord) -> GaitMeasures:
    """The gait of a recorded run (see zorv.record_run): each foot's
    footfalls and lift-offs (step and x), strides (length and duration) and
    duty factor, the flight phases, the centre of mass's travel and mean
    speed, the muscles' positive mechanical work and the cost of transport.

    Steps are the record's row indices; lengths, times and work are in the
    model's own units.
    """
    masses = np.array(MASSES)
    start = float(np.dot(masses, np.array(STARTS)[:, 0]) / masses.sum())
    end = float(np.dot(masses, record.positions[-1, :, 0]) / masses.sum())
    travel = end - start
    duration = record.steps * TIME_STEP
    airborne = contact_spans(np.logical_not(record.contacts.any(axis=1)))
    joint_work = _joint_work(record)
    positive_work = float(joint_work.sum())
    weight = float(masses.sum()) * GRAVITY
    return GaitMeasures(
        steps=record.steps,
        end=record.end,
        duration=duration,
        feet=tuple(_foot(record, point) for point in FEET),
        flights=tuple(Flight(first, steps, steps * TIME_STEP) for first, steps in airborne),
        travel=travel,
        mean_speed=travel / duration,
        joint_work=tuple(float(w) for w in joint_work),
        positive_work=positive_work,
        cost_of_transport=positive_work / (weight * travel) if travel > 0 else math.nan,
    )
