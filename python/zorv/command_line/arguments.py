"""The command line's commands and options: its parser, from which the
manual's reference is generated too, and the settings that a search's
options ask for. Defaults and checks are SearchSettings' own."""
from __future__ import annotations

import argparse
import dataclasses
import difflib
import math
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

from ..body import PLAN_SIZE
from ..machine.provenance import __version__
from ..motion.perturbation import DEFAULT_NOISE, DEFAULT_SAMPLES, DEFAULT_SEED
from ..plot import X_AXES
from ..searching.optimizer_names import FORMS, OptimizerSpecError, parse_optimizer
from ..searching.settings import (BOUNDARIES, NOT_CHANGING_THE_SEARCH, RESTART_SCHEDULES,
                                  InvalidSetting, SearchSettings)


class CommandLineParser(argparse.ArgumentParser):
    """A parser whose every refusal is one line on standard error, status 2:
    the command's name and what is wrong, with the close match of a
    mistyped command or option, or else where --help tells more. Given no
    arguments at all, a parser of commands lists them."""

    def parse_args(self, args: Sequence[str] | None = None,  # type: ignore[override]
                   namespace: argparse.Namespace | None = None) -> argparse.Namespace:
        arguments = list(sys.argv[1:] if args is None else args)
        commands = _commands_of(self)
        if commands is not None:
            if not arguments:
                self.print_help()
                self.exit(0)
            # The options before the command take no values: the first
            # other word is the command.
            given = next((word for word in arguments if not word.startswith("-")), None)
            if given is not None and given not in commands:
                self.error(f"no command {given!r}{_close_match(given, list(commands))}"
                           f" (commands: {', '.join(commands)})")
        parsed, unknown = self.parse_known_args(arguments, namespace)
        if unknown:
            command = commands.get(getattr(parsed, "command", None) or "") if commands else None
            _refuse_unknown(command or self, unknown)
        return parsed

    def error(self, message: str) -> NoReturn:
        """One line, without the usage that argparse prints before it: a
        command's usage takes several."""
        if message.startswith("the following arguments are required"):
            message += f" (see {self.prog} --help)"
        self.exit(2, f"{self.prog}: error: {message}\n")


