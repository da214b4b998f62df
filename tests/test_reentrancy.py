"""Calls into the module from the Python code that its own conversion runs,
from another thread while a conversion waits, and signals that arrive while a
batch runs: the inner calls behave like any other call, and a signal's
handler runs only after the call has returned its complete result."""
import functools
import os
import operator
import signal
import threading
import time

import pytest

from zorv_fast import sim, sim_batch

ZEROS = [0.0] * 40
ZEROS_SCORE = 1.9828948004369278
ONES_SCORE = sim([1.0] * 40)


class NestedFloat:
    """A plan item whose __float__ runs `inner` (a nested call) first and
    converts to `value` when `inner` gave what it should."""

    def __init__(self, inner, expected, value=0.0):
        self.inner, self.expected, self.value, self.calls = inner, expected, value, 0

    def __float__(self):
        self.calls += 1
        assert self.inner() == self.expected
        return self.value


class NestedLen:
    """A plan of zeros whose __len__ (and so the length hint of a batch) runs
    a nested call."""

    def __init__(self, inner, expected, length=40):
        self.inner, self.expected, self.length, self.calls = inner, expected, length, 0

    def __len__(self):
        self.calls += 1
        assert self.inner() == self.expected
        return self.length

    def __getitem__(self, index):
        if index >= self.length:
            raise IndexError(index)
        return [0.0] * 40 if self.length != 40 else 0.0


class NestedIteration:
    """Plans yielded one by one, each __next__ running a nested batch."""

    def __init__(self, plans):
        self.plans = plans

    def __len__(self):
        return len(self.plans)

    def __getitem__(self, index):
        return self.plans[index]

    def __iter__(self):
        for plan in self.plans:
            assert sim_batch([plan, [1.0] * 40]) == [sim(plan), ONES_SCORE]
            yield plan


class TestNestedCalls:
    @pytest.mark.parametrize("inner, expected", [
        (lambda: sim(ZEROS), ZEROS_SCORE),
        (lambda: sim_batch([ZEROS, [1.0] * 40]), [ZEROS_SCORE, ONES_SCORE]),
        (lambda: sim_batch([]), []),
    ], ids=["sim", "sim_batch", "empty batch"])
    def test_float_hook_calls_the_module(self, inner, expected):
        item = NestedFloat(inner, expected)
        assert sim([item] * 40) == ZEROS_SCORE
        assert sim_batch([[item] * 40, ZEROS, [item] * 40]) == [ZEROS_SCORE] * 3
        assert item.calls == 40 * 3

    def test_len_hook_calls_the_module(self):
        plan = NestedLen(lambda: sim_batch([ZEROS] * 3), [ZEROS_SCORE] * 3)
        assert sim(plan) == ZEROS_SCORE
        assert sim_batch([plan, plan]) == [ZEROS_SCORE] * 2
        # As the length hint of the batch itself.
        plans = NestedLen(lambda: sim([1.0] * 40), ONES_SCORE, length=5)
        assert sim_batch(plans) == [ZEROS_SCORE] * 5
        assert plan.calls == 3 and plans.calls == 1

    def test_iteration_calls_the_module(self):
        plans = [[v / 10.0] * 40 for v in range(-10, 11)]
        assert sim_batch(NestedIteration(plans)) == [sim(p) for p in plans]

    def test_calls_nested_three_deep(self):
        innermost = NestedFloat(lambda: sim_batch([ZEROS]), [ZEROS_SCORE], value=1.0)
        middle = NestedFloat(lambda: sim([innermost] * 40), ONES_SCORE, value=-1.0)
        outer = [middle] * 40
        assert sim_batch([outer, outer]) == [sim([-1.0] * 40)] * 2
        assert middle.calls == 80 and innermost.calls == 80 * 40

    def test_a_failed_nested_call_that_is_handled_changes_nothing(self):
        def inner():
            with pytest.raises(ValueError, match=r"^expected a sequence of length 40 \(got 3\)$"):
                sim_batch([[0.0] * 3])
            with pytest.raises(TypeError, match="^argument 'plan': must be real number, not str$"):
                sim(["x"] * 40)
            return "handled"

        item = NestedFloat(inner, "handled", value=1.0)
        assert sim_batch([[item] * 40]) == [ONES_SCORE]
        assert sim([item] * 40) == ONES_SCORE

    def test_a_nested_failure_that_escapes_is_reported_by_the_outer_call(self):
        # A TypeError from the inner call is an item's TypeError to the outer
        # call, which prefixes its own parameter; other errors pass unchanged.
        type_error = NestedFloat(lambda: sim([None] * 40), None)
        with pytest.raises(TypeError) as info:
            sim_batch([[type_error] * 40])
        assert str(info.value) == ("argument 'plans': argument 'plan': "
                                   "must be real number, not NoneType")
        value_error = NestedFloat(lambda: sim_batch([[0.0]]), None)
        with pytest.raises(ValueError, match=r"^expected a sequence of length 40 \(got 1\)$"):
            sim([value_error] * 40)

    def test_a_nested_call_from_the_last_item_of_a_long_batch(self):
        plans = [[(i % 7) / 7.0] * 40 for i in range(500)]
        plans.append([0.0] * 39 + [NestedFloat(lambda: sim_batch(plans[:100]),
                                               [sim(p) for p in plans[:100]])])
        assert sim_batch(plans) == [sim(p) for p in plans[:500]] + [ZEROS_SCORE]


