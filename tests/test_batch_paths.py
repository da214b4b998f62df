"""Every path through `sim_batch` gives the bits of `sim` and of every other
path: eight AVX-512 lanes and four AVX2 lanes with either atan2, the portable
path with them switched off and the one-lane run behind `sim`, and the fast readers of
exact lists and float64 arrays, which must fall back to the general
conversion for anything else."""
import json
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from zorv_fast import sim, sim_batch

SPECIAL = [float("nan"), float("inf"), -float("inf"), -0.0, 0.0, 1.0, -1.0, 5.0, -3.5, 1e-300]


def plans_for_lanes(count, seed):
    """Random plans of every run length, values in and beyond [-1, 1]."""
    rng = random.Random(seed)

    def value(style):
        if style == 0 or rng.random() < 0.02:
            return rng.choice(SPECIAL)
        return rng.uniform(-1.0, 1.0) * (3.0 if style == 1 else 1.0)

    plans = []
    for _ in range(count):
        style = rng.randrange(8)
        plans.append([value(style) for _ in range(40)])
    return plans


LANE_CHECK = """
    import hashlib, struct, sys
    sys.path.insert(0, {here!r})
    from test_batch_paths import plans_for_lanes
    from zorv import _trace
    from zorv_fast import sim, sim_batch

    def digest(scores):
        return hashlib.sha256(struct.pack(f"<{{len(scores)}}d", *scores)).hexdigest()

    plans = plans_for_lanes({count}, seed={seed})
    one_by_one = [sim(p) for p in plans]
    chunks, start = [], 0
    for size in [1, 2, 3, 5, 6, 7, 8, 9, 13, 17, 4093]:
        chunks += sim_batch(plans[start:start + size])
        start += size
    print(_trace.batch_settings()[0], digest(sim_batch(plans)), digest(one_by_one),
          digest(chunks), digest(one_by_one[:len(chunks)]))
"""


def avx512_usable():
    """Whether this machine's kernel shows the extensions the eight-lane path
    needs (it shows them only where it saves their registers)."""
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
            flags = next((line for line in cpuinfo if line.startswith("flags")), "").split()
    except OSError:
        return False
    return {"avx512f", "avx512dq", "avx512bw", "avx512vl"} <= set(flags)


# Each path with the switches that select it on a CPU with AVX-512.
PATH_SWITCHES = {
    "avx512_lanes_with_fast_atan2": {},
    "avx512_lanes": {"ZORV_FAST_LIBRARY_ATAN2": "1"},
    "avx2_lanes_with_fast_atan2": {"ZORV_FAST_NO_AVX512": "1"},
    "avx2_lanes": {"ZORV_FAST_NO_AVX512": "1", "ZORV_FAST_LIBRARY_ATAN2": "1"},
    "portable": {"ZORV_FAST_NO_SIMD": "1"},
}


@pytest.mark.parametrize("threads", ["1", "2"])
def test_every_batch_path_gives_the_same_bits(threads):
    # The same plans through every path this CPU has, each in its own process:
    # sim_batch on all of them and in chunks of every size around the lane
    # widths, and sim (one lane where the fast atan2 runs, the scalar run
    # otherwise), must give one set of bits; each process must also have
    # taken the path its switches name.
    count = 20_000 if threads == "1" else 4_000
    paths = [path for path in PATH_SWITCHES if avx512_usable() or not path.startswith("avx512")]
    outputs = {}
    for path in paths:
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZORV_FAST_")}
        env.update(PATH_SWITCHES[path], RAYON_NUM_THREADS=threads)
        code = textwrap.dedent(LANE_CHECK.format(here=os.path.dirname(__file__), count=count,
                                                 seed=int(threads) * 10 + 7))
        result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                                text=True, timeout=600)
        assert result.returncode == 0, result.stderr
        taken, *digests = result.stdout.split()
        # Where the fast atan2 disagrees with this C library, its lanes take
        # the library's atan2 instead.
        assert taken in {path, path.replace("_with_fast_atan2", "")}
        outputs[path] = digests
    reference = outputs["portable"]
    assert reference[0] == reference[1] and reference[2] == reference[3]
    assert {path: digests for path, digests in outputs.items() if digests != reference} == {}


SWITCHES_AFTER_FIRST_SCORE = """
    import os
    from zorv_fast import sim_batch
    {first}
    os.environ.update({switches})
    from zorv import _trace
    print(_trace.batch_settings()[0])
"""