def _commands_of(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser] | None:
    """The parser's commands by name, or None for a parser without any."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return None


def _refuse_unknown(parser: argparse.ArgumentParser, unknown: list[str]) -> NoReturn:
    """Says what the command does not take: the first unknown option, with
    its close match where it has one, or else the first word."""
    options = [word for word in unknown if word.startswith("-") and word != "-"]
    if not options:
        parser.error(f"unexpected argument {unknown[0]!r} (see {parser.prog} --help)")
    given = options[0].split("=", 1)[0]
    known = [flag for action in parser._actions for flag in action.option_strings]
    match = _close_match(given, known)
    parser.error(f"no option {given}{match or f' (see {parser.prog} --help)'}")


def _close_match(given: str, known: list[str]) -> str:
    """": did you mean X?" for the known word closest to what was given,
    where one is close; "" where none is."""
    matches = difflib.get_close_matches(given, known, n=1, cutoff=0.6)
    return f": did you mean {matches[0]}?" if matches else ""


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
    try:
        parse_optimizer(text)  # checked as text here; what it names is imported later
    except OptimizerSpecError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def _noise(text: str) -> float:
    value = _number(text)
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be a finite number of at least 0, got {text}")
    return value


#: Search options: (flag, settings field, conversion, help). Defaults and
#: checks are SearchSettings'; the help shows its defaults. An option not
#: given stays None, so that a resumed search can tell what was asked for.
_SEARCH_OPTIONS = (
    ("--seed", "seed", _whole_number, "random seed"),
    ("--popsize", "popsize", _whole_number, "plans per generation (of the first run)"),
    ("--sigma", "sigma0", _number, "initial step size of CMA-ES"),
    ("--optimizer", "optimizer", _optimizer_name,
     f"the optimizer to run: {FORMS} (one's own: a function of (settings, run) that makes "
     "each run's optimizer), each with KEY=VALUE settings after it if need be, such as "
     "builtin:restart_schedule=ipop,popsize=64 (pycma, cmaes and Nevergrad are installed "
     "with pip install cma, cmaes, nevergrad)"),
    ("--boundary", "boundary", str,
     "how plans are kept in [-1, 1]: " + ", ".join(BOUNDARIES)),
    ("--resample-outside", "resample_outside", _whole_number,
     "times the builtin CMA-ES draws a plan outside [-1, 1] again; 0: never"),
    ("--rank-mu-scale", "rank_mu_scale", _number,
     "the builtin CMA-ES's rank-mu learning rate as a multiple of the standard one"),
    ("--finish-share", "finish_share", _number,
     "the share of an --evaluations budget, at its end, over which the builtin CMA-ES "
     "draws --finish-popsize plans a generation; 0: never"),
    ("--finish-popsize", "finish_popsize", _whole_number,
     "the builtin CMA-ES's population over the budget's last --finish-share"),
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
    parser = CommandLineParser(
        prog=prog, description="Search for and look at plans of the zorv two-legged runner.",
        epilog=f"{prog} COMMAND --help describes a command and its options.")
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
    find.add_argument("--start", type=Path, default=None, metavar="FILE",
                      help="start every run of CMA-ES from the plan in FILE, a search's "
                           f"result or a list of {PLAN_SIZE} numbers (default: the zero "
                           "plan), with --sigma as its step size; the plan is the best "
                           "until the search finds a farther one")
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

    _add_compare(commands)

    show = commands.add_parser(
        "show", help="draw the run of a plan as an SVG animation or filmstrip",
        description="Draws the run of a plan from a JSON file (a search result or a "
                    f"list of {PLAN_SIZE} numbers) as an animated SVG. " + _PICTURE_RULES)
    show.add_argument("plan", type=Path, metavar="PLAN.json")
    show.add_argument("-o", "--output", default=None,
                      help="SVG file to write (default: PLAN.svg beside the plan; "
                           f"{_INTO_FOLDER} PLAN.svg into)")
    show.add_argument("--overwrite", action="store_true", help=_REPLACES)
    drawing = show.add_mutually_exclusive_group()
    drawing.add_argument("--frames", type=_positive, nargs="?", const=8, default=None,
                         metavar="N", help="write a static filmstrip of N steps (default 8) "
                                           "instead of an animation")
    drawing.add_argument("--torques", action="store_true",
                         help="draw each joint's torque under the animation's gait diagram")
    show.add_argument("--gait", action="store_true",
                      help="also print the run's gait: footfalls, strides, duty factors, "
                           "flight phases, speed, the muscles' work and the cost of transport")
    show.add_argument("--robustness", type=_noise, nargs="?", const=DEFAULT_NOISE,
                      default=None, metavar="NOISE",
                      help=f"also print how far {DEFAULT_SAMPLES} changes of the plan go: "
                           "each value changed by normal noise of this standard deviation "
                           f"(default {DEFAULT_NOISE}, seed {DEFAULT_SEED})")

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
    chart.add_argument("--label", action="append", default=None, metavar="TEXT",
                       help="the legend's name of a curve: once per RESULT.json, in their "
                            "order (default: the file's path and the search's settings)")

    commands.add_parser(
        "check", help="say whether this machine gives the documented scores, and why",
        description="Prints what decides the scores on this machine (the C library and "
                    "its atan2), whether the documented scores come out bit for bit, and "
                    "the batch path and worker threads sim_batch takes here. Exits with 0 "
                    "when the documented scores hold, 1 when they do not.")
    return parser


#: The folder that compare writes its study into unless told otherwise.
DEFAULT_STUDY = "study"
#: The seeds of a study that names none.
DEFAULT_SEEDS = "1-10"
#: The most seeds one study runs.
MOST_SEEDS = 10_000
#: Search options that a study sets for each run itself.
_PER_RUN = ("seed", "optimizer", "generations")


def seed_list(text: str) -> list[int]:
    """The seeds that --seeds names: whole numbers and ranges, such as
    "1-20" or "1,2,5" or "1-3,7"; ArgumentTypeError for other text."""
    seeds: list[int] = []
    for part in text.split(","):
        first, dash, last = part.strip().partition("-")
        try:
            low = int(first)
            high = int(last) if dash else low
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a list of seeds: {text!r} (give 1-20, or "
                                             "1,2,5, or both: 1-3,7)") from None
        if not 0 <= low <= high < 2**32:
            raise argparse.ArgumentTypeError(f"{part.strip()!r} is no seed or range of seeds "
                                             "from 0 to 2**32 - 1, the first first")
        if len(seeds) + high - low + 1 > MOST_SEEDS:
            raise argparse.ArgumentTypeError(f"more than {MOST_SEEDS:,} seeds")
        seeds.extend(range(low, high + 1))
    if len(set(seeds)) != len(seeds):
        raise argparse.ArgumentTypeError(f"a seed is named twice in {text!r}")
    return seeds


def _targets(text: str) -> list[float]:
    try:
        values = [float(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of distances: {text!r} (give 9,10,10.5, "
                                         "say)") from None
    if not all(math.isfinite(value) for value in values):
        raise argparse.ArgumentTypeError(f"targets are finite distances, not {text!r}")
    return values


def _add_compare(commands: argparse._SubParsersAction[CommandLineParser]) -> None:
    study = commands.add_parser(
        "compare", help="run optimizers on many seeds and compare them, into a study folder",
        description="Runs each optimizer on each seed, with one budget and the same search "
                    "settings, into a study folder: study.json (what was asked, and every "
                    "run's optimizer, seed, best distance, plans scored, seconds and file), "
                    "each run's result file under runs/ (which show, plot and search --resume "
                    "read), summary.csv (the best distances at budgets of 1,000, 10,000, ... "
                    "plans: median, quartiles, min, max, mean and its standard error), and "
                    "the pictures convergence.svg, targets.svg and finals.svg; then prints "
                    "those tables, the targets reached and rank-sum tests between the "
                    "optimizers. Each run is the search that zorv search makes with its "
                    "settings and seed. One study at a time runs in a folder; --resume goes "
                    "on with a study cut short (Ctrl-C, SIGTERM and SIGHUP stop it and save, "
                    "as a kill leaves it): its finished runs stay, a run cut short goes on "
                    "from its file where its optimizer saves its state (the builtin's), and "
                    "starts again where not. A run that fails is recorded as failed, with its "
                    "reason, and the study goes on. Exit status: 0 when every run is done, 1 "
                    "when a run failed or a file could not be written, 2 when it is refused "
                    "before it starts (bad options, optimizers that cannot be found or "
                    "imported, a folder that holds something else or that another study is "
                    "writing), 128 + N when signal N stops it (130 for Ctrl-C).")
    study.set_defaults(**dict.fromkeys(_PER_RUN))
    study.add_argument("optimizers", nargs="*", metavar="OPTIMIZER", type=_optimizer_name,
                       help=f"an optimizer to compare: {FORMS}, each with KEY=VALUE settings "
                            "after it if need be (builtin:restart_schedule=ipop,popsize=64); "
                            "the study names its runs so")
    study.add_argument("--seeds", type=seed_list, default=None, metavar="SEEDS",
                       help=f"the seeds of every optimizer's runs, such as 1-20 or 1,2,5 "
                            f"(default {DEFAULT_SEEDS})")
    for flag, name, convert, text in _SEARCH_OPTIONS:
        if name not in _PER_RUN:
            default = (f"the plans of {SearchSettings.DEFAULT_GENERATIONS} generations of "
                       "--popsize" if name == "evaluations" else _SETTINGS_DEFAULTS[name])
            study.add_argument(flag, dest=name, type=convert, default=None,
                               metavar=flag[2:].upper(),
                               help=f"{text}, for every run (default {default})")
    study.add_argument("--targets", type=_targets, default=None, metavar="DISTANCES",
                       help="the distances of the table of targets reached, such as 9,10,10.5 "
                            "(default: the quartiles of the runs' final best distances)")
    study.add_argument("-o", "--output", default=DEFAULT_STUDY, metavar="STUDY",
                       help="the study's folder: new (in an existing folder), empty, or an "
                            "earlier study's with --resume or --overwrite (default "
                            f"{DEFAULT_STUDY})")
    again = study.add_mutually_exclusive_group()
    again.add_argument("--resume", action="store_true",
                       help="go on with the study in the folder: optimizers, seeds and "
                            "settings are its own (those given must be the same)")
    again.add_argument("--overwrite", action="store_true",
                       help="start a new study in a folder that holds an earlier study, or "
                            "other files (it replaces only files of its own names)")
    study.add_argument("--report", metavar="STUDY", default=None,
                       help="print the tables of the study in this folder again, and run "
                            "nothing")
    study.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    cluster = study.add_mutually_exclusive_group()
    cluster.add_argument("--scheduler", metavar="ADDRESS", default=None,
                         help="run the runs on the workers of this Dask scheduler, several at "
                              "once, one a worker (each worker needs zorv, and one's own "
                              "optimizer's module); needs Dask: pip install "
                              "'dask[distributed]'")
    cluster.add_argument("--local-workers", type=_positive, metavar="N", default=None,
                         help="run the runs on a Dask cluster of N worker processes started "
                              "on this machine for the study, N at once (needs Dask too)")


def given_settings(args: argparse.Namespace) -> bool:
    """Whether any search option is given."""
    return any(getattr(args, name) is not None for _, name, _, _ in _SEARCH_OPTIONS)


def search_settings(args: argparse.Namespace, resumed: SearchSettings | None,
                    start: list[float] | None = None, what: str = "search") -> SearchSettings:
    """The settings asked for, with the plan read from --start's file as
    `start`; for a resumed search (or `what` else is resumed), its own, of
    which only those that do not change the search may be changed.
    ValueError (one line) for others."""
    given = {name: getattr(args, name) for _, name, _, _ in _SEARCH_OPTIONS
             if getattr(args, name) is not None}
    flags = {name: flag for flag, name, _, _ in _SEARCH_OPTIONS}
    flags["start"] = "--start"
    if args.optimizer is not None:
        # The optimizer's own settings after its name override the options.
        parsed = parse_optimizer(args.optimizer)
        given["optimizer"] = parsed.name
        for name, value in parsed.settings:
            given[name] = value
            flags[name] = f"{name} in --optimizer"
    try:
        if start is not None:
            given["start"] = SearchSettings(start=start).start  # as the settings keep it
        if resumed is None:
            return SearchSettings(**given)
        settings = dataclasses.replace(resumed, **{
            name: value for name, value in given.items() if name in NOT_CHANGING_THE_SEARCH})
    except InvalidSetting as error:  # named as the command line names it
        raise ValueError(f"{flags.get(error.setting, error.setting)} {error.problem}") from None
    for name, value in given.items():
        if getattr(settings, name) != value:
            if name == "start":
                raise ValueError(f"--start names another plan than the {what} to resume "
                                 "started from: it goes on with its own settings")
            raise ValueError(f"{flags[name]} {value} differs from the {what} to resume "
                             f"({getattr(resumed, name)}): it goes on with its own settings")
    return settings
