"""The optimizer's array work runs on sim_batch's worker pool: it starts no
threads of its own, keeps a search's bits on any number of workers and with
every build of its products, and still runs, on the calling thread, where
the pool cannot start."""
import json
import os
import subprocess
import sys
import textwrap

import pytest
from process_waits import HANG

# A search large enough to be split, scored by a cheap function instead of
# sim_batch, so that the optimizer is the first to want the pool. Prints the
# search's score and plan bits, the state it ends in, and how many threads
# the process gained by the search and then by a sim_batch call. Its
# arguments: how many workers the pool is to keep, and the seconds after which
# a thread that has not left the process never will.
SEARCH = textwrap.dedent("""
    import hashlib, json, os, struct, sys, time
    import numpy as np
    import zorv, zorv.checkpoints, zorv_fast

    def threads():
        return len(os.listdir("/proc/self/task"))

    def threads_once_left(at_most):
        # Workers of a pool that failed to start all its threads are told to
        # stop and awaited, but leave the task list a while after they
        # return: counted once no more than `at_most` threads are left, or
        # once the others are seen never to leave.
        give_up = time.monotonic() + float(sys.argv[2])
        while threads() > at_most and time.monotonic() < give_up:
            time.sleep(0.01)
        return threads()

    before = threads()
    kept = before + int(sys.argv[1])
    settings = zorv.SearchSettings(seed=4, popsize=2100, generations=5, checkpoint_every=0)
    result = zorv.search(settings, score=lambda plans: plans[:, 0] - plans[:, 1] * plans[:, 2])
    by_search = threads_once_left(kept) - before
    state = zorv.checkpoints.to_json(result)["checkpoint"]["state"]["optimizer"]
    digest = hashlib.sha256(struct.pack("40d", *result.plan)
                            + json.dumps(state, sort_keys=True, default=repr).encode())
    try:
        zorv_fast.sim_batch(np.zeros((4, 40)))
        batch = "scored"
    except BaseException as error:
        batch = str(error)
    in_all = threads_once_left(kept) - before
    print(json.dumps([result.score, digest.hexdigest(), by_search, in_all, batch]))
""")


def run_search(variables, workers, preexec_fn=None):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("RAYON_", "ZORV_FAST_NO_"))}
    completed = subprocess.run([sys.executable, "-c", SEARCH, str(workers), str(HANG)],
                               env={**env, **variables}, capture_output=True, text=True,
                               timeout=2 * HANG, preexec_fn=preexec_fn)
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def on_one_worker():
    return run_search({"RAYON_NUM_THREADS": "1"}, 1)


@pytest.mark.parametrize("variables", [
    {"RAYON_NUM_THREADS": "2"},
    {"RAYON_NUM_THREADS": "3"},
    {"RAYON_NUM_THREADS": "2", "ZORV_FAST_NO_SIMD": "1"},
    {"RAYON_NUM_THREADS": "2", "ZORV_FAST_NO_AVX512": "1"},
], ids=lambda v: " ".join(f"{k}={v}" for k, v in v.items()))
def test_a_split_search_keeps_its_bits_and_adds_only_the_pools_workers(variables, on_one_worker):
    workers = int(variables["RAYON_NUM_THREADS"])
    score, digest, by_search, in_all, batch = run_search(variables, workers)
    assert [score, digest] == on_one_worker[:2]
    # The search built the pool that sim_batch then scores on: the process
    # has its own threads and the workers, no more.
    assert (by_search, in_all, batch) == (workers, workers, "scored")


def test_one_worker_is_all_a_search_on_one_worker_adds(on_one_worker):
    assert on_one_worker[2:] == [1, 1, "scored"]


def limit_address_space():
    import resource
    # 2,000 thread stacks of 2 MiB never fit in 1.2 GB.
    resource.setrlimit(resource.RLIMIT_AS, (1_200_000_000, resource.RLIM_INFINITY))
    resource.setrlimit(resource.RLIMIT_STACK, (8 * 2**20, resource.RLIM_INFINITY))


def test_where_the_pool_cannot_start_the_search_runs_on_its_own_thread(on_one_worker):
    score, digest, by_search, in_all, batch = run_search({"RAYON_NUM_THREADS": "2000"}, 0,
                                                         preexec_fn=limit_address_space)
    assert [score, digest] == on_one_worker[:2]
    assert by_search == in_all == 0
    # sim_batch, the first to report the failure, tells why in full.
    assert batch.startswith("The global thread pool has not been initialized.: "
                            "ThreadPoolBuildError { kind: IOError("), batch
