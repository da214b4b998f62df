"""What a search does: its settings, with their defaults and checks."""
from __future__ import annotations

import math
import numbers
from collections.abc import Iterable, Sequence
from dataclasses import asdict, dataclass, fields
from typing import Any

from ..body import PLAN_SIZE
from ..display.text import shown

#: The optimizers built in: the population CMA-ES of zorv.cma_es, or the cma
#: package's (pycma), kept as the reference it is measured against. Any other
#: name is that of one's own optimizer, given to zorv.search as `optimizer=`.
BUILTIN, PYCMA = "builtin", "pycma"
OPTIMIZERS = (BUILTIN, PYCMA)
#: How plans are kept in [-1, 1] (sim clamps every value there, so outside
#: the box the distance is flat):
#: "penalty" clips the optimizer's points and penalises their distance from
#: the box, "transform" maps them into the box (linear inside, quadratic near
#: the bounds, periodic beyond; pycma uses its own such map), "none" clips
#: them only, which lets the search drift outside. bench/search.py compares
#: them: at 100,000 evaluations the penalty goes farthest.
BOUNDARIES = ("penalty", "transform", "none")
#: How the population of a restarted run is chosen (see zorv.searching.restarts):
#: "same" keeps the first run's; "ipop" doubles it at every restart;
#: "bipop" alternates such runs with runs of smaller, random populations and
#: step sizes.
RESTART_SCHEDULES = ("same", "ipop", "bipop")

#: Settings that do not change which plans a search scores: a resumed
#: search may take other values for them.
NOT_CHANGING_THE_SEARCH = frozenset({"chunk", "checkpoint_every"})


#: The largest first step size. The penalty boundary sums the squares of a
#: generation's points, which lie about sigma0 times normal samples from
#: the mean: from about 1e150 on (1e153 with 8 plans a generation) these
#: sums overflow to infinity and every number of the search becomes NaN.
#: 1e100 keeps them finite for any population that fits in memory, with
#: room for the step size to grow as it adapts; the plans lie in [-1, 1],
#: so any step size above a few already puts almost every plan on a corner
#: of the box.
MAX_SIGMA0 = 1e100

#: The most times a plan outside the box may be drawn again: beyond a
#: few dozen draws, a distribution that far outside finds no plan inside.
MAX_RESAMPLING = 1000

#: The largest multiple of the rank-mu rate (which is capped below 1 in
#: any case): far above the standard rate, one generation's plans would
#: replace the whole covariance.
MAX_RANK_MU_SCALE = 100.0

#: The settings that files written before they existed leave out, as the
#: searches of those files ran: no plan drawn again, the standard rank-mu
#: rate, one population to the end.
FORMER_DEFAULTS: dict[str, Any] = {"resample_outside": 0, "rank_mu_scale": 1.0,
                                   "finish_share": 0.0}

#: The longest name an optimizer may have.
MAX_OPTIMIZER_NAME = 100


def usable_optimizer_name(name: object) -> bool:
    """Whether `name` can name an optimizer in settings and result files: a
    string of printable characters on one line, not blank, of at most
    MAX_OPTIMIZER_NAME characters."""
    return (isinstance(name, str) and bool(name.strip()) and name.isprintable()
            and len(name) <= MAX_OPTIMIZER_NAME)


class InvalidSetting(ValueError):
    """A setting of the wrong type or out of range: `setting` names it, as
    SearchSettings' field does, and `problem` says what is wrong; the
    message is the two, in one line."""

    def __init__(self, setting: str, problem: str) -> None:
        super().__init__(f"{setting} {problem}")
        self.setting = setting
        self.problem = problem

    def __reduce__(self) -> tuple[type[InvalidSetting], tuple[str, str]]:
        return type(self), (self.setting, self.problem)


