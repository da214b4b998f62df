"""Running a study: each of its runs a `zorv.search` of its own, one after
another on this machine's cores, or several at once on a Dask cluster
(zorv.studies.cluster), with the same numbers either way."""
from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .. import checkpoints
from ..files.writing import OutputPathError
from ..machine.provenance import made_by
from ..optimizers import OptimizerFactory
from ..records import Progress
from ..searching.loop import SearchFailed, search
from ..searching.settings import SearchSettings
from ..searching.state import CheckpointError, SearchResult, SearchState
from .folder import StudyFolder, StudyWriteError
from .outputs import write_outputs
from .plans import factories_of, new_plan, resumed_plan, run_settings
from .progress import StudyProgress
from .study import DONE, FAILED, PENDING, UNFINISHED, RunRecord, Study, StudyError, new_runs


def compare(
    optimizers: Sequence[str] | None,
    seeds: Iterable[int] | None,
    folder: str | os.PathLike[str],
    *,
    settings: SearchSettings | None = None,
    targets: Sequence[float] | None = None,
    resume: bool = False,
    overwrite: bool = False,
    client: Any = None,
    on_progress: Callable[[StudyProgress], None] | None = None,
    should_stop: Callable[[], bool] | None = None,
) -> Study:
    """Runs each optimizer on each seed, with the same settings and budget,
    into a study folder, and returns the study.

    Each run is `zorv.search` with the study's settings, the run's seed and
    its optimizer's own settings: a run of the builtin optimizer gives, bit
    for bit, what `zorv.search` gives for those settings. The folder then
    holds study.json (what was asked, what made it, and every run's
    optimizer, seed, best distance, plans scored, wall seconds and file),
    each run's result file under runs/ (which `zorv show`, `plot` and
    `search --resume` read), summary.csv (the fixed-budget table) and three
    pictures: convergence.svg, targets.svg and finals.svg. The study file
    is rewritten as each run starts and ends, and each run's file at its
    checkpoints: a study killed at any moment is resumed with
    `resume=True`.

    Args:
        optimizers: As the command line names them (see
            zorv.searching.optimizer_names): "builtin", "builtin:restart_schedule=ipop",
            "pycma", "cmaes", "nevergrad:NGOpt", or one's own
            "MODULE:FACTORY" ("__main__:make" in a notebook). Each name labels
            its runs. None when resuming: the study's.
        seeds: The seeds; None when resuming: the study's.
        folder: The study's folder: new (its parent must exist), empty, or
            an earlier study's, with `resume` or `overwrite`.
        settings: The settings of every run (SearchSettings() by default),
            whose seed and optimizer each run sets. Its budget is in plans:
            `evaluations`, or the plans of `generations` generations of its
            popsize, the same for every optimizer.
        targets: The distances of the fixed-target table; by default the
            quartiles of the runs' final best distances.
        resume: Go on with the study in `folder`: its finished runs stay as
            they are, a run cut short resumes from its file (the builtin
            optimizer's exactly; those that save no state start again, and
            the study counts it), and failed runs run again. Optimizers,
            seeds and settings given must be the study's.
        overwrite: Start a new study in a folder that holds an earlier
            study or other files.
        client: A Dask client (see zorv.distributed.open_client): the runs
            go to its workers, one run a worker, and come back here.
        on_progress: Called with where the study stands after each
            generation (runs here) or each run (on a cluster).
        should_stop: Asked between calls of the scorer (runs here) or every
            second (on a cluster): a true answer ends the study at once,
            the run going on saved to resume.

    Returns:
        The study: its runs' records, and tables of them (fixed_budget,
        fixed_target, rank_sums). A run that failed is recorded as failed,
        with its reason, and the study goes on.

    Raises:
        StudyError: Optimizers, seeds, settings or a folder that cannot make
            a study as asked (a ValueError, one line).
        LibraryMissingError: An optimizer's library that is not installed
            (an ImportError whose message names the pip command).
        StudyWriteError: A file of the study that could not be written (an
            OSError); what was written before stays, and resumes.
    """
    with prepare_study(Path(folder), optimizers, seeds, settings, targets, resume,
                       overwrite) as prepared:
        prepared.run(client, on_progress, should_stop)
        write_outputs(prepared.place, prepared.study)
        return prepared.study


