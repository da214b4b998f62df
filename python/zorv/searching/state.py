"""Where a search stands between two generations, all that its rest depends
on, as plain data that a checkpoint file holds and a resumed search reads;
and the result that carries it."""
from __future__ import annotations

import copy
import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import zorv_fast

from ..body import PLAN_SIZE
from ..records import History
from .box import LOWER, UPPER
from .restarts import MAX_POPSIZE, Run, RunProgress, first_run
from .settings import SearchSettings


class CheckpointError(ValueError):
    """A search state that cannot be resumed; the message is one line."""


@dataclass
class SearchState:
    """A search after `generation` generations (over all runs): all that
    the rest of it depends on. A result holds it as `state`,
    `zorv.checkpoints.load` reads it from a result file, and
    `zorv.search(settings, resume=state)` goes on from it."""

    settings: SearchSettings
    """The search's settings, which name its optimizer."""
    run: Run
    """The run of the optimizer it is in: its index, population and first
    step size (see zorv.searching.restarts)."""
    run_evaluations: int
    """Plans scored in this run."""
    generation: int
    """Generations completed, over all runs."""
    evaluations: int
    """Plans scored, over all runs."""
    best_plan: list[float]
    """The best plan of the generations completed."""
    best_score: float
    """Its distance, `zorv_fast.sim(best_plan)`."""
    elapsed: float
    """Seconds the search had taken."""
    history: History = field(default_factory=History)
    """One entry per completed generation."""
    optimizer: dict[str, Any] | None = None
    """The optimizer's own state, from its save_state() (None for an
    optimizer that cannot save one)."""
    stop_reasons: list[str] = field(default_factory=list)
    """Why a finished search ended: the stop rules that fired with no
    restart left, or its spent budget ("budget", "generations"); empty for
    a search that goes on (and, for a spent budget, in the files of earlier
    versions)."""
    finished: bool = False
    """Whether the search has ended: its budget spent, or its last run's
    stop rules fired with no restart left."""
    run_progress: RunProgress = field(default_factory=RunProgress)
    """How far the current run has come, which decides when it has stalled."""

    def to_json(self) -> dict[str, Any]:
        """The state as JSON data; `from_json` reads it back (the optimizer's
        arrays stay arrays: `zorv.checkpoints.dumps` writes them as lists)."""
        return {
            "settings": self.settings.as_dict(),
            "run": self.run.to_json(),
            "run_evaluations": self.run_evaluations,
            "generation": self.generation,
            "evaluations": self.evaluations,
            "best_plan": list(self.best_plan),
            "best_score": self.best_score,
            "elapsed": self.elapsed,
            "history": self.history.to_json(),
            "optimizer": self.optimizer,
            "stop_reasons": list(self.stop_reasons),
            "finished": self.finished,
            "run_progress": self.run_progress.to_json(),
        }

    @classmethod
    def from_json(cls, data: object) -> SearchState:
        """Checks everything that can be checked without the optimizer
        (its own state is checked as it is loaded); CheckpointError else."""
        try:
            return cls._from_json(data)
        except CheckpointError:
            raise
        except (ValueError, TypeError, KeyError, AttributeError, OverflowError) as error:
            raise CheckpointError(f"bad search state: {error}") from None

    @classmethod
    def _from_json(cls, data: object) -> SearchState:
        if not isinstance(data, dict) or set(data) != set(_FIELDS):
            raise CheckpointError("the search state has other fields than a search's")
        if not isinstance(data["settings"], dict):
            raise CheckpointError("bad settings")
        settings = SearchSettings.from_file(data["settings"])
        run = Run.from_json(data["run"])
        history = History.from_json(data["history"])
        progress = RunProgress.from_json(data["run_progress"])
        counts = [data[k] for k in ("run_evaluations", "generation", "evaluations")]
        if any(isinstance(v, bool) or not isinstance(v, int) or v < 0 for v in counts):
            raise CheckpointError("bad counts of generations or evaluations")
        run_evaluations, generation, evaluations = counts
        plan = data["best_plan"]
        if (not isinstance(plan, list) or len(plan) != PLAN_SIZE
                or not all(isinstance(v, float) and LOWER <= v <= UPPER for v in plan)):
            raise CheckpointError(f"the best plan must be {PLAN_SIZE} numbers in [-1, 1]")
        score = data["best_score"]
        if not isinstance(score, float) or score != zorv_fast.sim(plan):
            raise CheckpointError("the best score is not the best plan's score")
        elapsed = data["elapsed"]
        if not isinstance(elapsed, float) or not (math.isfinite(elapsed) and elapsed >= 0):
            raise CheckpointError("bad elapsed seconds")
        _check_history(history, generation, evaluations, run_evaluations, score, elapsed)
        _check_run(run, settings, history, evaluations - run_evaluations)
        if progress.generations != generation - history.run_starts[-1]:
            raise CheckpointError("the run progress does not count the run's generations")
        optimizer = data["optimizer"]
        if optimizer is not None and not isinstance(optimizer, dict):
            raise CheckpointError("bad optimizer state")
        reasons = data["stop_reasons"]
        if not isinstance(reasons, list) or not all(isinstance(r, str) for r in reasons):
            raise CheckpointError("bad stop reasons")
        if not isinstance(data["finished"], bool):
            raise CheckpointError("finished must be true or false")
        if reasons and not data["finished"]:
            raise CheckpointError("stop reasons are given only for a finished search")
        # Nothing of `data` is kept: the state shares no list or dict with it.
        return cls(settings, run, run_evaluations, generation, evaluations,
                   [float(v) for v in plan], score, elapsed, history, copy.deepcopy(optimizer),
                   list(reasons), data["finished"], progress)

    def marked(self, optimizer: dict[str, Any] | None) -> SearchState:
        """This state with the optimizer state `optimizer` and a run progress
        of its own, sharing every other field with it, as dataclasses.replace
        would make it. A search takes one every generation: copying the
        fields at once costs a fraction of replace's checks."""
        marked = object.__new__(SearchState)
        marked.__dict__.update(self.__dict__)
        marked.optimizer = optimizer
        marked.run_progress = self.run_progress.copy()
        return marked

    def copy(self) -> SearchState:
        """The same state, sharing nothing that can change with this one: a
        search resumed from the copy leaves this state as it is."""
        return SearchState(self.settings, self.run, self.run_evaluations, self.generation,
                           self.evaluations, list(self.best_plan), self.best_score,
                           self.elapsed, self.history.copy(), copy.deepcopy(self.optimizer),
                           list(self.stop_reasons), self.finished,
                           self.run_progress.copy())


