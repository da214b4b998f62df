"""Whatever ends a search early keeps its result: Ctrl-C anywhere in the
loop, a failing or misbehaving optimizer, scorer or callback. The result
kept is a whole one: its state saves, loads and resumes."""
import json
import re
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from process_waits import HANG, read_until

import zorv
import zorv.checkpoints
import zorv_fast

SETTINGS = zorv.SearchSettings(seed=2, popsize=16, generations=40, chunk=5,
                               checkpoint_every=0)


def resumable(result):
    """The result's state survives a file and goes on to the uninterrupted search."""
    state = zorv.SearchState.from_json(
        json.loads(zorv.checkpoints.dumps(result))["checkpoint"]["state"])
    return zorv.search(SETTINGS, resume=state)


class Faulty:
    """The builtin optimizer, with one method replaced after a few generations."""

    def __init__(self, method, replacement, after=5):
        from zorv.optimizers import BuiltinOptimizer
        self.inner = BuiltinOptimizer(SETTINGS)
        self.method, self.replacement, self.calls = method, replacement, 0
        self.after = after

    def _maybe(self, method, *args):
        if method == self.method and self.calls >= self.after:
            return self.replacement(*args)
        return getattr(self.inner, method)(*args)

    def ask(self):
        self.calls += 1
        return self._maybe("ask")

    def tell(self, distances):
        return self._maybe("tell", distances)

    def stop(self):
        return self._maybe("stop")

    def save_state(self):
        return self._maybe("save_state")

    def load_state(self, state):
        self.inner.load_state(state)


def fails(*args):
    raise RuntimeError("out of\nsorts")


def test_a_save_state_that_fails_before_the_first_generation():
    with pytest.raises(zorv.SearchFailed) as failure:
        zorv.search(SETTINGS, optimizer=Faulty("save_state", fails, after=0))
    assert "the optimizer's save_state() failed" in str(failure.value)
    assert failure.value.result.generations == 0


@pytest.mark.parametrize("method, replacement, message", [
    ("ask", fails, "the optimizer's ask() failed: RuntimeError: out of sorts"),
    ("tell", fails, "the optimizer's tell() failed: RuntimeError: out of sorts"),
    ("save_state", fails, "the optimizer's save_state() failed"),
    ("stop", lambda: True, "stop() returned True, not a list"),
    ("stop", lambda: "tolx", "stop() returned 'tolx', not a list"),
    ("stop", lambda: [1, 2], "stop() returned [1, 2], not a list"),
    ("ask", lambda: np.full((4, 40), 0.5 + 1j), "plans of complex128, not of real numbers"),
    ("ask", lambda: [["0.5"] * 40] * 4, "plans of <U3, not of real numbers"),
])
def test_a_misbehaving_optimizer_ends_the_search_with_its_result(method, replacement, message):
    with pytest.raises(zorv.SearchFailed) as failure:
        zorv.search(SETTINGS, optimizer=Faulty(method, replacement))
    assert message in str(failure.value) and "\n" not in str(failure.value)
    result = failure.value.result
    assert result.interrupted and 4 <= result.generations <= 5
    assert result.score == zorv_fast.sim(result.plan) >= result.state.best_score
    assert result.state.generation == len(result.history) == result.generations


@pytest.mark.parametrize("where", ["checkpoint", "on_generation", "should_stop"])
def test_a_failing_callback_ends_the_search_with_its_result(where):
    calls = []

    def callback(*args):
        calls.append(None)
        if len(calls) == 7:
            raise OSError("disk full")
        return False

    with pytest.raises(zorv.SearchFailed, match=f"{where} failed: OSError: disk full") as failure:
        zorv.search(SETTINGS, **{where: callback})
    result = failure.value.result
    full = zorv.search(SETTINGS)
    assert result.interrupted and result.state.generation < full.generations
    assert resumable(result).plan == full.plan


def test_scores_that_are_no_scores_fail_the_scoring():
    panic = type("PanicException", (BaseException,), {"__module__": "pyo3_runtime"})

    def scorer(answer):
        def score(plans):
            calls.append(None)
            return answer(plans) if len(calls) > 3 else zorv_fast.sim_batch(plans)
        return score

    for answer, message in [
            (lambda plans: [float("nan")] * len(plans), "returned nan for a plan"),
            (lambda plans: [1.0], "returned (1,) scores for 5 plans"),
            (lambda plans: (_ for _ in ()).throw(panic("The global thread pool has not been "
                                                       "initialized.: ThreadPoolBuildError")),
             "PanicException: The global thread pool")]:
        calls = []
        with pytest.raises(zorv.ScoringFailed, match=re.escape(message)) as failure:
            zorv.search(SETTINGS, score=scorer(answer))
        assert failure.value.result.state.generation <= 1