def prepare_study(folder: Path, optimizers: Sequence[str] | None, seeds: Iterable[int] | None,
                  settings: SearchSettings | None, targets: Sequence[float] | None,
                  resume: bool, overwrite: bool) -> PreparedStudy:
    """The study to run, its optimizers imported and its folder locked and
    holding its study file: checked, before anything runs. A new study's
    optimizers are checked before its folder is made."""
    factories: dict[str, OptimizerFactory | None] = {}
    plan = None
    if not resume:
        if optimizers is None or seeds is None:
            raise StudyError("a new study needs its optimizers and its seeds")
        plan = new_plan(optimizers, seeds, settings, targets)
        factories = factories_of(plan)
    place = StudyFolder(folder, resume=resume, overwrite=overwrite)
    try:
        if place.existing is not None:
            study = place.existing
            study.plan = resumed_plan(study.plan, optimizers, seeds, settings, targets)
            factories = factories_of(study.plan)
        else:
            assert plan is not None
            study = Study(plan, new_runs(plan), made_by(), folder)
        place.write_study(study)
    except BaseException:
        place.release()
        raise
    return PreparedStudy(place, study, factories)


@dataclass
class PreparedStudy:
    """A study ready to run: its folder (locked), the study, and what makes
    each optimizer's runs. Leaving a `with` block releases the folder."""

    place: StudyFolder
    study: Study
    factories: dict[str, OptimizerFactory | None]

    def __enter__(self) -> PreparedStudy:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.place.release()

    def run(self, client: Any = None,
            on_progress: Callable[[StudyProgress], None] | None = None,
            should_stop: Callable[[], bool] | None = None) -> bool:
        """Runs what is left of the study, here or on the client's
        cluster; whether a stop request ended it early."""
        pace = _Pace(self.study)
        if client is not None:
            from .cluster import run_on_cluster

            jobs = [(record, run_settings(self.study.plan, record),
                     self._resume_state(record)) for record in self._left()]
            for record, _, state in jobs:
                pace.start_run(record, 0 if state is None else state.evaluations)
                self._started(record)
            pace.end_run()
            return run_on_cluster(client, jobs, self._ended, should_stop,
                                  lambda running: _tell(on_progress, pace, running, None))
        for record in self._left():
            if should_stop is not None and should_stop():
                return True
            self._run_here(record, pace, on_progress, should_stop)
            if record.status == UNFINISHED:  # a stop request cut it short
                return True
        return False

    def _left(self) -> list[RunRecord]:
        return [record for record in self.study.runs if record.status != DONE]

    def _resume_state(self, record: RunRecord) -> SearchState | None:
        """Where a run cut short (or failed) goes on from: its file's state,
        where its optimizer saved one for the same settings; None where it
        starts from the beginning (counted in `started_again` where it had
        scored plans)."""
        if record.status == PENDING:
            return None
        path = self.study.folder / record.file
        state = None
        try:
            if path.exists():
                state = checkpoints.load(path)
        except CheckpointError:
            state = None
        usable = (state is not None and not state.settings.changes_from(
                      run_settings(self.study.plan, record))
                  and (state.finished or state.optimizer is not None))
        if not usable and (record.evaluations or (state is not None and state.evaluations)):
            record.started_again += 1
        return state if usable else None

    def _started(self, record: RunRecord) -> None:
        record.status, record.reason = UNFINISHED, None
        self.place.write_study(self.study)

    def _run_here(self, record: RunRecord, pace: _Pace,
                  on_progress: Callable[[StudyProgress], None] | None,
                  should_stop: Callable[[], bool] | None) -> None:
        settings = run_settings(self.study.plan, record)
        path = self.place.run_path(record.file)
        state = self._resume_state(record)
        self._started(record)
        running = ((record.optimizer, record.seed),)

        def on_generation(progress: Progress) -> None:
            pace.scored(progress.evaluations)
            _tell(on_progress, pace, running, progress)

        pace.start_run(record, state.evaluations if state is not None else 0)
        _tell(on_progress, pace, running, None)
        result, failure = _search(settings, self.factories[record.optimizer], state,
                                  on_generation, should_stop,
                                  lambda so_far: checkpoints.save(path, so_far))
        if isinstance(failure, SearchFailed) and isinstance(failure.__cause__, OutputPathError):
            record.reason = str(failure.__cause__)
            self.place.write_study(self.study)
            raise StudyWriteError(f"{failure.__cause__}; the study stopped")
        self._ended(record, result, None if failure is None else _one_line(failure))
        pace.end_run()

    def _ended(self, record: RunRecord, result: SearchResult | None,
               failure: str | None) -> None:
        """Records how a run ended and saves its file and the study file."""
        if result is not None:
            try:
                checkpoints.save(self.place.run_path(record.file), result)
            except OutputPathError as error:
                raise StudyWriteError(str(error)) from None
            record.best, record.evaluations = result.score, result.evaluations
            record.seconds = result.elapsed
        if failure is not None:
            record.status, record.reason = FAILED, failure
        elif result is not None and result.interrupted:
            record.status = UNFINISHED
        else:
            record.status = DONE
        self.place.write_study(self.study)


