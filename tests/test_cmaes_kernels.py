"""zorv._cmaes, the arithmetic under the CMA-ES: exp and log close to the C
library's, normal samples that are normal and the same from every build, the
arrays it refuses, and an eigendecomposition that matches LAPACK's to
rounding. (Its products sum in index order in every build:
tests/cpp/test_optimizer_split.cpp.)"""
import math
import os
import subprocess
import sys
from functools import partial

import numpy as np
import pytest

from zorv import _cmaes


@pytest.mark.parametrize("x", [1e-300, 2.2e-308, 0.1, 0.7071067811865476, 1.0, 1.5, 2.0, 10.0,
                               12345.678, 1e300])
def test_log_and_exp_within_two_units_in_the_last_place(x):
    assert _cmaes.log(x) == pytest.approx(math.log(x), rel=4.5e-16, abs=1e-300)
    y = math.log(x) / 2
    assert _cmaes.exp(y) == pytest.approx(math.exp(y), rel=4.5e-16)


def test_exp_and_log_at_their_edges():
    assert _cmaes.exp(0.0) == 1.0 and _cmaes.log(1.0) == 0.0
    assert _cmaes.exp(-800.0) == 0.0 and _cmaes.exp(800.0) == math.inf
    assert _cmaes.log(0.0) == -math.inf and math.isnan(_cmaes.log(-1.0))
    assert _cmaes.log(math.inf) == math.inf and math.isnan(_cmaes.exp(math.nan))


def test_normals_are_standard_normal_and_follow_the_state():
    state = np.array([1, 2, 3, 4], dtype=np.uint64)
    samples = np.empty(400_000)
    _cmaes.normals(state, samples)
    assert abs(samples.mean()) < 0.01 and abs(samples.std() - 1) < 0.01
    # The tails beyond the ziggurat's base layer are drawn too, as often as
    # a normal distribution has them.
    beyond = np.mean(np.abs(samples) > 3.6541528853610088)
    assert 1e-4 < beyond < 5e-4
    quantiles = np.quantile(samples, [0.1, 0.25, 0.5, 0.75, 0.9])
    assert np.allclose(quantiles, [-1.2816, -0.6745, 0, 0.6745, 1.2816], atol=0.01)
    # A shorter draw from the same state, in vector lanes or not, begins
    # with the same samples; the state moves on.
    for count in (7, 16):
        again, fewer = np.array([1, 2, 3, 4], dtype=np.uint64), np.empty(count)
        _cmaes.normals(again, fewer)
        assert np.array_equal(fewer, samples[:count])
        _cmaes.normals(again, fewer)
        assert not np.array_equal(fewer, samples[:count])


def test_normals_are_the_same_from_every_build():
    # Enough samples for a few hundred from the tail and the wedges. The
    # optimizer takes the build of the row of instruction sets that the
    # scores take, which the batch path names.
    draw = ("import hashlib, numpy as np; from zorv import _cmaes, _trace; "
            "out = np.empty(1_000_003); _cmaes.normals(np.array([5, 6, 7, 8], dtype=np.uint64), out); "
            "print(_trace.batch_settings()[0], hashlib.sha256(out.tobytes()).hexdigest())")
    builds, digests = set(), set()
    for switch in (None, "ZORV_FAST_NO_AVX512", "ZORV_FAST_NO_SIMD"):
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZORV_FAST_NO_")}
        if switch:
            env[switch] = "1"
        build, digest = subprocess.run([sys.executable, "-c", draw], env=env, check=True,
                                       capture_output=True, text=True).stdout.split()
        builds.add(build)
        digests.add(digest)
    assert "portable" in builds and len(digests) == 1


STATE = np.ones(4, dtype=np.uint64)


