"""How many worker threads the process gains at its first `sim_batch`, and
what happens to the pool across fork()."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

PROCESSORS = len(os.sched_getaffinity(0))


def run_python(code, env=None, timeout=120):
    full_env = {k: v for k, v in os.environ.items()
                if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=full_env)


COUNT_WORKERS = """
    import os
    import zorv_fast
    before = len(os.listdir("/proc/self/task"))
    zorv_fast.sim_batch({plans})
    print(len(os.listdir("/proc/self/task")) - before)
"""


def workers_started(env, plans="[[0.0] * 40] * 8"):
    result = run_python(COUNT_WORKERS.format(plans=plans), env=env)
    assert result.returncode == 0, result.stderr
    return int(result.stdout)


@pytest.mark.parametrize("env, expected", [
    ({}, PROCESSORS),
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+3"}, 3),
    ({"RAYON_NUM_THREADS": "1"}, 1),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, PROCESSORS),
    ({"RAYON_NUM_THREADS": "four", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "-3", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "++3", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "99999999999999999999", "RAYON_RS_NUM_CPUS": "6"}, 6),
    ({"RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_RS_NUM_CPUS": "+4"}, 4),
    ({"RAYON_RS_NUM_CPUS": "0"}, PROCESSORS),
    ({"RAYON_RS_NUM_CPUS": "x"}, PROCESSORS),
], ids=lambda v: json.dumps(v) if isinstance(v, dict) else str(v))
def test_thread_count(env, expected):
    assert workers_started(env) == expected


def test_an_empty_batch_builds_the_pool():
    assert workers_started({"RAYON_NUM_THREADS": "3"}, plans="[]") == 3


def test_a_single_plan_builds_the_pool():
    assert workers_started({"RAYON_NUM_THREADS": "2"}, plans="[[0.0] * 40]") == 2


def test_later_changes_of_the_variables_change_nothing():
    result = run_python("""
        import os
        import zorv_fast
        tasks = lambda: len(os.listdir("/proc/self/task"))
        base = tasks()
        zorv_fast.sim_batch([[0.0] * 40] * 4)
        first = tasks()
        os.environ["RAYON_NUM_THREADS"] = "7"
        os.environ["RAYON_RS_NUM_CPUS"] = "9"
        zorv_fast.sim_batch([[0.0] * 40] * 40)
        print(first - base, tasks() - base)
    """, env={"RAYON_NUM_THREADS": "2"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["2", "2"]


def test_sim_does_not_build_the_pool():
    result = run_python("""
        import os
        import zorv_fast
        before = len(os.listdir("/proc/self/task"))
        zorv_fast.sim([0.0] * 40)
        print(len(os.listdir("/proc/self/task")) - before)
    """)
    assert result.stdout.strip() == "0", result.stderr


FORK_CHILD = """
    import json, os, random
    import zorv_fast
    rng = random.Random(5)
    plans = [[rng.uniform(-1, 1) for _ in range(40)] for _ in range(300)]
    expected = [zorv_fast.sim(p) for p in plans]
    assert zorv_fast.sim_batch(plans) == expected  # the parent's pool is built
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        tasks_before = len(os.listdir("/proc/self/task"))
        ok = zorv_fast.sim_batch(plans) == expected and zorv_fast.sim_batch(plans[:3]) == expected[:3]
        gained = len(os.listdir("/proc/self/task")) - tasks_before
        os.write(write, json.dumps([ok, gained]).encode())
        os._exit(0)
    os.close(write)
    _, status = os.waitpid(pid, 0)
    print(os.read(read, 100).decode(), status)
    print(zorv_fast.sim_batch(plans) == expected)
"""


def test_fork_child_starts_its_own_workers():
    result = run_python(FORK_CHILD, env={"RAYON_NUM_THREADS": "3"}, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["[true, 3] 0", "True"]


def test_multiprocessing_fork_pool():
    result = run_python("""
        import multiprocessing, random
        import zorv_fast
        rng = random.Random(8)
        plans = [[rng.uniform(-1, 1) for _ in range(40)] for _ in range(400)]
        expected = zorv_fast.sim_batch(plans)
        chunks = [plans[i:i + 50] for i in range(0, 400, 50)]
        with multiprocessing.get_context("fork").Pool(2) as pool:
            scores = [s for chunk in pool.map(zorv_fast.sim_batch, chunks) for s in chunk]
        print(scores == expected == [zorv_fast.sim(p) for p in plans])
    """, env={"RAYON_NUM_THREADS": "2"}, timeout=90)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"
