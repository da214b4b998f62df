"""The command line: `python -m zorv search`, `show`, `plot` and `check`."""
from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import logging
import math
import os
import signal
import stat
import sys
import tempfile
import time
from collections.abc import Sequence
from pathlib import Path
from types import FrameType
from typing import Any, TextIO

import zorv_fast

from . import _trace, check, checkpoints, plot, svg
from .body import PLAN_SIZE
from .input_files import InputFileError, load_curve, load_plan, read_json
from .memory import require_search_fits
from .output_files import (OutputLock, OutputLockedError, OutputPathError, check_outputs,
                           same_file, write_text)
from .provenance import __version__
from .records import Progress, SearchResult
from .search import STOP_REASONS, Scorer, SearchFailed, search
from .settings import (BOUNDARIES, NOT_CHANGING_THE_SEARCH, OPTIMIZERS, RESTART_SCHEDULES,
                       SearchSettings)
from .state import CheckpointError, SearchState
from .trace import trace

EXIT_BAD_INPUT = 2
EXIT_FAILED = 1
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it; 128 + SIGTERM, SIGHUP for those


def _write_text(path: Path, text: str, prog: str) -> bool:
    """Writes the whole file or leaves the old one (see zorv.output_files).
    Says why in one error line and returns False when it cannot."""
    try:
        write_text(path, text)
    except OutputPathError as error:
        _error(prog, str(error))
        return False
    return True


class ProgressLine:
    """The search's progress on stderr: on a terminal, one line rewritten in
    place at most ten times a second; in a file or a pipe (a log), whole
    lines, one every LOG_INTERVAL seconds and the last."""

    #: Seconds between the lines written to a file or a pipe.
    LOG_INTERVAL = 10.0

    def __init__(self, stream: TextIO, enabled: bool) -> None:
        self.stream = stream
        self.enabled = enabled
        try:
            self.in_place = stream.isatty()
        except (AttributeError, ValueError):  # no such method, or closed
            self.in_place = False
        self.interval = 0.1 if self.in_place else self.LOG_INTERVAL
        self.last_shown = -math.inf
        self.width = 0
        self.pending: Progress | None = None  # not shown yet

    def update(self, progress: Progress) -> None:
        self.pending = progress
        now = time.monotonic()
        if progress.generation == progress.generations or now - self.last_shown >= self.interval:
            self.last_shown = now
            self._show(progress)
            self.pending = None

    def _show(self, p: Progress) -> None:
        if not self.enabled:
            return
        done = p.generation / p.generations if p.generations else 1.0
        filled = int(done * 20)
        bar = "#" * filled + "-" * (20 - filled)
        run = f"  run {p.run + 1}" if p.run else ""
        line = (f"[{bar}] generation {p.generation}/{p.generations}{run}  "
                f"{p.evaluations_per_second:,.0f} evals/s  best {p.best_score:.6f}")
        if self.in_place:
            self.stream.write("\r" + line.ljust(self.width))
            self.width = len(line)
        else:
            self.stream.write(line + "\n")
        self.stream.flush()

    def close(self) -> None:
        if not self.enabled:
            return
        if self.pending is not None:
            self._show(self.pending)
            self.pending = None
        if self.in_place and self.width:
            self.stream.write("\n")
            self.width = 0
        self.stream.flush()