def test_plans_outside_the_box_are_kept_as_they_are_scored():
    class Wild:
        rng = np.random.default_rng(5)

        def ask(self):
            plans = self.rng.normal(0.0, 4.0, (16, 40))
            plans[:, 3] = np.nan
            return plans

        def tell(self, distances):
            pass

    result = zorv.search(SETTINGS, optimizer=Wild())
    assert all(-1.0 <= v <= 1.0 for v in result.plan) and result.plan[3] == -1.0
    state = zorv.SearchState.from_json(
        json.loads(zorv.checkpoints.dumps(result))["checkpoint"]["state"])
    assert state.best_plan == result.plan and result.score == zorv_fast.sim(result.plan)


def test_resume_leaves_the_state_it_is_given_as_it_was():
    done = []
    cut = zorv.search(SETTINGS, on_generation=done.append, should_stop=lambda: len(done) >= 25)
    before = zorv.checkpoints.dumps(cut)
    first, second = (zorv.search(SETTINGS, resume=cut.state) for _ in range(2))
    assert zorv.checkpoints.dumps(cut) == before
    assert first.plan == second.plan and first.history.best == second.history.best


CTRL_C = textwrap.dedent("""
    import json, os, signal, sys, threading, time
    import numpy as np
    import zorv, zorv.checkpoints

    how = sys.argv[1]

    class Slow:
        # Ctrl-C lands in a long NumPy call in tell(), in an ask() that hangs,
        # or, sent by another thread, wherever the search then is.
        def __init__(self):
            from zorv.optimizers import BuiltinOptimizer
            self.inner = BuiltinOptimizer(settings)
            self.asked = 0
        def ask(self):
            self.asked += 1
            if how == "hung ask" and self.asked == 4:
                print("ready", flush=True)
                # The first Ctrl-C asks the search to stop, which lets this
                # call go on; said once the search's handler has taken it.
                while not signal.getsignal(signal.SIGINT).__self__.requested:
                    time.sleep(0.01)
                print("stop requested", flush=True)
                while True:  # until a second one interrupts it
                    time.sleep(60)
            if how == "from a thread" and self.asked == 4:
                print("ready", flush=True)
                threading.Thread(target=os.kill, args=(os.getpid(), signal.SIGINT)).start()
            return self.inner.ask()
        def tell(self, distances):
            if how == "in tell" and self.asked == 4:
                print("ready", flush=True)
                for _ in range(5):
                    np.linalg.eigh(np.eye(300))
            self.inner.tell(distances)
        def save_state(self):
            return self.inner.save_state()
        def load_state(self, state):
            self.inner.load_state(state)

    settings = zorv.SearchSettings(seed=3, popsize=16, generations=10**6)
    result = zorv.search(settings, optimizer=Slow())
    state = zorv.SearchState.from_json(
        json.loads(zorv.checkpoints.dumps(result))["checkpoint"]["state"])
    print(json.dumps({"interrupted": result.interrupted, "generations": state.generation,
                      "handler": signal.getsignal(signal.SIGINT) is signal.default_int_handler}))
""")


@pytest.mark.parametrize("how, signals", [("in tell", 1), ("from a thread", 0),
                                          ("hung ask", 2)])
def test_ctrl_c_from_python_returns_the_result(tmp_path, how, signals):
    script = tmp_path / "ctrl_c.py"
    script.write_text(CTRL_C)
    child = subprocess.Popen([sys.executable, str(script), how], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        # Read unbuffered: the lines after these are left for communicate().
        assert read_until(child.stdout, b"ready") == b"ready\n"
        if signals:
            child.send_signal(signal.SIGINT)
        if signals == 2:  # one at a time, as a user presses the keys
            assert read_until(child.stdout, b"stop requested") == b"stop requested\n"
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=HANG)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err[-2000:]
    report = json.loads(out.splitlines()[-1])
    assert report == {"interrupted": True, "generations": report["generations"], "handler": True}
    assert report["generations"] >= 3
