"""The command line's commands and options: its parser, from which the
manual's reference is generated too, and the settings that a search's
options ask for. Defaults and checks are SearchSettings' own."""
from __future__ import annotations

import argparse
import dataclasses
from pathlib import Path

from .body import PLAN_SIZE
from .plot import X_AXES
from .provenance import __version__
from .settings import (BOUNDARIES, NOT_CHANGING_THE_SEARCH, OPTIMIZERS, RESTART_SCHEDULES,
                       SearchSettings)


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _whole_number(text: str) -> int:
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
    ("--seed", "seed", _whole_number, "random seed"),
    ("--popsize", "popsize", _whole_number, "plans per generation (of the first run)"),
    ("--sigma", "sigma0", _number, "initial step size of CMA-ES"),
    ("--optimizer", "optimizer", _optimizer_name, "the CMA-ES to run: " + ", ".join(OPTIMIZERS)),
    ("--boundary", "boundary", str,
     "how plans are kept in [-1, 1]: " + ", ".join(BOUNDARIES)),
    ("--restarts", "restarts", _whole_number,
     "new runs of CMA-ES when its stop rules fire with budget left; 0: one run only"),
    ("--restart-schedule", "restart_schedule", str,
     "the populations of restarted runs: " + ", ".join(RESTART_SCHEDULES)),
    ("--checkpoint-every", "checkpoint_every", _number,
     "seconds between rewrites of the output file with the search's state"),
    ("--generations", "generations", _whole_number, "generations to run"),
    ("--evaluations", "evaluations", _whole_number, "plans to score, rounded up to whole generations"),
)
#: The file names that the commands choose: search's output, plot's chart.
DEFAULT_OUTPUT = "best.json"
DEFAULT_CHART = "convergence.svg"

#: What the commands that draw pictures replace, and their exit statuses.
_PICTURE_RULES = ("The output replaces an earlier picture that zorv drew; a file that holds "
                  "anything else, such as a search's result, only with --overwrite. Exit "
                  "status: 0 when the picture is written, 2 when it is refused before any "
                  "drawing (bad options or files, an output that cannot be written or that "
                  "holds something else), 1 when writing it fails.")

#: What --overwrite of the commands that draw pictures allows.
_REPLACES = ("replace an output file that holds something other than a picture that zorv "
             "drew, such as a search's result")

#: How every output option reads a path that ends in a slash.
_INTO_FOLDER = "a path ending in / names an existing folder, to write"

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
                    "goes on from it. One search at a time writes an output file, and a "
                    "file that holds something already, such as an earlier search's "
                    "result, is replaced only with --overwrite (under --svg, zorv's own "
                    "earlier picture is replaced unasked). Ctrl-C, "
                    "SIGTERM and SIGHUP stop early and still save. Exit status: 0 when the "
                    "search ran, 2 when it is refused before it starts (bad options or "
                    "files, a population that does not fit in memory, an output that another "
                    "search is writing or that holds something already), 1 when it fails "
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
    find.add_argument("-o", "--output", default=None,
                      help="JSON file for the best plan and the search's state "
                           f"(default {DEFAULT_OUTPUT}; {_INTO_FOLDER} {DEFAULT_OUTPUT} "
                           "into); a lock file beside it, .NAME.lock, holds the PID of the "
                           "search that writes it")
    find.add_argument("--overwrite", action="store_true",
                      help="replace an output file that holds something already, such as an "
                           "earlier search's result")
    find.add_argument("--svg", default=None,
                      help="also write an animation of the best plan's run here "
                           f"({_INTO_FOLDER} OUTPUT.svg into, named after the output file)")
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
                    f"list of {PLAN_SIZE} numbers) as an animated SVG. " + _PICTURE_RULES)
    show.add_argument("plan", type=Path, metavar="PLAN.json")
    show.add_argument("-o", "--output", default=None,
                      help="SVG file to write (default: PLAN.svg beside the plan; "
                           f"{_INTO_FOLDER} PLAN.svg into)")
    show.add_argument("--overwrite", action="store_true", help=_REPLACES)
    show.add_argument("--frames", type=_positive, nargs="?", const=8, default=None,
                      metavar="N", help="write a static filmstrip of N steps (default 8) "
                                        "instead of an animation")

    chart = commands.add_parser(
        "plot", help="draw how searches converged, as an SVG chart",
        description="Draws the best distance against plans scored (or seconds) for one or "
                    "more search results on one chart, one curve each. " + _PICTURE_RULES)
    chart.add_argument("results", type=Path, nargs="+", metavar="RESULT.json")
    chart.add_argument("-o", "--output", default=DEFAULT_CHART,
                       help=f"SVG file to write (default {DEFAULT_CHART}; {_INTO_FOLDER} "
                            f"{DEFAULT_CHART} into)")
    chart.add_argument("--overwrite", action="store_true", help=_REPLACES)
    chart.add_argument("--x-axis", choices=tuple(X_AXES), default="evaluations",
                       help="what the horizontal axis shows (default evaluations)")

    commands.add_parser(
        "check", help="say whether this machine gives the documented scores, and why",
        description="Prints what decides the scores on this machine (the C library and "
                    "its atan2), whether the documented scores come out bit for bit, and "
                    "the batch path and worker threads sim_batch takes here. Exits with 0 "
                    "when the documented scores hold, 1 when they do not.")
    return parser


def search_settings(args: argparse.Namespace,
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
