"""Whether a search's population fits in the memory this process may use.

A population too large for the machine is refused before it is drawn: drawn,
it would fail with a MemoryError at best, or, where nothing limits the
process, swell until the kernel kills it (or another process).
"""
from __future__ import annotations

import os
from pathlib import Path

from .body import PLAN_SIZE

#: Arrays of popsize plans (PLAN_SIZE float64 each) that a generation holds
#: at once at the most, by optimizer: the normal samples, their shaped copy,
#: the points, the plans made of them and the temporaries of the updates and
#: of the boundary. Measured peaks, at popsize 100,000 to 200,000 and every
#: boundary, are up to 7.3 for the builtin CMA-ES and 16.7 for pycma, which
#: keeps each point as an array of its own and copies the population more
#: often; the margin covers the allocator's.
PLAN_ARRAYS = {"builtin": 9, "pycma": 20}

_FLOAT_BYTES = 8


class PopulationTooLargeError(ValueError):
    """A population that does not fit in memory; the message is one line."""


def generation_bytes(popsize: int, optimizer: str) -> int:
    """The most bytes a generation of `popsize` plans holds at once."""
    return popsize * PLAN_SIZE * _FLOAT_BYTES * PLAN_ARRAYS[optimizer]


def _meminfo_available() -> int | None:
    try:
        with open("/proc/meminfo", encoding="ascii") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return None


def _cgroup_available() -> int | None:
    """What the control group (cgroup v2) of this process may still take."""
    try:
        lines = Path("/proc/self/cgroup").read_text(encoding="utf-8").splitlines()
        group = next(line[3:] for line in lines if line.startswith("0::"))
        folder = Path("/sys/fs/cgroup") / group.lstrip("/")
        limit = (folder / "memory.max").read_text(encoding="ascii").strip()
        if limit == "max":
            return None
        used = int((folder / "memory.current").read_text(encoding="ascii"))
        return max(0, int(limit) - used)
    except (OSError, ValueError, StopIteration):
        return None


def _address_space_available() -> int | None:
    """What the address-space limit (ulimit -v) leaves this process."""
    try:
        import resource
    except ImportError:  # not on a POSIX system
        return None
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    if soft == resource.RLIM_INFINITY:
        return None
    try:
        pages = int(Path("/proc/self/statm").read_text(encoding="ascii").split()[0])
    except (OSError, ValueError, IndexError):
        return soft
    return max(0, soft - pages * os.sysconf("SC_PAGE_SIZE"))


def available_bytes() -> int | None:
    """The memory this process can still take: the least of what the machine
    has free, its control group allows and its address-space limit leaves;
    None where none of them can be found out."""
    known = [size for size in (_meminfo_available(), _cgroup_available(),
                               _address_space_available()) if size is not None]
    return min(known) if known else None


def require_population_fits(popsize: int, optimizer: str,
                            available: int | None = None) -> None:
    """Raises PopulationTooLargeError when a generation of `popsize` plans
    needs more than `available` bytes (by default, `available_bytes()`)."""
    if available is None:
        available = available_bytes()
    needed = generation_bytes(popsize, optimizer)
    if available is not None and needed > available:
        raise PopulationTooLargeError(
            f"popsize {popsize} needs about {needed / 2**30:,.1f} GiB for a generation "
            f"with optimizer {optimizer}, but only {available / 2**30:,.1f} GiB of memory "
            "is available")
