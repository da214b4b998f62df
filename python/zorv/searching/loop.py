"""CMA-ES search for plans that carry the runner's head far: the loop.

Its parts live beside it, and their names are imported from there: the
settings (zorv.searching.settings), what it reports (zorv.records), keeping plans in
the box (zorv.searching.box), the optimizers (zorv.optimizers), the restart schedule
(zorv.searching.restarts), the state and the result (zorv.searching.state), and checkpoint files
(zorv.checkpoints).
"""
from __future__ import annotations

import contextlib
import dataclasses
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import numpy as np

import zorv_fast

from .. import _trace
from ..body import PLAN_SIZE
from ..cma_es import STOP_RULES
from ..display.notebook import progress_display
from ..display.text import shown
from ..machine.native import is_native_failure
from ..optimizers import (BuiltinOptimizer, Optimizer, OptimizerFactory, ResumableOptimizer,
                          StoppingOptimizer, new_optimizer, own_optimizer_name)
from ..records import History, Progress
from .box import Plans
from .interrupts import CtrlC
from .memory import require_search_fits
from .restarts import STALL_GAIN, STALL_GENERATIONS, Run, RunProgress, first_run, next_run
from .settings import OPTIMIZERS, SearchSettings
from .state import CheckpointError, SearchResult, SearchState

__all__ = ["BUDGET", "FAILED", "GENERATIONS", "INTERRUPTED", "SEARCH_ENDS", "STALLED",
           "STOP_REASONS", "Checkpoint", "Scorer", "ScoringFailed", "SearchFailed",
           "PreparedSearch", "budget_spent", "plans_per_call", "prepare_search", "score_here",
           "search"]

#: Scores plans: an (N, 40) float64 array in, N scores out, in the same order.
#: A scorer that splits a call among workers itself (zorv.distributed's
#: DaskScorer) says so with a true attribute `whole_generations`: each
#: generation is then one call, not one per `settings.chunk` plans, since
#: every call pays a round trip.
Scorer = Callable[[Plans], Sequence[float]]
#: Called with the result so far (its `state` holds the rest) at every
#: checkpoint; `zorv.checkpoints.save` writes both to a file.
Checkpoint = Callable[[SearchResult], None]


#: Why a run ends whose best distance has stalled (see zorv.searching.restarts) while a
#: restart is left: a new run follows, so a search never ends for it.
STALLED = "stalled"
#: Why a search ends when no stop rule ends it: the budget it was given,
#: in plans (`evaluations`) or in generations, is spent; a stop request or
#: Ctrl-C cut it short; or its optimizer, scorer or a callback failed.
BUDGET, GENERATIONS, INTERRUPTED, FAILED = "budget", "generations", "interrupted", "failed"
#: Those ends, each explained in one line: the search's own, not its
#: optimizer's.
SEARCH_ENDS: dict[str, str] = {
    BUDGET: "the search scored the plans it was given (evaluations)",
    GENERATIONS: "the search ran the generations it was given (with restarts: as many plans "
                 "as that many generations of the first run)",
    INTERRUPTED: "a stop request, Ctrl-C or a signal ended the search before its budget was "
                 "spent",
    FAILED: "the optimizer, the scorer or a callback failed, and the search could not go on",
}
#: What each stop reason that a search with the builtin optimizer gives
#: means, in one line: its CMA-ES's stop rules, STALLED, and the search's own
#: ends. pycma's tolx and tolfun are the same rules with the same limits;
#: its other rules have names of their own.
STOP_REASONS: dict[str, str] = {
    **STOP_RULES,
    STALLED: f"the run's best distance grew by less than {STALL_GAIN:.0e} of itself for more "
             f"than {STALL_GENERATIONS} generations and more than half the run, so a fresh "
             "run started",
    **SEARCH_ENDS,
}


def budget_spent(settings: SearchSettings) -> str:
    """The stop reason of a search that spent its budget: BUDGET where the
    settings give it in plans, GENERATIONS where in generations."""
    return BUDGET if settings.evaluations is not None else GENERATIONS


