"""What a search reports as it goes: its progress, its history, and the
history as a curve to draw."""
from __future__ import annotations

import json
import math
from collections.abc import Mapping
from dataclasses import asdict, dataclass, field
from typing import TYPE_CHECKING, Any

from .display.text import cut_short
from .searching.settings import BUILTIN, OPTIMIZERS, SearchSettings

if TYPE_CHECKING:
    import numpy.typing as npt

@dataclass(frozen=True)
class Progress:
    """Where a search stands after a generation: what `on_generation` gets."""

    generation: int
    """Generations completed, over all runs."""
    generations: int
    """Generations planned (as far as the budget left can tell now: the
    builtin CMA-ES counts its finish in; restarts, and other optimizers'
    populations, are counted from the last generation's)."""
    evaluations: int
    """Plans scored so far."""
    elapsed: float
    """Seconds since the search started (a resumed one: with those before)."""
    best_score: float
    """The best distance of the generations completed."""
    run: int = 0
    """The run of the optimizer: 0 for the first, 1 after the first restart, ..."""

    @property
    def evaluations_per_second(self) -> float:
        """Plans scored per second so far (0 before any time has passed)."""
        return self.evaluations / self.elapsed if self.elapsed > 0 else 0.0


#: The history's columns of numbers, one entry per generation.
VALUE_COLUMNS = ("evaluations", "best", "median", "seconds")


@dataclass
class History:
    """One entry per completed generation: the plans scored so far, the best
    distance so far, the median distance of the generation's plans, and the
    seconds since the search started; and the entry at which each run of
    the optimizer started (0 for the first, one more per restart)."""

    evaluations: list[int] = field(default_factory=list)
    """Plans scored by the end of each generation."""
    best: list[float] = field(default_factory=list)
    """The best distance so far, at the end of each generation."""
    median: list[float] = field(default_factory=list)
    """The median distance of each generation's plans."""
    seconds: list[float] = field(default_factory=list)
    """Seconds since the search started, at the end of each generation."""
    run_starts: list[int] = field(default_factory=lambda: [0])
    """The entry at which each run of the optimizer started."""

    def append(self, evaluations: int, best: float, median: float, seconds: float) -> None:
        """Adds the entry of a generation."""
        self.evaluations.append(evaluations)
        self.best.append(best)
        self.median.append(median)
        self.seconds.append(seconds)

    def start_run(self) -> None:
        """Marks the next entry as the first of a new run."""
        self.run_starts.append(len(self))

    def __len__(self) -> int:
        return len(self.evaluations)

    def to_json(self) -> dict[str, list[Any]]:
        """The columns by name, as lists."""
        return asdict(self)

    @classmethod
    def from_json(cls, data: dict[str, list[Any]]) -> History:
        """From `to_json`'s form (files from before restarts have no
        run_starts: one run), checked: whole numbers of plans, at least 0
        and never falling; finite distances; seconds at least 0 and never
        falling; runs that start at entries from the first on, in order. ValueError
        (one line, naming the entry) for anything else."""
        if not isinstance(data, dict):
            raise ValueError("a history is an object of lists")
        columns = []
        for name in VALUE_COLUMNS:
            column = data.get(name)
            if not isinstance(column, list):
                raise ValueError(f"the history has no list of {name}")
            columns.append(column)
        if len({len(column) for column in columns}) != 1:
            raise ValueError("history columns differ in length")
        evaluations, best, median, seconds = columns
        for index, value in enumerate(evaluations):
            if isinstance(value, bool) or not isinstance(value, int) or value < 0:
                raise ValueError(f"history evaluations[{index}] is {_as_in_file(value)}, not a "
                                 "whole number of at least 0")
            if index and value < evaluations[index - 1]:
                raise ValueError(f"history evaluations[{index}] is {value}, fewer than "
                                 "the entry before")
        for name, column in (("best", best), ("median", median), ("seconds", seconds)):
            for index, value in enumerate(column):
                if not _finite_number(value):
                    raise ValueError(f"history {name}[{index}] is {_as_in_file(value)}, not a "
                                     "finite number")
        for index, value in enumerate(seconds):
            if value < 0 or (index and value < seconds[index - 1]):
                raise ValueError(f"history seconds[{index}] is {value!r}: seconds are at "
                                 "least 0 and never fall")
        run_starts = data.get("run_starts", [0])
        if (not isinstance(run_starts, list) or not run_starts or run_starts[0] != 0
                or any(isinstance(i, bool) or not isinstance(i, int) for i in run_starts)
                or any(later < earlier for earlier, later in zip(run_starts, run_starts[1:]))
                or run_starts[-1] > len(evaluations)):
            raise ValueError("run_starts must rise from 0 within the history")
        return cls(list(evaluations), [float(v) for v in best], [float(v) for v in median],
                   [float(v) for v in seconds], list(run_starts))

    def to_arrays(self) -> dict[str, npt.NDArray[Any]]:
        """The columns as NumPy arrays, one entry per generation:
        "evaluations" and "run" (the optimizer's run that the generation
        belongs to, 0 for the first) as integers, "best", "median" and
        "seconds" as floats."""
        import numpy as np
        runs = np.zeros(len(self), dtype=np.int64)
        for start in self.run_starts[1:]:
            runs[start:] += 1
        return {"evaluations": np.array(self.evaluations, dtype=np.int64),
                "best": np.array(self.best, dtype=np.float64),
                "median": np.array(self.median, dtype=np.float64),
                "seconds": np.array(self.seconds, dtype=np.float64),
                "run": runs}

    def to_pandas(self) -> Any:
        """The columns of `to_arrays` as a pandas DataFrame, one row per
        generation. Needs pandas (pip install pandas): ImportError, saying
        so, where it is missing."""
        try:
            import pandas  # type: ignore[import-untyped]
        except ImportError:
            raise ImportError("History.to_pandas needs pandas: pip install pandas; "
                              "History.to_arrays gives the columns as NumPy arrays") from None
        return pandas.DataFrame(self.to_arrays())

    def copy(self) -> History:
        """A history of the same entries that shares no list with this one."""
        return History(list(self.evaluations), list(self.best), list(self.median),
                       list(self.seconds), list(self.run_starts))


