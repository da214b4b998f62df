"""The command line: `python -m zorv search`, `show`, `plot` and `check`."""
from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import math
import os
import signal
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from types import FrameType
from typing import Any, TextIO

import zorv_fast

from . import _trace, check, plot, svg
from .body import PLAN_SIZE
from .input_files import InputFileError, load_curve, load_plan
from .memory import require_population_fits
from .search import BOUNDARIES, OPTIMIZERS, Progress, Scorer, SearchResult, SearchSettings, search
from .trace import trace

EXIT_BAD_INPUT = 2
EXIT_FAILED = 1
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it


def _write_text(path: Path, text: str, prog: str) -> bool:
    """Writes the whole file or leaves the old one: via a file beside it.
    Says why in one error line and returns False when it cannot."""
    partial = path.with_name(path.name + ".partial")
    try:
        partial.write_text(text, encoding="utf-8")
        os.replace(partial, path)
    except OSError as error:
        _error(prog, f"cannot write {str(path)!r}: {error.strerror or error}")
        return False
    return True


class ProgressLine:
    """One stderr line, rewritten in place, at most ten times a second."""

    def __init__(self, stream: TextIO, enabled: bool) -> None:
        self.stream = stream
        self.enabled = enabled
        self.last_shown = -math.inf
        self.width = 0
        self.pending: Progress | None = None  # not shown yet

    def update(self, progress: Progress) -> None:
        self.pending = progress
        now = time.monotonic()
        if progress.generation == progress.generations or now - self.last_shown >= 0.1:
            self.last_shown = now
            self._show(progress)
            self.pending = None

    def _show(self, p: Progress) -> None:
        if not self.enabled:
            return
        done = p.generation / p.generations if p.generations else 1.0
        filled = int(done * 20)
        bar = "#" * filled + "-" * (20 - filled)
        line = (f"[{bar}] generation {p.generation}/{p.generations}  "
                f"{p.evaluations_per_second:,.0f} evals/s  best {p.best_score:.6f}")
        self.stream.write("\r" + line.ljust(self.width))
        self.width = len(line)
        self.stream.flush()

    def close(self) -> None:
        if self.enabled and self.width:
            if self.pending is not None:
                self._show(self.pending)
            self.stream.write("\n")
            self.stream.flush()


class StopOnInterrupt:
    """Turns the first Ctrl-C into a stop request; a second one interrupts."""

    def __init__(self) -> None:
        self.requested = False
        self.previous: Any = None

    def __enter__(self) -> StopOnInterrupt:
        self.previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def __exit__(self, *exc_info: object) -> None:
        signal.signal(signal.SIGINT, self.previous)

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True

    def __call__(self) -> bool:
        return self.requested


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


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


#: Search options: (flag, settings field, conversion, help). Defaults and
#: checks are SearchSettings'; the help shows its defaults.
_SEARCH_OPTIONS = (
    ("--seed", "seed", _whole, "random seed"),
    ("--popsize", "popsize", _whole, "plans per generation"),
    ("--sigma", "sigma0", _number, "initial step size of CMA-ES"),
    ("--optimizer", "optimizer", str, "the CMA-ES to run: " + ", ".join(OPTIMIZERS)),
    ("--boundary", "boundary", str,
     "how plans are kept in [-1, 1]: " + ", ".join(BOUNDARIES)),
)
_SETTINGS_DEFAULTS = {f.name: f.default for f in dataclasses.fields(SearchSettings)}