@pytest.mark.parametrize("call, arguments", [
    # What an array argument must be: its shape, its items, C-contiguous.
    (_cmaes.shape, [np.ones((2, 3)), np.ones((3, 3)), np.ones((2, 2))]),
    (_cmaes.sample, [STATE, np.eye(3), np.zeros(3), 1.0, np.ones((2, 3)), np.ones((2, 3)),
                     np.ones((2, 2))]),
    (_cmaes.penalised_values, [np.ones((2, 3)), np.ones((2, 3)), np.ones(2),
                               np.ones(2, dtype=np.float32)]),
    (_cmaes.sample, [STATE, np.eye(3), np.zeros(3), 1.0, np.ones((2, 3)), np.ones((2, 3)),
                     np.ones((3, 2)).T]),
    (_cmaes.ranks, [np.ones(3), np.arange(6)[::2]]),
    (_cmaes.ranks, [np.ones(3), np.arange(3, dtype=np.uint64)]),
    (_cmaes.clip_to_box, [np.ones(3), np.ones(2)]),
    (_cmaes.normals, [np.zeros(4, dtype=np.uint64), np.ones(3)]),
    (_cmaes.normals, [np.ones(3, dtype=np.uint64), np.ones(3)]),
    (_cmaes.eigen, [np.eye(3), np.eye(3), np.ones(2)]),
    (_cmaes.update, [(0.5,) * 7, *[np.ones(1)] * 11]),
    # The arguments bound as in a function of positional-only parameters.
    (_cmaes.normals, [STATE]),
    (_cmaes.exp, [1.0, 2.0]),
    (partial(_cmaes.log, x=1.0), []),
    (_cmaes.sample, [STATE, np.eye(3), np.zeros(3), "wide", np.ones((2, 3)), np.ones((2, 3)),
                     np.ones((2, 3))]),
])
def test_wrong_arguments_are_refused(call, arguments):
    with pytest.raises((TypeError, ValueError)):
        call(*arguments)


def test_outputs_that_overlap_inputs_are_refused():
    z = np.ones((4, 4))
    with pytest.raises(ValueError, match="overlaps"):
        _cmaes.clip_to_box(z, z)
    # The update reads its rows by the order's indices: each must be a row.
    old = (np.zeros(4), np.zeros(4), np.zeros(4), np.eye(4))
    new = tuple(a.copy() for a in old)
    update = partial(_cmaes.update, (0.5,) * 8, np.full(4, 0.25), 2)
    with pytest.raises(ValueError, match="row indices"):
        update(np.array([0, 1, 2, 4]), z, z, np.eye(4), np.eye(4), 1.0, 1.0, old, new)
    with pytest.raises(ValueError, match="overlaps"):
        update(np.arange(4), z, z, np.eye(4), np.eye(4), 1.0, 1.0, old, (*new[:3], old[3]))
    update(np.arange(4), z, z, np.eye(4), np.eye(4), 1.0, 1.0, old, new)
    read_only = np.ones(4)
    read_only.flags.writeable = False
    with pytest.raises(TypeError, match="writable"):
        _cmaes.clip_to_box(z.ravel(), read_only)


@pytest.mark.parametrize("n, condition", [(1, 1.0), (2, 1e3), (10, 1e6), (40, 1e12)])
def test_eigen_matches_lapack_from_any_start(n, condition):
    rng = np.random.default_rng(n)
    rotation, _ = np.linalg.qr(rng.standard_normal((n, n)))
    values = np.geomspace(1, condition, n)
    c = (rotation * values) @ rotation.T
    c = np.triu(c) + np.triu(c, 1).T
    starts = [np.eye(n), np.linalg.qr(rng.standard_normal((n, n)))[0], rotation]
    for start, most_sweeps in zip(starts, [20, 20, 3]):
        basis, found = start.copy(), np.empty(n)
        sweeps = _cmaes.eigen(c, basis, found)
        assert np.allclose(np.sort(found), np.linalg.eigvalsh(c), rtol=1e-9, atol=1e-12 * condition)
        assert np.allclose(basis.T @ basis, np.eye(n), atol=1e-12)
        assert np.allclose((basis * found) @ basis.T, c, rtol=0, atol=1e-12 * condition)
        assert sweeps <= most_sweeps  # from the eigenbasis itself: a check, at most a touch