def _finite_number(value: object) -> bool:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    try:
        return math.isfinite(value)
    except OverflowError:  # an int beyond the range of a float
        return False


@dataclass(frozen=True)
class Curve:
    """One search's convergence as `zorv.plot.convergence` draws it: the
    name its legend gives it, and its history. `dataclasses.replace(curve,
    label=...)` names it otherwise."""

    label: str
    """The legend's name of the curve."""
    history: History
    """The search's history, one entry per generation."""

    @classmethod
    def from_result(cls, data: dict[str, object], name: str | None = None) -> Curve:
        """From a search result's JSON form, whatever optimizer made it,
        labelled by `label_for` its settings, after `name` (such as its
        file's) where given; raises ValueError (or KeyError, TypeError) for
        one that has no usable history."""
        history = History.from_json(data["history"])  # type: ignore[arg-type]
        if not len(history):
            raise ValueError("the search completed no generation")
        settings = data.get("settings")
        label = label_for(settings if isinstance(settings, dict) else {})
        return cls(label if name is None else f"{name} ({label})", history)


#: How a label shows each setting it names; the restart schedule only where
#: it is not the default one.
_LABELLED = (("optimizer", "{}"), ("boundary", "boundary {}"), ("popsize", "popsize {}"),
             ("seed", "seed {}"), ("restart_schedule", "{} restarts"))


def label_for(settings: SearchSettings | Mapping[str, object]) -> str:
    """A curve's label, from what the result says about its search: the
    optimizer, the boundary, the population, the seed and a restart
    schedule other than "same", each where given, by the names the settings
    and the command line give them."""
    given = settings.as_dict() if isinstance(settings, SearchSettings) else settings
    # The boundary is the built-in optimizers' own: others keep their plans
    # in the box as they see fit.
    own = given.get("optimizer", BUILTIN) not in OPTIMIZERS
    parts = []
    for name, shown in _LABELLED:
        value = given.get(name)
        if (own and name == "boundary") or (name == "restart_schedule"
                                                  and value == SearchSettings.restart_schedule):
            continue
        if isinstance(value, (str, int)) and not isinstance(value, bool):
            parts.append(shown.format(" ".join(str(value).split())[:60]))
    return ", ".join(parts) or "search"


def _as_in_file(value: object) -> str:
    """A value from a file as a message shows it: its JSON text, cut short."""
    try:
        text = json.dumps(value)
    except (TypeError, ValueError):
        text = repr(value)
    return cut_short(text, 40)
