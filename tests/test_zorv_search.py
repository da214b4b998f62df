"""zorv.search(): CMA-ES over plans, scored with sim_batch; reproducible,
bounded, interruptible, with its history, and its JSON form round-trips."""
import json
import random

import numpy as np
import pytest

import zorv
import zorv_fast
from zorv.cli import load_plan
from zorv.search import BOUNDARIES, OPTIMIZERS, History, into_box

SMALL = dict(popsize=32, generations=10)


def small_search(seed, **kwargs):
    return zorv.search(zorv.SearchSettings(seed=seed, **{**SMALL, **kwargs}))


class TestReproducible:
    @pytest.mark.parametrize("seed", [0, 1, 2**32 - 1])
    def test_same_seed_same_result(self, seed):
        first, second = small_search(seed, generations=4), small_search(seed, generations=4)
        assert first.plan == second.plan
        assert first.score == second.score

    def test_other_seed_other_result(self):
        assert small_search(1, generations=4).plan != small_search(2, generations=4).plan

    @pytest.mark.parametrize("boundary", ["transform", "none"])
    def test_pycma_on_request(self, boundary):
        first, second = (small_search(7, generations=3, optimizer="pycma", boundary=boundary)
                         for _ in range(2))
        assert (first.plan, first.score) == (second.plan, second.score)
        assert first.score == zorv_fast.sim(first.plan)
        assert first.plan != small_search(7, generations=3).plan  # not the builtin one

    def test_does_not_depend_on_the_chunk_size(self):
        a = small_search(3, generations=5)
        b = small_search(3, generations=5, chunk=7)
        assert (a.plan, a.score) == (b.plan, b.score)


class TestImproves:
    @pytest.mark.parametrize("seed", [1, 2])
    def test_beats_random_plans_and_its_own_first_generation(self, seed):
        progress = []
        result = zorv.search(zorv.SearchSettings(seed=seed, **SMALL),
                             on_generation=progress.append)
        rng = random.Random(seed)
        randoms = sorted(zorv_fast.sim_batch(
            [[rng.uniform(-1.0, 1.0) for _ in range(40)] for _ in range(1000)]))
        assert result.score > randoms[990]  # above the 99th percentile
        assert result.score > progress[0].best_score

    @pytest.mark.parametrize("boundary", BOUNDARIES)
    def test_result_is_a_plan_in_the_box_and_its_exact_score(self, boundary):
        # A wide first step puts most first plans outside the box.
        result = small_search(4, sigma0=3.0, boundary=boundary)
        assert len(result.plan) == 40
        assert all(type(v) is float and -1.0 <= v <= 1.0 for v in result.plan)
        assert result.score == zorv_fast.sim(result.plan)
        assert result.generations == 10 and result.evaluations == 10 * 32
        assert not result.interrupted

    def test_history_of_every_generation(self):
        result = small_search(4, generations=6)
        history = result.history
        assert history.evaluations == [32 * g for g in range(1, 7)]
        assert history.best == sorted(history.best) and history.best[-1] == result.score
        assert all(m <= b for m, b in zip(history.median, history.best))
        assert history.seconds == sorted(history.seconds)
        assert 0 < history.seconds[-1] <= result.elapsed

    def test_progress_once_per_generation(self):
        progress = []
        zorv.search(zorv.SearchSettings(seed=5, popsize=16, generations=6),
                    on_generation=progress.append)
        assert [p.generation for p in progress] == [1, 2, 3, 4, 5, 6]
        assert all(p.generations == 6 for p in progress)
        assert [p.evaluations for p in progress] == [16 * g for g in range(1, 7)]
        bests = [p.best_score for p in progress]
        assert bests == sorted(bests)
        assert all(p.evaluations_per_second > 0 for p in progress)

    @pytest.mark.parametrize("evaluations, generations", [(1, 1), (32, 1), (33, 2), (100, 4)])
    def test_evaluation_budget_rounds_up_to_generations(self, evaluations, generations):
        result = zorv.search(zorv.SearchSettings(seed=1, popsize=32, evaluations=evaluations))
        assert result.generations == generations
        assert result.evaluations == 32 * generations


class TestStop:
    def test_stop_request_is_seen_after_each_chunk(self):
        calls = []

        def stop_on_second_chunk():
            calls.append(None)
            return len(calls) == 2

        result = zorv.search(zorv.SearchSettings(seed=1, popsize=20, generations=50, chunk=6),
                             should_stop=stop_on_second_chunk)
        assert result.interrupted
        assert len(calls) == 2
        assert result.generations == 0 and result.evaluations == 12
        assert result.score == zorv_fast.sim(result.plan)

    def test_interrupted_generation_still_counts_for_the_best_plan(self):
        settings = zorv.SearchSettings(seed=2, popsize=40, generations=3, chunk=10)
        full = []
        zorv.search(settings, on_generation=full.append)
        calls = []

        def stop_in_third_generation():  # four chunks a generation
            calls.append(None)
            return len(calls) == 10

        result = zorv.search(settings, should_stop=stop_in_third_generation)
        assert result.generations == 2 and result.evaluations == 100
        # The first two generations are those of the full run; the best plan
        # may also come from the two chunks of the third that were scored.
        assert full[1].best_score <= result.score <= full[2].best_score


    @pytest.mark.parametrize("optimizer", OPTIMIZERS)
    def test_cma_stop_rules_end_the_search_without_restarts_and_are_reported(self, optimizer):
        # A step size far below the plan's precision converges at once.
        result = zorv.search(zorv.SearchSettings(seed=1, popsize=8, generations=500,
                                                 sigma0=1e-12, optimizer=optimizer, restarts=0))
        assert result.generations < 500 and not result.interrupted
        assert "tolx" in result.stop_reasons and result.runs == 1
        assert result.score == zorv_fast.sim(result.plan)


class TestSettings:
    @pytest.mark.parametrize("kwargs", [
        dict(seed=-1), dict(seed=2**32), dict(popsize=1), dict(generations=0),
        dict(evaluations=0), dict(generations=3, evaluations=30), dict(sigma0=0.0),
        dict(sigma0=float("nan")), dict(chunk=0), dict(optimizer="cma"),
        dict(boundary="clip"),
    ])
    def test_rejected(self, kwargs):
        with pytest.raises(ValueError):
            zorv.SearchSettings(**kwargs)


class TestJson:
    def test_round_trip_keeps_every_bit(self, tmp_path):
        result = small_search(6, generations=3)
        path = tmp_path / "best.json"
        path.write_text(json.dumps(result.to_json()))
        data = json.loads(path.read_text())
        assert data["plan"] == result.plan
        assert data["score"] == result.score == zorv_fast.sim(data["plan"])
        assert data["seed"] == 6
        assert data["settings"] == result.settings.as_dict()
        assert zorv.SearchSettings(**data["settings"]) == result.settings
        assert History.from_json(data["history"]) == result.history
        assert load_plan(path) == result.plan


def test_into_box_folds_every_value_into_the_box_smoothly():
    middle = np.linspace(-0.9, 0.9, 181)
    assert np.array_equal(into_box(middle), middle)
    wide = np.linspace(-50.0, 50.0, 2_000_001)
    boxed = into_box(wide)
    assert boxed.min() == -1.0 and boxed.max() == 1.0
    # Continuous with a slope of at most 1: neighbours stay neighbours.
    assert np.abs(np.diff(boxed)).max() <= np.diff(wide).max() * (1 + 1e-9)