class SearchFailed(RuntimeError):
    """The search could not go on: its optimizer, its scorer or one of its
    callbacks raised, or gave what the search cannot use. `result` is the
    search up to its last whole generation, with the best plan scored so
    far; the exception that ended it, if any, is the cause."""

    def __init__(self, message: str, result: SearchResult) -> None:
        super().__init__(message)
        self.result = result
        """The search up to the failure, with the best plan scored so far."""


class ScoringFailed(SearchFailed):
    """The scorer raised (a cluster that went away, say), or returned what
    is no score: the search ended there. `result` is the search up to then,
    with the best plan scored so far; the scorer's exception is the cause."""


def score_here(plans: Plans) -> list[float]:
    """The scorer a search takes unless given another: `zorv_fast.sim_batch`
    on this machine's cores (an array is read in place)."""
    return zorv_fast.sim_batch(plans)


def plans_per_call(score: Scorer, settings: SearchSettings, population: int) -> int:
    """How many plans of a generation of `population` go to one call of
    `score`: all of them for a scorer that scores whole generations,
    `settings.chunk` for the rest."""
    return population if getattr(score, "whole_generations", False) else settings.chunk


def _optimizer_factory(settings: SearchSettings, optimizer: Optimizer | OptimizerFactory | None,
                       ) -> tuple[OptimizerFactory, bool]:
    """What makes each run's optimizer, and whether runs can restart."""
    if optimizer is None:
        if settings.optimizer not in OPTIMIZERS:
            raise ValueError(f"no optimizer named {settings.optimizer!r} is built in "
                             f"({', '.join(OPTIMIZERS)}): give your own to "
                             "zorv.search(settings, optimizer=...)")
        return new_optimizer, True
    if isinstance(optimizer, Optimizer) and not isinstance(optimizer, type):
        given = optimizer

        def only(settings: SearchSettings, run: Run) -> Optimizer:
            assert run.index == 0, "an optimizer given as an object has no restarts"
            return given

        return only, False
    if callable(optimizer):
        return optimizer, True
    raise TypeError("optimizer must have ask() and tell(distances), or make one from "
                    f"(settings, run); got {type(optimizer).__name__}")


