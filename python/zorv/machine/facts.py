"""What decides a score beyond the plan, and how sim_batch runs here: the C
library and the `atan2` it runs, the batch path and worker threads, and why
a pool of worker threads could not start.

Every code path of zorv_fast gives the same bits, so what decides a score
beyond the plan is the C library's `atan2`: the documented scores come from
glibc's FMA variant (glibc 2.35 and later, picked on CPUs with FMA).
"""
from __future__ import annotations

import ctypes
import ctypes.util
import dataclasses
import os
import re
import struct
from collections.abc import Callable, Mapping, Sequence
from typing import Optional, Tuple

from .. import _trace
from .native import POOL_NOT_STARTED

@dataclasses.dataclass(frozen=True)
class Atan2Probe:
    """An input pair and what each of glibc's x86-64 variants returns for it."""

    y: float
    x: float
    fma: float
    non_fma: float


#: Pairs on which glibc's FMA and non-FMA variants of atan2 round differently
#: (about 2 pairs in 10,000 do). Found by running both variants of glibc 2.36
#: on the same 400,000 seeded random pairs in [-4, 4]^2, the non-FMA one
#: forced with GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA; one or two per quadrant.
ATAN2_PROBES = (
    Atan2Probe(-1.3201418047217386, 2.801286509501397,
               float.fromhex("-0x1.c2f6cdfd4aba4p-2"), float.fromhex("-0x1.c2f6cdfd4aba5p-2")),
    Atan2Probe(0.45150332369188995, 1.39820261789251,
               float.fromhex("0x1.3fd7d02078d64p-2"), float.fromhex("0x1.3fd7d02078d65p-2")),
    Atan2Probe(2.127809402839179, -1.8724683047881925,
               float.fromhex("0x1.256f0177f6397p+1"), float.fromhex("0x1.256f0177f6398p+1")),
    Atan2Probe(-1.0933154471051578, -1.1981063503731386,
               float.fromhex("-0x1.337147358238bp+1"), float.fromhex("-0x1.337147358238cp+1")),
    Atan2Probe(-3.2388269787604678, -1.0283538888363504,
               float.fromhex("-0x1.e0d427bda2cc1p+0"), float.fromhex("-0x1.e0d427bda2cc0p+0")),
    Atan2Probe(-3.254877260155487, 0.2396078355561011,
               float.fromhex("-0x1.7f4ff609d7a5dp+0"), float.fromhex("-0x1.7f4ff609d7a5ep+0")),
)

#: The first glibc whose atan2 gives the documented scores; earlier ones
#: compute it differently.
FIRST_DOCUMENTED_GLIBC = (2, 35)


@dataclasses.dataclass(frozen=True)
class CLibrary:
    """The C library the process runs on; version None when it is not glibc."""

    name: str
    version: tuple[int, ...] | None

    def __str__(self) -> str:
        if self.version is None:
            return self.name
        return f"{self.name} {'.'.join(map(str, self.version))}"


#: What zorv._trace.batch_settings() returns, field by field as in BatchSettings.
BatchSettingsTuple = Tuple[str, str, str, str, str, str, int, Optional[str], Optional[str]]


@dataclasses.dataclass(frozen=True)
class BatchSettings:
    """What zorv._trace.batch_settings() reports: the batch path and why,
    whether its lanes are AVX-512's and why (names, and the core's own line
    for a person on each), the worker-thread count, the variable that set it
    and where processors were counted."""

    path: str
    path_text: str
    reason: str
    reason_text: str
    avx512: str
    avx512_text: str
    threads: int
    variable: str | None
    processors: str | None


def same_bits(first: Sequence[float], second: Sequence[float]) -> bool:
    return len(first) == len(second) and all(
        struct.pack("<d", a) == struct.pack("<d", b) for a, b in zip(first, second))


def c_library() -> CLibrary:
    """glibc and its version, as the running C library reports them."""
    try:
        text = os.confstr("CS_GNU_LIBC_VERSION")
    except (ValueError, OSError):
        text = None
    if not text:
        return CLibrary("not glibc (musl or another C library)", None)
    name, _, version = text.partition(" ")
    return CLibrary(name, tuple(int(part) for part in version.split(".") if part.isdigit()))