def _search(settings: SearchSettings, factory: OptimizerFactory | None,
            state: SearchState | None, on_generation: Callable[[Progress], None],
            should_stop: Callable[[], bool] | None,
            checkpoint: Callable[[SearchResult], None] | None,
            ) -> tuple[SearchResult | None, Exception | None]:
    """One run: its result, and what failed, if anything did. A state that
    the optimizer cannot go on from is left for a fresh start."""
    try:
        try:
            return search(settings, optimizer=factory, resume=state, on_generation=on_generation,
                          should_stop=should_stop, checkpoint=checkpoint), None
        except CheckpointError:
            if state is None:
                raise
            return search(settings, optimizer=factory, on_generation=on_generation,
                          should_stop=should_stop, checkpoint=checkpoint), None
    except SearchFailed as failure:
        return failure.result, failure
    except Exception as failure:  # whatever a factory of one's own raises
        return None, failure


def _one_line(failure: Exception) -> str:
    detail = " ".join(str(failure).split())
    text = detail if isinstance(failure, SearchFailed) else f"{type(failure).__name__}: {detail}"
    return text[:500]


class _Pace:
    """The plans a study has left and how fast this session scores them."""

    def __init__(self, study: Study) -> None:
        budget = study.plan.budget
        self.study = study
        self.left = sum(budget - min(record.evaluations, budget)
                        for record in study.runs if record.status != DONE)
        self.started = time.monotonic()
        # Each run's plans when this session took it up.
        self.before = {id(record): record.evaluations for record in study.runs}
        self.run_before = self.run_plans = 0

    def start_run(self, record: RunRecord, evaluations: int) -> None:
        self.before[id(record)] = self.run_before = self.run_plans = evaluations

    def scored(self, evaluations: int) -> None:
        self.run_plans = evaluations

    def end_run(self) -> None:
        self.run_before = self.run_plans = 0

    def ended(self) -> int:
        return sum(record.status in (DONE, FAILED) for record in self.study.runs)

    def seconds_left(self) -> float | None:
        scored = self.run_plans - self.run_before + sum(
            max(0, record.evaluations - self.before[id(record)])
            for record in self.study.runs if record.status in (DONE, FAILED))
        if scored <= 0:
            return None
        elapsed = time.monotonic() - self.started
        return elapsed / scored * max(0, self.left - scored)


def _tell(on_progress: Callable[[StudyProgress], None] | None, pace: _Pace,
          running: tuple[tuple[str, int], ...], run: Progress | None) -> None:
    if on_progress is not None:
        on_progress(StudyProgress(len(pace.study.runs), pace.ended(), running, run,
                                  pace.seconds_left()))