class TestOtherThreads:
    def test_another_thread_runs_a_batch_while_a_conversion_waits(self):
        # The module holds no lock of its own while it converts: while this
        # thread's conversion sleeps in a __float__, another thread's batch
        # runs to completion.
        converting, other_done = threading.Event(), threading.Event()
        other_result = []

        class Waiting:
            def __float__(self):
                converting.set()
                assert other_done.wait(timeout=60), "the other batch did not finish"
                return 0.0

        def other():
            converting.wait(timeout=60)
            other_result.append(sim_batch([[1.0] * 40] * 50))
            other_result.append(sim([1.0] * 40))
            other_done.set()

        thread = threading.Thread(target=other)
        thread.start()
        try:
            assert sim_batch([ZEROS, [Waiting()] + [0.0] * 39]) == [ZEROS_SCORE] * 2
        finally:
            other_done.set()
            thread.join(timeout=60)
        assert other_result == [[ONES_SCORE] * 50, ONES_SCORE]

    def test_many_threads_calling_at_once(self):
        plans = [[(i % 11 - 5) / 5.0] * 40 for i in range(64)]
        expected = [sim(p) for p in plans]
        failures = []

        def worker(offset):
            try:
                for round_ in range(30):
                    part = plans[(offset + round_) % 8::8]
                    assert sim_batch(part) == expected[(offset + round_) % 8::8]
                    assert sim(part[0]) == expected[(offset + round_) % 8]
            except BaseException as error:  # noqa: B036 - reported below
                failures.append(error)

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
        assert failures == []


class Interrupted(Exception):
    pass


def long_batch():
    """Plans that take sim_batch more than 0.15 s to score here, however loaded
    the machine is now or later (other tests run beside these in parallel).

    Sized by CPU time, not by the time one run took: the process uses at most
    one second of CPU time a second on each core it may run on, so a batch
    that uses C seconds on N cores lasts at least C / N seconds, whereas a
    batch timed while the machine was busy may take half as long once it is
    idle."""
    cores = len(os.sched_getaffinity(0))
    plans = [[((i * 13 + j) % 17 - 8) / 8.0 for j in range(40)] for i in range(64)]
    while True:
        start = time.process_time()
        sim_batch(plans)
        if (time.process_time() - start) / cores > 0.15:
            return plans
        plans = plans * 2


@pytest.fixture(scope="module")
def slow_plans():
    plans = long_batch()
    return plans, sim_batch(plans)


@pytest.fixture
def restore_alarm():
    previous = signal.getsignal(signal.SIGALRM)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


class TestSignals:
    @pytest.mark.parametrize("delay", [0.01, 0.04, 0.12])
    @pytest.mark.parametrize("handler_raises", [Interrupted, KeyboardInterrupt])
    def test_handler_runs_after_the_complete_batch(self, slow_plans, restore_alarm, delay,
                                                   handler_raises):
        plans, expected = slow_plans
        # The steps are run and their results collected by C code only
        # (list.extend over map), so that no Python code, which would run the
        # handler, runs between the alarm's start and the batch's, nor between
        # the end of the batch and its storing; the time the batch ended is
        # the next thing collected.
        collected = []
        seen_by_handler = []

        def handler(signum, frame):
            seen_by_handler.append(len(collected))
            raise handler_raises("alarm")

        signal.signal(signal.SIGALRM, handler)
        steps = [time.monotonic, functools.partial(signal.setitimer, signal.ITIMER_REAL, delay),
                 functools.partial(sim_batch, plans), time.monotonic]
        with pytest.raises(handler_raises, match="^alarm$"):
            collected.extend(map(operator.methodcaller("__call__"), steps))
            time.sleep(5)  # only reached if the handler never ran: fails the raises
        assert seen_by_handler == [4], "the handler ran before the batch had returned"
        started, _, scores, ended = collected
        assert ended - started > delay, "the alarm was not due while the batch ran"
        assert len(scores) == len(plans)
        assert scores == expected

    def test_handler_raising_inside_a_conversion_fails_that_call(self, restore_alarm):
        # Python code that the conversion runs also runs pending handlers; what
        # they raise is that code's error and passes through unchanged.
        def handler(signum, frame):
            raise Interrupted("in conversion")

        signal.signal(signal.SIGALRM, handler)

        class RaisesAlarm:
            def __float__(self):
                signal.raise_signal(signal.SIGALRM)
                return 0.0

        with pytest.raises(Interrupted, match="^in conversion$"):
            sim([RaisesAlarm()] + [0.0] * 39)
        with pytest.raises(Interrupted, match="^in conversion$"):
            sim_batch([ZEROS] * 10 + [[RaisesAlarm()] * 40])
        assert sim_batch([ZEROS]) == [ZEROS_SCORE]