def library_atan2() -> Callable[[float, float], float]:
    """The C library's atan2 as this process resolves it: the function that
    zorv_fast calls (glibc picks its variant per CPU when the process starts,
    so it has to be probed, not guessed from the CPU's flags)."""
    try:
        function = ctypes.CDLL(None).atan2
    except AttributeError:  # libm not loaded into the global scope
        function = ctypes.CDLL(ctypes.util.find_library("m")).atan2
    function.restype = ctypes.c_double
    function.argtypes = (ctypes.c_double, ctypes.c_double)

    def atan2(y: float, x: float) -> float:
        return float(function(y, x))
    return atan2


def atan2_variant(atan2: Callable[[float, float], float]) -> str:
    """Which of glibc's variants `atan2` rounds like on the probe pairs."""
    results = [atan2(probe.y, probe.x) for probe in ATAN2_PROBES]
    if same_bits(results, [probe.fma for probe in ATAN2_PROBES]):
        return "fma"
    if same_bits(results, [probe.non_fma for probe in ATAN2_PROBES]):
        return "non_fma"
    return "other"


#: The system's error inside the build error that follows POOL_NOT_STARTED;
#: Rust's form of it holds the message as a quoted field.
_POOL_BUILD_ERROR = re.compile(r"ThreadPoolBuildError \{ kind: (?:IOError\((?P<io>.*)\)|"
                               r"(?P<kind>\w+)) \}")
_QUOTED_MESSAGE = re.compile(r'message: "(?P<message>[^"]*)"')

#: What stands for the system's error when the pool failed in an earlier
#: call of this process, which every later call repeats.
_EARLIER_FAILURE = "they could not start in an earlier call of this process"


def pool_start_error(error: BaseException | str) -> str | None:
    """The system's error ("Resource temporarily unavailable") when `error`,
    an exception or its text (also a search's failure, which quotes the
    scorer's), says that sim_batch's worker threads could not start; None
    for any other error. The pool is built once per process: after a
    failure, every call repeats it, without the system's error."""
    text = str(error)
    if POOL_NOT_STARTED not in text:
        cause = error.__cause__ if isinstance(error, BaseException) else None
        return None if cause is None else pool_start_error(cause)
    found = _POOL_BUILD_ERROR.search(text)
    if found is None:
        return "the system's error is not given"
    if found["io"] is None:
        return (_EARLIER_FAILURE if found["kind"] == "GlobalPoolAlreadyInitialized"
                else found["kind"])
    quoted = _QUOTED_MESSAGE.search(found["io"])
    return quoted["message"] if quoted else found["io"]


def pool_failure_line(system_error: str, batch: BatchSettings, environ: Mapping[str, str],
                      on_workers: bool = False) -> str:
    """One line for a pool of sim_batch that could not start: how many
    threads were asked for and by what, the system's error, and what to set.
    `on_workers`: it failed on Dask workers, whose settings are not known
    here."""
    if on_workers:
        return (f"sim_batch could not start its worker threads on a Dask worker: "
                f"{system_error}; set {_trace.thread_variables[0]} on the workers to fewer "
                "threads")
    threads = f"{batch.threads} worker thread{'s' if batch.threads != 1 else ''}"
    return (f"sim_batch could not start its {threads} ({thread_origin(batch, environ)}): "
            f"{system_error}; set {_trace.thread_variables[0]} to fewer threads")


_PROCESSOR_SOURCES = {
    "cgroup_quota": "the control group's CPU quota",
    "affinity_mask": "the CPUs in this process's affinity mask",
    "online_processors": "the online processors (the affinity mask could not be read)",
}

def thread_origin(batch: BatchSettings, environ: Mapping[str, str]) -> str:
    """What set the thread count: the variable, or where processors were
    counted, with the variables set but not used."""
    counted = _PROCESSOR_SOURCES.get(batch.processors or "", "")
    if batch.variable is None:
        origin = counted
    elif batch.processors is None:
        origin = f"{batch.variable}={environ.get(batch.variable, '')}"
    else:
        origin = f"{batch.variable}={environ.get(batch.variable, '')} asks for the processor count, {counted}"
    unused = [f"{name}={environ[name]!r}" for name in _trace.thread_variables
              if name in environ and name != batch.variable]
    if unused:
        origin += f" (not used: {', '.join(unused)})"
    return origin