def _parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog, description="Search for and look at plans of the zorv two-legged runner.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    find = commands.add_parser(
        "search", help="search for a far-running plan with CMA-ES",
        description="Searches for a plan that carries the head far, with CMA-ES; "
                    "Ctrl-C stops early and still saves the best plan so far.")
    for flag, name, convert, text in _SEARCH_OPTIONS:
        find.add_argument(flag, dest=name, type=convert, default=_SETTINGS_DEFAULTS[name],
                          metavar=flag[2:].upper(), help=f"{text} (default {_SETTINGS_DEFAULTS[name]})")
    budget = find.add_mutually_exclusive_group()
    budget.add_argument("--generations", type=_whole, default=None,
                        help=f"generations to run (default {SearchSettings.DEFAULT_GENERATIONS})")
    budget.add_argument("--evaluations", type=_whole, default=None,
                        help="plans to score, rounded up to whole generations")
    find.add_argument("-o", "--output", type=Path, default=Path("best.json"),
                      help="JSON file for the best plan (default best.json)")
    find.add_argument("--svg", type=Path, default=None,
                      help="also write an animation of the best plan's run here")
    find.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    cluster = find.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", metavar="ADDRESS", default=None,
                         help="score on the workers of this Dask scheduler, such as "
                              "tcp://host:8786 (needs pip install 'zorv_fast[dask]')")
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


def _folders_exist(prog: str, *paths: Path | None) -> bool:
    """Checked before any work, so that a typo costs no search."""
    for path in paths:
        if path is not None and not path.parent.is_dir():
            _error(prog, f"cannot write {str(path)!r}: no folder {str(path.parent)!r}")
            return False
    return True


def _run_search(args: argparse.Namespace, prog: str) -> int:
    on_cluster = args.scheduler is not None or args.local_workers is not None
    try:
        settings = SearchSettings(generations=args.generations, evaluations=args.evaluations,
                                  **{name: getattr(args, name) for _, name, _, _ in _SEARCH_OPTIONS})
        if on_cluster:  # each call costs a round trip through the scheduler: one a generation
            settings = dataclasses.replace(settings, chunk=max(settings.chunk, settings.popsize))
        require_population_fits(settings.popsize, settings.optimizer)  # before any cluster
    except ValueError as error:
        _error(prog, str(error))
        return EXIT_BAD_INPUT
    if on_cluster:
        from . import distributed as dask_scoring
        option = "--scheduler" if args.scheduler is not None else "--local-workers"
        try:
            dask_scoring.require_dask(option)
        except dask_scoring.DaskMissingError as error:
            _error(prog, str(error))
            return EXIT_BAD_INPUT
    if not _folders_exist(prog, args.output, args.svg):
        return EXIT_BAD_INPUT
    line = ProgressLine(sys.stderr, enabled=not args.quiet)
    with StopOnInterrupt() as stop, contextlib.ExitStack() as cluster:
        score: Scorer | None = None
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
            score = dask_scoring.DaskScorer(client)
        try:
            result = search(settings, on_generation=line.update, should_stop=stop, score=score)
        finally:
            line.close()
        return _save_search(result, args, prog)


def _save_search(result: SearchResult, args: argparse.Namespace, prog: str) -> int:
    output: Path = args.output
    files = [(output, json.dumps(result.to_json(), indent=2) + "\n")]
    if args.svg is not None:
        title = f"best of seed {result.settings.seed}"
        files.append((args.svg, svg.animation(trace(result.plan), title=title)))
    if not all(_write_text(path, text, prog) for path, text in files):
        return EXIT_FAILED
    how = "interrupted after" if result.interrupted else "after"
    print(f"best distance {result.score!r} {how} {result.generations} generations "
          f"({result.evaluations} plans scored, {result.elapsed:.1f} s)")
    if result.stop_reasons:
        print(f"CMA-ES stopped early: {', '.join(result.stop_reasons)}")
    print(f"plan: {output.resolve()}")
    if args.svg is not None:
        print(f"animation: {args.svg.resolve()}")
    return EXIT_INTERRUPTED if result.interrupted else 0


def _run_show(args: argparse.Namespace, prog: str) -> int:
    try:
        plan = load_plan(args.plan)
    except InputFileError as error:
        _error(prog, str(error))
        return EXIT_BAD_INPUT
    output: Path = args.output if args.output is not None else args.plan.with_suffix(".svg")
    if not _folders_exist(prog, output):
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
    if not _folders_exist(prog, args.output):
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
    args = _parser(prog).parse_args(argv)
    runs = {"search": _run_search, "show": _run_show, "plot": _run_plot, "check": _run_check}
    return runs[args.command](args, prog)
