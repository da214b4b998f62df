"""zorv.cma_es: the population CMA-ES reaches known optima about as fast as
pycma, so that a wrong update rule fails here rather than only slowing the
search."""
import math
import warnings

import numpy as np
import pytest

from zorv.cma_es import CMAES, Normals, _power

DIMENSION = 40
TARGET = 1e-6
SEEDS = (1, 2, 3)
#: Evaluations may be at most this factor above pycma's (median of the seeds).
FACTOR = 1.25


def sphere(x):
    return (x ** 2).sum(axis=1)


_rotation, _ = np.linalg.qr(np.random.default_rng(7).standard_normal((DIMENSION, DIMENSION)))
_axis_scales = 10.0 ** (4 * np.arange(DIMENSION) / (DIMENSION - 1))


def rotated_ellipsoid(x):
    """Condition number 1e4 along axes that are not the coordinate axes."""
    return ((x @ _rotation.T) ** 2 * _axis_scales).sum(axis=1)


def evaluations_to_target(ask, tell, limit=200_000):
    evaluations = 0
    while evaluations < limit:
        values = ask()
        evaluations += len(values)
        if values.min() < TARGET:
            return evaluations
        tell(values)
    return evaluations


def ours(function, seed):
    es = CMAES(np.ones(DIMENSION), 1.0, Normals(seed))
    population = []

    def ask():
        population[:] = [es.ask()]
        return function(population[0])
    return evaluations_to_target(ask, es.tell)


def pycma(function, seed):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import cma
    np.random.seed(seed)
    es = cma.CMAEvolutionStrategy(np.ones(DIMENSION), 1.0, {"seed": float("nan"), "verbose": -9})
    population = []

    def ask():
        population[:] = [es.ask()]
        return function(np.array(population[0]))
    return evaluations_to_target(ask, lambda values: es.tell(population[0], values,
                                                             check_points=False))


@pytest.mark.slow  # pycma alone takes several seconds on the ellipsoid
@pytest.mark.parametrize("function", [sphere, rotated_ellipsoid])
def test_reaches_the_optimum_about_as_fast_as_pycma(function):
    mine = np.median([ours(function, seed) for seed in SEEDS])
    reference = np.median([pycma(function, seed) for seed in SEEDS])
    assert mine <= FACTOR * reference, (mine, reference)


def test_same_generator_state_same_run_and_stop_rules():
    runs = []
    for _ in range(2):
        es = CMAES(np.zeros(5), 1e-12, Normals(4), popsize=6)
        es.tell(sphere(es.ask()))
        runs.append((es.mean.copy(), es.sigma, es.stop()))
    assert np.array_equal(runs[0][0], runs[1][0]) and runs[0][1] == runs[1][1]
    assert "tolx" in runs[0][2]


@pytest.mark.parametrize("popsize", [2, 3, 15, 1024])
def test_weights_of_any_popsize(popsize):
    es = CMAES(np.zeros(DIMENSION), 0.5, Normals(1), popsize=popsize)
    positive = es.weights[es.weights > 0]
    assert positive.size == popsize // 2 and positive.sum() == pytest.approx(1.0)
    assert np.all(np.diff(es.weights) <= 0)
    for _ in range(3):
        es.tell(sphere(es.ask()))
    assert np.all(np.isfinite(es.C)) and np.all(np.linalg.eigvalsh(es.C) > 0)


@pytest.mark.parametrize("scale", [0.5, 2.0, 1e3])
def test_a_scaled_rank_mu_rate_keeps_the_update_a_convex_one(scale):
    # The worse half's weights follow the scaled rate: the covariance keeps
    # a positive share of itself and stays positive definite.
    standard = CMAES(np.zeros(DIMENSION), 0.5, Normals(1), popsize=64)
    es = CMAES(np.zeros(DIMENSION), 0.5, Normals(1), popsize=64, rank_mu_scale=scale)
    assert es.cmu == min(1 - es.c1, scale * standard.cmu)
    assert np.all(es.weights[es.weights < 0] < 0)
    for _ in range(5):
        es.tell(sphere(es.ask()))
    assert np.all(np.linalg.eigvalsh(es.C) > 0)


