"""The command line: `zorv search`, `show`, `plot` and `check` (also as
`python -m zorv`)."""
from __future__ import annotations

import argparse
import os
from collections.abc import Sequence
from pathlib import Path

import zorv_fast

from . import _trace, check, installed_files, plot, svg
from .arguments import build_parser
from .console import print_error, program_name, write_or_say
from .exit_status import BAD_INPUT, FAILED
from .input_files import InputFileError, load_curve, load_plan
from .output_files import OutputPathError, check_outputs
from .search_command import run_search
from .trace import trace


def _render(plan: Sequence[float], frames: int | None, title: str) -> str:
    positions = trace(plan)
    if frames is None:
        return svg.animation(positions, title=title)
    return svg.filmstrip(positions, frames=frames, title=title)


def _run_show(args: argparse.Namespace, prog: str) -> int:
    try:
        plan = load_plan(args.plan)
    except InputFileError as error:
        print_error(prog, str(error))
        return BAD_INPUT
    output: Path = args.output if args.output is not None else args.plan.with_suffix(".svg")
    try:
        check_outputs([(output, False)], inputs=[args.plan])
    except OutputPathError as error:
        print_error(prog, str(error))
        return BAD_INPUT
    text = _render(plan, args.frames, title=args.plan.name)
    if not write_or_say(output, text, prog):
        return FAILED
    print(f"distance {zorv_fast.sim(plan)!r}: {output.resolve()}")
    return 0


def _run_plot(args: argparse.Namespace, prog: str) -> int:
    try:
        curves = [load_curve(path) for path in args.results]
    except InputFileError as error:
        print_error(prog, str(error))
        return BAD_INPUT
    try:
        check_outputs([(args.output, False)], inputs=args.results)
    except OutputPathError as error:
        print_error(prog, str(error))
        return BAD_INPUT
    try:
        chart = plot.convergence(curves, x_axis=args.x_axis)
    except ValueError as error:  # numbers no axis can hold, such as 1e308 beside -1e308
        print_error(prog, str(error))
        return BAD_INPUT
    if not write_or_say(args.output, chart, prog):
        return FAILED
    print(f"{len(curves)} curve{'s' if len(curves) != 1 else ''}: {args.output.resolve()}")
    return 0


def _run_check(args: argparse.Namespace, prog: str) -> int:
    installation = installed_files.this_installation()
    report = check.examine(zorv_fast.sim, zorv_fast.sim_batch, _trace.batch_settings,
                           check.library_atan2(), check.c_library(),
                           core_library=_trace.core_library,
                           installed_faults=None if installation is None
                           else installed_files.faults(installation))
    for line in check.describe(report, os.environ):
        print(line)
    return 0 if report.documented_scores_hold and report.installation_intact else FAILED


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    prog = program_name(prog)
    args = build_parser(prog).parse_args(argv)
    runs = {"search": run_search, "show": _run_show, "plot": _run_plot, "check": _run_check}
    return runs[args.command](args, prog)
