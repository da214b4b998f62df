"""Studies of optimizers (zorv.compare, `zorv compare`): each run is the
search that zorv.search makes, the study's files agree with its runs', a
killed study resumes to the same study, the tables are the numbers they
claim, the library adapters keep to the budget, and a folder that cannot
take a study is refused."""
import csv
import dataclasses
import json
import math
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import zorv
from zorv import checkpoints
from zorv.studies.aggregation import (RunCurve, default_targets, fixed_budget, fixed_target,
                                      rank_sums)

#: One's own optimizer, as a user's module: uniform plans around the best.
OWN_MODULE = '''
import numpy as np

class Around:
    def __init__(self, settings, run):
        self.rng = np.random.default_rng([settings.seed, run.index])
        self.popsize, self.centre, self.best = run.popsize, np.zeros(40), None

    def ask(self):
        self.asked = np.clip(self.centre + self.rng.normal(0, 0.3, (self.popsize, 40)), -1, 1)
        return self.asked

    def tell(self, distances):
        if self.best is None or distances.max() > self.best:
            self.best, self.centre = distances.max(), self.asked[distances.argmax()]

def make(settings, run):
    if settings.seed == 13:
        raise RuntimeError("this optimizer refuses seed 13")
    return Around(settings, run)


class Saving(Around):
    """Around, with its state saved: its searches resume."""

    def save_state(self):
        return {"rng": self.rng.bit_generator.state, "centre": self.centre, "best": self.best}

    def load_state(self, state):
        self.rng.bit_generator.state = state["rng"]
        self.centre, self.best = np.array(state["centre"]), state["best"]
'''

#: Settings that restart the builtin CMA-ES within a few hundred plans:
#: the ipop schedule then doubles its population.
SETTINGS = zorv.SearchSettings(popsize=8, sigma0=1e-11, evaluations=1200)
OPTIMIZERS = ["builtin", "builtin:restart_schedule=ipop", "pycma", "own_optimizer:make"]


def without_seconds(data):
    """A result file's or a study file's data without what a clock or the
    machine decides."""
    if isinstance(data, dict):
        return {key: without_seconds(value) for key, value in data.items()
                if key not in ("seconds", "elapsed", "made_by")}
    if isinstance(data, list):
        return [without_seconds(value) for value in data]
    return data


@pytest.fixture(scope="module")
def own_module(tmp_path_factory):
    folder = tmp_path_factory.mktemp("own")
    (folder / "own_optimizer.py").write_text(OWN_MODULE)
    return folder


@pytest.fixture(scope="module")
def study(tmp_path_factory, own_module):
    sys.path.insert(0, str(own_module))
    try:
        return zorv.compare(OPTIMIZERS, [1, 2, 13], tmp_path_factory.mktemp("s") / "study",
                            settings=SETTINGS)
    finally:
        sys.path.remove(str(own_module))