@dataclass(frozen=True)
class SearchSettings:
    """What a search does; together with the seed it fixes the result.

    Every value is checked as the settings are made (InvalidSetting, a
    ValueError of one line, for one out of range). The settings are frozen:
    `dataclasses.replace` makes changed ones. `zorv search` takes its
    options' defaults and checks from here.
    """

    seed: int = 1
    """The random seed, in [0, 2**32): with the other settings it fixes the
    plans that the built-in optimizers draw."""
    popsize: int = 256
    """Plans per generation (of the first run). sim_batch makes wide
    generations cheap, and on this problem they find farther plans per
    evaluation than CMA-ES's default of 15, and keep the cores busier."""
    generations: int | None = None
    """Generations to run, counted in the first run's population when
    restarted runs have others (DEFAULT_GENERATIONS when neither this nor
    `evaluations` is given; at most one of them may be)."""
    evaluations: int | None = None
    """Plans to score instead: the search runs whole generations until it
    has scored at least this many."""
    sigma0: float = 0.5
    """The step size that CMA-ES starts each run with, in plan values, which
    lie in [-1, 1] (the "bipop" schedule's runs of small populations start
    smaller)."""
    chunk: int = 1024
    """Plans scored per call of the scorer. One call cannot be interrupted,
    so this bounds how long a stop request waits (a few milliseconds). It
    does not change which plans are scored."""
    optimizer: str = BUILTIN
    """The optimizer: a built-in one, "builtin" (zorv's own CMA-ES) or
    "pycma" (the cma package's); or the name that results give to one's
    own, which is given to zorv.search as `optimizer=` (when this is left at
    a built-in name, the result names it by its `name` attribute or class;
    see zorv.optimizers.Optimizer)."""
    boundary: str = "penalty"
    """How plans are kept in [-1, 1], where sim clamps every value:
    "penalty" clips the optimizer's points and penalises their distance from
    the box, "transform" maps them into the box (pycma with its own such
    map), "none" only clips them."""
    restarts: int | None = None
    """Runs started after the first when the optimizer's stop rules fire
    while budget is left; None: as many as the budget allows, 0: one run."""
    restart_schedule: str = "same"
    """The population of restarted runs: "same" keeps the first run's,
    "ipop" doubles it at every restart, "bipop" alternates such runs with
    runs of smaller, random populations and step sizes."""
    checkpoint_every: float = 30.0
    """Seconds between checkpoints (taken between generations; 0: after
    every generation). Checkpoints are also taken at every restart. It does
    not change which plans are scored."""
    start: Sequence[float] | None = None
    """The plan that every run of the optimizer starts from, its first mean
    (a warm start, from a plan found before, say): PLAN_SIZE finite numbers,
    kept as a tuple of the values as sim reads them, each clamped to
    [-1, 1] (so that the settings stay hashable). It is the search's
    best plan until a scored plan goes farther. None: the zero plan."""

    resample_outside: int = 100
    """Times the builtin CMA-ES draws a plan again that has a value outside
    [-1, 1], before it takes the plan as drawn (kept in the box as
    `boundary` says). Plans drawn inside need no penalty, and the
    distribution learns from the plans as scored. It costs time: a
    generation of 256 draws about 930 plans, which makes a default search
    about 1.6 times as long as with 0 (docs/performance.md). 0: never.
    Other optimizers ignore it."""
    rank_mu_scale: float = 2.0
    """The builtin CMA-ES's rank-mu learning rate, the share of its
    covariance that each generation's ranked plans replace, as a multiple of
    the standard rate. On this problem twice the standard rate learns the
    good plans' shape in fewer generations and goes farther at every budget
    measured. Other optimizers ignore it."""

    finish_share: float = 0.1
    """The share of a budget in plans (`evaluations`), at its end, over
    which the builtin CMA-ES draws `finish_popsize` plans a generation (the
    run in progress goes on from its distribution with the smaller
    population; runs started later start with it). Wide populations find
    the broader optima, and small ones climb to the top of one in fewer
    plans. 0: never. A budget in generations runs them all with the
    population it counts them in. Other optimizers ignore it."""
    finish_popsize: int = 32
    """The builtin CMA-ES's population over the last `finish_share` of the
    budget (runs of fewer plans a generation keep theirs)."""

    DEFAULT_GENERATIONS = 100
    """Generations run when neither generations nor evaluations is given."""

    @classmethod
    def from_file(cls, given: dict[str, Any]) -> SearchSettings:
        """The settings that a file holds, with those that files written
        before a setting existed leave out taken as the search then ran:
        such a file resumes and repeats as it did."""
        return cls(**{**FORMER_DEFAULTS, **given})

    def __post_init__(self) -> None:
        # Types first: settings also come from files (checkpoints) and from
        # NumPy. Numbers are kept as plain ints and floats, whatever kind of
        # number they came as (NumPy's scalars; a float32 widened exactly),
        # so that settings compare, hash and are written as the numbers they
        # are. NumPy's bool_ is neither Integral nor Real: refused as bool is.
        for name in _WHOLE_NUMBERS:
            value = getattr(self, name)
            if value is None and name in _OPTIONAL:
                continue
            if isinstance(value, bool) or not isinstance(value, numbers.Integral):
                raise InvalidSetting(name, f"must be a whole number, got {shown(value)}")
            object.__setattr__(self, name, int(value))
        for name in _REAL_NUMBERS:
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise InvalidSetting(name, f"must be a number, got {shown(value)}")
            # A whole number stays one (as written in files before); the
            # checks below compare it as the float it stands for.
            plain = int(value) if isinstance(value, numbers.Integral) else float(value)
            try:
                float(plain)
            except OverflowError:
                raise InvalidSetting(name, "must be a number in the range of a float, "
                                           f"got {shown(value)}") from None
            object.__setattr__(self, name, plain)
        for name in _NAMES:
            value = getattr(self, name)
            if isinstance(value, str):
                object.__setattr__(self, name, str(value))
        if not 0 <= self.seed < 2**32:
            raise InvalidSetting("seed", f"must be in [0, 2**32), got {self.seed}")
        if self.popsize < 2:
            raise InvalidSetting("popsize", f"must be at least 2, got {self.popsize}")
        if self.generations is not None and self.evaluations is not None:
            raise ValueError("give generations or evaluations, not both")
        if self.generations is not None and self.generations < 1:
            raise InvalidSetting("generations", f"must be at least 1, got {self.generations}")
        if self.evaluations is not None and self.evaluations < 1:
            raise InvalidSetting("evaluations", f"must be at least 1, got {self.evaluations}")
        if not (math.isfinite(self.sigma0) and 0 < self.sigma0 <= MAX_SIGMA0):
            raise InvalidSetting("sigma0", f"must be a positive number of at most "
                                           f"{MAX_SIGMA0:g} (larger steps overflow the "
                                           "optimizer's sums of squares), "
                                           f"got {self.sigma0}")
        if self.chunk < 1:
            raise InvalidSetting("chunk", f"must be at least 1, got {self.chunk}")
        if not usable_optimizer_name(self.optimizer):
            raise InvalidSetting("optimizer", "must be a name on one line (built in: "
                                              f"{', '.join(OPTIMIZERS)}), "
                                              f"got {self.optimizer!r}")
        if self.boundary not in BOUNDARIES:
            raise InvalidSetting("boundary", f"must be one of {', '.join(BOUNDARIES)}, "
                                             f"got {self.boundary!r}")
        if self.restarts is not None and self.restarts < 0:
            raise InvalidSetting("restarts", f"must be at least 0, got {self.restarts}")
        if self.restart_schedule not in RESTART_SCHEDULES:
            raise InvalidSetting("restart_schedule",
                                 f"must be one of {', '.join(RESTART_SCHEDULES)}, "
                                 f"got {self.restart_schedule!r}")
        if not 0 <= self.resample_outside <= MAX_RESAMPLING:
            raise InvalidSetting("resample_outside", f"must be in [0, {MAX_RESAMPLING}], "
                                                     f"got {self.resample_outside}")
        if not (math.isfinite(self.rank_mu_scale) and 0 < self.rank_mu_scale <= MAX_RANK_MU_SCALE):
            raise InvalidSetting("rank_mu_scale", "must be a positive number of at most "
                                                  f"{MAX_RANK_MU_SCALE:g}, got {self.rank_mu_scale}")
        if not (math.isfinite(self.finish_share) and 0 <= self.finish_share <= 1):
            raise InvalidSetting("finish_share", f"must be a share in [0, 1], "
                                                 f"got {self.finish_share}")
        if self.finish_popsize < 2:
            raise InvalidSetting("finish_popsize",
                                 f"must be at least 2, got {self.finish_popsize}")
        if not (math.isfinite(self.checkpoint_every) and self.checkpoint_every >= 0):
            raise InvalidSetting("checkpoint_every", "must be a number of seconds, at least "
                                                     f"0, got {self.checkpoint_every}")
        if self.start is not None:
            object.__setattr__(self, "start", _start_plan(self.start))

    @property
    def start_plan(self) -> tuple[float, ...]:
        """The plan that the optimizer's runs start from: `start`, or the
        zero plan."""
        return tuple(self.start) if self.start is not None else (0.0,) * PLAN_SIZE

    @property
    def planned_generations(self) -> int:
        """Generations of a search with one run at the first population."""
        if self.evaluations is not None:
            return -(-self.evaluations // self.popsize)
        if self.generations is not None:
            return self.generations
        return self.DEFAULT_GENERATIONS

    @property
    def budget(self) -> int:
        """Plans to score: a search runs generations while it has scored
        fewer (restarted runs have other populations, so a budget in
        generations counts as that many generations of the first)."""
        if self.evaluations is not None:
            return self.evaluations
        return self.planned_generations * self.popsize

    def brief(self) -> str:
        """The settings that shape the search, in one line: its optimizer,
        boundary, population, step size, budget, seed, restarts and start."""
        budget = (f"{self.evaluations} plans" if self.evaluations is not None
                  else f"{self.planned_generations} generations")
        restarts = ("restarts as the budget allows" if self.restarts is None
                    else f"{self.restarts} restarts")
        start = "from the zero plan" if self.start is None else "from a given start plan"
        return (f"{self.optimizer}, boundary {self.boundary}, popsize {self.popsize}, "
                f"sigma {self.sigma0:g}, {budget}, seed {self.seed}, {restarts} "
                f"({self.restart_schedule}), {start}")

    def changes_from(self, other: SearchSettings) -> list[str]:
        """The names of the settings that differ from `other`'s and change
        which plans the search scores."""
        return [f.name for f in fields(self) if f.name not in NOT_CHANGING_THE_SEARCH
                and getattr(self, f.name) != getattr(other, f.name)]

    def as_dict(self) -> dict[str, Any]:
        """The settings by name, as plain data (result files hold this):
        `start` as a list, and left out where it is None, as in the files
        of searches from the zero plan that earlier versions wrote."""
        data = asdict(self)
        if self.start is None:
            del data["start"]
        else:
            data["start"] = list(self.start)
        return data


_WHOLE_NUMBERS = ("seed", "popsize", "chunk", "generations", "evaluations", "restarts",
                  "resample_outside", "finish_popsize")
_OPTIONAL = ("generations", "evaluations", "restarts")
_REAL_NUMBERS = ("sigma0", "checkpoint_every", "rank_mu_scale", "finish_share")
_NAMES = ("optimizer", "boundary", "restart_schedule")


def _start_plan(given: object) -> tuple[float, ...]:
    """A start plan as the settings keep it: PLAN_SIZE floats, each clamped
    to [-1, 1]; InvalidSetting for anything but PLAN_SIZE finite numbers."""
    if isinstance(given, (str, bytes)) or not isinstance(given, Iterable):
        raise InvalidSetting("start", f"must be a plan of {PLAN_SIZE} numbers, "
                                      f"got {shown(given)}")
    values = list(given)
    if len(values) != PLAN_SIZE:
        raise InvalidSetting("start", f"must be a plan of {PLAN_SIZE} numbers, got "
                                      f"{len(values)} numbers")
    plan = []
    for index, value in enumerate(values):
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise InvalidSetting("start", f"value {index} is not a number: {shown(value)}")
        number = float(value)
        if not math.isfinite(number):
            raise InvalidSetting("start", f"value {index} must be finite, got {number}")
        plan.append(min(max(number, -1.0), 1.0))
    return tuple(plan)
