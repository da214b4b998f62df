"""A study's tables as people read them, in aligned columns, and as
summary.csv, which keeps every number's every digit."""
from __future__ import annotations

import csv
import io
from collections.abc import Callable, Sequence
from typing import Any

from .aggregation import Table
from .study import DONE, FAILED, PENDING, Study


def summary_csv(study: Study) -> str:
    """summary.csv: the fixed-budget table, a row per optimizer and budget;
    numbers as Python writes them (read back, each is the same float),
    empty cells where there is no value."""
    return table_csv(study.fixed_budget())


def table_csv(table: Table) -> str:
    """A table as CSV, its columns' names first."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(table.columns)
    for row in table.rows:
        writer.writerow(["" if value is None else repr(value) if isinstance(value, float)
                         else value for value in row])
    return out.getvalue()


def report(study: Study) -> list[str]:
    """What `zorv compare` prints of a study: what it compared, its
    fixed-budget, fixed-target and rank-sum tables, and its failed runs."""
    plan = study.plan
    counts = {status: sum(run.status == status for run in study.runs)
              for status in (DONE, FAILED, PENDING)}
    left = len(study.runs) - counts[DONE] - counts[FAILED]
    state = (f"{counts[DONE]} of {len(study.runs)} runs done"
             + (f", {counts[FAILED]} failed" if counts[FAILED] else "")
             + (f", {left} to go (--resume goes on)" if left else ""))
    lines = [f"{len(plan.optimizers)} optimizer{_s(plan.optimizers)} x {len(plan.seeds)} "
             f"seed{_s(plan.seeds)}, {plan.budget:,} plans a run: {state}"]
    if not counts[DONE]:
        return lines
    lines += ["", "Best distance so far after a number of plans scored, over the runs:"]
    lines += aligned(study.fixed_budget(), {
        "plans": _plans, "median": _distance, "lower_quartile": _distance,
        "upper_quartile": _distance, "min": _distance, "max": _distance, "mean": _distance,
        "standard_error": _distance})
    targets = study.targets()
    if targets:
        lines += ["", "Targets: the runs that reach each distance, and the median of the "
                      "plans they need (-: half or more never reach it):"]
        lines += aligned(study.fixed_target(targets), {
            "target": _distance, "share": _share, "median_plans": _plans})
    ranks = study.rank_sums()
    if ranks.rows:
        lines += ["", "Rank-sum tests of the runs' final best distances (two-sided p-values):"]
        lines += aligned(ranks, {"p_value": _p_value})
        if ranks.note:
            lines.append(ranks.note)
    failed = [run for run in study.runs if run.status == FAILED]
    if failed:
        lines += ["", "Failed runs:"]
        lines += [f"  {run.optimizer} seed {run.seed}: {run.reason}" for run in failed]
    return lines


def aligned(table: Table, shown: dict[str, Callable[[Any], str]]) -> list[str]:
    """The table's lines: its columns' names, then its rows, each value as
    `shown` writes its column's (as str() does for the others), names
    aligned left and numbers right."""
    cells = [[name.replace("_", " ") for name in table.columns]]
    for row in table.rows:
        cells.append(["-" if value is None else shown.get(name, str)(value)
                      for name, value in zip(table.columns, row)])
    widths = [max(len(line[i]) for line in cells) for i in range(len(table.columns))]
    numeric = [i > 0 and all(_numeric(row[i]) for row in table.rows) for i in
               range(len(table.columns))]
    return ["  " + "  ".join(cell.rjust(width) if right else cell.ljust(width)
                             for cell, width, right in zip(line, widths, numeric)).rstrip()
            for line in cells]


def _numeric(value: Any) -> bool:
    return value is None or (isinstance(value, (int, float)) and not isinstance(value, bool))


def _s(items: Sequence[Any]) -> str:
    return "" if len(items) == 1 else "s"


def _plans(value: float) -> str:
    return f"{value:,.0f}"


def _distance(value: float) -> str:
    return f"{value:.3f}"


def _share(value: float) -> str:
    return f"{value:.0%}"


def _p_value(value: float) -> str:
    return f"{value:.3g}"