def _check_history(history: History, generation: int, evaluations: int,
                   run_evaluations: int, score: float, elapsed: float) -> None:
    """CheckpointError unless the history is that of the search so far: an
    entry per generation, ending at its counts, best distance and seconds,
    its best distances never falling, the current run's plans counted from
    the run's first entry."""
    if len(history) != generation or run_evaluations > evaluations:
        raise CheckpointError("the history does not match the counts of generations "
                              "and evaluations")
    if generation == 0:
        if evaluations != 0:
            raise CheckpointError("plans are counted before any generation")
        return
    if history.evaluations[-1] != evaluations or history.best[-1] != score:
        raise CheckpointError("the history does not match the counts and the best score")
    before_run = history.run_starts[-1]
    if evaluations - run_evaluations != (history.evaluations[before_run - 1]
                                         if before_run else 0):
        raise CheckpointError("the run's plans are not those scored since the run started")
    if any(later < earlier for earlier, later in zip(history.best, history.best[1:])):
        raise CheckpointError("the history's best distances fall")
    if elapsed < history.seconds[-1]:
        raise CheckpointError("the elapsed seconds are fewer than the history's last")


def _check_run(run: Run, settings: SearchSettings, history: History,
               earlier_evaluations: int) -> None:
    """CheckpointError unless `run` is one that the settings' schedule can
    reach, after runs that scored `earlier_evaluations` plans."""
    if run.index != len(history.run_starts) - 1:
        raise CheckpointError("the run's index does not match the history's runs")
    if run.large_evaluations + run.small_evaluations != earlier_evaluations:
        raise CheckpointError("the run does not count the plans of the runs before it")
    if run.index == 0:
        if run != first_run(settings):
            raise CheckpointError("the first run does not have the settings' population "
                                  "and step size")
    elif not (run.popsize <= MAX_POPSIZE and run.sigma0 <= settings.sigma0):
        raise CheckpointError("a restarted run has a larger population or step size than "
                              "the restart schedule gives")


