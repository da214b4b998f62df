"""Whether a search's populations fit in the memory this process may use.

A population too large for the machine is refused before it is drawn: drawn,
it would fail with a MemoryError at best, or, where nothing limits the
process, swell until the kernel kills it (or another process). A search
that restarts with growing populations ("ipop", "bipop") is refused before
its first generation when a run it can reach within its budget and its
restarts would not fit: found out hours later, the failure would come back
on every resume.
"""
from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, NamedTuple

from ..body import PLAN_SIZE
from ..cma_es import default_popsize
from .restarts import MAX_POPSIZE, first_run
from .settings import BUILTIN, PYCMA

if TYPE_CHECKING:
    from .settings import SearchSettings
    from .state import SearchState

#: Arrays of popsize plans (PLAN_SIZE float64 each) that a generation holds
#: at once at the most, by optimizer: the normal samples, their shaped copy,
#: the points, the plans made of them and the temporaries of the updates and
#: of the boundary. Measured peaks, at popsize 50,000 to 200,000 and every
#: boundary, are up to 7.5 for the builtin CMA-ES (with the blocks of plans
#: it draws again) and 16.7 for pycma, which
#: keeps each point as an array of its own and copies the population more
#: often; the margin covers the allocator's.
PLAN_ARRAYS = {BUILTIN: 9, PYCMA: 20}

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


class Population(NamedTuple):
    """A population that a search can draw: the run (0 for the first) and
    its popsize."""

    run: int
    popsize: int


def largest_population(settings: SearchSettings,
                       state: SearchState | None = None) -> Population | None:
    """The largest population that the search can still draw, from its
    start or from `state` (a search to resume), within its budget and its
    limit of restarts; None for a search that draws nothing more.

    Populations grow only in the runs of doubled populations (zorv.searching.restarts:
    "ipop", and "bipop"'s large runs; its small runs stay below half of the
    last large one, or CMA-ES's default population where that is more).
    Each run scores at least one generation before its stop rules can fire
    (the built-in optimizers' rules need one), so a doubled run starts only
    once the populations of those before it are spent; under "bipop" also
    only once the small runs have spent as much as all large runs before
    it, and a large run is followed by a small one while the small runs
    have spent less. The run given is the earliest in which the population
    can come: a bound, not a forecast of what the search does.
    """
    run = first_run(settings) if state is None else state.run
    evaluations = 0 if state is None else state.evaluations
    run_evaluations = 0 if state is None else state.run_evaluations
    if (state is not None and state.finished) or evaluations >= settings.budget:
        return None
    largest = Population(run.index, run.popsize)
    if settings.restart_schedule == "same":
        return largest
    # A run that has scored nothing yet scores a generation first.
    least_of_this_run = 0 if run_evaluations else run.popsize
    spent = evaluations + least_of_this_run
    large = run.large_evaluations + (0 if run.small else run_evaluations + least_of_this_run)
    small = run.small_evaluations + (run_evaluations if run.small else 0)
    index, large_runs = run.index, run.large_runs
    if settings.restart_schedule == "bipop":
        # Small runs draw down to CMA-ES's default population, which may be
        # more than a tiny first one, and up to half the last large one.
        last_large = settings.popsize * 2 ** (large_runs - 1)
        small_popsize = min(max(default_popsize(PLAN_SIZE), last_large // 2), MAX_POPSIZE)
        if ((settings.restarts is None or index < settings.restarts)
                and spent < settings.budget and small_popsize > largest.popsize):
            largest = Population(index + 1, small_popsize)
        if not run.small and small < large:
            index += 1  # the next run is a small one
    while largest.popsize < MAX_POPSIZE:
        index += 1
        if settings.restarts is not None and index > settings.restarts:
            break
        if settings.restart_schedule == "bipop":
            spent = max(spent, 2 * large)
        if spent >= settings.budget:
            break
        popsize = min(settings.popsize * 2 ** large_runs, MAX_POPSIZE)
        largest = max(largest, Population(index, popsize), key=lambda p: p.popsize)
        large_runs += 1
        spent += popsize
        large += popsize
    return largest


def require_search_fits(settings: SearchSettings, state: SearchState | None = None,
                        available: int | None = None) -> None:
    """Raises PopulationTooLargeError when a generation of the largest
    population that the search can draw (`largest_population`), from its
    start or from `state`, needs more than `available` bytes (by default,
    `available_bytes()`). One's own optimizers' needs are not known: they
    pass."""
    if settings.optimizer not in PLAN_ARRAYS:
        return
    largest = largest_population(settings, state)
    if largest is None:
        return
    current = 0 if state is None else state.run.index
    if largest.run == current:
        require_population_fits(largest.popsize, settings.optimizer, available)
        return
    if available is None:
        available = available_bytes()
    needed = generation_bytes(largest.popsize, settings.optimizer)
    if available is not None and needed > available:
        limits = ("its budget" if settings.restarts is None
                  else f"its budget and {settings.restarts} restarts")
        # A resumed search keeps its settings: only more memory helps it.
        advice = ("give a smaller budget, fewer restarts or a smaller popsize"
                  if state is None else "resume it where more memory is available")
        raise PopulationTooLargeError(
            f"run {largest.run + 1} of this search ({settings.restart_schedule} restarts "
            f"within {limits}) can draw popsize {largest.popsize}, which needs about "
            f"{needed / 2**30:,.1f} GiB for a generation with optimizer {settings.optimizer}, "
            f"but only {available / 2**30:,.1f} GiB of memory is available: {advice}")
