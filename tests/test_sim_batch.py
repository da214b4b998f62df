"""`sim_batch`: scores equal to `sim` in input order for every thread count,
its argument handling, and the failure cases."""
import array
import gc
import json
import os
import random
import subprocess
import sys
import textwrap

import pytest

import zorv_fast
from zorv_fast import sim, sim_batch


def random_plans(count, seed):
    rng = random.Random(seed)
    special = [float("nan"), float("inf"), -float("inf"), -0.0, 3.0, -7.5]
    return [[rng.choice(special) if rng.random() < 0.03 else rng.uniform(-1.3, 1.3)
             for _ in range(40)] for _ in range(count)]


def same_bits(a, b):
    return json.dumps(a) == json.dumps(b)  # repr of every float; NaN == NaN


def run_python(code, env=None, timeout=180):
    full_env = dict(os.environ)
    full_env.pop("RAYON_NUM_THREADS", None)
    full_env.pop("RAYON_RS_NUM_CPUS", None)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=full_env)


@pytest.mark.parametrize("threads", ["1", "2", "3", "64"])
def test_scores_equal_sim_for_every_thread_count(threads):
    result = run_python("""
        import json, random, sys
        sys.path.insert(0, %r)
        from test_sim_batch import random_plans
        from zorv_fast import sim, sim_batch
        out = []
        for size in (0, 1, 2, 3, 7, 64, 1000):
            plans = random_plans(size, seed=size)
            out.append([sim_batch(plans), [sim(p) for p in plans]])
        print(json.dumps(out))
    """ % os.path.dirname(__file__), env={"RAYON_NUM_THREADS": threads})
    assert result.returncode == 0, result.stderr
    for batch, single in json.loads(result.stdout):
        assert json.dumps(batch) == json.dumps(single)


@pytest.mark.parametrize("size", [0, 1, 5, 257])
def test_scores_in_input_order(size):
    plans = random_plans(size, seed=100 + size)
    assert same_bits(sim_batch(plans), [sim(p) for p in plans])
    assert same_bits(sim_batch(tuple(plans)), [sim(p) for p in plans])
    assert same_bits(sim_batch(plans=plans), [sim(p) for p in plans])


def test_empty_inputs():
    assert sim_batch([]) == []
    assert sim_batch(()) == []
    assert sim_batch(iter_free_range := range(0)) == [] and len(iter_free_range) == 0


def test_mixed_plan_kinds():
    plans = [[0.0] * 40, tuple([1.0] * 40), range(40), array.array("d", [-1.0] * 40), bytes(40)]
    assert sim_batch(plans) == [sim(p) for p in plans]


def test_two_dimensional_arrays():
    np = pytest.importorskip("numpy")
    rows = np.asarray(random_plans(50, seed=7))
    expected = [sim(list(r)) for r in rows]
    assert same_bits(sim_batch(rows), expected)
    assert same_bits(sim_batch([memoryview(r) for r in rows]), expected)
    with pytest.raises(NotImplementedError):  # like iterating it does
        sim_batch(memoryview(rows))
    assert sim_batch(np.zeros((0, 40))) == []


class LyingLength:
    """A sequence whose length hint says nothing about what iteration yields."""

    def __init__(self, plans, length):
        self.plans, self.length = plans, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.plans[i]

    def __iter__(self):
        return iter(self.plans)


@pytest.mark.parametrize("hint", [0, 1, 1000, 2 ** 60, TypeError("no len"), ValueError("v")],
                         ids=["zero", "one", "thousand", "absurd", "type-error", "value-error"])
def test_length_is_only_a_hint(hint):
    plans = random_plans(5, seed=3)
    assert same_bits(sim_batch(LyingLength(plans, hint)), [sim(p) for p in plans])


def test_absurd_length_hint_with_many_plans():
    plans = [[0.0] * 40] * 70_000  # more than any room reserved up front
    assert sim_batch(LyingLength(plans, 2 ** 62)) == [sim(plans[0])] * len(plans)


def message_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), str(info.value)


class StrSubclass(str):
    pass


class BadIteration:
    def __init__(self, error, after=2):
        self.error, self.after = error, after

    def __len__(self):
        return 5

    def __getitem__(self, i):
        return [0.0] * 40

    def __iter__(self):
        for _ in range(self.after):
            yield [0.0] * 40
        raise self.error


@pytest.mark.parametrize("call, expected", [
    (lambda: sim_batch([], []), (TypeError, "sim_batch() takes 1 positional arguments but 2 were given")),
    (lambda: sim_batch([], plans=[]), (TypeError, "sim_batch() got multiple values for argument 'plans'")),
    (lambda: sim_batch(plan=[]), (TypeError, "sim_batch() got an unexpected keyword argument 'plan'")),
    (lambda: sim_batch(), (TypeError, "sim_batch() missing 1 required positional argument: 'plans'")),
    (lambda: sim_batch("x" * 40), (TypeError, "argument 'plans': Can't extract `str` to `Vec`")),
    (lambda: sim_batch(""), (TypeError, "argument 'plans': Can't extract `str` to `Vec`")),
    (lambda: sim_batch(StrSubclass("ab")), (TypeError, "argument 'plans': Can't extract `str` to `Vec`")),
    (lambda: sim_batch(None), (TypeError, "argument 'plans': 'NoneType' object cannot be converted to 'Sequence'")),
    (lambda: sim_batch(x for x in []), (TypeError, "argument 'plans': 'generator' object cannot be converted to 'Sequence'")),
    (lambda: sim_batch({1: 2}), (TypeError, "argument 'plans': 'dict' object cannot be converted to 'Sequence'")),
    (lambda: sim_batch([[0.0] * 40, 5]), (TypeError, "argument 'plans': 'int' object cannot be converted to 'Sequence'")),
    (lambda: sim_batch([[0.0] * 40, [0.0] * 39]), (ValueError, "expected a sequence of length 40 (got 39)")),
    (lambda: sim_batch([[0.0] * 40, "y" * 40]), (TypeError, "argument 'plans': must be real number, not str")),
    (lambda: sim_batch([[0.0] * 39 + [10 ** 400]]), (OverflowError, "int too large to convert to float")),
    (lambda: sim_batch([[0.0] * 39 + [None]]), (TypeError, "argument 'plans': must be real number, not NoneType")),
    (lambda: sim_batch(BadIteration(TypeError("it"))), (TypeError, "argument 'plans': it")),
    (lambda: sim_batch(BadIteration(KeyError("k"))), (KeyError, "'k'")),
])
def test_failures(call, expected):
    assert message_of(call) == expected