_FIELDS = ("settings", "run", "run_evaluations", "generation", "evaluations", "best_plan",
           "best_score", "elapsed", "history", "optimizer", "stop_reasons", "finished",
           "run_progress")


@dataclass
class SearchResult:
    """The best plan found and how the search went.

    `state` is where the search stood after its last completed generation:
    `zorv.checkpoints.save` writes it with the result, and a search resumed
    from it goes on exactly as this one would have. Its `optimizer` is None
    for an optimizer that cannot save its state: such a search cannot be
    resumed before it has finished.
    """

    plan: list[float]
    """The best plan scored: 40 numbers, which the built-in optimizers keep
    in [-1, 1]."""
    score: float
    """Its distance, `zorv_fast.sim(plan)`, bit for bit."""
    settings: SearchSettings
    """The search's settings, which name the optimizer that ran it."""
    generations: int
    """Generations completed, over all runs."""
    evaluations: int
    """Plans scored, including those of a generation cut short."""
    elapsed: float
    """Seconds the search took (a resumed one: with those before)."""
    interrupted: bool = False
    """Whether a stop request or Ctrl-C ended it before its budget was spent."""
    stop_reasons: list[str] = field(default_factory=list)
    """Why it ended: the stop rules that fired when no restart was left,
    or the search's own end, "budget" or "generations" (its budget spent),
    "interrupted" or "failed" (see zorv.searching.loop.STOP_REASONS). Empty in the
    results that checkpoints take while it goes on."""
    history: History = field(default_factory=History)
    """One entry per completed generation."""
    state: SearchState | None = field(default=None, repr=False, compare=False)
    """Where the search stood, for checkpoints and resuming (None only in
    results not made by zorv.search)."""
    batch_path: str | Mapping[str, str] | None = field(default=None, compare=False)
    """The batch path of the machines that scored the plans, where a scorer
    scored them elsewhere and says so (zorv.distributed.DaskScorer): one
    path, or each worker's; None where they were scored here. A result
    file's "made_by" records it."""

    @property
    def runs(self) -> int:
        """Runs of the optimizer: 1, and one more per restart."""
        return len(self.history.run_starts)

    def _repr_html_(self) -> str:
        """In a notebook: its distance, how the search went, its settings in
        brief and its best plan's run as an animation."""
        from .. import svg
        from ..display.notebook import summary_html
        from ..motion.record import ENDS, record_run
        record = record_run(self.plan)
        how = f"{self.generations} generations, {self.evaluations:,} plans scored"
        if self.runs > 1:
            how += f", {self.runs} runs"
        facts = {"distance": repr(self.score), "search": how,
                 "ended": ", ".join(self.stop_reasons) or "(going on)",
                 "settings": self.settings.brief(),
                 "run": f"{record.steps} steps: {ENDS[record.end]}"}
        title = f"best of seed {self.settings.seed}"
        picture = svg.animation(record.positions, title=title, contacts=record.contacts)
        return summary_html("zorv search result", facts, picture,
                            f"the run of the best plan, {title}")

    def to_json(self) -> dict[str, Any]:
        """The result as plain JSON data (`zorv.checkpoints.dumps` adds what
        made it and its state)."""
        return {
            "plan": list(self.plan),
            "score": self.score,
            "seed": self.settings.seed,
            "settings": self.settings.as_dict(),
            "generations": self.generations,
            "evaluations": self.evaluations,
            "seconds": self.elapsed,
            "interrupted": self.interrupted,
            "runs": self.runs,
            "stop_reasons": list(self.stop_reasons),
            "history": self.history.to_json(),
        }
