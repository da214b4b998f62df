"""What a study runs: its plan, checked as it is made or resumed, each
optimizer's factory, and each run's settings."""
from __future__ import annotations

import dataclasses
from collections.abc import Iterable, Sequence

from ..optimizers import OptimizerFactory
from ..searching.memory import require_search_fits
from ..searching.optimizer_names import OptimizerSpecError, optimizer_factory, parse_optimizer
from ..searching.settings import NOT_CHANGING_THE_SEARCH, InvalidSetting, SearchSettings
from .study import RunRecord, StudyError, StudyPlan


def new_plan(optimizers: Sequence[str], seeds: Iterable[int], settings: SearchSettings | None,
             targets: Sequence[float] | None) -> StudyPlan:
    """The plan of a new study, checked; StudyError (one line) else."""
    if isinstance(optimizers, str):
        optimizers = [optimizers]
    labels = tuple(optimizers)
    if not labels:
        raise StudyError("name at least one optimizer")
    doubled = sorted({label for label in labels if labels.count(label) > 1})
    if doubled:
        raise StudyError(f"optimizer {doubled[0]!r} is named twice")
    order = tuple(seeds)
    if not order:
        raise StudyError("give at least one seed")
    if len(set(order)) != len(order):
        raise StudyError("a seed is given twice")
    base = SearchSettings() if settings is None else settings
    try:
        base = dataclasses.replace(base, seed=order[0], evaluations=base.budget, generations=None)
        for seed in order:
            SearchSettings(seed=seed)
    except InvalidSetting as error:
        raise StudyError(str(error)) from None
    for label in labels:
        try:
            parse_optimizer(label).settings_for(base)
        except OptimizerSpecError as error:
            raise StudyError(str(error)) from None
    return StudyPlan(labels, order, base, None if targets is None else _targets(targets))


def _targets(targets: Sequence[float]) -> tuple[float, ...]:
    try:
        values = tuple(float(target) for target in targets)
    except (TypeError, ValueError):
        raise StudyError("targets are distances: numbers") from None
    if not values or not all(value == value and abs(value) != float("inf") for value in values):
        raise StudyError("targets are distances: finite numbers, at least one")
    return values


def resumed_plan(plan: StudyPlan, optimizers: Sequence[str] | None,
                  seeds: Iterable[int] | None, settings: SearchSettings | None,
                  targets: Sequence[float] | None) -> StudyPlan:
    """The plan of a study resumed: its own, with the targets given and the
    settings that change no search (chunk, checkpoint_every) of the given
    settings; StudyError where what is given asks for another study."""
    if optimizers is not None and tuple(optimizers) != plan.optimizers:
        raise StudyError(f"the study to resume compares {', '.join(plan.optimizers)}: "
                         "give no optimizers, or the same")
    if seeds is not None and tuple(seeds) != plan.seeds:
        raise StudyError("the study to resume has other seeds: give none, or the same")
    shared = plan.settings
    if settings is not None:
        given = dataclasses.replace(settings, seed=shared.seed, optimizer=shared.optimizer,
                                    evaluations=settings.budget, generations=None)
        changed = given.changes_from(shared)
        if changed:
            name = changed[0]
            raise StudyError(f"the study to resume has {name} {getattr(shared, name)!r}, not "
                             f"{getattr(given, name)!r}: it goes on with its own settings")
        shared = dataclasses.replace(shared, **{name: getattr(given, name)
                                                for name in NOT_CHANGING_THE_SEARCH})
    return dataclasses.replace(plan, settings=shared,
                               targets=plan.targets if targets is None else _targets(targets))


def factories_of(plan: StudyPlan) -> dict[str, OptimizerFactory | None]:
    """Each optimizer's factory, its library and module imported, and its
    populations checked against this machine's memory."""
    factories = {}
    for label in plan.optimizers:
        parsed = parse_optimizer(label)
        try:
            factories[label] = optimizer_factory(parsed)
            require_search_fits(parsed.settings_for(plan.settings))
        except (OptimizerSpecError, ValueError) as error:
            raise StudyError(str(error)) from None
    return factories


def run_settings(plan: StudyPlan, record: RunRecord) -> SearchSettings:
    """The settings of a run: the study's, with the run's seed and its
    optimizer's own."""
    return parse_optimizer(record.optimizer).settings_for(
        dataclasses.replace(plan.settings, seed=record.seed))
