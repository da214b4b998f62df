"""zorv.search(): CMA-ES over plans, scored with sim_batch; reproducible,
bounded, interruptible, with its history, and its JSON form round-trips;
restarted while budget is left, and resumed from any checkpoint bit for bit."""
import dataclasses
import json
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from stress_support import under_address_sanitizer

import zorv
import zorv.checkpoints
import zorv.files.reading
import zorv_fast
from zorv.searching.box import Boxed
from zorv.files.reading import load_plan
from zorv.searching.memory import PopulationTooLargeError, generation_bytes, require_population_fits
from zorv.searching.box import into_box, penalised_values
from zorv.records import History
from zorv.searching.settings import BOUNDARIES, OPTIMIZERS, RESTART_SCHEDULES

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
        # Twenty generations: in ten, a lucky first one may still stand.
        result = zorv.search(zorv.SearchSettings(seed=seed, **{**SMALL, "generations": 20}),
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


    def test_every_end_of_a_search_is_reported(self):
        small = dict(seed=1, popsize=8, chunk=4)
        by_generations = zorv.search(zorv.SearchSettings(**small, generations=3))
        by_plans = zorv.search(zorv.SearchSettings(**small, evaluations=20))
        by_default = zorv.search(zorv.SearchSettings(popsize=2, chunk=1))
        assert by_generations.stop_reasons == ["generations"] == by_default.stop_reasons
        assert by_plans.stop_reasons == ["budget"] and by_plans.evaluations == 24
        for done in (by_generations, by_plans):
            assert done.state.finished and done.state.stop_reasons == done.stop_reasons
        # Cut short: the state stays unfinished, without reasons, and resumable.
        stopped = zorv.search(zorv.SearchSettings(**small, generations=3),
                              should_stop=lambda: True)
        assert stopped.stop_reasons == ["interrupted"] and stopped.interrupted
        assert not stopped.state.finished and stopped.state.stop_reasons == []

        def failing(plans):
            raise OSError("no cluster")

        with pytest.raises(zorv.ScoringFailed) as failure:
            zorv.search(zorv.SearchSettings(**small, generations=3), score=failing)
        assert failure.value.result.stop_reasons == ["failed"]
        assert not failure.value.result.state.finished
        resumed = zorv.search(stopped.settings, resume=stopped.state)
        assert resumed.stop_reasons == ["generations"]
        assert without_seconds(resumed) == without_seconds(by_generations)

    def test_files_of_earlier_versions_resume_as_those_searches_ran(self, tmp_path):
        # Their settings leave out the plans drawn again, the rank-mu
        # rate's scale and the finish: such a file is a search that drew none and kept the
        # standard rate, cut short here and resumed.
        former = dict(resample_outside=0, rank_mu_scale=1.0, finish_share=0.0)
        settings = zorv.SearchSettings(seed=4, popsize=48, evaluations=576, checkpoint_every=0,
                                       **former)
        saved = []
        whole = zorv.search(settings, checkpoint=lambda r: saved.append(zorv.checkpoints.dumps(r)))
        data = json.loads(saved[len(saved) // 2])
        for key in former:
            del data["settings"][key], data["checkpoint"]["state"]["settings"][key]
        state = read_back(json.dumps(data), tmp_path)
        assert state.settings == settings
        resumed = zorv.search(settings, resume=state)
        assert without_seconds(resumed) == without_seconds(whole)
        # Today's defaults make another search.
        assert zorv.search(dataclasses.replace(settings, **{
            key: getattr(zorv.SearchSettings(), key) for key in former})).score != whole.score

    def test_the_finish_draws_its_population_to_the_end_and_resumes_in_it(self):
        # 1,200 plans: 15 generations of 64 (960) reach the last quarter
        # (900 plans in), then generations of 16 go to the end.
        settings = zorv.SearchSettings(seed=2, popsize=64, evaluations=1200, finish_share=0.25,
                                       finish_popsize=16, checkpoint_every=0)
        saved, steps = [], []
        whole = zorv.search(settings, checkpoint=lambda r: saved.append(r.state),
                            on_generation=steps.append)
        sizes = np.diff([0, *whole.history.evaluations])
        assert sizes.tolist() == [64] * 15 + [16] * 15 and whole.evaluations == 1200
        # The progress plans the finish's generations from the start.
        assert {step.generations for step in steps} == {30}
        for state in (saved[10], saved[14], saved[20]):  # before it, at its start, in it
            assert without_seconds(zorv.search(settings, resume=state)) == without_seconds(whole)
        # No share, or a budget in generations: one population to the end; a
        # smaller population keeps its own.
        for other, size in ((dict(finish_share=0.0), 64),
                            (dict(evaluations=None, generations=19), 64), (dict(popsize=8), 8)):
            sizes = np.diff([0, *zorv.search(dataclasses.replace(settings, **other))
                             .history.evaluations])
            assert set(sizes.tolist()) == {size}, other
        # A state in the finish's population from before its generation is refused.
        early = json.loads(json.dumps(saved[5].optimizer, default=lambda a: a.tolist()))
        early["popsize"] = 16
        optimizer = zorv.optimizers.BuiltinOptimizer(settings)
        with pytest.raises(ValueError, match="before the finish"):
            optimizer.load_state(early)

    def test_a_spent_budget_is_reported_for_files_of_earlier_versions(self, tmp_path):
        # They saved no reason for it: the search and its state said [].
        settings = zorv.SearchSettings(seed=1, popsize=8, evaluations=20)
        done = zorv.search(settings)
        data = json.loads(zorv.checkpoints.dumps(done))
        data["stop_reasons"] = data["checkpoint"]["state"]["stop_reasons"] = []
        state = read_back(json.dumps(data), tmp_path)
        assert state.finished and state.stop_reasons == []
        again = zorv.search(settings, resume=state)
        assert again.stop_reasons == ["budget"]
        assert without_seconds(again) == without_seconds(done)

    @pytest.mark.parametrize("optimizer", OPTIMIZERS)
    def test_cma_stop_rules_end_the_search_without_restarts_and_are_reported(self, optimizer):
        # A step size far below the plan's precision converges at once.
        result = zorv.search(zorv.SearchSettings(seed=1, popsize=8, generations=500,
                                                 sigma0=1e-12, optimizer=optimizer, restarts=0))
        assert result.generations < 500 and not result.interrupted
        assert "tolx" in result.stop_reasons and result.runs == 1
        assert result.score == zorv_fast.sim(result.plan)

    def test_every_stop_rule_of_the_builtin_cma_es_is_explained(self):
        from zorv.cma_es import CMAES, STOP_RULES, Normals
        from zorv.searching.loop import STOP_REASONS
        fired = set()
        # Converged at once: the plans no longer move, their values no longer change.
        es = CMAES(np.zeros(4), 1e-13, Normals(1), popsize=6)
        for _ in range(3):
            es.ask()
            es.tell(np.ones(6))
        fired.update(es.stop())
        # One axis ten million times shorter than the others.
        es = CMAES(np.zeros(4), 0.5, Normals(1), popsize=6)
        state = es.save_state()
        axes = np.array([1e-7, 1.0, 1.0, 1.0])
        es.load_state({**state, "D": axes, "C": np.diag(axes ** 2)})
        fired.update(es.stop())
        assert fired == set(STOP_RULES) == {"tolx", "tolfun", "conditioncov"}
        assert set(STOP_REASONS) == {*STOP_RULES, "stalled", "budget", "generations",
                                     "interrupted", "failed"}
        assert all(text and "\n" not in text for text in STOP_REASONS.values())


class TestSettings:
    @pytest.mark.parametrize("kwargs", [
        dict(seed=-1), dict(seed=2**32), dict(popsize=1), dict(generations=0),
        dict(evaluations=0), dict(generations=3, evaluations=30), dict(sigma0=0.0),
        dict(sigma0=float("nan")), dict(chunk=0), dict(optimizer=""), dict(optimizer="a\nb"),
        dict(boundary="clip"), dict(resample_outside=-1), dict(resample_outside=1001),
        dict(resample_outside=2.5), dict(rank_mu_scale=0), dict(rank_mu_scale=float("inf")),
        dict(rank_mu_scale=101), dict(finish_share=-0.1), dict(finish_share=1.5),
        dict(finish_share=float("nan")), dict(finish_popsize=1), dict(finish_popsize=32.0),
    ])
    def test_rejected(self, kwargs):
        with pytest.raises(ValueError):
            zorv.SearchSettings(**kwargs)

    @pytest.mark.parametrize("start, words", [
        ([0.0] * 39, "must be a plan of 40 numbers, got 39 numbers"),
        ([0.0] * 41, "got 41 numbers"),
        ([0.0] * 39 + ["0.5"], "value 39 is not a number: '0.5'"),
        ([None] + [0.0] * 39, "value 0 is not a number: None"),
        ([True] * 40, "value 0 is not a number: True"),
        ([0.0] * 10 + [float("nan")] + [0.0] * 29, "value 10 must be finite, got nan"),
        ([float("-inf")] * 40, "value 0 must be finite"),
        ("0" * 40, "must be a plan of 40 numbers, got '000"),
        (1.0, "must be a plan of 40 numbers, got 1.0"),
    ])
    def test_a_start_plan_is_forty_finite_numbers(self, start, words):
        with pytest.raises(ValueError) as refused:
            zorv.SearchSettings(start=start)
        message = str(refused.value)
        assert message.startswith("start ") and words in message and "\n" not in message
        assert refused.value.setting == "start"

    def test_a_start_plan_is_kept_as_sim_reads_it(self):
        given = np.linspace(-2.0, 2.0, 40, dtype=np.float32)
        settings = zorv.SearchSettings(start=given)
        assert settings.start == tuple(float(v) for v in np.clip(given, -1, 1))
        assert hash(settings) == hash(zorv.SearchSettings(start=list(settings.start)))
        # Files of searches from the zero plan hold no start, as before.
        assert "start" not in zorv.SearchSettings().as_dict()
        assert zorv.SearchSettings(**settings.as_dict()) == settings


class TestMemory:
    @pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads VmHWM")
    @pytest.mark.skipif(under_address_sanitizer(),
                        reason="the sanitizer's allocator keeps freed memory and maps its shadow")
    @pytest.mark.parametrize("optimizer", OPTIMIZERS)
    def test_the_estimate_bounds_what_a_generation_takes(self, optimizer):
        # In a process of its own, whose peak resident memory (VmHWM, which
        # unlike ru_maxrss starts afresh with the program) is the search's
        # alone; the transform is the boundary that takes the most.
        popsize = 50_000
        script = textwrap.dedent(f"""
            import zorv
            from zorv.optimizers import _import_cma

            def peak():
                with open("/proc/self/status") as status:
                    line = next(line for line in status if line.startswith("VmHWM:"))
                return int(line.split()[1]) * 1024

            _import_cma()  # NumPy and the cma package are not the search's
            zorv.sim_batch([[0.0] * 40])
            before = peak()
            zorv.search(zorv.SearchSettings(popsize={popsize}, generations=2, chunk={popsize},
                                            optimizer="{optimizer}", boundary="transform"))
            print(peak() - before)
        """)
        result = subprocess.run([sys.executable, "-c", script], capture_output=True,
                                text=True, timeout=300)
        assert result.returncode == 0, result.stderr
        taken = int(result.stdout)
        estimate = generation_bytes(popsize, optimizer)
        assert 0.5 * estimate < taken <= estimate, f"{taken / estimate:.2f} of the estimate"

    @pytest.mark.parametrize("optimizer", OPTIMIZERS)
    def test_too_large_a_population_is_refused_before_it_is_drawn(self, optimizer):
        needed = generation_bytes(1000, optimizer)
        require_population_fits(1000, optimizer, available=needed)
        with pytest.raises(PopulationTooLargeError, match="popsize 1000 needs"):
            require_population_fits(1000, optimizer, available=needed - 1)
        with pytest.raises(PopulationTooLargeError):
            zorv.search(zorv.SearchSettings(popsize=10**12, optimizer=optimizer))


def test_the_package_loads_its_parts_on_first_use():
    # A fresh interpreter: nothing of the search is loaded before it is used,
    # and search and trace stay functions, whichever import comes first.
    script = textwrap.dedent("""
        import sys
        import zorv
        assert "numpy" not in sys.modules and "zorv.searching.loop" not in sys.modules
        assert zorv.body.PLAN_SIZE == 40 and zorv.HEAD == zorv.body.HEAD
        import zorv.motion.positions, zorv.searching.loop
        from zorv.searching.settings import SearchSettings
        assert callable(zorv.search) and callable(zorv.trace)
        assert zorv.SearchSettings is SearchSettings
        assert zorv.search(SearchSettings(popsize=4, generations=1)).generations == 1
        assert set(zorv.__all__) <= set(dir(zorv))
        try:
            zorv.no_such_name
        except AttributeError:
            pass
        else:
            raise AssertionError("no AttributeError")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr


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
    # Where floats lie farther apart than the period, still in the box.
    far = np.append(np.geomspace(1e14, 1e308, 10_000), np.finfo(float).max)
    assert np.abs(into_box(np.concatenate([far, -far]))).max() <= 1.0


def test_clipped_plans_have_np_clips_bits():
    edges = [-np.inf, -1e300, -1.0000000000000002, -1.0, -0.9999999999999999, -0.0, 0.0,
             5e-324, 0.9999999999999999, 1.0, 1.0000000000000002, 1e300, np.inf, np.nan]
    points = np.resize(np.array(edges), (7, zorv.body.PLAN_SIZE))
    plans = Boxed("penalty").plans_of(points)
    assert plans.tobytes() == np.clip(points, -1.0, 1.0).tobytes()


def penalised_reference(points, plans, distances):
    """The penalised values with every sum written out in index order."""
    def in_order(values):
        total = 0.0
        for value in values:
            total += value
        return total

    rows, n = points.shape
    outside = [in_order(d * d for d in row) for row in (points - plans).tolist()]
    if not any(outside):
        return -distances + np.array(outside)
    ordered = np.sort(distances)
    quartile_range = float(ordered[3 * rows // 4] - ordered[rows // 4])
    squares = in_order(in_order(v * v for v in row) for row in points.tolist())
    centre = [in_order((1.0 / rows) * v for v in column) for column in points.T.tolist()]
    spread = squares / (rows * n) - in_order(c * c for c in centre) / n
    weight = 2 * max(quartile_range, 1e-12) / max(spread, 1e-300)
    return -distances + weight * np.array(outside)


def test_penalised_values_weigh_the_points_outside_by_the_spreads():
    rng = np.random.default_rng(5)
    points = rng.normal(0.0, 0.8, (37, 6))
    plans = np.clip(points, -1.0, 1.0)
    distances = rng.normal(3.0, 1.0, 37)
    ties = np.full(37, 2.5)  # no quartile range: its floor weighs
    with_nan = distances.copy()
    with_nan[4] = np.nan  # sorts last, as NumPy sorts it
    inside = np.clip(points, -0.5, 0.5)
    for points, plans, distances in [(points, plans, distances), (points, plans, ties),
                                     (points, plans, with_nan), (inside, inside, distances),
                                     (inside, inside, np.zeros(37))]:
        values = penalised_values(points, plans, distances)
        expected = penalised_reference(points, plans, distances)
        # The same bits, but for a NaN's sign.
        assert np.array_equal(np.isnan(values), np.isnan(expected))
        assert values[~np.isnan(values)].tobytes() == expected[~np.isnan(expected)].tobytes()


#: Runs that converge within tens of generations: restarts come quickly.
RESTARTING = dict(seed=2, popsize=8, evaluations=20_000, sigma0=1e-11)


def without_seconds(result):
    """The result and its state, but for the wall-clock seconds and the
    chunk size (which changes nothing else)."""
    data = zorv.checkpoints.to_json(result)
    del data["seconds"], data["history"]["seconds"], data["settings"]["chunk"]
    if "checkpoint" in data:
        state = data["checkpoint"]["state"]
        del state["elapsed"], state["history"]["seconds"], state["settings"]["chunk"]
    return json.loads(json.dumps(data, default=lambda a: a.tolist()))


class TestRestarts:
    @pytest.mark.parametrize("schedule", RESTART_SCHEDULES)
    def test_spend_the_budget_and_keep_the_best_of_all_runs(self, schedule):
        one = zorv.search(zorv.SearchSettings(**RESTARTING, restarts=0))
        result = zorv.search(zorv.SearchSettings(**RESTARTING, restart_schedule=schedule))
        assert one.runs == 1 and one.evaluations < 20_000 and one.stop_reasons
        history = result.history
        assert result.runs >= 2 and history.run_starts[0] == 0
        assert result.evaluations >= 20_000 and result.stop_reasons == ["budget"]
        assert history.evaluations[-1] == result.evaluations
        assert result.score == history.best[-1] == max(history.best)
        # The first run is the run without restarts.
        first = history.run_starts[1]
        assert history.best[:first] == one.history.best
        assert history.evaluations[:first] == one.history.evaluations
        limited = zorv.search(zorv.SearchSettings(**{**RESTARTING, "sigma0": 1e-12},
                                                  restart_schedule=schedule, restarts=2))
        assert limited.runs == 3 and "tolx" in limited.stop_reasons

    def test_schedules(self):
        from zorv.searching.restarts import first_run, next_run
        ipop = zorv.SearchSettings(popsize=256, restart_schedule="ipop")
        run = first_run(ipop)
        sizes = [run.popsize]
        for _ in range(4):
            run = next_run(ipop, run, 1000)
            sizes.append(run.popsize)
        assert sizes == [256, 512, 1024, 2048, 4096] and run.sigma0 == ipop.sigma0
        same = zorv.SearchSettings(popsize=256, restart_schedule="same")
        run = next_run(same, next_run(same, first_run(same), 1000), 1000)
        assert (run.index, run.popsize, run.sigma0) == (2, 256, same.sigma0)
        bipop = zorv.SearchSettings(popsize=256, restart_schedule="bipop")
        run, kinds = first_run(bipop), []
        for _ in range(12):
            spent = 100 * run.popsize  # a hundred generations a run
            run = next_run(bipop, run, spent)
            kinds.append(run.small)
            largest = 256 * 2 ** (run.large_runs - 1)
            if run.small:
                assert 15 <= run.popsize <= max(15, largest // 2)
                assert 0.01 * bipop.sigma0 <= run.sigma0 <= bipop.sigma0
            else:
                assert run.popsize == largest and run.sigma0 == bipop.sigma0
        # Both kinds get turns, and about the same evaluations.
        assert kinds[0] and False in kinds
        assert run.small_evaluations <= run.large_evaluations


def found_plan():
    """The best plan of a short search."""
    return small_search(5, generations=15).plan


class TestWarmStart:
    @pytest.mark.parametrize("optimizer", OPTIMIZERS)
    def test_every_run_starts_from_the_start_plan(self, optimizer):
        start = found_plan()
        asked = []

        def scorer(plans):
            asked.append(np.array(plans))
            return zorv_fast.sim_batch(plans)

        settings = zorv.SearchSettings(**{**RESTARTING, "evaluations": 2_000}, start=start,
                                       optimizer=optimizer)
        result = zorv.search(settings, score=scorer)
        assert result.runs >= 2 and result.settings.start == tuple(start)
        spread = max(float(np.abs(plans - np.array(start)).max()) for plans in asked)
        assert spread < 1e-6
        # The start plan is the best until a plan goes farther.
        assert result.history.best[0] >= zorv_fast.sim(start)
        assert result.score >= zorv_fast.sim(start)

    def test_a_refinement_ends_at_least_as_far_as_its_start(self):
        first = small_search(4, generations=12)
        refined = small_search(9, generations=5, sigma0=0.05, start=first.plan)
        assert refined.score >= first.score
        assert refined.history.best == sorted(refined.history.best)
        assert refined.history.best[0] >= first.score

    def test_resumed_from_any_checkpoint_bit_for_bit(self, tmp_path):
        settings = zorv.SearchSettings(**RESTARTING, restart_schedule="bipop",
                                       checkpoint_every=0, start=found_plan())
        saved = []
        full = zorv.search(settings, checkpoint=lambda r: saved.append(
            zorv.checkpoints.dumps(r)) if len(r.history) % 41 == 1 else None)
        assert len(saved) > 3 and full.runs >= 2
        for text in saved[::2] + [saved[-1]]:
            state = read_back(text, tmp_path)
            assert state.settings.start == settings.start
            resumed = zorv.search(dataclasses.replace(settings, chunk=5), resume=state)
            assert without_seconds(resumed) == without_seconds(full)
        # A start plan is part of the search: another one is refused.
        state = read_back(saved[0], tmp_path)
        for other in [None, [0.5] * 40]:
            with pytest.raises(zorv.CheckpointError, match="start"):
                zorv.search(dataclasses.replace(settings, start=other), resume=state)


def read_back(text, folder):
    """The state in a result file of this text, as zorv.checkpoints.load reads it."""
    path = folder / "read-back.json"
    path.write_text(text)
    return zorv.checkpoints.load(path)


class TestResume:
    @pytest.mark.parametrize("schedule", ["ipop", "bipop"])
    def test_from_any_checkpoint_bit_for_bit(self, schedule, tmp_path):
        settings = zorv.SearchSettings(**RESTARTING, restart_schedule=schedule,
                                       checkpoint_every=0)
        saved = []
        full = zorv.search(settings, checkpoint=lambda r: saved.append(
            zorv.checkpoints.dumps(r)) if len(r.history) % 37 == 1 else None)
        assert len(saved) > 5 and full.runs >= 2
        for text in saved[::3] + [saved[-1]]:
            state = read_back(text, tmp_path)
            resumed = zorv.search(dataclasses.replace(settings, chunk=5), resume=state)
            assert without_seconds(resumed) == without_seconds(full)

    @pytest.mark.parametrize("how", ["stop request", "scorer fails"])
    def test_cut_short_mid_generation_then_resumed(self, how, tmp_path):
        settings = zorv.SearchSettings(**RESTARTING, chunk=3)
        full = zorv.search(settings)
        calls = []

        def scorer(plans):
            calls.append(None)
            if how == "scorer fails" and len(calls) == 700:
                raise ConnectionError("the cluster went away")
            return zorv_fast.sim_batch(plans)

        if how == "scorer fails":
            with pytest.raises(zorv.ScoringFailed) as failure:
                zorv.search(settings, score=scorer)
            cut = failure.value.result
            assert "ConnectionError: the cluster went away" in str(failure.value)
        else:
            cut = zorv.search(settings, score=scorer, should_stop=lambda: len(calls) == 700)
        assert cut.interrupted and cut.score == zorv_fast.sim(cut.plan)
        assert cut.state.generation == cut.generations < full.generations
        assert cut.state.best_score <= cut.score <= full.score
        resumed = zorv.search(settings, resume=read_back(zorv.checkpoints.dumps(cut), tmp_path))
        assert without_seconds(resumed) == without_seconds(full)
        # Resuming a finished search changes nothing.
        again = zorv.search(settings, resume=resumed.state)
        assert without_seconds(again) == without_seconds(full)

    def test_only_settings_that_do_not_change_the_search_may_change(self):
        state = small_search(1, generations=3).state
        for change in [dict(seed=2), dict(popsize=16), dict(generations=4), dict(sigma0=0.4),
                       dict(boundary="transform"), dict(restarts=0),
                       dict(restart_schedule="bipop")]:
            with pytest.raises(zorv.CheckpointError, match=next(iter(change))):
                zorv.search(zorv.SearchSettings(**{**SMALL, "seed": 1, **change}), resume=state)

    def test_pycma_searches_are_not_resumed(self):
        result = zorv.search(zorv.SearchSettings(seed=1, popsize=8, optimizer="pycma"),
                             should_stop=lambda: True)
        assert result.state.optimizer is None and not result.state.finished
        with pytest.raises(zorv.CheckpointError, match="cannot be resumed"):
            zorv.search(result.settings, resume=result.state)


def leaves(value, path=()):
    """The paths of the numbers, strings and the like in JSON data: of each
    list, those of its first and last items."""
    if isinstance(value, dict):
        for key, item in value.items():
            yield from leaves(item, (*path, key))
    elif isinstance(value, list):
        for index in sorted({0, len(value) - 1}) if value else []:
            yield from leaves(value[index], (*path, index))
    else:
        yield path


class TestCheckpointFiles:
    """Every file a search writes loads back; what no file can hold is
    refused in one line as the file is made, and an edited file as it is
    loaded."""

    def test_numpy_scalars_are_written_as_the_numbers_they_are(self, tmp_path):
        given = zorv.SearchSettings(seed=np.uint32(3), popsize=np.int64(16),
                                    generations=np.int64(3), sigma0=np.float32(0.5),
                                    chunk=np.int8(100), checkpoint_every=np.float64(0))
        plain = zorv.SearchSettings(seed=3, popsize=16, generations=3, sigma0=0.5, chunk=100,
                                    checkpoint_every=0.0)
        assert given == plain and hash(given) == hash(plain)
        assert {type(v) for v in given.as_dict().values()} <= {int, float, str, type(None)}
        assert zorv.SearchSettings(sigma0=np.float32(0.1)).sigma0 == float(np.float32(0.1))
        path = tmp_path / "run.json"
        zorv.search(given, checkpoint=lambda r: zorv.checkpoints.save(path, r))
        assert zorv.checkpoints.load(path).settings == plain

        class Counting(self.Wandering):
            def save_state(self):
                return {"count": np.int64(self.count), "spread": np.float32(0.25),
                        "seen": np.arange(3, dtype=np.uint16),
                        "pair": (np.bool_(True), np.float16(0.5))}

        result = zorv.search(zorv.SearchSettings(popsize=8, generations=3), optimizer=Counting())
        zorv.checkpoints.save(path, result)
        saved = zorv.checkpoints.load(path).optimizer
        assert saved == {"count": 3, "spread": 0.25, "seen": [0, 1, 2], "pair": [True, 0.5]}
        assert type(saved["count"]) is int and type(saved["spread"]) is float

    class Wandering:
        """One's own optimizer: random plans, counted."""

        def __init__(self):
            self.rng, self.count = np.random.default_rng(1), 0

        def ask(self):
            return self.rng.uniform(-1.0, 1.0, (8, 40))

        def tell(self, distances):
            self.count += 1

        def load_state(self, state):
            self.count = state["count"]

    @pytest.mark.parametrize("optimizer_state, words", [
        ({"best": -np.inf}, "the optimizer's state cannot be saved: state['best'] is -inf, "
                            "which a checkpoint file cannot hold"),
        ({"C": np.array([[1.0, 2.0], [np.nan, 1.0]])}, "state['C'][1][0] is nan"),
        ({"runs": [{"n": 10**400}]}, "state['runs'][0]['n'] is an integer of 1329 bits"),
        ({"z": 1j}, "state['z'] is 1j of type complex"),
        ({"z": np.ones(2, complex)}, "state['z'] is an array of complex128"),
        ({3: 1.0}, "state has the key 3"),
        ({"third": np.longdouble(1) / 3}, "which a checkpoint file cannot hold exactly"),
    ])
    def test_what_no_file_can_hold_is_refused_naming_where(self, optimizer_state, words):
        result = zorv.search(zorv.SearchSettings(popsize=8, generations=2),
                             optimizer=self.Wandering())
        result.state.optimizer = optimizer_state
        with pytest.raises(zorv.checkpoints.UnwritableValueError) as refused:
            zorv.checkpoints.dumps(result)
        assert words in str(refused.value) and "\n" not in str(refused.value)
        result.state.optimizer = None
        result.history.median[1] = float("nan")
        with pytest.raises(zorv.checkpoints.UnwritableValueError,
                           match=r"the result cannot be saved: history\['median'\]\[1\] is nan"):
            zorv.checkpoints.dumps(result)

    def test_the_deepest_state_a_file_holds_is_read_back(self, tmp_path):
        from zorv.checkpoints import MAX_DEPTH
        result = zorv.search(zorv.SearchSettings(popsize=8, generations=2),
                             optimizer=self.Wandering())
        deepest: object = 0
        for _ in range(MAX_DEPTH - 1):  # the state's own dict is the first level
            deepest = [deepest]
        result.state.optimizer = {"deep": deepest}
        zorv.checkpoints.save(tmp_path / "deep.json", result)
        assert zorv.checkpoints.load(tmp_path / "deep.json").optimizer == {"deep": deepest}
        result.state.optimizer = {"deep": [deepest]}
        with pytest.raises(zorv.checkpoints.UnwritableValueError, match="nested more than"):
            zorv.checkpoints.dumps(result)

    @pytest.mark.parametrize("boundary", BOUNDARIES)
    def test_the_largest_step_size_writes_files_that_load_and_resume(self, boundary, tmp_path):
        from zorv.searching.settings import MAX_SIGMA0
        with pytest.raises(ValueError, match="sigma0 must be a positive number of at most"):
            zorv.SearchSettings(sigma0=MAX_SIGMA0 * 1.5)
        settings = zorv.SearchSettings(popsize=8, generations=40, sigma0=MAX_SIGMA0,
                                       boundary=boundary, checkpoint_every=0)
        saved = []
        full = zorv.search(settings, checkpoint=lambda r: saved.append(zorv.checkpoints.dumps(r)))
        path = tmp_path / "full.json"
        path.write_text(zorv.checkpoints.dumps(full))
        assert load_plan(path) == full.plan and all(-1.0 <= v <= 1.0 for v in full.plan)
        assert zorv.files.reading.load_curve(path).history == full.history
        resumed = zorv.search(settings, resume=read_back(saved[len(saved) // 2], tmp_path))
        assert without_seconds(resumed) == without_seconds(full)

    def test_every_single_field_edit_is_refused_in_one_line_or_resumes(self, tmp_path):
        """An edited checkpoint is refused in one line, or it holds a state
        that a search can go on from: then to a result whose file loads."""
        settings = zorv.SearchSettings(seed=3, popsize=16, generations=8, checkpoint_every=0)
        texts = []
        zorv.search(settings, checkpoint=lambda r: texts.append(zorv.checkpoints.dumps(r)))
        original = json.loads(texts[4])
        path = tmp_path / "edited.json"
        outcomes = {"refused": 0, "resumed": 0}
        for where in leaves(original["checkpoint"]["state"]):
            for value in ["x", None, True, -5, 0.5, 1e300, -1e300]:
                data = json.loads(texts[4])
                *above, last = where
                place = data["checkpoint"]["state"]
                for key in above:
                    place = place[key]
                place[last] = value
                path.write_text(json.dumps(data))
                try:
                    state = zorv.checkpoints.load(path)
                    path.write_text(zorv.checkpoints.dumps(zorv.search(state.settings,
                                                                       resume=state)))
                except ValueError as error:  # CheckpointError among them
                    assert "\n" not in str(error), (where, value)
                    outcomes["refused"] += 1
                    continue
                zorv.checkpoints.load(path)
                zorv.files.reading.load_curve(path)
                outcomes["resumed"] += 1
        assert outcomes["refused"] > 300 and outcomes["resumed"] > 20, outcomes

    def test_a_loaded_state_and_its_copy_share_nothing(self):
        data = json.loads(zorv.checkpoints.dumps(small_search(1, generations=3)))
        data = data["checkpoint"]["state"]
        state = zorv.SearchState.from_json(data)
        before = json.dumps(state.to_json())
        data["optimizer"]["C"][0][0] = 5.0
        data["history"]["best"].append(1.0)
        copied = state.copy()
        copied.optimizer["mean"][0] = 7.0
        copied.history.best.append(1.0)
        copied.run_progress.record(9.0)
        copied.best_plan[0] = 0.5
        assert json.dumps(state.to_json()) == before


def load_example(name):
    import importlib.util
    path = os.path.join(os.path.dirname(__file__), os.pardir, "examples", f"{name}.py")
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


class TestOwnOptimizer:
    """examples/own_optimizer.py's RandomSearch, run as the built-in ones are."""

    SETTINGS = zorv.SearchSettings(seed=4, popsize=16, evaluations=8_000, chunk=5,
                                   optimizer="random-search", checkpoint_every=0)

    @staticmethod
    def make(settings, run):
        return load_example("own_optimizer").RandomSearch(settings.seed + run.index, run.popsize)

    # Named in the settings, or left at the default: RandomSearch's own name.
    @pytest.mark.parametrize("named", ["random-search", "builtin"])
    def test_restarted_checkpointed_resumed_and_plotted(self, named):
        settings = dataclasses.replace(self.SETTINGS, optimizer=named)
        saved = []
        full = zorv.search(settings, optimizer=self.make, checkpoint=lambda r: saved.append(
            zorv.checkpoints.dumps(r)) if len(r.history) % 41 == 1 else None)
        assert full.runs >= 2 and full.evaluations >= 8_000 and full.stop_reasons == ["budget"]
        assert full.score == zorv_fast.sim(full.plan) == max(full.history.best)
        for text in saved[::2] + [saved[-1]]:
            state = zorv.SearchState.from_json(json.loads(text)["checkpoint"]["state"])
            assert state.optimizer is not None
            assert state.settings.optimizer == "random-search"
            resumed = zorv.search(settings, optimizer=self.make, resume=state)
            assert without_seconds(resumed) == without_seconds(full)
        data = json.loads(zorv.checkpoints.dumps(full))
        assert data["made_by"]["zorv_fast"] == zorv.__version__
        curve = zorv.records.Curve.from_result(data)
        assert curve.label == "random-search, popsize 16, seed 4"
        assert curve.history.run_starts == full.history.run_starts

    def test_its_checkpoints_at_restarts_are_read_back(self, tmp_path):
        # A fresh RandomSearch has no best distance yet: its state must not
        # hold one that JSON cannot (-Infinity), which checkpoints.load refuses.
        written = []

        def save_at_restarts(result):
            starts = result.history.run_starts
            if len(starts) > 1 and starts[-1] == len(result.history):
                written.append(tmp_path / f"restart-{len(starts) - 1}.json")
                zorv.checkpoints.save(written[-1], result)

        zorv.search(self.SETTINGS, optimizer=self.make, checkpoint=save_at_restarts)
        assert written
        for path in written:
            resumed = zorv.search(self.SETTINGS, optimizer=self.make,
                                  resume=zorv.checkpoints.load(path))
            assert resumed.evaluations >= self.SETTINGS.evaluations

    class Unnamed:
        """An optimizer with no name of its own."""

        def __init__(self, seed=1, popsize=8):
            self.rng = np.random.default_rng(seed)
            self.popsize = popsize

        def ask(self):
            return self.rng.uniform(-1.0, 1.0, (self.popsize, 40))

        def tell(self, distances):
            pass

    @pytest.mark.parametrize("given, offered, expected", [
        ("builtin", None, "Unnamed"),                 # no name: its class's
        ("builtin", "my-search", "my-search"),
        ("pycma", "my-search", "my-search"),          # a built-in name is never given to it
        ("builtin", "pycma", "Unnamed"),
        ("builtin", "", "Unnamed"), ("builtin", "two\nlines", "Unnamed"),
        ("builtin", "x" * 101, "Unnamed"), ("builtin", 42, "Unnamed"),
        ("mine", "my-search", "mine"),                # a name of one's own in the settings
    ])
    @pytest.mark.parametrize("as_factory", [False, True])
    def test_the_result_names_ones_own_optimizer(self, given, offered, expected, as_factory):
        kind = type("Unnamed", (self.Unnamed,), {} if offered is None else {"name": offered})
        made_with = []

        def make(settings, run):
            made_with.append(settings)
            return kind(settings.seed + run.index)

        settings = zorv.SearchSettings(popsize=8, generations=2, optimizer=given)
        result = zorv.search(settings, optimizer=make if as_factory else kind())
        assert result.settings == dataclasses.replace(settings, optimizer=expected)
        assert result.state.settings == result.settings
        assert json.loads(zorv.checkpoints.dumps(result))["settings"]["optimizer"] == expected
        assert made_with == ([settings] if as_factory else [])  # made with the settings given

    def test_a_class_named_as_a_built_in_one_is_named_with_its_module(self):
        pycma = type("pycma", (self.Unnamed,), {})
        result = zorv.search(zorv.SearchSettings(popsize=8, generations=1), optimizer=pycma())
        assert result.settings.optimizer == f"{__name__}.pycma"

    def test_the_builtin_optimizer_given_as_ones_own_keeps_its_name(self):
        from zorv.optimizers import BuiltinOptimizer
        settings = zorv.SearchSettings(popsize=8, generations=3)
        given = zorv.search(settings, optimizer=BuiltinOptimizer)
        assert given.settings.optimizer == "builtin"
        assert without_seconds(given) == without_seconds(zorv.search(settings))

    def test_resuming_with_an_optimizer_of_another_name_is_refused(self):
        saved = []
        zorv.search(self.SETTINGS, optimizer=self.make, checkpoint=saved.append)
        state = saved[len(saved) // 2].state
        settings = dataclasses.replace(self.SETTINGS, optimizer="builtin")
        resumed = zorv.search(settings, optimizer=self.make, resume=state)
        assert resumed.settings.optimizer == "random-search"

        def renamed(settings, run):
            optimizer = self.make(settings, run)
            optimizer.name = "other-search"
            return optimizer

        with pytest.raises(zorv.CheckpointError,
                           match="optimizer 'random-search', not 'other-search'"):
            zorv.search(settings, optimizer=renamed, resume=state)
        with pytest.raises(zorv.CheckpointError, match="optimizer 'random-search', not 'builtin'"):
            zorv.search(settings, resume=state)

    @pytest.mark.parametrize("optimizer, error", [
        ("object, stopping", None),
        (lambda s, run: np.zeros(40), TypeError),                # makes no optimizer
        ("object asking for (3, 39)", (zorv.SearchFailed, "shape")),
        (42, "ask\\(\\) and tell"),
        (None, "no optimizer named 'random-search' is built in"),
    ])
    def test_objects_and_mistakes(self, optimizer, error):
        example = load_example("own_optimizer")
        if optimizer == "object, stopping":
            random_search = example.RandomSearch(1, 8)
            random_search.spread = 2e-3  # its stop rule fires after a few generations
            result = zorv.search(self.SETTINGS, optimizer=random_search)
            # Given as an object, it runs once: its stop rule ends the search.
            assert result.runs == 1 and result.stop_reasons == ["spread"]
            assert 0 < result.evaluations < 8_000 and result.evaluations % 8 == 0
            return
        if optimizer == "object asking for (3, 39)":
            narrow = example.RandomSearch(1, 3)
            narrow.ask = lambda: np.zeros((3, 39))
            optimizer = narrow
        if isinstance(error, tuple):
            error, match = error
        else:
            error, match = ((TypeError, ValueError), error) if isinstance(error, str) \
                else (error, None)
        with pytest.raises(error, match=match):
            zorv.search(self.SETTINGS, optimizer=optimizer)

    @pytest.mark.parametrize("whole", [False, True])
    def test_scorers_that_split_calls_get_whole_generations(self, whole):
        sizes = []

        class Scorer:
            whole_generations = whole

            def __call__(self, plans):
                sizes.append(len(plans))
                return zorv_fast.sim_batch(plans)

        result = zorv.search(zorv.SearchSettings(popsize=12, generations=3, chunk=5),
                             score=Scorer())
        assert sizes == ([12] * 3 if whole else [5, 5, 2] * 3)
        assert result.score == zorv.search(zorv.SearchSettings(popsize=12, generations=3)).score
