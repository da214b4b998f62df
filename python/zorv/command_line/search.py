"""`zorv search`: a search from the command line, its output file locked
for its whole life, its result kept whatever stops it."""
from __future__ import annotations

import argparse
import contextlib
import json
import logging
import os
import sys
import tempfile
from pathlib import Path
from typing import Any

from .. import _trace, checkpoints, svg
from ..display.progress import ProgressLine, duration
from ..files.reading import InputFileError, load_plan
from ..files.replacing import PICTURE, RESULT, why_kept
from ..files.writing import (OutputLock, OutputLockedError, OutputPathError, check_outputs,
                             output_path, same_file, write_text)
from ..machine.facts import BatchSettings, pool_failure_line, pool_start_error
from ..machine.libraries import LibraryMissingError
from ..motion.record import record_run
from ..searching.interrupts import StopOnInterrupt
from ..searching.loop import SEARCH_ENDS, STOP_REASONS, SearchFailed, prepare_search, score_here
from ..searching.optimizer_names import (OWN, OptimizerSpec, OptimizerSpecError, optimizer_factory,
                                         parse_optimizer)
from ..searching.settings import OPTIMIZERS
from ..searching.state import CheckpointError, SearchResult, SearchState
from .arguments import DEFAULT_OUTPUT, search_settings
from .console import shown_path, summary_stream, write_or_say
from .exit_status import BAD_INPUT, FAILED
from .messages import print_error


def run_search(args: argparse.Namespace, prog: str) -> int:
    try:
        output = (output_path(args.output, DEFAULT_OUTPUT) if args.output is not None
                  else args.resume if args.resume is not None else Path(DEFAULT_OUTPUT))
        animation = (None if args.svg is None
                     else output_path(args.svg, output.stem + ".svg"))
        inputs = [] if args.resume is None or same_file(args.resume, output) else [args.resume]
        inputs += [] if args.start is None else [args.start]
        check_outputs([(output, True)] + ([] if animation is None else [(animation, False)]),
                      inputs)
        # Held from before the search's state is read (a resume may read
        # the very file) to after its last write.
        lock = OutputLock(output)
    except OutputLockedError as error:
        print_error(prog, f"{error}; wait for it to end, or choose another --output")
        return BAD_INPUT
    except OutputPathError as error:
        print_error(prog, str(error))
        return BAD_INPUT
    with lock:
        return _run_locked_search(args, prog, output, animation)


def _run_locked_search(args: argparse.Namespace, prog: str, output: Path,
                       animation: Path | None) -> int:
    on_cluster = args.scheduler is not None or args.local_workers is not None
    resume: SearchState | None = None
    try:
        if args.resume is not None:
            resume = checkpoints.load(args.resume, search_command=f"{prog} search")
        start = None if args.start is None else load_plan(args.start)
        settings = search_settings(args, None if resume is None else resume.settings, start)
        factory = optimizer_factory(_optimizer_to_run(args.optimizer, settings.optimizer))
        # Every population the search can draw, before any cluster starts.
        prepared = prepare_search(settings, resume=resume, optimizer=factory)
    except (ValueError, InputFileError, LibraryMissingError) as error:  # CheckpointError too
        print_error(prog, str(error))
        return BAD_INPUT
    if resume is not None and resume.finished:
        print(f"the search in {str(args.resume)!r} has finished already: best distance "
              f"{resume.best_score!r} after {resume.generation} generations; nothing to do")
        return 0
    if not args.overwrite:
        # A search goes on writing the file it resumes.
        resumed_here = args.resume is not None and same_file(args.resume, output)
        for path, option, kind in ([] if resumed_here else [(output, "--output", RESULT)]) + (
                [] if animation is None else [(animation, "--svg", PICTURE)]):
            held = why_kept(path, option, kind)
            if held is not None:
                print_error(prog, held)
                return BAD_INPUT
    if on_cluster:
        from .. import distributed as dask_scoring
        option = "--scheduler" if args.scheduler is not None else "--local-workers"
        try:
            dask_scoring.require_dask(option)
        except dask_scoring.DaskMissingError as error:
            print_error(prog, str(error))
            return BAD_INPUT
    line = ProgressLine(sys.stderr, enabled=not args.quiet)
    with StopOnInterrupt() as stop, contextlib.ExitStack() as cluster:
        score: Any = score_here
        if on_cluster:
            try:
                client = cluster.enter_context(
                    dask_scoring.open_client(args.scheduler, args.local_workers))
            except dask_scoring.SchedulerAddressError as error:
                print_error(prog, str(error))
                return BAD_INPUT
            except dask_scoring.ClusterUnavailableError as error:
                print_error(prog, str(error))
                return FAILED

            def waiting(message: str) -> None:
                line.close()  # a line of its own, also under a progress line in place
                print(f"{prog}: {message}", file=sys.stderr, flush=True)

            score = dask_scoring.DaskScorer(client, waiting=waiting, should_stop=stop)
            # Dask's client logs the connection it loses, with tracebacks;
            # a lost cluster ends the search with one error line instead.
            for name in ("distributed.batched", "distributed.client", "distributed.comm",
                         "distributed.core"):
                logging.getLogger(name).setLevel(logging.CRITICAL)
        scorer = stop.scorer(score)

        failure: SearchFailed | None = None
        try:
            result = prepared.run(on_generation=line.update, should_stop=stop, score=scorer,
                                  checkpoint=lambda so_far: checkpoints.save(output, so_far))
        except SearchFailed as error:
            result, failure = error.result, error
            # The client logs its own tracebacks as it gives up on the
            # cluster; the one error line below says what happened.
            logging.disable(logging.CRITICAL)
        except CheckpointError as error:  # raised before anything is written
            print_error(prog, f"{str(args.resume)!r}: {error}")
            return BAD_INPUT
        finally:
            line.close()
        if failure is not None and isinstance(failure.__cause__, OutputPathError):
            # A checkpoint that could not be written: the file would not
            # hold the result either.
            _report_unsaved(prog, f"{failure.__cause__}; the search stopped", result, output)
            return FAILED
        status = _save_search(result, output, animation, prog)
        if failure is not None:
            what = _failure_line(failure, on_cluster)
            print_error(prog, what if status != 0 else
                   f"{what}; the best plan so far is saved in {str(output)!r}, and --resume "
                   "goes on from there")
            return FAILED
        if status == 0 and result.interrupted:
            return stop.exit_status
        return status


