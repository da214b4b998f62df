"""`zorv check`: whether this machine gives the documented scores, and why.

The check looks at the C library, probes which `atan2` it runs, scores the
documented plans through `sim` and `sim_batch`, and says which batch path
and how many worker threads `sim_batch` takes here, and why; it names the
core library the process loaded and holds the installed files against the
installation's record of them.
"""
from __future__ import annotations

import argparse
import dataclasses
import os
from collections.abc import Callable, Mapping, Sequence

import zorv_fast

from .. import _trace
from ..body import PLAN_SIZE
from ..machine import installed_files
from ..machine.facts import (FIRST_DOCUMENTED_GLIBC, BatchSettings, BatchSettingsTuple, CLibrary,
                             atan2_variant, c_library, library_atan2, pool_failure_line,
                             pool_start_error, same_bits, thread_origin)
from ..machine.installed_files import REINSTALL
from ..machine.native import is_native_failure
from .exit_status import FAILED


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
        return same_bits(self.scores, _EXPECTED) and same_bits(self.batch_scores, _EXPECTED)

    @property
    def installation_intact(self) -> bool:
        return not self.installed_faults


def examine(sim: Callable[[list[float]], float],
            sim_batch: Callable[[list[list[float]]], list[float]],
            batch_settings: Callable[[], BatchSettingsTuple],
            atan2: Callable[[float, float], float],
            library: CLibrary, core_library: str | None = None,
            installed_faults: Sequence[str] | None = None) -> MachineReport:
    """Runs the check with these collaborators: normally zorv_fast's two
    functions, zorv._trace.batch_settings, library_atan2() and c_library(),
    the core library's file (zorv._trace.core_library) and the installed
    files' faults (zorv.machine.installed_files.faults)."""
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


_ATAN2_VARIANTS = {
    "fma": "glibc's FMA variant, the one the documented scores come from",
    "non_fma": "glibc's variant for CPUs without FMA, which rounds about 2 angles "
               "in 10,000 the other way",
    "other": "neither of glibc's variants since 2.35 (the probe pairs give other angles)",
}


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
        through_sim = sum(same_bits([a], [b]) for a, b in zip(report.scores, _EXPECTED))
        return f"{through_sim} of {total} documented through sim; sim_batch could not run"
    if report.documented_scores_hold:
        return f"the documented ones, bit for bit: {total} plans through sim and sim_batch"
    matched = [sum(same_bits([a], [b]) for a, b in zip(scores, _EXPECTED))
               for scores in (report.scores, report.batch_scores)]
    return (f"{matched[0]} of {total} documented through sim, "
            f"{matched[1]} of {total} through sim_batch")


def _threads_line(batch: BatchSettings, environ: Mapping[str, str],
                  pool_error: str | None) -> str:
    if pool_error is not None:
        return pool_failure_line(pool_error, batch, environ)
    threads = f"{batch.threads} worker thread{'s' if batch.threads != 1 else ''}"
    return f"{threads}: {thread_origin(batch, environ)}"


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
    if not same_bits(report.scores, report.batch_scores):
        return ("not the documented scores: sim and sim_batch disagree here, which no machine "
                "should show; scores from this installation cannot be trusted, please report it")
    differing = [(documented, score) for documented, score in zip(DOCUMENTED_SCORES, report.scores)
                 if not same_bits([documented.score], [score])]
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


def run_check(args: argparse.Namespace, prog: str) -> int:
    """`zorv check`: prints the report; 1 when the documented scores do not
    hold or the installed files are not as installed."""
    installation = installed_files.this_installation()
    report = examine(zorv_fast.sim, zorv_fast.sim_batch, _trace.batch_settings,
                     library_atan2(), c_library(), core_library=_trace.core_library,
                     installed_faults=None if installation is None
                     else installed_files.faults(installation))
    for line in describe(report, os.environ):
        print(line)
    return 0 if report.documented_scores_hold and report.installation_intact else FAILED
