"""Whether this machine gives the documented scores, and what decides them.

Every code path of zorv_fast gives the same bits, so what decides a score
beyond the plan is the C library's `atan2`: the documented scores come from
glibc's FMA variant (glibc 2.35 and later, picked on CPUs with FMA). The
check looks at the C library, probes which `atan2` it runs, scores the
documented plans through `sim` and `sim_batch`, and says which batch path
and how many worker threads `sim_batch` takes here, and why; it names the
core library the process loaded and holds the installed files against the
installation's record of them.
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

from .body import PLAN_SIZE
from .installed_files import REINSTALL
from .native import POOL_NOT_STARTED, is_native_failure

__all__ = ["ATAN2_PROBES", "DOCUMENTED_SCORES", "Atan2Probe", "BatchSettings", "CLibrary",
           "DocumentedScore", "MachineReport", "c_library", "describe", "examine", "library_atan2",
           "pool_failure_line", "pool_start_error"]


@dataclasses.dataclass(frozen=True)
class DocumentedScore:
    """A plan whose score the README gives, and that score."""

    name: str
    plan: tuple[float, ...]
    score: float


#: The scores the README documents, from glibc's FMA variant of atan2.
DOCUMENTED_SCORES = (
    DocumentedScore("40 zeros", (0.0,) * PLAN_SIZE, 1.9828948004369278),
    DocumentedScore("40 ones", (1.0,) * PLAN_SIZE, 1.9547961488814911),
    DocumentedScore("40 minus ones", (-1.0,) * PLAN_SIZE, 2.895094681507079),
    DocumentedScore("+1, -1, ...", (1.0, -1.0) * (PLAN_SIZE // 2), 0.2555901140915791),
    DocumentedScore("-1, +1, ...", (-1.0, 1.0) * (PLAN_SIZE // 2), 0.0746086412545685),
)
_EXPECTED = tuple(documented.score for documented in DOCUMENTED_SCORES)


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


@dataclasses.dataclass(frozen=True)
class MachineReport:
    """What the check found; `scores` and `batch_scores` are in the order of
    DOCUMENTED_SCORES. `pool_error`: the system's error when sim_batch's
    worker threads could not start (and batch_scores is empty)."""

    library: CLibrary
    atan2_variant: str  # "fma", "non_fma" or "other"
    scores: tuple[float, ...]
    batch_scores: tuple[float, ...]
    batch: BatchSettings
    pool_error: str | None = None
    #: The file of the core library the process loaded.
    core_library: str | None = None
    #: What differs from the installation's record, a line a file (None: not
    #: held against one).
    installed_faults: tuple[str, ...] | None = None

    @property
    def documented_scores_hold(self) -> bool:
        return _same_bits(self.scores, _EXPECTED) and _same_bits(self.batch_scores, _EXPECTED)

    @property
    def installation_intact(self) -> bool:
        return not self.installed_faults


def _same_bits(first: Sequence[float], second: Sequence[float]) -> bool:
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
    if _same_bits(results, [probe.fma for probe in ATAN2_PROBES]):
        return "fma"
    if _same_bits(results, [probe.non_fma for probe in ATAN2_PROBES]):
        return "non_fma"
    return "other"


def examine(sim: Callable[[list[float]], float],
            sim_batch: Callable[[list[list[float]]], list[float]],
            batch_settings: Callable[[], BatchSettingsTuple],
            atan2: Callable[[float, float], float],
            library: CLibrary, core_library: str | None = None,
            installed_faults: Sequence[str] | None = None) -> MachineReport:
    """Runs the check with these collaborators: normally zorv_fast's two
    functions, zorv._trace.batch_settings, library_atan2() and c_library(),
    the core library's file (zorv._trace.core_library) and the installed
    files' faults (zorv.installed_files.faults)."""
    plans = [list(documented.plan) for documented in DOCUMENTED_SCORES]
    scores = tuple(sim(plan) for plan in plans)
    pool_error = None
    try:
        batch_scores = tuple(sim_batch(plans))
    except BaseException as error:
        pool_error = pool_start_error(error) if is_native_failure(error) else None
        if pool_error is None:
            raise
        batch_scores = ()
    return MachineReport(
        library=library,
        atan2_variant=atan2_variant(atan2),
        scores=scores,
        batch_scores=batch_scores,
        batch=BatchSettings(*batch_settings()),
        pool_error=pool_error,
        core_library=core_library,
        installed_faults=None if installed_faults is None else tuple(installed_faults),
    )


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
                f"{system_error}; set RAYON_NUM_THREADS on the workers to fewer threads")
    threads = f"{batch.threads} worker thread{'s' if batch.threads != 1 else ''}"
    return (f"sim_batch could not start its {threads} ({_thread_origin(batch, environ)}): "
            f"{system_error}; set RAYON_NUM_THREADS to fewer threads")


_ATAN2_VARIANTS = {
    "fma": "glibc's FMA variant, the one the documented scores come from",
    "non_fma": "glibc's variant for CPUs without FMA, which rounds about 2 angles "
               "in 10,000 the other way",
    "other": "neither of glibc's variants since 2.35 (the probe pairs give other angles)",
}

