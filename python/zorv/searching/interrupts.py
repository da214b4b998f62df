"""Signals during a search, turned into stop requests so that its result
is kept: Ctrl-C in a Python program (CtrlC, which zorv.search installs
itself), and Ctrl-C, SIGTERM and SIGHUP for the command line
(StopOnInterrupt)."""
from __future__ import annotations

import os
import signal
import threading
from collections.abc import Callable, Sequence
from types import FrameType
from typing import Any

from ..command_line.exit_status import after_signal

#: Scores plans: what zorv.search calls a scorer.
ScoreFunction = Callable[[Any], Sequence[float]]


class CtrlC:
    """Ctrl-C during a search in the main thread, where SIGINT has Python's
    own handler: the first asks the search to stop after the plans being
    scored, as `should_stop` does; a second interrupts what runs (a scorer
    that does not answer, an ask() that hangs), and the search goes back to
    where its step began. Under another handler (the command line's, one's
    own) it changes nothing. Once the search is finishing, further Ctrl-Cs
    wait until it is done, so that its result is not lost."""

    def __init__(self) -> None:
        self.requested = False
        self.finishing = False
        self.previous: Any = None

    def __enter__(self) -> CtrlC:
        if (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
            self.previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
            self.previous = None

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.finishing:
            return
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True


class StopOnInterrupt:
    """Turns Ctrl-C, SIGTERM and SIGHUP into a stop request, which the search
    sees between two calls of its scorer. A second one interrupts a call of
    the scorer that is still running (a cluster that does not answer), and
    does nothing anywhere else: not while a file is written. A signal that
    was ignored when the process started (nohup's SIGHUP) stays ignored.
    Outside the main thread, which alone receives signals, it changes
    nothing."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self) -> None:
        self.signal: int | None = None  # the first one
        self.scoring = False
        self.previous: dict[int, Any] = {}
        self.arrivals: tuple[int, int] | None = None
        self.previous_wakeup_fd = -1

    def __enter__(self) -> StopOnInterrupt:
        if threading.current_thread() is not threading.main_thread():
            return self  # Python runs signal handlers in the main thread only
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
        if self.arrivals is not None:
            signal.set_wakeup_fd(self.previous_wakeup_fd)
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

    def scorer(self, score: ScoreFunction) -> ScoreFunction:
        """`score`, interruptible by a second signal while it runs."""
        return _InterruptibleScorer(self, score)

    @property
    def exit_status(self) -> int:
        return after_signal(self.signal or signal.SIGINT)


class _InterruptibleScorer:
    """A scorer that tells its StopOnInterrupt while it runs; it scores
    whole generations when the scorer it wraps does."""

    def __init__(self, stop: StopOnInterrupt, score: ScoreFunction) -> None:
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