def search(
    settings: SearchSettings,
    *,
    on_generation: Callable[[Progress], None] | None = None,
    should_stop: Callable[[], bool] | None = None,
    score: Scorer | None = None,
    checkpoint: Checkpoint | None = None,
    resume: SearchState | None = None,
    optimizer: Optimizer | OptimizerFactory | None = None,
    progress: bool = False,
) -> SearchResult:
    """Searches for the plan that carries the head farthest.

    The builtin CMA-ES (or pycma's, or the optimizer given) proposes plans,
    kept in [-1, 1] as `settings.boundary` says, generation by generation.
    Every run of the optimizer starts from `settings.start` (all zeros
    unless given: a warm start from a plan found before), which is the best
    plan until a scored plan goes farther (it is not counted among the plans
    scored). When the optimizer's stop rules fire with budget left, a new
    run starts (`settings.restarts`, `settings.restart_schedule`); when no
    restart is left, the search ends and the result's `stop_reasons` names
    the rules. Otherwise it names the search's own end: "budget" or
    "generations" for a spent budget, "interrupted", or "failed" (see
    STOP_REASONS).

    With the builtin optimizer, the same settings give the same result, bit
    for bit, on every machine where zorv_fast's scores are the same: its
    arithmetic runs in a fixed order of operations, not in NumPy's BLAS.
    pycma's path depends on the BLAS kernels that NumPy picks for the CPU.
    The result's score is exact everywhere: it is `zorv_fast.sim(plan)`.

    Args:
        settings: What to search for how long; with the seed it fixes the
            result.
        on_generation: Called after every generation with where the search
            stands.
        should_stop: Asked after every call of the scorer; a true answer
            ends the search at once with the best plan scored so far (the
            generation cut short is not told to the optimizer) and
            `interrupted` set. Ctrl-C does the same: in the main thread,
            where Python's own handler would raise KeyboardInterrupt, the
            first stops the search after the plans being scored, a second
            interrupts whatever runs (a scorer or an ask() that hangs), and
            the search goes back to its last whole generation; a
            KeyboardInterrupt from a handler of one's own does that too.
        score: Scores plans instead of `zorv_fast.sim_batch`: an (N, 40)
            array in, its N scores out, in order. It gets `settings.chunk`
            plans a call, or whole generations when it has a true attribute
            `whole_generations`, as `zorv.distributed.DaskScorer` does.
        checkpoint: Called between generations every
            `settings.checkpoint_every` seconds and at every restart, with
            the result so far; its `state` holds all that the rest of the
            search depends on, and `zorv.checkpoints.save` writes both.
        resume: A state saved so (read back by `zorv.checkpoints.load`): the
            search goes on from it exactly as the search that saved it would
            have gone on. `settings` may differ from its settings only in
            those that do not change the search (`chunk`,
            `checkpoint_every`).
        optimizer: One's own optimizer (see zorv.optimizers.Optimizer: ask()
            returns an (N, 40) array, tell(distances) takes their
            distances), as an object, which runs once (no restarts: the
            search ends when its stop() fires), or as a function of
            (settings, run) that makes one for each run, first and
            restarted, from the `settings` given here. The search treats it
            like the built-in ones: chunked scoring, stop requests, history
            and checkpoints (resumable when it has save_state and
            load_state).
        progress: Shows how the search goes: in a Jupyter notebook as a
            display that updates itself, elsewhere as a line on standard
            error (rewritten in place on a terminal, every few seconds in a
            log), as `zorv search` shows it; `on_generation` is still
            called.

    Returns:
        The best plan, its score and how the search went. The plan is kept
        as zorv_fast scores it, every value clamped to [-1, 1] and NaN
        counting as -1, so that its score stays the same. Its settings are
        `settings`, except that with one's own optimizer they name it: by
        `settings.optimizer` when that is not a built-in name, else by the
        optimizer's `name` attribute or, failing that, its class's name
        (see zorv.optimizers.Optimizer). A function's optimizers are named
        by the one it makes first (when resuming, the one for the run
        resumed), so that resuming with the same settings and function is
        accepted.

    Raises:
        SearchFailed: The optimizer (its ask, tell, stop or save_state, or
            the factory making it for a restart) or a callback raised, or
            gave what the search cannot use: plans that are no (N, 40)
            array of real numbers, stop reasons that are no list of names.
            The exception holds the result up to the last whole generation,
            with the best plan scored so far; what was raised is its cause.
        ScoringFailed: A SearchFailed of the scorer: it raised (zorv_fast's
            own failures included), or returned another number of scores
            than it was given plans, or one that is not a finite number.
        CheckpointError: `resume` is a state that this search cannot go on
            from: other settings, an optimizer that saves no state, or a
            state that the optimizer cannot load.
        PopulationTooLargeError: A generation of the built-in optimizers,
            at the largest population that its restarts can reach within its
            budget, would not fit in this process's memory (a ValueError,
            raised before anything is drawn).
        ValueError: `settings.optimizer` is not a built-in name and no
            `optimizer` is given.
        TypeError: `optimizer` (or what it makes) has no ask() and tell().
    """
    return prepare_search(settings, resume=resume, optimizer=optimizer).run(
        on_generation=on_generation, should_stop=should_stop, score=score,
        checkpoint=checkpoint, progress=progress)


@dataclasses.dataclass(frozen=True)
class PreparedSearch:
    """A search whose optimizer and memory needs have been checked, once:
    `run` runs it, as `search` does (which is prepare_search(...).run(...)).
    The command line prepares a search before it starts a cluster."""

    settings: SearchSettings
    resume: SearchState | None
    make_optimizer: OptimizerFactory
    restartable: bool
    own: bool

    def run(self, *, on_generation: Callable[[Progress], None] | None = None,
            should_stop: Callable[[], bool] | None = None, score: Scorer | None = None,
            checkpoint: Checkpoint | None = None, progress: bool = False) -> SearchResult:
        """The search, with the collaborators that `search` takes."""
        shown = progress_display(sys.stderr) if progress else None
        if shown is not None:
            given, show = on_generation, shown.update

            def on_generation(progress: Progress) -> None:
                show(progress)
                if given is not None:
                    given(progress)
        try:
            with _one_blas_thread():
                return _Loop(self.settings, self.resume, score_here if score is None else score,
                             on_generation, should_stop, checkpoint, self.make_optimizer,
                             self.restartable, own=self.own).run()
        finally:
            if shown is not None:
                shown.close()


