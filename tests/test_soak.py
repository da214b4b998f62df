"""A long run of the worker pool: 10,000 consecutive `sim_batch` calls of
random sizes from 0 to 100 plans, in a fresh process for each thread count.
Every score equals `sim` of its plan, the process's thread count is constant
from the first call on, and resident memory stays flat after a warm-up.

Resident memory may grow by at most RESIDENT_SLACK between call 1,000 and
call 10,000 (a leak of 64 bytes per call would exceed it); the check is
skipped under AddressSanitizer, whose quarantine keeps freed memory, and
there the run is 2,000 calls.
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from stress_support import under_address_sanitizer

pytestmark = pytest.mark.slow

UNDER_ASAN = under_address_sanitizer()
# The sanitized run (tests/run_sanitized.sh), many times slower, is there for
# what the sanitizers see: a fifth of the calls do.
CALLS = 2_000 if UNDER_ASAN else 10_000
WARM_CALLS = 1_000
RESIDENT_SLACK = 512 * 1024

SOAK = """
    import json, random, struct, sys
    sys.path.insert(0, {here!r})
    from stress_support import resident_bytes, thread_count
    from zorv_fast import sim, sim_batch

    rng = random.Random({seed})
    special = [float("nan"), float("inf"), -float("inf"), -0.0, 4.0, -9.5]
    pool = [[rng.choice(special) if rng.random() < 0.02 else rng.uniform(-1.2, 1.2)
             for _ in range(40)] for _ in range(1500)]
    expected = [sim(plan) for plan in pool]
    bits = lambda scores: [struct.pack("<d", s) for s in scores]

    threads_at_start = thread_count()
    mismatches = thread_changes = total = 0
    smallest, largest = 100, 0
    for call in range({calls}):
        chosen = [rng.randrange(len(pool)) for _ in range(rng.randint(0, 100))]
        plans = [pool[i] for i in chosen]
        if call % 7 == 3:  # now and then the general conversion instead of the fast reader
            plans = tuple(tuple(plan) for plan in plans)
        scores = sim_batch(plans)
        total += len(plans)
        smallest, largest = min(smallest, len(plans)), max(largest, len(plans))
        if bits(scores) != bits([expected[i] for i in chosen]):
            mismatches += 1
        if call == 0:
            threads_after_first = thread_count()
        elif thread_count() != threads_after_first:
            thread_changes += 1
        if call == {warm_calls} - 1:
            resident_warm = resident_bytes()
    print(json.dumps({{
        "mismatches": mismatches, "thread_changes": thread_changes,
        "workers": threads_after_first - threads_at_start,
        "resident_growth": resident_bytes() - resident_warm,
        "smallest": smallest, "largest": largest, "plans": total,
    }}))
"""


@pytest.mark.parametrize("threads", [1, 2, 64])
def test_ten_thousand_batches(threads):
    code = textwrap.dedent(SOAK.format(here=os.path.dirname(__file__), seed=threads,
                                       calls=CALLS, warm_calls=WARM_CALLS))
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=env, timeout=600)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    print(f"{threads} threads: {report}")
    assert report["mismatches"] == 0
    assert report["workers"] == threads
    assert report["thread_changes"] == 0
    assert (report["smallest"], report["largest"]) == (0, 100)
    if not UNDER_ASAN:
        assert report["resident_growth"] <= RESIDENT_SLACK, report
