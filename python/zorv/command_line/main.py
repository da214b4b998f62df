"""The command line: `zorv search`, `compare`, `show`, `plot` and `check`
(also as `python -m zorv`)."""
from __future__ import annotations

import argparse
import dataclasses
from collections.abc import Sequence
from pathlib import Path

import zorv_fast

from .. import plot, svg
from ..files.reading import InputFileError, load_curve, load_plan
from ..files.replacing import PICTURE, why_kept
from ..files.writing import OutputPathError, check_outputs, output_path
from ..motion.gait import gait_measures
from ..motion.perturbation import robustness
from ..motion.positions import trace
from ..motion.record import record_run
from ..studies.study import StudyError, is_study, read_study
from .arguments import DEFAULT_CHART, build_parser
from .check import run_check
from .compare import run_compare
from .console import shown_path, standard_streams, summary_stream, write_or_say
from .exit_status import BAD_INPUT, FAILED
from .messages import print_error, program_name
from .search import run_search


def _render(plan: Sequence[float], frames: int | None, title: str, torques: bool) -> str:
    if frames is None:
        record = record_run(plan)
        return svg.animation(record.positions, title=title, contacts=record.contacts,
                             torques=record.torques if torques else None)
    return svg.filmstrip(trace(plan), frames=frames, title=title)


def _run_show(args: argparse.Namespace, prog: str) -> int:
    try:
        plan = load_plan(args.plan)
    except InputFileError as error:
        print_error(prog, str(error))
        return BAD_INPUT
    try:
        output = (args.plan.with_suffix(".svg") if args.output is None
                  else output_path(args.output, args.plan.stem + ".svg"))
        check_outputs([(output, False)], inputs=[args.plan])
    except OutputPathError as error:
        print_error(prog, str(error))
        return BAD_INPUT
    if not _may_replace(output, args.overwrite, prog):
        return BAD_INPUT
    text = _render(plan, args.frames, title=args.plan.name, torques=args.torques)
    said = summary_stream(output)
    if not write_or_say(output, text, prog):
        return FAILED
    print(f"distance {zorv_fast.sim(plan)!r}: {shown_path(output)}", file=said)
    if args.gait:
        for line in gait_measures(record_run(plan)).lines():
            print(line, file=said)
    if args.robustness is not None:
        for line in robustness(plan, noise=args.robustness).lines():
            print(line, file=said)
    return 0


def _run_plot(args: argparse.Namespace, prog: str) -> int:
    if args.label is not None and len(args.label) != len(args.results):
        print_error(prog, f"--label names {len(args.label)} of {len(args.results)} results: "
                          "give it once per RESULT.json, or not at all")
        return BAD_INPUT
    studies = [path for path in args.results if is_study(path)]
    if studies:
        return _plot_study(args, prog, studies)
    try:
        curves = [load_curve(path, search_command=f"{prog} search") for path in args.results]
    except InputFileError as error:
        print_error(prog, str(error))
        return BAD_INPUT
    if args.label is not None:
        curves = [dataclasses.replace(curve, label=" ".join(label.split()) or curve.label)
                  for curve, label in zip(curves, args.label)]
    try:
        output = output_path(args.output, DEFAULT_CHART)
        check_outputs([(output, False)], inputs=args.results)
    except OutputPathError as error:
        print_error(prog, str(error))
        return BAD_INPUT
    if not _may_replace(output, args.overwrite, prog):
        return BAD_INPUT
    try:
        chart = plot.convergence(curves, x_axis=args.x_axis)
    except ValueError as error:  # numbers no axis can hold, such as 1e308 beside -1e308
        print_error(prog, str(error))
        return BAD_INPUT
    said = summary_stream(output)
    if not write_or_say(output, chart, prog):
        return FAILED
    print(f"{len(curves)} curve{'s' if len(curves) != 1 else ''}: {shown_path(output)}",
          file=said)
    return 0


def _plot_study(args: argparse.Namespace, prog: str, studies: list[Path]) -> int:
    """plot of a study: the median best distance so far of each of its
    optimizers, in a band between the quartiles (the study's own
    convergence.svg)."""
    from ..studies.pictures import convergence as study_convergence

    try:
        if len(args.results) > 1:
            raise StudyError(f"{str(studies[0])!r} is a study, which is drawn alone: give it "
                             "without other results")
        if args.label is not None or args.x_axis != "evaluations":
            raise StudyError("a study's chart names its optimizers as the study does, against "
                             "plans scored: give it without --label and --x-axis")
        study = read_study(studies[0])
        if not study.curves():
            raise StudyError(f"{str(studies[0])!r} holds no run that is done yet")
        output = output_path(args.output, DEFAULT_CHART)
        check_outputs([(output, False)], inputs=[study.folder / "study.json"])
        chart = study_convergence(study)
    except (StudyError, InputFileError, OutputPathError) as error:
        print_error(prog, str(error))
        return BAD_INPUT
    if not _may_replace(output, args.overwrite, prog):
        return BAD_INPUT
    said = summary_stream(output)
    if not write_or_say(output, chart, prog):
        return FAILED
    count = len(study.plan.optimizers)
    print(f"{count} optimizer{'s' if count != 1 else ''} of a study: {shown_path(output)}",
          file=said)
    return 0


def _may_replace(output: Path, overwrite: bool, prog: str) -> bool:
    """Whether the picture may go to `output`: says why not in one error
    line where it holds what zorv did not draw and --overwrite is not given."""
    held = None if overwrite else why_kept(output, "--output", PICTURE)
    if held is not None:
        print_error(prog, held)
    return held is None


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    prog = program_name(prog)
    runs = {"search": run_search, "compare": run_compare, "show": _run_show, "plot": _run_plot,
            "check": run_check}
    # What a command prints is dropped where it cannot be written: the
    # status says how the command went, not whether anyone still listens.
    with standard_streams():
        args = build_parser(prog).parse_args(argv)
        return runs[args.command](args, prog)