def prepare_search(settings: SearchSettings, *, resume: SearchState | None = None,
                   optimizer: Optimizer | OptimizerFactory | None = None) -> PreparedSearch:
    """The checks of `search` that come before anything runs: what makes the
    optimizer (ValueError, TypeError) and, for the built-in optimizers,
    whether every population the search can draw fits in memory
    (PopulationTooLargeError)."""
    make_optimizer, restartable = _optimizer_factory(settings, optimizer)
    if optimizer is None:
        require_search_fits(settings, resume)
    return PreparedSearch(settings, resume, make_optimizer, restartable, own=optimizer is not None)


def _one_blas_thread() -> contextlib.AbstractContextManager[object]:
    """NumPy's BLAS kept to one thread, where threadpoolctl is installed
    (it comes with pycma, the only optimizer here that multiplies through
    BLAS): its matrices are 40 by 40, and more threads only spin, on the
    cores that sim_batch needs."""
    try:
        from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]
    except ImportError:
        return contextlib.nullcontext()
    limits: contextlib.AbstractContextManager[object] = threadpool_limits(
        limits=1, user_api="blas")
    return limits


class _Loop:
    def __init__(self, settings: SearchSettings, resume: SearchState | None, score: Scorer,
                 on_generation: Callable[[Progress], None] | None,
                 should_stop: Callable[[], bool] | None, checkpoint: Checkpoint | None,
                 make_optimizer: OptimizerFactory, restartable: bool, own: bool) -> None:
        # What the optimizers are made with; the state and the result get
        # the same settings with one's own optimizer's name (see _named).
        self.given_settings = settings
        self.settings = settings
        self.make_optimizer = make_optimizer
        self.restartable = restartable
        self.own = own
        self.score = score
        self.on_generation = on_generation
        self.should_stop = should_stop
        self.checkpoint = checkpoint
        if resume is None:
            run = first_run(settings)
            self.optimizer = self._new_optimizer(run)
            self.settings = self._named(self.optimizer)
            start = list(settings.start_plan)
            self.state = SearchState(self.settings, run, 0, 0, 0, start, zorv_fast.sim(start),
                                     0.0)
        else:
            self.state = self._resumed(resume)
        self.checked_optimizer: Optimizer | None = None
        self.save_state: Callable[[], dict[str, Any]] | None = None
        self.stop_rules: Callable[[], list[str]] | None = None
        self.generations_left: Callable[[int], int] | None = None
        self.ctrl_c = CtrlC()
        self.started = time.perf_counter() - self.state.elapsed
        self.last_checkpoint = time.perf_counter()
        # The best plan, also from a generation cut short (the state keeps
        # the best of whole generations only).
        self.best_plan: list[float] = list(self.state.best_plan)
        self.best_score = self.state.best_score
        # Where the search stood at the start of the step now running (a
        # generation, or a restart): what a step cut short goes back to.
        # run() takes it with the optimizer's state before every step, where
        # a save_state() that raises ends the search as any failure does.
        self.mark = self.state.marked(None)

    def _named(self, optimizer: Optimizer) -> SearchSettings:
        """The settings that the state and the result hold: those given,
        with the name of one's own optimizer (see Optimizer)."""
        if not self.own:
            return self.given_settings
        name = own_optimizer_name(optimizer, self.given_settings.optimizer)
        return dataclasses.replace(self.given_settings, optimizer=name)

    def _resumed(self, resume: SearchState) -> SearchState:
        # The search goes on from a copy: the caller's state stays as it was,
        # and can be resumed again to the same end.
        resume = resume.copy()
        # One's own optimizer's name is known once it is made: it is
        # compared then.
        self._refuse_changes(resume.settings, but=("optimizer",) if self.own else ())
        if resume.run.index and not self.restartable:
            raise CheckpointError("the search to resume had restarted its optimizer: "
                                  "give a function that makes one for each run")
        self.optimizer = self._new_optimizer(resume.run)
        self.settings = self._named(self.optimizer)
        self._refuse_changes(resume.settings)
        resumable = isinstance(self.optimizer, ResumableOptimizer)
        if not resume.finished and (resume.optimizer is None or not resumable):
            raise CheckpointError(f"a search with the {self.settings.optimizer} optimizer "
                                  "cannot be resumed: it saves no optimizer state")
        if resume.optimizer is not None and isinstance(self.optimizer, ResumableOptimizer):
            try:
                self.optimizer.load_state(resume.optimizer)
            except ValueError as error:
                raise CheckpointError(f"bad optimizer state: {error}") from None
        resume.settings = self.settings
        if resume.finished and not resume.stop_reasons:
            # Files of earlier versions name no reason for a spent budget,
            # the only end that they gave none for.
            resume.stop_reasons = [budget_spent(self.settings)]
        return resume

    def _refuse_changes(self, saved: SearchSettings, but: tuple[str, ...] = ()) -> None:
        """CheckpointError if the settings differ from the `saved` ones of
        the search to resume in more than the settings named in `but`."""
        changed = [name for name in self.settings.changes_from(saved) if name not in but]
        if changed:
            raise CheckpointError(
                "the search to resume has other settings: "
                + ", ".join(f"{name} {getattr(saved, name)!r}, not "
                            f"{getattr(self.settings, name)!r}" for name in changed))

    def _new_optimizer(self, run: Run) -> Optimizer:
        optimizer = self.make_optimizer(self.given_settings, run)
        if not isinstance(optimizer, Optimizer):
            raise TypeError(f"the optimizer made for run {run.index} has no ask() and "
                            f"tell(distances): got {type(optimizer).__name__}")
        return optimizer

    def run(self) -> SearchResult:
        """The whole search. Whatever ends it early, a stop request, Ctrl-C
        anywhere or a failure of the optimizer, the scorer or a callback,
        the search so far is kept: returned, or held by the SearchFailed
        raised."""
        with self.ctrl_c:
            try:
                while not self.state.finished:
                    self.mark = self._mark()
                    self._step()
                self.ctrl_c.finishing = True
                return self._result()
            # KeyboardInterrupt itself comes from another handler, or from a
            # second Ctrl-C that did not wait for the plans being scored.
            except (_Interrupted, KeyboardInterrupt):
                self.ctrl_c.finishing = True
                return self._cut_result(INTERRUPTED)
            except _StepFailed as failure:
                self.ctrl_c.finishing = True
                kind = ScoringFailed if failure.scoring else SearchFailed
                raise kind(failure.message, self._cut_result(FAILED)) from failure.__cause__

    def _step(self) -> None:
        """One generation, or the end of a run: a restart, or the search's
        end."""
        state = self.state
        if state.evaluations >= self.settings.budget:
            state.stop_reasons, state.finished = [budget_spent(self.settings)], True
            return
        self._check_optimizer()
        reasons = self._stop_reasons()
        if not reasons and state.run_progress.stalled and self._restart_allowed():
            reasons = [STALLED]  # only worth noting when a new run follows
        if reasons:
            if not self._restart_allowed():
                state.stop_reasons, state.finished = reasons, True
                return
            self._restart()
            return
        distances = self._score_generation()
        _call("the optimizer's tell()", self.optimizer.tell, distances)
        state.generation += 1
        ordered = np.sort(distances)  # scores are finite: the largest last
        state.run_progress.record(float(ordered[-1]))
        elapsed = state.elapsed = time.perf_counter() - self.started
        if self.best_score > state.best_score:
            state.best_plan, state.best_score = list(self.best_plan), self.best_score
        state.history.append(state.evaluations, state.best_score, _middle(ordered), elapsed)
        if self.on_generation is not None:
            _call("on_generation", self.on_generation, Progress(
                state.generation, self._planned(len(distances)), state.evaluations, elapsed,
                state.best_score, state.run.index))
        since = time.perf_counter() - self.last_checkpoint
        if self.checkpoint is not None and since >= self.settings.checkpoint_every:
            self._checkpoint()

    def _stop_reasons(self) -> list[str]:
        if self.stop_rules is None:
            return []
        reasons = _call("the optimizer's stop()", self.stop_rules)
        if not isinstance(reasons, (list, tuple)) or not all(
                isinstance(reason, str) for reason in reasons):
            raise _StepFailed(f"the optimizer's stop() returned {shown(reasons)}, not a list "
                              "of the names of the rules that fire")
        return list(reasons)

    def _restart_allowed(self) -> bool:
        if not self.restartable:
            return False
        restarts = self.settings.restarts
        return restarts is None or self.state.run.index < restarts

    def _restart(self) -> None:
        state = self.state
        state.run = next_run(self.settings, state.run, state.run_evaluations)
        state.run_evaluations = 0
        state.run_progress = RunProgress()
        state.history.start_run()
        self.optimizer = _call(f"making the optimizer of run {state.run.index + 1}",
                               self._new_optimizer, state.run)
        if self.checkpoint is not None:
            self._checkpoint()

    def _score_generation(self) -> Plans:
        state = self.state
        plans = _plans(_call("the optimizer's ask()", self.optimizer.ask))
        chunk = plans_per_call(self.score, self.settings, len(plans))
        distances = np.empty(len(plans))
        for first in range(0, len(plans), chunk):
            rows = plans[first:first + chunk]
            scores = self._scores_of(rows)
            distances[first:first + len(rows)] = scores
            state.evaluations += len(rows)
            state.run_evaluations += len(rows)
            best = int(scores.argmax())
            if scores[best] > self.best_score:
                # Kept as the core reads it, so that its score stays the same.
                self.best_plan = _trace.scored_plan(rows[best])
                self.best_score = float(scores[best])
            if self.ctrl_c.requested or (
                    self.should_stop is not None and _call("should_stop", self.should_stop)):
                raise _Interrupted
        return distances

    def _scores_of(self, rows: Plans) -> Plans:
        """The scorer's scores of `rows`, checked."""
        try:
            scores = np.asarray(self.score(rows), dtype=np.float64)
        except KeyboardInterrupt:
            raise _Interrupted from None
        except BaseException as error:
            if not isinstance(error, Exception) and not is_native_failure(error):
                raise  # SystemExit and the like end more than the search
            detail = " ".join(str(error).split())  # one line, whatever the scorer said
            raise _StepFailed(f"scoring failed: {type(error).__name__}: {detail}",
                              scoring=True) from error
        if scores.shape != (len(rows),):
            raise _StepFailed(f"scoring failed: the scorer returned {scores.shape} scores for "
                              f"{len(rows)} plans", scoring=True)
        finite = np.isfinite(scores)
        if not finite.all():
            at = int(np.argmin(finite))
            raise _StepFailed(f"scoring failed: the scorer returned {float(scores[at])!r} for a plan: "
                              "scores are finite numbers", scoring=True)
        return scores

    def _planned(self, population: int) -> int:
        """Generations planned: as the builtin CMA-ES will draw the rest of
        the budget, or in generations of `population` plans (the last
        one's)."""
        self._check_optimizer()
        state = self.state
        left = max(0, self.settings.budget - state.evaluations)
        if self.generations_left is not None:
            return state.generation + self.generations_left(left)
        return state.generation + -(-left // population)

    def _check_optimizer(self) -> None:
        """Finds the optional methods of the optimizer now running; a
        protocol check costs tens of microseconds, so once per optimizer."""
        if self.checked_optimizer is not self.optimizer:
            self.checked_optimizer = self.optimizer
            self.save_state = (self.optimizer.save_state
                               if isinstance(self.optimizer, ResumableOptimizer) else None)
            self.stop_rules = (self.optimizer.stop
                               if isinstance(self.optimizer, StoppingOptimizer) else None)
            self.generations_left = (self.optimizer.generations_left
                                     if isinstance(self.optimizer, BuiltinOptimizer) else None)

    def _optimizer_state(self) -> dict[str, Any] | None:
        """The optimizer's own state (None when it cannot save one)."""
        self._check_optimizer()
        if self.save_state is None:
            return None
        return _call("the optimizer's save_state()", self.save_state)

    def _mark(self) -> SearchState:
        """The state now, as a step cut short goes back to it: its history
        is shared (a step only adds to it, and a cut result keeps its
        first entries), the rest is its own."""
        return self.state.marked(self._optimizer_state())

    def _checkpoint(self) -> None:
        assert self.checkpoint is not None
        _call("the checkpoint", self.checkpoint, self._result())
        self.last_checkpoint = time.perf_counter()

    def _result(self) -> SearchResult:
        """The result now, between two steps."""
        state = self.state
        saved = SearchState(**{**vars(state), "optimizer": self._optimizer_state(),
                               "history": state.history.copy(),
                               "run_progress": state.run_progress.copy()})
        return self._result_of(saved, interrupted=False,
                               stop_reasons=saved.stop_reasons if saved.finished else [])

    def _cut_result(self, reason: str) -> SearchResult:
        """The result of a search cut short for `reason`: its state as the
        step cut short found it (unfinished, so that it can be resumed), its
        best plan the best scored, the cut step included."""
        mark = self.mark
        history = mark.history
        kept = History(**{name: list(column[:mark.generation])
                          for name, column in vars(history).items() if name != "run_starts"},
                       run_starts=history.run_starts[:mark.run.index + 1])
        saved = dataclasses.replace(mark, history=kept, stop_reasons=[], finished=False,
                                    best_plan=list(mark.best_plan),
                                    run_progress=mark.run_progress.copy())
        return self._result_of(saved, interrupted=True, stop_reasons=[reason])

    def _result_of(self, saved: SearchState, interrupted: bool,
                   stop_reasons: list[str]) -> SearchResult:
        plan = list(self.best_plan)
        scored_on = getattr(self.score, "batch_path", None)  # a cluster's scorer says where
        return SearchResult(
            plan=plan,
            score=zorv_fast.sim(plan),
            settings=self.settings,
            generations=saved.generation,
            evaluations=self.state.evaluations,
            elapsed=time.perf_counter() - self.started,
            interrupted=interrupted,
            stop_reasons=list(stop_reasons),
            history=saved.history.copy(),
            state=saved,
            batch_path=scored_on() if callable(scored_on) else None,
        )


class _Interrupted(Exception):
    """A stop request, or Ctrl-C, while a generation was scored."""


class _StepFailed(Exception):
    """What ends the search with SearchFailed (or ScoringFailed): `message`
    says what failed, in one line; the cause is the exception raised."""

    def __init__(self, message: str, scoring: bool = False) -> None:
        super().__init__(message)
        self.message = message
        self.scoring = scoring


_Result = TypeVar("_Result")


def _call(what: str, function: Callable[..., _Result], *args: Any) -> _Result:
    """`function(*args)`; an exception from it ends the search, named as
    `what` failing."""
    try:
        return function(*args)
    except (_StepFailed, _Interrupted):
        raise
    except Exception as error:
        detail = " ".join(str(error).split())
        raise _StepFailed(f"{what} failed: {type(error).__name__}: {detail}") from error


def _plans(asked: object) -> Plans:
    """The plans that ask() returned as float64 rows, or _StepFailed for
    what is no (N, 40) array of real numbers."""
    try:
        found = np.asarray(asked)
    except Exception as error:
        raise _StepFailed(f"the optimizer's ask() returned {shown(asked)}, not an "
                          f"(N, {PLAN_SIZE}) array of numbers") from error
    if found.dtype.kind not in "fiu":
        raise _StepFailed(f"the optimizer's ask() returned plans of {found.dtype}, not of "
                          "real numbers")
    if found.ndim != 2 or found.shape[0] < 1 or found.shape[1] != PLAN_SIZE:
        raise _StepFailed(f"the optimizer's ask() returned plans of shape {found.shape}, "
                          f"not (N, {PLAN_SIZE})")
    return np.asarray(found, dtype=np.float64)


def _middle(ordered: Plans) -> float:
    """np.median of sorted values, without its several microseconds of
    Python per call."""
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return float(ordered[middle])
    return float((ordered[middle - 1] + ordered[middle]) / 2)
