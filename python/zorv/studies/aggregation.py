"""What the runs of a study show together, as tables: the best distances
at fixed budgets, the plans needed to reach fixed targets, and rank-sum
tests between optimizers. Each is computed from the runs' histories alone,
with no run made again.

A run's best distance so far after N plans is the best of the generations
that it had completed by then (the all-zero plan's distance, where every
search starts, before its first); a run that ended before N plans keeps its
last. Quartiles interpolate linearly between the sorted values, as NumPy's
and pandas' default does.
"""
from __future__ import annotations

import bisect
import math
import statistics
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class RunCurve:
    """One run's best distance so far: after `evaluations[i]` plans scored,
    `best[i]`; `start` before any."""

    optimizer: str
    seed: int
    evaluations: tuple[int, ...]
    best: tuple[float, ...]
    start: float

    @property
    def final(self) -> float:
        """The run's best distance at its end."""
        return self.best[-1] if self.best else self.start

    def best_at(self, plans: float) -> float:
        """The best distance so far after `plans` plans scored."""
        done = bisect.bisect_right(self.evaluations, plans)
        return self.best[done - 1] if done else self.start

    def plans_to_reach(self, target: float) -> int | None:
        """The plans scored by the end of the first generation whose best so
        far reaches `target` (0 where the start does); None for a run that
        never reaches it."""
        if self.start >= target:
            return 0
        for plans, best in zip(self.evaluations, self.best):
            if best >= target:
                return plans
        return None


@dataclass(frozen=True)
class Table:
    """A table of numbers: its columns' names and its rows; `note` says
    what it lacks, where it does (p-values without SciPy)."""

    columns: tuple[str, ...]
    rows: tuple[tuple[Any, ...], ...]
    note: str = ""

    def as_dict(self) -> dict[str, list[Any]]:
        """The columns by name, each a list of its values."""
        return {name: [row[i] for row in self.rows] for i, name in enumerate(self.columns)}

    def to_pandas(self) -> Any:
        """The table as a pandas DataFrame (None becomes NaN); pandas is an
        extra: LibraryMissingError (an ImportError) where it is not installed."""
        from ..machine.libraries import import_library

        pandas = import_library("pandas", "a table as a DataFrame")
        return pandas.DataFrame(self.as_dict(), columns=list(self.columns))


def quantile(ordered: Sequence[float], share: float) -> float:
    """The `share` quantile of sorted values, interpolated linearly."""
    position = (len(ordered) - 1) * share
    below = math.floor(position)
    above = min(below + 1, len(ordered) - 1)
    return ordered[below] + (ordered[above] - ordered[below]) * (position - below)


def budgets(budget: int) -> list[int]:
    """The budgets of the fixed-budget table: 1,000, 10,000, ... up to the
    study's budget, and the budget itself."""
    steps = [10**power for power in range(3, 20) if 10**power < budget]
    return [*steps, budget]


FIXED_BUDGET_COLUMNS = ("optimizer", "plans", "runs", "median", "lower_quartile",
                        "upper_quartile", "min", "max", "mean", "standard_error")


def fixed_budget(curves: Sequence[RunCurve], optimizers: Sequence[str], budget: int) -> Table:
    """For each optimizer (in order) and each of `budgets(budget)`, the best
    distance so far of its runs after that many plans: its runs, median,
    quartiles, min, max, mean and the standard error of the mean (None for
    a single run). At the budget itself, it is each run's final best: a
    run scores whole generations, and its last may go past the budget.
    Optimizers without runs have no rows."""
    rows = []
    for optimizer in optimizers:
        own = [curve for curve in curves if curve.optimizer == optimizer]
        if not own:
            continue
        for plans in budgets(budget):
            values = sorted(curve.best_at(math.inf if plans == budget else plans)
                            for curve in own)
            mean = math.fsum(values) / len(values)
            error = (statistics.stdev(values) / math.sqrt(len(values))
                     if len(values) > 1 else None)
            rows.append((optimizer, plans, len(values), statistics.median(values),
                         quantile(values, 0.25), quantile(values, 0.75), values[0],
                         values[-1], mean, error))
    return Table(FIXED_BUDGET_COLUMNS, tuple(rows))


FIXED_TARGET_COLUMNS = ("optimizer", "target", "runs", "reached", "share", "median_plans")


def fixed_target(curves: Sequence[RunCurve], optimizers: Sequence[str],
                 targets: Sequence[float]) -> Table:
    """For each optimizer (in order) and target, how many of its runs reach
    the distance, their share, and the median of the plans each run needs
    (a run that never reaches it counts as needing more than any): None
    where half of the runs or more never reach it."""
    rows = []
    for optimizer in optimizers:
        own = [curve for curve in curves if curve.optimizer == optimizer]
        if not own:
            continue
        for target in targets:
            needed = sorted((curve.plans_to_reach(target) for curve in own),
                            key=lambda plans: math.inf if plans is None else plans)
            reached = sum(plans is not None for plans in needed)
            middle = [needed[(len(needed) - 1) // 2], needed[len(needed) // 2]]
            median = (None if None in middle
                      else (middle[0] + middle[1]) / 2)  # type: ignore[operator]
            rows.append((optimizer, target, len(own), reached, reached / len(own), median))
    return Table(FIXED_TARGET_COLUMNS, tuple(rows))


def default_targets(curves: Sequence[RunCurve]) -> tuple[float, ...]:
    """Targets for a study that names none: the quartiles and the median of
    every run's final best distance, rounded down to two decimals."""
    finals = sorted(curve.final for curve in curves)
    if not finals:
        return ()
    return tuple(sorted({math.floor(quantile(finals, share) * 100) / 100
                         for share in (0.25, 0.5, 0.75)}))


def reached_share(curves: Sequence[RunCurve], targets: Sequence[float],
                  plans: float) -> float:
    """The share of (run, target) pairs whose run had reached the target
    after `plans` plans: a point of the curve of the empirical cumulative
    distribution."""
    pairs = len(curves) * len(targets)
    if not pairs:
        return 0.0
    reached = sum(curve.best_at(plans) >= target for curve in curves for target in targets)
    return reached / pairs


#: What the rank-sum table says where SciPy is missing.
SCIPY_NEEDED = "the p-values need SciPy, which is not installed: pip install scipy"


def rank_sums(curves: Sequence[RunCurve], optimizers: Sequence[str]) -> Table:
    """For each pair of optimizers with runs (in order), the two-sided
    p-value of the Wilcoxon rank-sum (Mann-Whitney U) test of their runs'
    final best distances, from scipy.stats.mannwhitneyu; where SciPy is not
    installed, the p-values are None and the note says so."""
    finals = {optimizer: [curve.final for curve in curves if curve.optimizer == optimizer]
              for optimizer in optimizers}
    present = [optimizer for optimizer in optimizers if finals[optimizer]]
    try:
        from scipy.stats import mannwhitneyu  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        mannwhitneyu = None
    rows = []
    for index, first in enumerate(present):
        for second in present[index + 1:]:
            p_value = (None if mannwhitneyu is None else
                       float(mannwhitneyu(finals[first], finals[second],
                                          alternative="two-sided").pvalue))
            rows.append((first, second, len(finals[first]), len(finals[second]), p_value))
    return Table(("optimizer", "other", "runs", "other_runs", "p_value"), tuple(rows),
                 note=SCIPY_NEEDED if mannwhitneyu is None else "")