class TestAStudy:
    def test_a_builtin_run_is_the_search_of_its_settings(self, study):
        for record in study.runs:
            if not record.optimizer.startswith("builtin"):
                continue
            schedule = record.optimizer.partition("restart_schedule=")[2] or "same"
            expected = zorv.search(dataclasses.replace(SETTINGS, seed=record.seed,
                                                       restart_schedule=schedule))
            written = json.loads((study.folder / record.file).read_text())
            assert written["plan"] == expected.plan and written["score"] == expected.score
            assert without_seconds(written["history"]) == without_seconds(
                expected.history.to_json())
            assert written["settings"] == expected.settings.as_dict()
        ipop = [r for r in study.runs if r.optimizer == "builtin:restart_schedule=ipop"]
        runs = json.loads((study.folder / ipop[0].file).read_text())["checkpoint"]["state"]["run"]
        assert runs["index"] > 0 and runs["popsize"] > SETTINGS.popsize  # it restarted, doubled

    def test_the_study_file_and_summary_agree_with_the_run_files(self, study):
        data = json.loads((study.folder / "study.json").read_text())
        assert data["optimizers"] == OPTIMIZERS and data["seeds"] == [1, 2, 13]
        assert data["budget"] == 1200 and data["made_by"]["zorv_fast"] == zorv.__version__
        histories = {}
        for record in data["runs"]:
            if record["optimizer"] == "own_optimizer:make" and record["seed"] == 13:
                assert record["status"] == "failed" and record["best"] is None
                assert record["reason"] == "RuntimeError: this optimizer refuses seed 13"
                continue
            run = json.loads((study.folder / record["file"]).read_text())
            assert record["status"] == "done"
            assert (record["best"], record["evaluations"]) == (run["score"], run["evaluations"])
            histories.setdefault(record["optimizer"], []).append(run["history"])
        with open(study.folder / "summary.csv", newline="") as file:
            rows = list(csv.DictReader(file))
        assert [(row["optimizer"], row["plans"]) for row in rows] == [
            (optimizer, plans) for optimizer in OPTIMIZERS for plans in ("1000", "1200")]
        for row in rows:
            runs = histories[row["optimizer"]]
            plans = int(row["plans"])
            # Independently of the module: NumPy's median and quartiles of
            # each run's best after that many plans (its last at the budget).
            best = np.array([h["best"][-1] if plans == 1200 else
                             max([b for e, b in zip(h["evaluations"], h["best"]) if e <= plans])
                             for h in runs])
            assert int(row["runs"]) == len(runs)
            assert float(row["median"]) == np.median(best)
            assert float(row["lower_quartile"]) == pytest.approx(np.quantile(best, 0.25),
                                                                 rel=1e-15)
            assert (float(row["min"]), float(row["max"])) == (best.min(), best.max())
        for picture in ("convergence.svg", "targets.svg", "finals.svg"):
            text = (study.folder / picture).read_text()
            assert all(f">{label}: " in text for label in OPTIMIZERS)

    def test_each_run_file_is_a_result_that_show_plot_and_resume_read(self, study, tmp_path):
        record = study.runs[0]
        state = checkpoints.load(study.folder / record.file)
        assert state.finished
        for args in (["show", study.folder / record.file, "-o", tmp_path / "run.svg"],
                     ["plot", study.folder / record.file, "-o", tmp_path / "one.svg"],
                     ["plot", study.folder, "-o", tmp_path / "study.svg"],
                     ["compare", "--report", study.folder]):
            result = zorv_command(*args, cwd=tmp_path)
            assert result.returncode == 0, result.stderr
        report = zorv_command("compare", "--report", study.folder, cwd=tmp_path).stdout
        assert "4 optimizers x 3 seeds, 1,200 plans a run: 11 of 12 runs done, 1 failed" in report
        assert "own_optimizer:make seed 13: RuntimeError: this optimizer refuses seed 13" in report