def test_bad_last_element_fails_before_anything_is_simulated():
    # Simulating starts by building the pool; a failed conversion never gets there.
    result = run_python("""
        import os
        from zorv_fast import sim_batch
        threads = lambda: len(os.listdir("/proc/self/task"))
        before = threads()
        try:
            sim_batch([[0.0] * 40 for _ in range(200)] + [[0.0] * 39])
        except ValueError as error:
            print(error)
        print(threads() - before)
        sim_batch([[0.0] * 40] * 4)
        print(threads() - before)
    """, env={"RAYON_NUM_THREADS": "3"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["expected a sequence of length 40 (got 39)", "0", "3"]


def test_arguments_are_not_modified():
    plans = [[7.5] * 40, [float("nan")] * 40]
    sim_batch(plans)
    assert plans[0] == [7.5] * 40 and all(v != v for v in plans[1])


def test_nested_calls_from_conversion():
    class Reentrant:
        def __float__(self):
            return sim_batch([[0.0] * 40])[0] - sim([0.0] * 40)  # 0.0

    assert sim_batch([[Reentrant()] * 40] * 3) == [sim([0.0] * 40)] * 3


def test_panic_exception_when_the_pool_cannot_be_built():
    # A tiny address-space limit makes every worker's 2 MiB stack impossible.
    result = run_python("""
        import resource, sys
        import zorv_fast
        resource.setrlimit(resource.RLIMIT_AS, (resource.getrlimit(resource.RLIMIT_AS)[0], resource.RLIM_INFINITY))
        import os
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 20), resource.RLIM_INFINITY))
        for attempt in range(2):
            try:
                zorv_fast.sim_batch([[0.0] * 40] * 3)
            except Exception:
                print("caught as Exception")
            except BaseException as error:
                kind = type(error)
                print(kind.__module__, kind.__qualname__, kind.__mro__[1].__name__, str(error))
        print(zorv_fast.sim([0.0] * 40))
    """, env={"RAYON_NUM_THREADS": "4"})
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    first = "pyo3_runtime PanicException BaseException The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
    assert lines[0].startswith(first + "IOError("), lines
    assert lines[1].startswith(first + "GlobalPoolAlreadyInitialized"), lines
    assert lines[2] == "1.9828948004369278"


def test_batch_results_do_not_leak():
    plans = random_plans(20, seed=9)
    sim_batch(plans)
    gc.collect()
    before = [sys.getrefcount(p) for p in plans], sys.getrefcount(plans)
    for _ in range(500):
        sim_batch(plans)
    gc.collect()
    assert ([sys.getrefcount(p) for p in plans], sys.getrefcount(plans)) == before


@pytest.mark.parametrize("container", ["list", "lying"])
def test_running_out_of_memory_for_the_plan_list_raises_memory_error(container):
    # Two million references to one plan are cheap for Python, but their
    # converted plan list (640 MB) does not fit under the address-space limit.
    result = run_python("""
        import resource
        import zorv_fast
        plan = [0.0] * 40
        plans = [plan] * 2_000_000
        class Lying:
            def __len__(self): return 2 ** 60
            def __getitem__(self, i): return plans[i]
            def __iter__(self): return iter(plans)
        argument = plans if %r == "list" else Lying()
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (200 << 20), resource.RLIM_INFINITY))
        try:
            zorv_fast.sim_batch(argument)
        except MemoryError:
            print("MemoryError")
        print(zorv_fast.sim_batch([plan] * 3) == [zorv_fast.sim(plan)] * 3)
    """ % container, env={"RAYON_NUM_THREADS": "2"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError", "True"]


def test_a_list_of_non_plans_fails_alike_at_any_length():
    # The reader of exact lists once sized its plan list from the list's
    # length before looking at an element: a long list of non-plans ran out of
    # memory where a short one failed the conversion.
    result = run_python("""
        import resource
        import zorv_fast
        plan = [0.0] * 40
        def calls(n):
            return [[1] * n, (1,) * n, [plan] + [1] * n]
        def outcome(argument):
            try:
                zorv_fast.sim_batch(argument)
            except BaseException as error:
                return type(error).__name__ + ": " + str(error)
        short = [outcome(a) for a in calls(5)]
        long = calls(2_000_000)  # their plan lists would need 640 MB
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (200 << 20), resource.RLIM_INFINITY))
        for a, b in zip(short, [outcome(a) for a in long]):
            print(a == b, b)
    """, env={"RAYON_NUM_THREADS": "2"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "True TypeError: argument 'plans': 'int' object cannot be converted to 'Sequence'"] * 3
