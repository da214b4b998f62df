"""The runner's body and plan as the compiled model defines them.

Every size and name here is read from the native tables that the simulation
itself runs on, so Python code that draws, checks or searches never keeps a
copy of its own that could fall out of step with the model.
"""
from __future__ import annotations

from . import _trace

PLAN_SIZE: int = _trace.plan_size
"""Numbers in a plan: a hip and a knee command for each segment of a run."""
MAX_STEPS: int = _trace.max_steps
"""The most steps a run can take: a run ends earlier when the hip or the head
touches the ground, so a trace has at most this many rows."""
POINTS: tuple[str, ...] = _trace.point_names
"""The body points' names, in the order of a trace's second axis."""
LINK_NAMES: tuple[str, ...] = _trace.link_names
"""The links' names, in link order."""
LINKS: tuple[tuple[int, int], ...] = _trace.links
"""The links as (proximal, distal) indices into POINTS, in link order."""
LINK_LIMBS: tuple[str, ...] = _trace.link_limbs
"""The limb each link belongs to when a run is drawn, in link order."""
JOINT_NAMES: tuple[str, ...] = _trace.joint_names
"""The joints' names, in joint order."""
JOINTS: tuple[tuple[int, int], ...] = _trace.joints
"""The joints as (parent, child) indices into LINKS, in joint order."""
MASSES: tuple[float, ...] = _trace.point_masses
"""The body points' masses, in POINTS order."""
STARTS: tuple[tuple[float, float], ...] = _trace.point_starts
"""Where each body point stands as a run starts, (x, y) in POINTS order."""
TIME_STEP: float = _trace.time_step
"""The model time that one step of a run takes."""
GRAVITY: float = _trace.gravity
"""The acceleration of gravity: a point of mass m weighs m * GRAVITY."""
HEAD: int = POINTS.index("head")
"""Index of the head in POINTS; its x after the last step is the score."""
FEET: tuple[int, ...] = tuple(i for i, name in enumerate(POINTS) if name.startswith("foot"))
"""The feet, as indices into POINTS, in that order."""

__all__ = ["FEET", "GRAVITY", "HEAD", "JOINTS", "JOINT_NAMES", "LINKS", "LINK_LIMBS", "LINK_NAMES",
           "MASSES", "MAX_STEPS", "PLAN_SIZE", "POINTS", "STARTS", "TIME_STEP"]
