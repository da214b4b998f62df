"""`zorv compare`: a study of optimizers from the command line, its folder
locked for its whole life, what it has done kept whatever stops it; and
`zorv compare --report`, its tables again."""
from __future__ import annotations

import argparse
import contextlib
import dataclasses
import logging
import sys
from pathlib import Path
from typing import Any

from ..files.reading import InputFileError
from ..machine.libraries import LibraryMissingError
from ..searching.interrupts import StopOnInterrupt
from ..studies.folder import StudyWriteError
from ..studies.outputs import write_outputs
from ..studies.progress import StudyProgressLine
from ..studies.report import report
from ..studies.running import prepare_study
from ..studies.study import FAILED as RUN_FAILED, read_study
from .arguments import DEFAULT_SEEDS, given_settings, search_settings, seed_list
from .console import shown_path
from .exit_status import BAD_INPUT, FAILED
from .messages import print_error


def run_compare(args: argparse.Namespace, prog: str) -> int:
    if args.report is not None:
        return _report(args, prog)
    folder = Path(args.output)
    on_cluster = args.scheduler is not None or args.local_workers is not None
    try:
        if not args.resume and not args.optimizers:
            raise ValueError("name the optimizers to compare, such as builtin pycma (see "
                             f"{prog} compare --help)")
        settings = None
        if given_settings(args):
            settings = search_settings(args, read_study(folder).plan.settings
                                       if args.resume else None, what="study")
        seeds = args.seeds
        if seeds is None and not args.resume:
            seeds = seed_list(DEFAULT_SEEDS)
        if on_cluster:
            from ..distributed import DaskMissingError, require_dask, scheduler_endpoint
            try:
                require_dask("running a study on a Dask cluster")
            except DaskMissingError as error:
                raise ValueError(str(error)) from None
            if args.scheduler is not None:
                scheduler_endpoint(args.scheduler)  # SchedulerAddressError, a ValueError
        prepared = prepare_study(folder, args.optimizers or None, seeds, settings, args.targets,
                                 args.resume, args.overwrite)
    except (ValueError, LibraryMissingError) as error:  # StudyError too
        print_error(prog, str(error))
        return BAD_INPUT
    with prepared, StopOnInterrupt() as stop, contextlib.ExitStack() as stack:
        client: Any = None
        if on_cluster:
            from .. import distributed
            try:
                client = stack.enter_context(distributed.open_client(args.scheduler,
                                                                     args.local_workers))
            except distributed.SchedulerAddressError as error:
                print_error(prog, str(error))
                return BAD_INPUT
            except distributed.ClusterUnavailableError as error:
                print_error(prog, str(error))
                return FAILED
            # A lost worker is recorded with its run; Dask's own logs of it,
            # with tracebacks, would break the one progress line.
            for name in ("distributed", "tornado"):
                logging.getLogger(name).setLevel(logging.CRITICAL)
        line = StudyProgressLine(sys.stderr, enabled=not args.quiet)
        try:
            prepared.run(client, line.update, stop)
            written = write_outputs(prepared.place, prepared.study)
        except StudyWriteError as error:
            line.close()
            print_error(prog, f"{error}; --resume goes on from what is saved")
            return FAILED
        finally:
            line.close()
        study = prepared.study
        for text in report(study):
            print(text)
        print(f"study: {shown_path(study.folder)} ({', '.join(['study.json', *written])})")
        if stop.signal is not None:
            return stop.exit_status
        return FAILED if any(run.status == RUN_FAILED for run in study.runs) else 0


def _report(args: argparse.Namespace, prog: str) -> int:
    asked = [flag for flag, given in (("OPTIMIZER", args.optimizers), ("--seeds", args.seeds),
                                      ("--resume", args.resume),
                                      ("--overwrite", args.overwrite),
                                      ("a search option", given_settings(args)))
             if given]
    try:
        if asked:
            raise ValueError(f"--report prints a study's tables and runs nothing: give it "
                             f"without {asked[0]}")
        study = read_study(Path(args.report))
        if args.targets is not None:
            study.plan = dataclasses.replace(study.plan, targets=tuple(args.targets))
        lines = report(study)
    except (ValueError, InputFileError) as error:  # StudyError too
        print_error(prog, str(error))
        return BAD_INPUT
    for text in lines:
        print(text)
    return 0