class StopOnInterrupt:
    """Turns Ctrl-C, SIGTERM and SIGHUP into a stop request, which the search
    sees between two calls of its scorer. A second one interrupts a call of
    the scorer that is still running (a cluster that does not answer), and
    does nothing anywhere else: not while a file is written. A signal that
    was ignored when the process started (nohup's SIGHUP) stays ignored."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self) -> None:
        self.signal: int | None = None  # the first one
        self.scoring = False
        self.previous: dict[int, Any] = {}
        self.arrivals: tuple[int, int] | None = None
        self.previous_wakeup_fd = -1

    def __enter__(self) -> StopOnInterrupt:
        # Signals that arrive during one long native call are all handled
        # after it, in the order of their numbers, not of their arrival;
        # the wakeup pipe receives each number as it arrives, so the
        # first one is known even then.
        self.arrivals = os.pipe()
        for end in self.arrivals:
            os.set_blocking(end, False)
        self.previous_wakeup_fd = signal.set_wakeup_fd(
            self.arrivals[1], warn_on_full_buffer=False)
        for signum in self.SIGNALS:
            if signum == signal.SIGINT or signal.getsignal(signum) is not signal.SIG_IGN:
                self.previous[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc_info: object) -> None:
        for signum, handler in self.previous.items():
            # Once stopping, the process only finishes: more signals (a
            # second SIGTERM) would cut short what is left of its exit.
            signal.signal(signum, handler if self.signal is None else signal.SIG_IGN)
        signal.set_wakeup_fd(self.previous_wakeup_fd)
        if self.arrivals is not None:
            for end in self.arrivals:
                os.close(end)
            self.arrivals = None

    def _first_arrived(self, signum: int) -> int:
        try:
            arrived = os.read(self.arrivals[0], 512) if self.arrivals else b""
        except BlockingIOError:
            arrived = b""
        return arrived[0] if arrived else signum

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.signal is None:
            self.signal = self._first_arrived(signum)
        elif self.scoring:
            self.scoring = False
            raise KeyboardInterrupt

    def __call__(self) -> bool:
        return self.signal is not None

    def scorer(self, score: Scorer) -> Scorer:
        """`score`, interruptible by a second signal while it runs."""
        return _InterruptibleScorer(self, score)

    @property
    def exit_status(self) -> int:
        return 128 + (self.signal or signal.SIGINT)


class _InterruptibleScorer:
    """A scorer that tells its StopOnInterrupt while it runs; it scores
    whole generations when the scorer it wraps does."""

    def __init__(self, stop: StopOnInterrupt, score: Scorer) -> None:
        self.stop = stop
        self.score = score
        self.whole_generations = bool(getattr(score, "whole_generations", False))
        # Where the scorer knows the batch path of the machines that
        # scored (zorv.distributed.DaskScorer), the result records it.
        batch_path = getattr(score, "batch_path", None)
        if callable(batch_path):
            self.batch_path = batch_path

    def __call__(self, plans: Any) -> Sequence[float]:
        self.stop.scoring = True
        try:
            return self.score(plans)
        finally:
            self.stop.scoring = False


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _whole(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def _optimizer_name(text: str) -> str:
    if text not in OPTIMIZERS:  # others are one's own, given to zorv.search from Python
        raise argparse.ArgumentTypeError(f"not one of {', '.join(OPTIMIZERS)}: {text!r}")
    return text


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


#: Search options: (flag, settings field, conversion, help). Defaults and
#: checks are SearchSettings'; the help shows its defaults. An option not
#: given stays None, so that a resumed search can tell what was asked for.
_SEARCH_OPTIONS = (
    ("--seed", "seed", _whole, "random seed"),
    ("--popsize", "popsize", _whole, "plans per generation (of the first run)"),
    ("--sigma", "sigma0", _number, "initial step size of CMA-ES"),
    ("--optimizer", "optimizer", _optimizer_name, "the CMA-ES to run: " + ", ".join(OPTIMIZERS)),
    ("--boundary", "boundary", str,
     "how plans are kept in [-1, 1]: " + ", ".join(BOUNDARIES)),
    ("--restarts", "restarts", _whole,
     "new runs of CMA-ES when its stop rules fire with budget left; 0: one run only"),
    ("--restart-schedule", "restart_schedule", str,
     "the populations of restarted runs: " + ", ".join(RESTART_SCHEDULES)),
    ("--checkpoint-every", "checkpoint_every", _number,
     "seconds between rewrites of the output file with the search's state"),
    ("--generations", "generations", _whole, "generations to run"),
    ("--evaluations", "evaluations", _whole, "plans to score, rounded up to whole generations"),
)
_SETTINGS_DEFAULTS = {f.name: f.default for f in dataclasses.fields(SearchSettings)}
_SETTINGS_DEFAULTS["restarts"] = "as many as the budget allows"
_SETTINGS_DEFAULTS["generations"] = SearchSettings.DEFAULT_GENERATIONS
_SETTINGS_DEFAULTS["evaluations"] = "none"


def build_parser(prog: str) -> argparse.ArgumentParser:
    """The command line's parser: its commands and every option; the manual's
    command-line reference is generated from it."""
    parser = argparse.ArgumentParser(
        prog=prog, description="Search for and look at plans of the zorv two-legged runner.")
    parser.add_argument("--version", action="version", version=f"zorv {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    find = commands.add_parser(
        "search", help="search for a far-running plan with CMA-ES",
        description="Searches for a plan that carries the head far, with CMA-ES, restarted "
                    "while budget is left. The output file holds the best plan and the "
                    "search's state, rewritten every --checkpoint-every seconds; --resume "
                    "goes on from it. One search at a time writes an output file, and an "
                    "earlier search's file is replaced only with --overwrite. Ctrl-C, "
                    "SIGTERM and SIGHUP stop early and still save. Exit status: 0 when the "
                    "search ran, 2 when it is refused before it starts (bad options or "
                    "files, a population that does not fit in memory, an output that another "
                    "search is writing or that holds an earlier result), 1 when it fails "
                    "(its best plan is saved, or printed where it cannot be), 128 + N when "
                    "signal N stops it (130 for Ctrl-C).")
    budget = find.add_mutually_exclusive_group()
    for flag, name, convert, text in _SEARCH_OPTIONS:
        (budget if name in ("generations", "evaluations") else find).add_argument(
            flag, dest=name, type=convert, default=None, metavar=flag[2:].upper(),
            help=f"{text} (default {_SETTINGS_DEFAULTS[name]})")
    find.add_argument("--resume", type=Path, default=None, metavar="FILE",
                      help="go on with the search whose output file this is, with its "
                           "settings; writes to FILE unless -o says otherwise")
    find.add_argument("-o", "--output", type=Path, default=None,
                      help="JSON file for the best plan and the search's state "
                           "(default best.json); a lock file beside it, .NAME.lock, holds "
                           "the PID of the search that writes it")
    find.add_argument("--overwrite", action="store_true",
                      help="replace an output file that holds something already, such as an "
                           "earlier search's result")
    find.add_argument("--svg", type=Path, default=None,
                      help="also write an animation of the best plan's run here")
    find.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    cluster = find.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", metavar="ADDRESS", default=None,
                         help="score on the workers of this Dask scheduler, such as "
                              "tcp://host:8786 (needs Dask: pip install 'dask[distributed]')")
    cluster.add_argument("--local-workers", type=_positive, metavar="N", default=None,
                         help="score on a Dask cluster of N worker processes started "
                              "on this machine for the run (needs Dask too)")

    show = commands.add_parser(
        "show", help="draw the run of a plan as an SVG animation or filmstrip",
        description="Draws the run of a plan from a JSON file (a search result or a "
                    f"list of {PLAN_SIZE} numbers) as an animated SVG.")
    show.add_argument("plan", type=Path, metavar="PLAN.json")
    show.add_argument("-o", "--output", type=Path, default=None,
                      help="SVG file to write (default: PLAN.svg beside the plan)")
    show.add_argument("--frames", type=_positive, nargs="?", const=8, default=None,
                      metavar="N", help="write a static filmstrip of N steps (default 8) "
                                        "instead of an animation")

    chart = commands.add_parser(
        "plot", help="draw how searches converged, as an SVG chart",
        description="Draws the best distance against plans scored (or seconds) for one or "
                    "more search results on one chart, one curve each.")
    chart.add_argument("results", type=Path, nargs="+", metavar="RESULT.json")
    chart.add_argument("-o", "--output", type=Path, default=Path("convergence.svg"),
                       help="SVG file to write (default convergence.svg)")
    chart.add_argument("--x-axis", choices=tuple(plot.X_AXES), default="evaluations",
                       help="what the horizontal axis shows (default evaluations)")

    commands.add_parser(
        "check", help="say whether this machine gives the documented scores, and why",
        description="Prints what decides the scores on this machine (the C library and "
                    "its atan2), whether the documented scores come out bit for bit, and "
                    "the batch path and worker threads sim_batch takes here. Exits with 0 "
                    "when the documented scores hold, 1 when they do not.")
    return parser


def _render(plan: Sequence[float], frames: int | None, title: str) -> str:
    positions = trace(plan)
    if frames is None:
        return svg.animation(positions, title=title)
    return svg.filmstrip(positions, frames=frames, title=title)


def _error(prog: str, message: str) -> None:
    print(f"{prog}: error: {message}", file=sys.stderr)


def _settings(args: argparse.Namespace,
              resumed: SearchSettings | None) -> SearchSettings:
    """The settings asked for; for a resumed search, its own, of which only
    those that do not change the search may be changed. ValueError (one
    line) for others."""
    given = {name: getattr(args, name) for _, name, _, _ in _SEARCH_OPTIONS
             if getattr(args, name) is not None}
    if resumed is None:
        return SearchSettings(**given)
    flags = {name: flag for flag, name, _, _ in _SEARCH_OPTIONS}
    settings = dataclasses.replace(resumed, **{
        name: value for name, value in given.items() if name in NOT_CHANGING_THE_SEARCH})
    for name, value in given.items():
        if getattr(settings, name) != value:
            raise ValueError(f"{flags[name]} {value} differs from the search to resume "
                             f"({getattr(resumed, name)}): it goes on with its own settings")
    return settings


def _run_search(args: argparse.Namespace, prog: str) -> int:
    output: Path = args.output if args.output is not None else (
        args.resume if args.resume is not None else Path("best.json"))
    inputs = [] if args.resume is None or same_file(args.resume, output) else [args.resume]
    try:
        check_outputs([(output, True)] + ([] if args.svg is None else [(args.svg, False)]),
                      inputs)
        # Held from before the search's state is read (a resume may read
        # the very file) to after its last write.
        lock = OutputLock(output)
    except OutputLockedError as error:
        _error(prog, f"{error}; wait for it to end, or choose another --output")
        return EXIT_BAD_INPUT
    except OutputPathError as error:
        _error(prog, str(error))
        return EXIT_BAD_INPUT
    with lock:
        return _run_locked_search(args, prog, output)


def _run_locked_search(args: argparse.Namespace, prog: str, output: Path) -> int:
    on_cluster = args.scheduler is not None or args.local_workers is not None
    resume: SearchState | None = None
    try:
        if args.resume is not None:
            resume = checkpoints.load(args.resume)
        settings = _settings(args, None if resume is None else resume.settings)
        if settings.optimizer not in OPTIMIZERS:
            raise ValueError(f"the search ran an optimizer of its own, {settings.optimizer!r}: "
                             "resume it with zorv.search(..., optimizer=...) from Python")
        # Every population the search can draw, before any cluster starts.
        require_search_fits(settings, resume)
    except ValueError as error:  # CheckpointError too
        _error(prog, str(error))
        return EXIT_BAD_INPUT
    if resume is not None and resume.finished:
        print(f"the search in {str(args.resume)!r} has finished already: best distance "
              f"{resume.best_score!r} after {resume.generation} generations; nothing to do")
        return 0
    if not args.overwrite and not (args.resume is not None and same_file(args.resume, output)):
        held = _what_it_holds(output)
        if held is not None:
            _error(prog, held)
            return EXIT_BAD_INPUT
    if on_cluster:
        from . import distributed as dask_scoring
        option = "--scheduler" if args.scheduler is not None else "--local-workers"
        try:
            dask_scoring.require_dask(option)
        except dask_scoring.DaskMissingError as error:
            _error(prog, str(error))
            return EXIT_BAD_INPUT
    line = ProgressLine(sys.stderr, enabled=not args.quiet)
    with StopOnInterrupt() as stop, contextlib.ExitStack() as cluster:
        score: Scorer = zorv_fast.sim_batch
        if on_cluster:
            try:
                client = cluster.enter_context(
                    dask_scoring.open_client(args.scheduler, args.local_workers))
            except dask_scoring.SchedulerAddressError as error:
                _error(prog, str(error))
                return EXIT_BAD_INPUT
            except dask_scoring.ClusterUnavailableError as error:
                _error(prog, str(error))
                return EXIT_FAILED

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
            result = search(settings, on_generation=line.update, should_stop=stop,
                            score=scorer, resume=resume,
                            checkpoint=lambda so_far: checkpoints.save(output, so_far))
        except SearchFailed as error:
            result, failure = error.result, error
            # The client logs its own tracebacks as it gives up on the
            # cluster; the one error line below says what happened.
            logging.disable(logging.CRITICAL)
        except CheckpointError as error:  # raised before anything is written
            _error(prog, f"{str(args.resume)!r}: {error}")
            return EXIT_BAD_INPUT
        finally:
            line.close()
        if failure is not None and isinstance(failure.__cause__, OutputPathError):
            # A checkpoint that could not be written: the file would not
            # hold the result either.
            _report_unsaved(prog, f"{failure.__cause__}; the search stopped", result, output)
            return EXIT_FAILED
        status = _save_search(result, output, args.svg, prog)
        if failure is not None:
            what = _failure_line(failure, on_cluster)
            _error(prog, what if status != 0 else
                   f"{what}; the best plan so far is saved in {str(output)!r}, and --resume "
                   "goes on from there")
            return EXIT_FAILED
        if status == 0 and result.interrupted:
            return stop.exit_status
        return status


def _failure_line(failure: SearchFailed, on_cluster: bool) -> str:
    """What ended the search, in one line: a pool of sim_batch that could not
    start its threads says what to set."""
    system_error = check.pool_start_error(failure)
    if system_error is None:
        return str(failure)[:500]
    batch = check.BatchSettings(*_trace.batch_settings())
    return check.pool_failure_line(system_error, batch, os.environ, on_workers=on_cluster)


def _what_it_holds(output: Path) -> str | None:
    """Why `output` may not be replaced without --overwrite: a regular file
    that holds something, such as an earlier search's result; None for a
    new or empty file, a device or a FIFO."""
    try:
        info = os.stat(output)
    except OSError:
        return None
    if not stat.S_ISREG(info.st_mode) or info.st_size == 0:
        return None
    shown = repr(str(output))
    try:
        data: Any = read_json(output)
    except InputFileError:
        data = None
    search_result = (isinstance(data, dict) and isinstance(data.get("settings"), dict)
                     and isinstance(data.get("plan"), list))
    if not search_result:
        return (f"{shown} holds {info.st_size:,} bytes of something other than a search "
                "result: choose another --output, or give --overwrite to replace it")
    score, generations = data.get("score"), data.get("generations")
    seed = data.get("seed", data["settings"].get("seed"))
    about = []
    if isinstance(score, float):
        about.append(f"best distance {score:.3f}")
    if isinstance(generations, int):
        about.append(f"after {generations} generations")
    details = f" ({' '.join(about)})" if about else ""
    checkpoint = data.get("checkpoint")
    state = checkpoint.get("state") if isinstance(checkpoint, dict) else None
    if isinstance(state, dict) and state.get("finished") is False:
        return (f"{shown} holds an unfinished search of seed {seed}{details}: --resume it, "
                "choose another --output, or give --overwrite")
    return (f"{shown} holds a search of seed {seed}{details}: choose another --output, "
            "or give --overwrite to replace it")


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
    _error(prog, f"{what_failed}; best distance {result.score!r} after {result.generations} "
                 f"generations{kept}; its plan follows")
    print(json.dumps(result.plan), file=sys.stderr, flush=True)


def _save_search(result: SearchResult, output: Path, animation: Path | None, prog: str) -> int:
    try:
        write_text(output, checkpoints.dumps(result))
    except (OutputPathError, ValueError) as error:  # ValueError: a value no file can hold
        _report_unsaved(prog, str(error), result, output)
        return EXIT_FAILED
    if animation is not None:
        title = f"best of seed {result.settings.seed}"
        if not _write_text(animation, svg.animation(trace(result.plan), title=title), prog):
            return EXIT_FAILED
    how = "interrupted after" if result.interrupted else "after"
    runs = f" in {result.runs} runs" if result.runs > 1 else ""
    print(f"best distance {result.score!r} {how} {result.generations} generations{runs} "
          f"({result.evaluations} plans scored, {duration(result.elapsed)})")
    if result.stop_reasons:
        print(f"CMA-ES stopped early: {stop_reasons(result)}")
    print(f"plan: {output.resolve()}")
    if animation is not None:
        print(f"animation: {animation.resolve()}")
    return 0


def duration(seconds: float) -> str:
    """A time for people, with two or three digits: milliseconds under a
    second ("0.85 ms", "41 ms"), seconds under a minute ("3.21 s", "12.3
    s"), then minutes and seconds, then hours and minutes."""
    if not math.isfinite(seconds) or seconds < 0:
        return f"{seconds} s"
    if seconds < 0.9995:
        milliseconds = seconds * 1000
        decimals = 2 if milliseconds < 0.995 else 1 if milliseconds < 9.95 else 0
        return f"{milliseconds:.{decimals}f} ms"
    if seconds < 59.95:
        return f"{seconds:.{2 if seconds < 9.995 else 1}f} s"
    whole = round(seconds)
    if whole < 3600:
        return f"{whole // 60} min {whole % 60} s"
    minutes = round(seconds / 60)
    return f"{minutes // 60} h {minutes % 60} min"


def stop_reasons(result: SearchResult) -> str:
    """The stop rules that ended the search, each explained where the
    optimizer is a built-in one whose rule it is."""
    known = STOP_REASONS if result.settings.optimizer in OPTIMIZERS else {}
    return "; ".join(f"{name} ({known[name]})" if name in known else name
                     for name in result.stop_reasons)


def _run_show(args: argparse.Namespace, prog: str) -> int:
    try:
        plan = load_plan(args.plan)
    except InputFileError as error:
        _error(prog, str(error))
        return EXIT_BAD_INPUT
    output: Path = args.output if args.output is not None else args.plan.with_suffix(".svg")
    try:
        check_outputs([(output, False)], inputs=[args.plan])
    except OutputPathError as error:
        _error(prog, str(error))
        return EXIT_BAD_INPUT
    text = _render(plan, args.frames, title=args.plan.name)
    if not _write_text(output, text, prog):
        return EXIT_FAILED
    print(f"distance {zorv_fast.sim(plan)!r}: {output.resolve()}")
    return 0


def _run_plot(args: argparse.Namespace, prog: str) -> int:
    try:
        curves = [load_curve(path) for path in args.results]
    except InputFileError as error:
        _error(prog, str(error))
        return EXIT_BAD_INPUT
    try:
        check_outputs([(args.output, False)], inputs=args.results)
    except OutputPathError as error:
        _error(prog, str(error))
        return EXIT_BAD_INPUT
    try:
        chart = plot.convergence(curves, x_axis=args.x_axis)
    except ValueError as error:  # numbers no axis can hold, such as 1e308 beside -1e308
        _error(prog, str(error))
        return EXIT_BAD_INPUT
    if not _write_text(args.output, chart, prog):
        return EXIT_FAILED
    print(f"{len(curves)} curve{'s' if len(curves) != 1 else ''}: {args.output.resolve()}")
    return 0


def _run_check(args: argparse.Namespace, prog: str) -> int:
    report = check.examine(zorv_fast.sim, zorv_fast.sim_batch, _trace.batch_settings,
                           check.library_atan2(), check.c_library())
    for line in check.describe(report, os.environ):
        print(line)
    return 0 if report.documented_scores_hold else EXIT_FAILED


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    if prog is None:
        name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else "zorv"
        prog = "python -m zorv" if name == "__main__.py" else name
    args = build_parser(prog).parse_args(argv)
    runs = {"search": _run_search, "show": _run_show, "plot": _run_plot, "check": _run_check}
    return runs[args.command](args, prog)