_PROCESSOR_SOURCES = {
    "cgroup_quota": "the control group's CPU quota",
    "affinity_mask": "the CPUs in this process's affinity mask",
    "online_processors": "the online processors (the affinity mask could not be read)",
}

#: The variables that can set the thread count, in the order they are read.
_THREAD_VARIABLES = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")


def _library_line(library: CLibrary) -> str:
    if library.version is not None and library.version < FIRST_DOCUMENTED_GLIBC:
        first = ".".join(map(str, FIRST_DOCUMENTED_GLIBC))
        return f"{library}, older than {first}: its atan2 computes angles differently"
    return str(library)


def _atan2_line(variant: str, environ: Mapping[str, str]) -> str:
    line = _ATAN2_VARIANTS[variant]
    tunables = environ.get("GLIBC_TUNABLES")
    if variant != "fma" and tunables:
        line += f" (GLIBC_TUNABLES={tunables})"
    return line


def _scores_line(report: MachineReport) -> str:
    total = len(_EXPECTED)
    if report.pool_error is not None:
        through_sim = sum(_same_bits([a], [b]) for a, b in zip(report.scores, _EXPECTED))
        return f"{through_sim} of {total} documented through sim; sim_batch could not run"
    if report.documented_scores_hold:
        return f"the documented ones, bit for bit: {total} plans through sim and sim_batch"
    matched = [sum(_same_bits([a], [b]) for a, b in zip(scores, _EXPECTED))
               for scores in (report.scores, report.batch_scores)]
    return (f"{matched[0]} of {total} documented through sim, "
            f"{matched[1]} of {total} through sim_batch")


def _thread_origin(batch: BatchSettings, environ: Mapping[str, str]) -> str:
    """What set the thread count: the variable, or where processors were
    counted, with the variables set but not used."""
    counted = _PROCESSOR_SOURCES.get(batch.processors or "", "")
    if batch.variable is None:
        origin = counted
    elif batch.processors is None:
        origin = f"{batch.variable}={environ.get(batch.variable, '')}"
    else:
        origin = f"{batch.variable}={environ.get(batch.variable, '')} asks for the processor count, {counted}"
    unused = [f"{name}={environ[name]!r}" for name in _THREAD_VARIABLES
              if name in environ and name != batch.variable]
    if unused:
        origin += f" (not used: {', '.join(unused)})"
    return origin


def _threads_line(batch: BatchSettings, environ: Mapping[str, str],
                  pool_error: str | None) -> str:
    if pool_error is not None:
        return pool_failure_line(pool_error, batch, environ)
    threads = f"{batch.threads} worker thread{'s' if batch.threads != 1 else ''}"
    return f"{threads}: {_thread_origin(batch, environ)}"


def _installed_line(faults: tuple[str, ...] | None) -> str:
    if faults is None:
        return "not held against a record: zorv is not imported from an installation of zorv_fast"
    if not faults:
        return "as the installation recorded them"
    more = f" (and {len(faults) - 1} more)" if len(faults) > 1 else ""
    return faults[0] + more


def _verdict(report: MachineReport) -> str:
    if not report.installation_intact:
        return f"the installed files are not as installed (see files): {REINSTALL}"
    if report.documented_scores_hold:
        return "the documented scores hold on this machine"
    if report.pool_error is not None:
        return ("sim_batch cannot score here with these settings: its worker threads could "
                "not start (see threads)")
    if not _same_bits(report.scores, report.batch_scores):
        return ("not the documented scores: sim and sim_batch disagree here, which no machine "
                "should show; scores from this installation cannot be trusted, please report it")
    differing = [(documented, score) for documented, score in zip(DOCUMENTED_SCORES, report.scores)
                 if not _same_bits([documented.score], [score])]
    documented, score = differing[0]
    more = f" (and {len(differing) - 1} more)" if len(differing) > 1 else ""
    return (f"not the documented scores: the plan {documented.name} scores {score!r} instead of "
            f"{documented.score!r}{more}; scores stored on a machine that gives the documented "
            "scores will not all come out the same here, bit for bit, nor these there")


def describe(report: MachineReport, environ: Mapping[str, str]) -> list[str]:
    """The report in a few lines for a person; `environ` is the environment
    the check ran in, whose variables some lines quote."""
    batch = report.batch
    rows = [
        ("C library", _library_line(report.library)),
        ("atan2", _atan2_line(report.atan2_variant, environ)),
        ("scores", _scores_line(report)),
        ("batch path", f"{batch.path_text}: {batch.reason_text}"),
        ("AVX-512", batch.avx512_text),
        ("threads", _threads_line(batch, environ, report.pool_error)),
        ("core", report.core_library or "not known"),
        ("files", _installed_line(report.installed_faults)),
        ("result", _verdict(report)),
    ]
    width = max(len(label) for label, _ in rows) + 1
    return [f"{label + ':':<{width}} {text}" for label, text in rows]
