"""What a study was asked to do and where each of its runs stands: the
study file, study.json, and what its runs show together.

A study file is plain JSON, written whole or not at all (zorv.files.writing)
after every change of a run's state: a study killed at any moment is
resumed from it. Each run's own file is an ordinary result file, which
`zorv show`, `plot` and `search --resume` read.
"""
from __future__ import annotations

import math
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass, field, fields
from pathlib import Path
from typing import Any

import zorv_fast

from ..body import PLAN_SIZE
from ..files.reading import InputFileError, read_json
from ..records import History
from ..searching.settings import SearchSettings
from .aggregation import RunCurve, Table, default_targets, fixed_budget, fixed_target, rank_sums

#: Changes whenever the study file's form does.
FORMAT = 1
#: The study file's name in its folder.
STUDY_FILE = "study.json"
#: What the study file holds under this key tells it from other JSON files.
KIND = "zorv study"

#: Where a run stands: not started; started, and cut short (a stop request
#: or a kill); finished; or failed (its reason is recorded).
PENDING, UNFINISHED, DONE, FAILED = "pending", "unfinished", "done", "failed"
STATUSES = (PENDING, UNFINISHED, DONE, FAILED)

#: Settings that each run gives itself: its seed, and its optimizer's name.
_PER_RUN = ("seed", "optimizer")


class StudyError(ValueError):
    """A study that cannot be run, resumed or read as asked; the message is
    one line."""


@dataclass(frozen=True)
class StudyPlan:
    """What a study runs: each optimizer (named as on the command line, see
    zorv.searching.optimizer_names) on each seed, with the same settings, whose
    budget is in plans (`evaluations`)."""

    optimizers: tuple[str, ...]
    """The optimizers, as given: each names its runs."""
    seeds: tuple[int, ...]
    """The seeds, in order."""
    settings: SearchSettings
    """The settings of every run, before its seed and its optimizer's own
    settings are set."""
    targets: tuple[float, ...] | None = None
    """The distances of the fixed-target table; None: chosen from the runs'
    best distances (see zorv.studies.aggregation.default_targets)."""

    @property
    def budget(self) -> int:
        """Plans that each run scores, in whole generations."""
        return self.settings.budget

    def to_json(self) -> dict[str, Any]:
        shared = {name: value for name, value in self.settings.as_dict().items()
                  if name not in _PER_RUN}
        return {"optimizers": list(self.optimizers), "seeds": list(self.seeds),
                "settings": shared, "budget": self.budget,
                "targets": None if self.targets is None else list(self.targets)}


@dataclass
class RunRecord:
    """One run of a study: its optimizer and seed, its file, and how it went."""

    optimizer: str
    """The optimizer as the study names it."""
    seed: int
    file: str
    """The run's result file, relative to the study's folder."""
    status: str = PENDING
    """PENDING, UNFINISHED, DONE or FAILED."""
    best: float | None = None
    """The best distance of the run so far (None before it has a result)."""
    evaluations: int = 0
    """Plans it scored."""
    seconds: float = 0.0
    """Wall seconds it took, over every session that ran it."""
    reason: str | None = None
    """Why it failed, in one line (FAILED only)."""
    started_again: int = 0
    """Times a resumed study started it over: its optimizer saves no state,
    so the part that had run was run again from the start."""

    def to_json(self) -> dict[str, Any]:
        return {item.name: getattr(self, item.name) for item in fields(self)}


@dataclass
class Study:
    """A study: what it was asked, its runs, and what made it. Its tables
    (fixed_budget, fixed_target, rank_sums) are of the runs that are done,
    read from their files in `folder`."""

    plan: StudyPlan
    runs: list[RunRecord]
    made_by: dict[str, Any]
    """The versions and the machine that ran it (zorv.machine.provenance.made_by)."""
    folder: Path
    _curves: dict[str, RunCurve] = field(default_factory=dict, repr=False, compare=False)

    @property
    def finished(self) -> bool:
        """Whether every run is done or failed."""
        return all(run.status in (DONE, FAILED) for run in self.runs)

    def to_json(self) -> dict[str, Any]:
        return {"kind": KIND, "format": FORMAT, **self.plan.to_json(),
                "made_by": self.made_by, "runs": [run.to_json() for run in self.runs]}

    def curves(self) -> list[RunCurve]:
        """The best distance so far of every run that is done, from its
        file, in the study's order (InputFileError for a file that cannot
        be read)."""
        curves = []
        for run in self.runs:
            if run.status != DONE:
                continue
            if run.file not in self._curves:
                self._curves[run.file] = read_curve(self.folder / run.file, run.optimizer,
                                                    run.seed)
            curves.append(self._curves[run.file])
        return curves

    def targets(self) -> tuple[float, ...]:
        """The study's targets, or those chosen from its runs."""
        if self.plan.targets is not None:
            return self.plan.targets
        return default_targets(self.curves())

    def fixed_budget(self) -> Table:
        """For each optimizer and budget, the best distances so far of its
        runs: see zorv.studies.aggregation.fixed_budget."""
        return fixed_budget(self.curves(), self.plan.optimizers, self.plan.budget)

    def fixed_target(self, targets: Sequence[float] | None = None) -> Table:
        """For each optimizer and target (the study's, unless given), the
        share of its runs that reach it and the plans they need: see
        zorv.studies.aggregation.fixed_target."""
        return fixed_target(self.curves(), self.plan.optimizers,
                            self.targets() if targets is None else tuple(targets))

    def rank_sums(self) -> Table:
        """For each pair of optimizers, the p-value of a rank-sum test of
        their runs' final best distances: see
        zorv.studies.aggregation.rank_sums."""
        return rank_sums(self.curves(), self.plan.optimizers)