def test_one_choice_of_path_per_process():
    # The core library reads the switches once, for the scores' path and the
    # optimizer's build alike (one row of its table of instruction sets),
    # when the process first needs either: what zorv._trace (and `zorv check`
    # with it) reports is the path sim_batch took, and switches set later
    # change neither.
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZORV_FAST_")}

    def choices(first, switches):
        code = textwrap.dedent(SWITCHES_AFTER_FIRST_SCORE.format(first=first, switches=switches))
        result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                                text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        return result.stdout.split()

    unswitched = choices("", {})
    every_switch = dict(ZORV_FAST_NO_SIMD="1", ZORV_FAST_NO_AVX512="1", ZORV_FAST_LIBRARY_ATAN2="1")
    assert choices("sim_batch([[0.0] * 40] * 2)", every_switch) == unswitched
    assert choices("sim_batch([])", every_switch) == unswitched
    assert choices("", every_switch) == ["portable"]


def test_random_plans_cover_every_kind_of_run():
    from reference_model import simulate_with_steps
    steps = {simulate_with_steps(p)[1] for p in plans_for_lanes(400, seed=1)}
    assert min(steps) < 70 and 200 in steps and len(steps) > 60


def bits(scores):
    return json.dumps(scores)


PLANS = plans_for_lanes(37, seed=99)
EXPECTED = [sim(p) for p in PLANS]


@pytest.mark.parametrize("make", [
    lambda: PLANS,
    lambda: tuple(PLANS),
    lambda: [tuple(p) for p in PLANS],
    lambda: np.array(PLANS),
    lambda: [memoryview(row) for row in np.array(PLANS)],
    lambda: np.array(PLANS, dtype=">f8"),                 # not native byte order
    lambda: np.asfortranarray(np.array(PLANS)),           # not C-contiguous
    lambda: np.repeat(np.array(PLANS), 2, axis=1)[:, ::2],  # strided rows
    lambda: list(np.array(PLANS)),                         # list of arrays
    lambda: [list(map(np.float64, p)) for p in PLANS],      # float subclass items
], ids=["list", "tuple", "list-of-tuples", "ndarray", "memoryview", "big-endian", "fortran",
        "strided", "list-of-rows", "float64-items"])
def test_every_input_form_gives_the_same_scores(make):
    assert bits(sim_batch(make())) == bits(EXPECTED)


def test_float32_array_converts_its_values():
    single = np.array(PLANS, dtype=np.float32)
    assert bits(sim_batch(single)) == bits([sim([float(v) for v in row]) for row in single])


def test_array_of_the_wrong_width_fails_like_a_list():
    with pytest.raises(ValueError, match=r"^expected a sequence of length 40 \(got 39\)$"):
        sim_batch(np.zeros((3, 39)))
    with pytest.raises(ValueError, match=r"^expected a sequence of length 40 \(got 39\)$"):
        sim(np.zeros(39))
    with pytest.raises(TypeError, match=r"^argument 'plans': 'float64' object cannot be converted to 'Sequence'$"):
        sim_batch(np.zeros(40))  # its elements are numbers, not plans


class Reversed(list):
    def __iter__(self):
        return reversed(self[:])


class Scaled(np.ndarray):
    def __getitem__(self, index):
        return np.ndarray.__getitem__(self, index) * 0.5


class Halving(float):
    def __float__(self):
        return 0.0


def test_subclasses_take_the_general_path():
    # The general conversion iterates the outer object and indexes each plan.
    assert bits(sim_batch(Reversed(PLANS))) == bits(EXPECTED[::-1])
    row = np.array(PLANS[0]).view(Scaled)
    assert sim(row) == sim([v * 0.5 for v in PLANS[0]])
    # Iterating the array indexes it once for the row, indexing the row once more.
    assert bits(sim_batch(np.array(PLANS).view(Scaled))) == bits(
        [sim([v * 0.25 for v in p]) for p in PLANS])
    # A float subclass converts by its stored value, whatever its __float__ says.
    assert sim([Halving(0.75)] * 40) == sim([0.75] * 40)


def test_fast_readers_fall_back_on_a_late_odd_item():
    plans = [list(p) for p in PLANS]
    plans[-1][-1] = 1  # an int, not an exact float
    assert bits(sim_batch(plans)) == bits(EXPECTED[:-1] + [sim(plans[-1])])
    plans[-1][-1] = "x"
    with pytest.raises(TypeError, match=r"^argument 'plans': must be real number, not str$"):
        sim_batch(plans)
    assert sim(np.array(PLANS[3])) == EXPECTED[3]


def test_arrays_are_not_changed():
    array = np.array(PLANS)
    array[0, 0] = 7.5
    copy = array.copy()
    sim_batch(array)
    sim(array[0])
    assert np.array_equal(array, copy, equal_nan=True)