def test_another_population_goes_on_from_the_same_distribution():
    import json
    es = CMAES(np.ones(DIMENSION), 0.3, Normals(5), popsize=64, rank_mu_scale=2.0)
    for _ in range(30):
        es.tell(rotated_ellipsoid(es.ask()))
    small = es.with_popsize(8)
    assert (small.popsize, small.generation, small.sigma) == (8, 30, es.sigma)
    assert small.cmu == CMAES(np.zeros(DIMENSION), 1.0, Normals(0), 8, 2.0).cmu
    for name in ("mean", "C", "B", "D", "pc", "ps"):
        assert np.array_equal(getattr(small, name), getattr(es, name)), name
    assert small.rng.state() == es.rng.state()
    assert list(small._recent_bests) == list(es._recent_bests)
    for _ in range(25):  # past the flatness rule's memory and a decomposition
        small.tell(rotated_ellipsoid(small.ask()))
    population = small.ask()
    assert population.shape == (8, DIMENSION)
    small.tell(rotated_ellipsoid(population))
    # Its state loads into the same change of a fresh CMAES of the first
    # population, and goes on alike.
    saved = json.loads(json.dumps(small.save_state(), default=lambda a: a.tolist()))
    again = CMAES(np.zeros(DIMENSION), 1.0, Normals(0), popsize=64,
                  rank_mu_scale=2.0).with_popsize(8)
    again.load_state(saved)
    for optimizer in (small, again):
        optimizer.tell(rotated_ellipsoid(optimizer.ask()))
    assert np.array_equal(again.mean, small.mean) and again.sigma == small.sigma
    small.ask()
    with pytest.raises(RuntimeError):
        small.with_popsize(4)


def test_rows_outside_the_bounds_are_drawn_again_and_learned_as_returned():
    # A mean on the bound puts about half of each value outside: with
    # enough tries every row comes back inside; those inside at first keep
    # their first draw; with no tries the population is ask()'s.
    def started():
        return CMAES(np.full(4, 1.0), 0.5, Normals(9), popsize=32)
    first = started().ask()
    inside = np.flatnonzero(((first >= -1) & (first <= 1)).all(axis=1))
    assert 0 < len(inside) < len(first)
    again = started().ask_within(-1.0, 1.0, 100)
    assert np.all((again >= -1) & (again <= 1))
    assert np.array_equal(again[inside], first[inside])
    assert np.array_equal(started().ask_within(-1.0, 1.0, 0), first)
    # One try draws every outside row once more, as one block.
    once = started().ask_within(-1.0, 1.0, 1)
    assert np.array_equal(once[inside], first[inside])
    assert not np.array_equal(once, first)
    # The update reads the rows as returned: the mean moves to their best.
    es = started()
    rows = es.ask_within(-1.0, 1.0, 100)
    es.tell(sphere(rows))
    assert np.all(es.mean <= 1.0)


def test_the_covariance_stays_exactly_symmetric_between_decompositions():
    # The eigendecomposition reads C as it stands, without making it
    # symmetric first.
    es = CMAES(np.zeros(DIMENSION), 0.5, Normals(3), popsize=16)
    for _ in range(60):
        es.tell(sphere(es.ask()))
        assert np.array_equal(es.C, es.C.T) and not np.signbit(es.C[es.C == 0]).any()


def test_the_path_bias_stops_computing_only_where_it_is_one():
    for popsize in (2, 15, 1024, 65536):
        es = CMAES(np.zeros(DIMENSION), 0.5, Normals(1), popsize=popsize)
        for generation in range(1, 1500):
            es.generation = generation
            exact = math.sqrt(1 - _power(1 - es.cs, 2 * generation))
            assert es._ps_bias() == exact, (popsize, generation)