#: The best distance before any plan is scored: the all-zero plan's, where
#: every search starts.
START_DISTANCE = zorv_fast.sim([0.0] * PLAN_SIZE)


def read_curve(path: Path, optimizer: str, seed: int) -> RunCurve:
    """A run's best distances so far from its result file; InputFileError
    for a file that holds no usable history."""
    data = read_json(path)
    try:
        history = History.from_json(data["history"])
    except (TypeError, KeyError, ValueError) as error:
        raise InputFileError(f"{str(path)!r} holds no search history: {error}") from None
    return RunCurve(optimizer, seed, tuple(history.evaluations), tuple(history.best),
                    START_DISTANCE)


def read_study(folder: Path) -> Study:
    """The study in `folder` (or in the study file named), checked;
    StudyError (one line) for one that cannot be read."""
    folder = folder.parent if folder.name == STUDY_FILE and not folder.is_dir() else folder
    path = folder / STUDY_FILE
    try:
        data = read_json(path)
    except InputFileError as error:
        raise StudyError(str(error)) from None
    try:
        return _study_from_json(data, folder)
    except (KeyError, TypeError, ValueError) as error:
        text = "".join(c if c.isprintable() else "?" for c in str(error)[:200])
        raise StudyError(f"{str(path)!r} holds no study that this version reads: "
                         f"{text}") from None


def is_study(path: Path) -> bool:
    """Whether `path` is a study's folder or its study file."""
    if path.is_dir():
        return (path / STUDY_FILE).is_file()
    return path.name == STUDY_FILE and path.is_file()


def _study_from_json(data: Any, folder: Path) -> Study:
    if not isinstance(data, dict) or data.get("kind") != KIND:
        raise ValueError("it is no study file")
    if data.get("format") != FORMAT:
        raise ValueError(f"study format {str(data.get('format'))[:20]}, not {FORMAT}")
    optimizers = tuple(_strings(data["optimizers"], "optimizers"))
    seeds = tuple(data["seeds"])
    if not seeds or any(isinstance(s, bool) or not isinstance(s, int) for s in seeds):
        raise ValueError("seeds must be whole numbers")
    settings = SearchSettings.from_file(data["settings"])
    targets = data["targets"]
    if targets is not None:
        if not isinstance(targets, list) or not all(
                isinstance(t, (int, float)) and not isinstance(t, bool) and math.isfinite(t)
                for t in targets):
            raise ValueError("targets must be numbers")
        targets = tuple(float(t) for t in targets)
    plan = StudyPlan(optimizers, seeds, settings, targets)
    made_by = data["made_by"]
    if not isinstance(made_by, dict):
        raise ValueError("made_by must be an object")
    runs = [_run_from_json(run) for run in data["runs"]]
    if [(run.optimizer, run.seed) for run in runs] != planned_runs(plan):
        raise ValueError("its runs are not those of its optimizers and seeds")
    return Study(plan, runs, made_by, folder)


def _strings(values: Any, what: str) -> list[str]:
    if not isinstance(values, list) or not values or not all(isinstance(v, str) for v in values):
        raise ValueError(f"{what} must be a list of names")
    return values


def _run_from_json(data: Any) -> RunRecord:
    if not isinstance(data, dict) or set(data) != {item.name for item in fields(RunRecord)}:
        raise ValueError("a run has other fields than a study's runs")
    run = RunRecord(**data)
    if run.status not in STATUSES:
        raise ValueError(f"no run status {str(run.status)[:40]!r}")
    counts = (run.seed, run.evaluations, run.started_again)
    if any(isinstance(n, bool) or not isinstance(n, int) or n < 0 for n in counts):
        raise ValueError("a run's seed, plans and starts are whole numbers of at least 0")
    if not (_finite(run.seconds) and run.seconds >= 0 and (run.best is None
                                                           or _finite(run.best))):
        raise ValueError("a run's seconds and best distance are finite numbers")
    if not isinstance(run.optimizer, str) or not (run.reason is None
                                                  or isinstance(run.reason, str)):
        raise ValueError("a run's optimizer and reason are text")
    # A run's file lies inside the study's folder, whatever the file says.
    if (not isinstance(run.file, str) or os.path.isabs(run.file)
            or ".." in Path(run.file).parts or not run.file):
        raise ValueError(f"the run file {str(run.file)[:80]!r} lies outside the study")
    return run


def _finite(value: object) -> bool:
    return (isinstance(value, (int, float)) and not isinstance(value, bool)
            and math.isfinite(value))


def planned_runs(plan: StudyPlan) -> list[tuple[str, int]]:
    """(optimizer, seed) of each run, in the order they run: each optimizer
    on every seed, one optimizer after the other."""
    return [(optimizer, seed) for optimizer in plan.optimizers for seed in plan.seeds]


def run_files(optimizers: Sequence[str]) -> dict[str, str]:
    """The folder of each optimizer's run files, inside the study's runs/:
    its name with what is no letter, digit, dot, dash or underscore made a
    dash, cut to 60 characters, and numbered where two would be the same."""
    folders: dict[str, str] = {}
    for optimizer in optimizers:
        name = re.sub(r"[^A-Za-z0-9._-]+", "-", optimizer).strip("-.")[:60] or "optimizer"
        unique, number = name, 2
        while unique in folders.values():
            unique, number = f"{name}-{number}", number + 1
        folders[optimizer] = unique
    return folders


def new_runs(plan: StudyPlan) -> list[RunRecord]:
    """The runs of a study not begun, each with its file."""
    folders = run_files(plan.optimizers)
    return [RunRecord(optimizer, seed, f"runs/{folders[optimizer]}/seed-{seed}.json")
            for optimizer, seed in planned_runs(plan)]