def zorv_command(*args, cwd, timeout=300, env=None):
    return subprocess.run([sys.executable, "-m", "zorv", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout,
                          env=None if env is None else {**os.environ, **env})


KILLED = ("compare", "builtin", "pycma", "--seeds", "1-2", "--popsize", 32, "--evaluations",
          2000, "--checkpoint-every", 0, "-q")


def comparable_study(folder):
    """The study file and every run file, without seconds, machines, and
    how often a run started over."""
    study = without_seconds(json.loads((folder / "study.json").read_text()))
    for run in study["runs"]:
        run.pop("started_again")
    runs = {run["file"]: without_seconds(json.loads((folder / run["file"]).read_text()))
            for run in study["runs"]}
    return study, runs, (folder / "summary.csv").read_text()


@pytest.fixture(scope="module")
def uninterrupted(tmp_path_factory):
    folder = tmp_path_factory.mktemp("whole")
    result = zorv_command(*KILLED, "-o", "study", cwd=folder)
    assert result.returncode == 0, result.stderr
    return comparable_study(folder / "study")


@pytest.mark.parametrize("run_files", [1, 3])
def test_a_killed_study_resumes_to_the_uninterrupted_one(tmp_path, uninterrupted, run_files):
    """Killed once that many run files exist (while the last of them is
    written, or between runs), then resumed: every file is what the study
    never interrupted wrote; a pycma run cut short started over."""
    process = subprocess.Popen([sys.executable, "-m", "zorv", *map(str, KILLED), "-o", "study"],
                               cwd=tmp_path, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    runs = tmp_path / "study" / "runs"
    while process.poll() is None and len(list(runs.glob("*/*.json"))) < run_files:
        time.sleep(0.002)
    process.send_signal(signal.SIGKILL)
    process.wait()
    resumed = zorv_command("compare", "--resume", "-o", "study", "-q", cwd=tmp_path)
    assert resumed.returncode == 0, resumed.stderr
    assert comparable_study(tmp_path / "study") == uninterrupted
    again = zorv_command("compare", "--resume", "-o", "study", "-q", cwd=tmp_path)
    assert again.returncode == 0 and comparable_study(tmp_path / "study") == uninterrupted


def curve(optimizer, seed, evaluations, best):
    return RunCurve(optimizer, seed, tuple(evaluations), tuple(best), 2.0)


#: Three runs of "a" (populations of 500) and two of "b", by hand.
CURVES = [
    curve("a", 1, [500, 1000, 1500, 2000], [3.0, 4.0, 4.0, 6.0]),
    curve("a", 2, [500, 1000, 1500, 2000], [2.5, 5.0, 7.0, 7.5]),
    curve("a", 3, [500, 1000, 1500], [1.0, 1.5, 8.0]),  # stopped early: keeps its last
    curve("b", 1, [1200, 2400], [9.0, 9.5]),
    curve("b", 2, [1200, 2400], [9.25, 10.0]),
]


class TestTables:
    def test_fixed_budget(self):
        table = fixed_budget(CURVES, ["a", "b", "c"], 2000)
        rows = {(row[0], row[1]): row[2:] for row in table.rows}
        assert list(rows) == [("a", 1000), ("a", 2000), ("b", 1000), ("b", 2000)]
        # a after 1,000 plans: 4.0, 5.0, 1.5; at the budget, every run's last.
        assert rows["a", 1000][:6] == (3, 4.0, 2.75, 4.5, 1.5, 5.0)
        assert rows["a", 1000][6] == pytest.approx(3.5)
        assert rows["a", 1000][7] == pytest.approx(math.sqrt(3.25) / math.sqrt(3))
        assert rows["a", 2000][:6] == (3, 7.5, 6.75, 7.75, 6.0, 8.0)
        # b has scored no generation after 1,000 plans: the start's distance.
        assert rows["b", 1000][:4] == (2, 2.0, 2.0, 2.0)
        assert rows["b", 2000][:2] == (2, 9.75)
        single = fixed_budget(CURVES[:1], ["a"], 2000)
        assert single.rows[-1][-1] is None  # no standard error of one run

    def test_fixed_target_and_default_targets(self):
        table = fixed_target(CURVES, ["a", "b"], [1.5, 7.0, 9.0])
        assert [row[1:] for row in table.rows] == [
            (1.5, 3, 3, 1.0, 0.0),          # the start (2.0) is past it
            (7.0, 3, 2, 2 / 3, 1500),       # 1500, 1500 and never: the middle is 1500
            (9.0, 3, 0, 0.0, None),
            (1.5, 2, 2, 1.0, 0.0),
            (7.0, 2, 2, 1.0, 1200.0),
            (9.0, 2, 2, 1.0, 1200.0),
        ]
        assert fixed_target(CURVES[3:], ["b"], [9.75]).rows[0][-1] is None  # 2400 and never
        # The finals 6, 7.5, 8, 9.5, 10: quartiles 7.5, 8, 9.5.
        assert default_targets(CURVES) == (7.5, 8.0, 9.5)

    def test_rank_sums(self):
        pytest.importorskip("scipy")
        table = rank_sums(CURVES, ["a", "b"])
        # Every final of b above every final of a: U = 0, exact p = 2 / C(5, 2).
        assert table.rows == (("a", "b", 3, 2, pytest.approx(0.2)),) and table.note == ""
        pandas = pytest.importorskip("pandas")
        frame = table.to_pandas()
        assert isinstance(frame, pandas.DataFrame) and list(frame["p_value"]) == [
            pytest.approx(0.2)]


class TestAdapters:
    @pytest.mark.parametrize("optimizer", ["cmaes", "nevergrad:NGOpt", "nevergrad:PSO"])
    def test_the_budget_is_kept_and_the_runs_repeat(self, optimizer):
        pytest.importorskip(optimizer.split(":")[0])
        from zorv.searching.optimizer_names import optimizer_factory, parse_optimizer
        parsed = parse_optimizer(optimizer)
        settings = parsed.settings_for(zorv.SearchSettings(popsize=24, evaluations=500, seed=4))
        first, second = (zorv.search(settings, optimizer=optimizer_factory(parsed))
                         for _ in range(2))
        # Whole generations until at least the budget: 21 of 24 plans.
        assert first.evaluations == 504 and first.history.evaluations[-1] == 504
        assert (first.plan, first.score, first.history.best) == (
            second.plan, second.score, second.history.best)
        assert first.settings.optimizer == optimizer

    def test_nevergrad_gets_the_budget_left(self):
        pytest.importorskip("nevergrad")
        from zorv.searching.adapters import NevergradOptimizer
        from zorv.searching.restarts import Run
        settings = zorv.SearchSettings(popsize=24, evaluations=1000)
        assert NevergradOptimizer("NGOpt", settings).optimizer.budget == 1008
        later = Run(1, 48, 0.5, large_evaluations=300, small_evaluations=100)
        assert NevergradOptimizer("NGOpt", settings, later).optimizer.budget == 624

    def test_the_cmaes_package_restarts_when_it_stops(self):
        pytest.importorskip("cmaes")
        from zorv.searching.adapters import CMAES_STOP, CmaesOptimizer
        # Plans a step of 1e-20 apart score the same: its rules stop it.
        settings = zorv.SearchSettings(popsize=8, sigma0=1e-20, evaluations=4000,
                                       restart_schedule="ipop", optimizer="cmaes")
        stopped = zorv.search(dataclasses.replace(settings, restarts=0), optimizer=CmaesOptimizer)
        assert stopped.stop_reasons == [CMAES_STOP] and stopped.evaluations < 2000
        result = zorv.search(settings, optimizer=CmaesOptimizer)
        assert result.runs > 2 and result.state.run.popsize == 8 * 2 ** (result.runs - 1)
        assert 4000 <= result.evaluations < 4000 + result.state.run.popsize


@pytest.fixture
def other_study(tmp_path):
    """A folder with a small finished study in it, and its study file."""
    result = zorv_command("compare", "builtin", "--seeds", 1, "--evaluations", 100, "-q",
                          "-o", "done", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    return tmp_path / "done", (tmp_path / "done" / "study.json").read_bytes()


class TestFoldersThatTakeNoStudy:
    @pytest.mark.parametrize("args, words", [
        (["builtin", "-o", "done"], "'done' holds a study (1 of 1 runs done): --resume it, choose another "
                         "-o, or give --overwrite to start anew"),
        (["builtin", "-o", "done/study.json"], "'done/study.json' is not a folder: -o names the study's "
                                    "folder"),
        (["builtin", "-o", "done/runs/builtin"], "'done/runs/builtin' holds files of something other "
                                      "than a study: choose a new or empty folder for -o"),
        (["-o", "done/runs", "--resume"], "'done/runs' holds no study to resume"),
        (["-o", "done", "--resume", "--seeds", "1-2"],
         "the study to resume has other seeds: give none, or the same"),
        (["-o", "done", "--resume", "--popsize", "8"],
         "--popsize 8 differs from the study to resume (256)"),
        (["pycma", "-o", "done", "--resume"],
         "the study to resume compares builtin: give no optimizers, or the same"),
    ])
    def test_refused_before_any_run(self, other_study, args, words):
        folder, before = other_study
        result = zorv_command("compare", *args, cwd=folder.parent)
        assert result.returncode == 2 and result.stdout == ""
        [line] = result.stderr.splitlines()
        assert line.startswith("python -m zorv: error: ") and words in line, line
        assert (folder / "study.json").read_bytes() == before

    def test_another_study_running_in_the_folder(self, other_study):
        from zorv.files.writing import OutputLock
        folder, before = other_study
        with OutputLock(folder / "study.json"):
            result = zorv_command("compare", "--resume", "-o", "done", cwd=folder.parent)
        assert result.returncode == 2
        assert result.stderr == (f"python -m zorv: error: another study (process {os.getpid()}) "
                                 "is running in 'done': wait for it to end, or choose another "
                                 "-o\n")
        assert (folder / "study.json").read_bytes() == before

    def test_overwrite_starts_anew_and_a_failed_run_gives_status_1(self, other_study, own_module):
        folder, _ = other_study
        result = zorv_command("compare", "builtin", "own_optimizer:make", "--seeds", "12-13",
                              "--evaluations", 100, "-q", "-o", "done", "--overwrite",
                              cwd=folder.parent, env={"PYTHONPATH": str(own_module)})
        assert result.returncode == 1, result.stderr
        runs = json.loads((folder / "study.json").read_text())["runs"]
        assert [(run["seed"], run["status"]) for run in runs] == [
            (12, "done"), (13, "done"), (12, "done"), (13, "failed")]


def test_two_dask_workers_make_the_same_study(tmp_path, uninterrupted):
    pytest.importorskip("distributed")
    result = zorv_command(*KILLED, "-o", "study", "--local-workers", 2, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert comparable_study(tmp_path / "study") == uninterrupted
    made_by = json.loads((tmp_path / "study" / "runs" / "builtin" / "seed-1.json").read_text())
    from zorv import _trace
    assert made_by["made_by"]["batch_path"] == _trace.batch_settings()[0]


@pytest.mark.parametrize("text, kind, name, settings", [
    ("builtin", "builtin", "builtin", ()),
    ("builtin:restart_schedule=ipop,popsize=64", "builtin", "builtin",
     (("restart_schedule", "ipop"), ("popsize", 64))),
    ("pycma:sigma0=0.25,restarts=none", "pycma", "pycma", (("sigma0", 0.25), ("restarts", None))),
    ("cmaes:restarts=2", "cmaes", "cmaes", (("restarts", 2),)),
    ("nevergrad:CMA,popsize=64", "nevergrad", "nevergrad:CMA", (("popsize", 64),)),
    ("my.module:make.optimizer,boundary=none", "own", "my.module:make.optimizer",
     (("boundary", "none"),)),
])
def test_optimizer_names_and_their_settings(text, kind, name, settings):
    from zorv.searching.optimizer_names import parse_optimizer
    parsed = parse_optimizer(text)
    assert (parsed.label, parsed.kind, parsed.name, parsed.settings) == (text, kind, name, settings)
    made = parsed.settings_for(zorv.SearchSettings(seed=7, evaluations=900, popsize=32))
    assert made.optimizer == name and (made.seed, made.evaluations) == (7, 900)
    assert all(getattr(made, key) == value for key, value in settings)


@pytest.mark.parametrize("text, words", [
    ("nevergrad", "name one of Nevergrad's optimizers: nevergrad:NGOpt, say"),
    ("nevergrad:", "name one of Nevergrad's optimizers after nevergrad:"),
    ("my-module:make", "'my-module' is no module's dotted name"),
    ("mod:make()", "'make()' is no attribute's name"),
    ("builtin:popsize", "'popsize' is no KEY=VALUE setting"),
    ("builtin:popsize=8,popsize=9", "popsize is given twice"),
    ("builtin:restarts=several", "restarts must be a whole number, got 'several'"),
    ("builtin:boundary=soft", "boundary must be one of penalty, transform, none"),
    ("pycma:optimizer=builtin", "optimizer is the command's, the same for every optimizer"),
])
def test_names_that_name_no_optimizer(text, words):
    from zorv.searching.optimizer_names import OptimizerSpecError, parse_optimizer
    with pytest.raises(OptimizerSpecError) as refused:
        parse_optimizer(text)
    assert words in str(refused.value) and "\n" not in str(refused.value)


def test_a_missing_library_names_its_pip_command(monkeypatch):
    from zorv.machine.libraries import LibraryMissingError
    from zorv.searching.optimizer_names import optimizer_factory, parse_optimizer
    for module, optimizer in (("cmaes", "cmaes"), ("nevergrad", "nevergrad:NGOpt"),
                              ("cma", "pycma")):
        monkeypatch.setitem(sys.modules, module, None)  # import fails as if not installed
        with pytest.raises(LibraryMissingError, match=f"which is not installed: pip install "
                                                      f"{module}$"):
            optimizer_factory(parse_optimizer(optimizer))


def test_a_stopped_study_resumes_and_retries_what_failed(tmp_path, own_module, monkeypatch):
    """Stopped within its third run (each run has 40 generations), resumed
    from Python: the same study as
    one never stopped; the run that failed is tried again; targets given
    on resuming are the study's from then on."""
    monkeypatch.syspath_prepend(str(own_module))
    settings = zorv.SearchSettings(popsize=16, evaluations=640, checkpoint_every=0)
    whole = zorv.compare(["builtin", "own_optimizer:make"], [1, 13], tmp_path / "whole",
                         settings=settings)
    generations = []
    stopped = zorv.compare(["builtin", "own_optimizer:make"], [1, 13], tmp_path / "cut",
                           settings=settings, on_progress=generations.append,
                           should_stop=lambda: sum(p.run is not None for p in generations) > 90)
    assert [run.status for run in stopped.runs] == ["done", "done", "unfinished", "pending"]
    assert zorv.compare(None, None, tmp_path / "cut", resume=True).runs[3].reason == (
        "RuntimeError: this optimizer refuses seed 13")
    again = zorv.compare(None, None, tmp_path / "cut", resume=True, targets=[3, 4],
                         settings=dataclasses.replace(settings, chunk=7))
    assert again.plan.targets == (3.0, 4.0) and again.plan.settings.chunk == 7
    assert [row[1] for row in again.fixed_target().rows] == [3.0, 4.0, 3.0, 4.0]
    for cut, run in zip(again.runs, whole.runs):
        assert (cut.status, cut.best, cut.evaluations) == (run.status, run.best, run.evaluations)
        if run.status == "done":
            assert without_seconds(json.loads((again.folder / cut.file).read_text())) == \
                without_seconds(json.loads((whole.folder / run.file).read_text()))
    from zorv.studies.study import StudyError
    with pytest.raises(StudyError, match="has popsize 16, not 32"):
        zorv.compare(None, None, tmp_path / "cut", resume=True,
                     settings=dataclasses.replace(settings, popsize=32))


def test_ones_own_optimizer_resumes_from_the_command_line(tmp_path, own_module):
    env = {"PYTHONPATH": str(own_module)}
    args = ("search", "--optimizer", "own_optimizer:Saving", "--popsize", 16,
            "--evaluations", 800, "-q")
    whole = zorv_command(*args, "-o", "whole.json", cwd=tmp_path, env=env)
    assert whole.returncode == 0, whole.stderr
    data = json.loads((tmp_path / "whole.json").read_text())
    assert data["settings"]["optimizer"] == "own_optimizer:Saving"
    # The same search, stopped halfway by hand: its state as a checkpoint saves it.
    sys.path.insert(0, str(own_module))
    try:
        from own_optimizer import Saving
        steps = []
        settings = zorv.SearchSettings(popsize=16, evaluations=800,
                                       optimizer="own_optimizer:Saving")
        half = zorv.search(settings, optimizer=Saving, on_generation=steps.append,
                           should_stop=lambda: len(steps) == 25)
    finally:
        sys.path.remove(str(own_module))
    checkpoints.save(tmp_path / "half.json", half)
    refused = zorv_command("search", "--resume", "half.json", cwd=tmp_path, env=env)
    assert refused.returncode == 2 and refused.stderr.splitlines() == [
        "python -m zorv: error: the search ran the optimizer 'own_optimizer:Saving' of its own: "
        "give --optimizer own_optimizer:Saving to resume it"]
    resumed = zorv_command("search", "--resume", "half.json", "--optimizer",
                           "own_optimizer:Saving", "-q", cwd=tmp_path, env=env)
    assert resumed.returncode == 0, resumed.stderr
    assert without_seconds(json.loads((tmp_path / "half.json").read_text())) == \
        without_seconds(data)