def test_state_saved_as_json_goes_on_exactly_and_bad_states_change_nothing():
    import json

    def run(es, generations):
        values = []
        for _ in range(generations):
            population = es.ask()
            es.tell(rotated_ellipsoid(population))
            values.append((es.mean.tolist(), es.sigma, es.stop()))
        return values

    # Popsize 6 in 40 dimensions decomposes every few generations: the
    # schedule, the flatness rule's memory and the generator all carry over.
    original = CMAES(np.ones(DIMENSION), 0.3, Normals(5), popsize=6)
    run(original, 37)
    kept = original.save_state()  # shares the optimizer's arrays, which it must not change
    saved = json.loads(json.dumps(kept, default=lambda a: a.tolist()))
    resumed = CMAES(np.zeros(DIMENSION), 1.0, Normals(0), popsize=6)
    resumed.load_state(saved)
    assert run(resumed, 60) == run(original, 60)
    assert json.dumps(kept, default=lambda a: a.tolist()) == json.dumps(saved)
    assert (json.dumps(resumed.save_state(), default=lambda a: a.tolist())
            == json.dumps(original.save_state(), default=lambda a: a.tolist()))

    good = json.loads(json.dumps(saved))
    for edit in [
        lambda s: s.update(popsize=7),
        lambda s: s.update(mean=s["mean"][:-1]),
        lambda s: s.update(C=[[1.0] * DIMENSION] * (DIMENSION - 1)),
        lambda s: s.update(sigma=-1.0),
        lambda s: s.update(D=[float("nan")] * DIMENSION),
        lambda s: s.update(B="eye"),
        lambda s: s.update(generation=1.5),
        lambda s: s.update(decomposed_at=s["generation"] + 1),
        lambda s: s.update(recent_bests=[0.0] * 1000),
        lambda s: s.pop("ps"),
        lambda s: s.update(extra=1),
        lambda s: s.update(rng=s["rng"][:3]),
        lambda s: s.update(rng=[-1, 0, 0, 0]),
        lambda s: s.update(rng=[0, 0, 0, 0]),
        lambda s: s.update(rng=[2**64, 0, 0, 0]),
        lambda s: s.update(rng=["1", 0, 0, 0]),
    ]:
        state = json.loads(json.dumps(good))
        edit(state)
        target = CMAES(np.zeros(DIMENSION), 1.0, Normals(0),
                       popsize=6)
        before = target.save_state()
        with pytest.raises(ValueError):
            target.load_state(state)
        after = target.save_state()
        assert all(np.array_equal(before[k], after[k]) if isinstance(before[k], np.ndarray)
                   else before[k] == after[k] for k in before)


def test_ranks_are_the_stable_order_also_with_ties_and_nan():
    from zorv.cma_es import _ranks
    rng = np.random.default_rng(5)
    distinct = rng.standard_normal(2048)
    tied = np.round(distinct, 1)  # many equal values, in no index order
    signed_zeros = np.array([0.0, -0.0, 1.0, -0.0, 0.0])
    with_nan = np.where(rng.random(2048) < 0.01, np.nan, tied)
    extremes = np.array([np.inf, -np.inf, 0.0, np.inf, -1e308, 5e-324, -5e-324, -0.0, 1e308])
    # Values that differ only in their last bits (as a converged run's do),
    # with and without ties among them, and in the few bits of a float32.
    close = 12.345 + 1e-9 * distinct
    close_floats = (12.345 + 1e-6 * distinct).astype(np.float32).astype(np.float64)
    mixed = np.concatenate([close[:40], distinct[:40], close[40:45]])
    for values in (distinct, tied, signed_zeros, with_nan, np.array([np.nan, 1.0, np.nan]),
                   extremes, np.array([2.0]), np.array([]), close, np.round(close, 12),
                   close_floats, close[:20], mixed):
        assert np.array_equal(_ranks(values), np.argsort(values, kind="stable"))
    strided = np.repeat(tied, 2)[::2]  # a view with gaps, as a caller may pass
    assert np.array_equal(_ranks(strided), np.argsort(strided, kind="stable"))