def _optimizer_to_run(given: str | None, named: str) -> OptimizerSpec:
    """The optimizer of the search: the one --optimizer names, or else the
    one that the search to resume ran, by its name in the file. A file
    names one's own optimizer, but does not make the search import it:
    --optimizer does, as it is given again. ValueError (one line) for a
    name that says neither how to make it nor what to import."""
    if given is not None:
        return parse_optimizer(given)
    try:
        parsed = parse_optimizer(named)
    except OptimizerSpecError:
        raise ValueError(f"the search ran an optimizer of its own, {named!r}: resume it "
                         "with zorv.search(..., optimizer=...) from Python") from None
    if parsed.kind == OWN:
        raise ValueError(f"the search ran the optimizer {named!r} of its own: give "
                         f"--optimizer {named} to resume it")
    return parsed


def _failure_line(failure: SearchFailed, on_cluster: bool) -> str:
    """What ended the search, in one line: a pool of sim_batch that could not
    start its threads says what to set."""
    system_error = pool_start_error(failure)
    if system_error is None:
        return str(failure)[:500]
    batch = BatchSettings(*_trace.batch_settings())
    return pool_failure_line(system_error, batch, os.environ, on_workers=on_cluster)


def _report_unsaved(prog: str, what_failed: str, result: SearchResult, output: Path) -> None:
    """Says in one error line that the result could not be written to
    `output`, with its best distance, and prints its plan on the next line,
    as JSON: nothing is lost. The whole result, resumable, also goes into a
    new file of the system's temporary folder (private, under a name of its
    own, so that it replaces nothing), where it can be written."""
    kept = ""
    try:
        text = checkpoints.dumps(result)
        fd, name = tempfile.mkstemp(prefix=f"zorv-{output.stem[:40]}-", suffix=".json")
        with os.fdopen(fd, "w", encoding="utf-8") as file:
            file.write(text)
        kept = f", saved with its state in {name!r} instead"
    except (OSError, ValueError):  # no room there either, or a value no file can hold
        pass
    print_error(prog, f"{what_failed}; best distance {result.score!r} after {result.generations} "
                 f"generations{kept}; its plan follows")
    print(json.dumps(result.plan), file=sys.stderr, flush=True)


def _save_search(result: SearchResult, output: Path, animation: Path | None, prog: str) -> int:
    try:
        write_text(output, checkpoints.dumps(result))
    except (OutputPathError, ValueError) as error:  # ValueError: a value no file can hold
        _report_unsaved(prog, str(error), result, output)
        return FAILED
    if animation is not None:
        title = f"best of seed {result.settings.seed}"
        record = record_run(result.plan)
        picture = svg.animation(record.positions, title=title, contacts=record.contacts)
        if not write_or_say(animation, picture, prog):
            return FAILED
    said = summary_stream(*([] if animation is None else [animation]))
    how = "interrupted after" if result.interrupted else "after"
    runs = f" in {result.runs} runs" if result.runs > 1 else ""
    print(f"best distance {result.score!r} {how} {result.generations} generations{runs} "
          f"({result.evaluations} plans scored, {duration(result.elapsed)})", file=said)
    early = stop_reasons(result)
    if early:
        print(f"CMA-ES stopped early: {early}", file=said)
    print(f"plan: {shown_path(output)}", file=said)
    if animation is not None:
        print(f"animation: {shown_path(animation)}", file=said)
    return 0


def stop_reasons(result: SearchResult) -> str:
    """The optimizer's stop rules that ended the search, each explained
    where the optimizer is a built-in one whose rule it is; "" where the
    search ended otherwise (its budget spent, say)."""
    known = STOP_REASONS if result.settings.optimizer in OPTIMIZERS else {}
    return "; ".join(f"{name} ({known[name]})" if name in known else name
                     for name in result.stop_reasons if name not in SEARCH_ENDS)
