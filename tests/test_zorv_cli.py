"""`python -m zorv`: search and show as a user runs them, in a subprocess:
the files they write, their one-line errors, signals, kills and resumes."""
import contextlib
import importlib.util
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest
from process_waits import HANG, frozen, read_until, send_taken, wait_until
from stress_support import under_address_sanitizer

import zorv_fast

SVG = "{http://www.w3.org/2000/svg}"


def zorv(*args, cwd, timeout=HANG, env=None, preexec_fn=None):
    return subprocess.run([sys.executable, "-m", "zorv", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout,
                          env=None if env is None else {**os.environ, **env},
                          preexec_fn=preexec_fn)


def address_space(size):
    """For preexec_fn: limits the process's address space (ulimit -v), and
    its stack to 8 MiB, the size of each thread's stack then."""
    def limit():
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (size, resource.RLIM_INFINITY))
        resource.setrlimit(resource.RLIMIT_STACK, (8 * 2**20, resource.RLIM_INFINITY))
    return limit


def unsaved_result(stderr):
    """The error line of a search whose result could not be written, after
    checking that nothing is lost: its plan on the next line, as JSON, with
    the distance the line gives, and the whole result in the file it names."""
    import re

    from zorv import checkpoints
    *_, error, plan_line = stderr.splitlines()
    plan = json.loads(plan_line)
    distance = re.search(r"; best distance (\S+) after \d+ generations, saved with its state "
                         r"in '([^']+)' instead; its plan follows$", error)
    assert distance, error
    assert len(plan) == 40 and float(distance[1]) == zorv_fast.sim(plan)
    kept = json.loads(open(distance[2]).read())
    assert kept["plan"] == plan and os.stat(distance[2]).st_mode & 0o077 == 0
    checkpoints.load(distance[2])  # resumable
    return error


def frames(path):
    return ET.parse(path).getroot().findall(f"{SVG}g[@class='frame']")


def legend_texts(root):
    """A chart's legend entries, each as one line, however it is wrapped."""
    return [" ".join(" ".join(t.itertext()).split()) for t in root.iter(f"{SVG}text")
            if t.get("class") == "legend"]


@pytest.fixture(scope="module")
def searched(tmp_path_factory):
    """One small search, with its plan and animation written."""
    folder = tmp_path_factory.mktemp("search")
    result = zorv("search", "--seed", 3, "--popsize", 16, "--generations", 5,
                  "--output", "best.json", "--svg", "best.svg", cwd=folder)
    return folder, result


class TestSearch:
    def test_writes_the_plan_and_its_exact_score(self, searched):
        folder, result = searched
        assert result.returncode == 0, result.stderr
        data = json.loads((folder / "best.json").read_text())
        assert len(data["plan"]) == 40
        assert data["score"] == zorv_fast.sim(data["plan"])
        assert data["seed"] == 3
        assert data["settings"]["popsize"] == 16 and data["settings"]["generations"] == 5
        assert data["generations"] == 5 and data["evaluations"] == 80
        assert data["interrupted"] is False and data["stop_reasons"] == ["generations"]

    def test_tells_where_the_files_are(self, searched):
        folder, result = searched
        assert str(folder / "best.json") in result.stdout
        assert str(folder / "best.svg") in result.stdout
        assert repr(json.loads((folder / "best.json").read_text())["score"]) in result.stdout

    def test_animation_of_the_best_plan(self, searched):
        folder, _ = searched
        plan = json.loads((folder / "best.json").read_text())["plan"]
        import zorv as package
        assert len(frames(folder / "best.svg")) == len(package.trace(plan))

    def test_progress_line_on_stderr(self, searched):
        _, result = searched
        # stderr is a pipe here, as in a log: whole lines, no carriage returns.
        assert "\r" not in result.stderr
        last = result.stderr.splitlines()[-1]
        assert "generation 5/5" in last and "evals/s" in last and "best" in last
        assert "Traceback" not in result.stderr and "Warning" not in result.stderr

    def test_the_result_says_what_made_it(self, searched):
        folder, _ = searched
        made_by = json.loads((folder / "best.json").read_text())["made_by"]
        from importlib import metadata

        import numpy
        from zorv import _trace
        from zorv.machine import facts
        assert made_by["zorv_fast"] == metadata.version("zorv_fast") != "unknown"
        assert made_by["numpy"] == numpy.__version__
        assert made_by["batch_path"] == _trace.batch_settings()[0]
        assert made_by["c_library"] == str(facts.c_library()) and made_by["blas"]

    def test_quiet_and_reproducible_across_processes(self, tmp_path, searched):
        folder, _ = searched
        result = zorv("search", "--seed", 3, "--popsize", 16, "--generations", 5, "--quiet",
                      "--output", "again.json", cwd=tmp_path)
        assert result.returncode == 0 and result.stderr == ""
        again = json.loads((tmp_path / "again.json").read_text())
        first = json.loads((folder / "best.json").read_text())
        assert (again["plan"], again["score"]) == (first["plan"], first["score"])

    @pytest.mark.parametrize("args, line", [
        (["search", "--generations", "0"], ": error: --generations must be at least 1, got 0"),
        (["search", "--popsize", "x"],
         " search: error: argument --popsize: not a whole number: 'x'"),
        (["search", "--seed", "-1"], ": error: --seed must be in [0, 2**32), got -1"),
        (["search", "--generations", "3", "--evaluations", "30"],
         " search: error: argument --evaluations: not allowed with argument --generations"),
        (["search", "--sigma", "0"], ": error: --sigma must be a positive number of at most "),
        (["search", "--sigma", "-1"], ": error: --sigma must be a positive number of at most "),
        (["search", "--checkpoint-every", "-1"],
         ": error: --checkpoint-every must be a number of seconds"),
        (["search", "--output", "no/such/folder/best.json"], ": error: "),
        (["search", "--popsize", "1000000000"], ": error: popsize 1000000000 needs about"),
        # argparse's own refusals: one line, without the usage before it.
        (["search", "--optimizer", "cma-es"],
         " search: error: argument --optimizer: no optimizer 'cma-es': did you mean cmaes? "
         "(give builtin, pycma, cmaes, nevergrad:OPTIMIZER or MODULE:FACTORY)"),
        (["search", "--optimizer", "builtin:popsze=64"],
         " search: error: argument --optimizer: optimizer 'builtin:popsze=64': no setting "
         "'popsze' (did you mean popsize? settings: popsize, sigma0, "),
        (["search", "--optimizer", "builtin:seed=3"],
         " search: error: argument --optimizer: optimizer 'builtin:seed=3': seed is the "
         "command's, the same for every optimizer"),
        (["search", "--optimizer", "no_such_module:make"],
         ": error: optimizer 'no_such_module:make': cannot import 'no_such_module': "
         "ModuleNotFoundError: No module named 'no_such_module'"),
        (["search", "--optimizer", "nevergrad:NGOpz"],
         ": error: optimizer 'nevergrad:NGOpz': Nevergrad has no optimizer 'NGOpz': did you "
         "mean nevergrad:NGOpt?"),
        (["search", "--gens", "10"],
         " search: error: no option --gens: did you mean --generations?"),
        (["search", "--restart-shedule=ipop"],
         " search: error: no option --restart-shedule: did you mean --restart-schedule?"),
        (["search", "--frobnicate"],
         " search: error: no option --frobnicate (see python -m zorv search --help)"),
        (["search", "again"],
         " search: error: unexpected argument 'again' (see python -m zorv search --help)"),
        (["sarch", "--generations", "3"], ": error: no command 'sarch': did you mean search? "
                                          "(commands: search, compare, show, plot, check)"),
        # compare: optimizers, seeds, targets and folders that make no study.
        (["compare"], ": error: name the optimizers to compare, such as builtin pycma (see "
                      "python -m zorv compare --help)"),
        (["compare", "builtin", "cma-es"], " compare: error: argument OPTIMIZER: no optimizer "
                                           "'cma-es': did you mean cmaes? "),
        (["compare", "builtin", "no_such_module:make"],
         ": error: optimizer 'no_such_module:make': cannot import 'no_such_module': "
         "ModuleNotFoundError: No module named 'no_such_module'"),
        (["compare", "builtin", "zorv.searching.loop:no_factory"],
         ": error: optimizer 'zorv.searching.loop:no_factory': 'zorv.searching.loop' has no 'no_factory'"),
        (["compare", "builtin", "builtin"], ": error: optimizer 'builtin' is named twice"),
        (["compare", "builtin:evaluations=500"],
         " compare: error: argument OPTIMIZER: optimizer 'builtin:evaluations=500': evaluations "
         "is the command's, the same for every optimizer"),
        (["compare", "builtin:popsize=1"], " compare: error: argument OPTIMIZER: optimizer "
                                           "'builtin:popsize=1': popsize must be at least 2"),
        (["compare", "builtin", "--seeds", "1-x"],
         " compare: error: argument --seeds: not a list of seeds: '1-x' (give 1-20, or 1,2,5, "
         "or both: 1-3,7)"),
        (["compare", "builtin", "--seeds", "5-3"], " compare: error: argument --seeds: '5-3' is "
                                                   "no seed or range of seeds"),
        (["compare", "builtin", "--seeds", "1,2,1"],
         " compare: error: argument --seeds: a seed is named twice in '1,2,1'"),
        (["compare", "builtin", "--targets", "9,x"],
         " compare: error: argument --targets: not a list of distances: '9,x'"),
        (["compare", "builtin", "--evaluations", "0"],
         ": error: --evaluations must be at least 1, got 0"),
        (["compare", "builtin", "--resume"],
         ": error: no study to resume in 'study': there is no such folder"),
        (["compare", "builtin", "-o", "no/such/study"],
         ": error: cannot make the study's folder 'no/such/study': no folder 'no/such'"),
        (["compare", "--report", "nothing"], ": error: cannot read 'nothing/study.json': "),
        (["compare", "--report", "nothing", "--seeds", "1"],
         ": error: --report prints a study's tables and runs nothing: give it without --seeds"),
        (["plot"], " plot: error: the following arguments are required: RESULT.json "
                   "(see python -m zorv plot --help)"),
        (["plot", "a.json", "b.json", "--label", "a"],
         ": error: --label names 1 of 2 results: give it once per RESULT.json, or not at all"),
        (["show", "plan.json", "--frames", "0"],
         " show: error: argument --frames: must be at least 1, got 0"),
        (["show", "plan.json", "--robustness", "-0.5"],
         " show: error: argument --robustness: must be a finite number of at least 0, got -0.5"),
        (["show", "plan.json", "--robustness", "nan"],
         " show: error: argument --robustness: must be a finite number of at least 0, got nan"),
        (["show", "plan.json", "--robustness", "much"],
         " show: error: argument --robustness: not a number: 'much'"),
        (["show", "plan.json", "--frames", "4", "--torques"],
         " show: error: argument --torques: not allowed with argument --frames"),
        (["search", "--start", "missing.json"], ": error: cannot read 'missing.json'"),
    ])
    def test_bad_options(self, tmp_path, args, line):
        result = zorv(*args, cwd=tmp_path)
        assert result.returncode == 2
        assert result.stderr.splitlines() == [result.stderr.strip()], result.stderr
        assert result.stderr.startswith(f"python -m zorv{line}"), result.stderr
        assert not list(tmp_path.iterdir())


    @pytest.mark.skipif(under_address_sanitizer(),
                        reason="the sanitizer's shadow memory cannot live under an address-space cap")
    @pytest.mark.parametrize("args, words", [
        # 1.6 million plans take about 4 GB a generation, more than the 2 GB
        # of address space this search may use.
        (["--popsize", "1600000"], "popsize 1600000 needs about"),
        # Its first runs fit; the fifth, which its budget reaches when every
        # run stops after a generation, does not: refused before the first.
        (["--popsize", "65536", "--sigma", "1e-300", "--restart-schedule", "ipop",
          "--evaluations", "4000000"], "run 5 of this search (ipop restarts within its "
                                       "budget) can draw popsize 1048576"),
    ])
    def test_population_beyond_the_memory_limit(self, tmp_path, args, words):
        result = zorv("search", *args, "-o", "best.json", cwd=tmp_path,
                      preexec_fn=address_space(2 * 2**30))
        assert result.returncode == 2
        lines = result.stderr.splitlines()
        assert len(lines) == 1 and words in lines[0], result.stderr
        assert "GiB of memory is available" in lines[0]
        assert not list(tmp_path.iterdir())

    @pytest.mark.skipif(under_address_sanitizer(),
                        reason="the sanitizer's shadow memory cannot live under an address-space cap")
    def test_worker_threads_that_cannot_start(self, tmp_path):
        # 2,000 thread stacks of 2 MiB do not fit in 1.2 GB of address space,
        # whatever else the process has taken by then.
        result = zorv("search", "--generations", 3, "-q", cwd=tmp_path,
                      env={"RAYON_NUM_THREADS": "2000"}, preexec_fn=address_space(1_200_000_000))
        assert result.returncode == 1
        assert result.stderr.splitlines() == [
            "python -m zorv: error: sim_batch could not start its 2000 worker threads "
            "(RAYON_NUM_THREADS=2000): Resource temporarily unavailable; set RAYON_NUM_THREADS "
            "to fewer threads; the best plan so far is saved in 'best.json', and --resume "
            "goes on from there"]
        data = json.loads((tmp_path / "best.json").read_text())
        assert data["interrupted"] is True and data["generations"] == 0
        assert data["score"] == zorv_fast.sim(data["plan"])

    @pytest.mark.parametrize("schedule, popsize, restarts", [
        ("ipop", 8, None), ("ipop", 4, 3), ("bipop", 4, None), ("bipop", 8, 3),
        ("bipop", 40, None)])
    def test_no_run_draws_more_than_the_memory_check_allows_for(self, schedule, popsize,
                                                               restarts):
        # Runs that stop after a generation or two: as many restarts as the
        # budget allows, from the start and from every checkpoint.
        import zorv as package
        from zorv.searching.memory import largest_population
        from zorv.optimizers import new_optimizer
        settings = package.SearchSettings(
            seed=2, popsize=popsize, sigma0=1e-300, restart_schedule=schedule,
            evaluations=5000, restarts=restarts, checkpoint_every=0)
        drawn, states = {}, []

        def make(settings, run):
            drawn[run.index] = run.popsize
            return new_optimizer(settings, run)

        package.search(settings, optimizer=make, checkpoint=lambda r: states.append(r.state))
        assert len(drawn) >= 4
        assert largest_population(settings).popsize >= max(drawn.values())
        for state in states:
            largest = largest_population(settings, state)
            if state.finished or state.evaluations >= settings.budget:
                assert largest is None
                continue
            later = [size for index, size in drawn.items() if index >= state.run.index]
            assert largest.popsize >= max(later)
            # Each ipop run here stops after one generation, as the bound assumes.
            assert schedule == "bipop" or largest.popsize == max(later)


class TestInterrupt:
    def test_ctrl_c_stops_quickly_and_saves_the_best_plan(self, tmp_path):
        process = subprocess.Popen(
            [sys.executable, "-m", "zorv", "search", "--generations", "1000000",
             "--checkpoint-every", "0", "--output", "best.json"],
            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            # Each generation is saved as it ends: the file is there after the first.
            wait_until((tmp_path / "best.json").exists, "a generation", process)
            # One search at a time writes a file: a second one is refused.
            second = zorv("search", "--generations", 3, "-o", "best.json", cwd=tmp_path)
            with frozen(process.pid):  # the search stands still while the file is read
                saved = json.loads((tmp_path / "best.json").read_text())["generations"]
                process.send_signal(signal.SIGINT)
            stdout, stderr = process.communicate(timeout=HANG)
        finally:
            process.kill()
            process.wait()
        assert process.returncode == 130
        assert b"Traceback" not in stderr
        data = json.loads((tmp_path / "best.json").read_text())
        # Quickly: within the generation that it was scoring.
        assert data["interrupted"] is True and 0 < saved <= data["generations"] <= saved + 1
        assert data["score"] == zorv_fast.sim(data["plan"])
        assert b"interrupted" in stdout and b"best.json" in stdout
        assert [path.name for path in tmp_path.iterdir()] == ["best.json"]
        assert second.returncode == 2 and second.stderr.splitlines() == [
            f"python -m zorv: error: cannot write 'best.json': another search (process "
            f"{process.pid}) is writing it; wait for it to end, or choose another --output"]


    @pytest.mark.parametrize("later", [0, 25, 100, "locked"],
                             ids=["at-its-imports", "25-imports-later", "100-imports-later",
                                  "output-locked"])
    @pytest.mark.parametrize("command", [[sys.executable, "-m", "zorv"],
                                         [os.path.join(os.path.dirname(sys.executable), "zorv")]],
                             ids=["module", "script"])
    def test_ctrl_c_while_starting_exits_quietly(self, tmp_path, command, later):
        # Python reports each import on stderr as it ends. The command is
        # interrupted after the package is imported, once the command line
        # imports its own modules (nested two deep): at once, or so many
        # lines later, while they are imported, or, later, once the search
        # starts and has locked its output.
        from zorv.files.writing import lock_file
        if not os.path.exists(command[0]):
            pytest.skip("the zorv script is not installed beside this Python")
        process = subprocess.Popen(
            [*command, "search", "--generations", "1000000", "--output", "best.json"],
            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env={**os.environ, "PYTHONPROFILEIMPORTTIME": "1"})
        try:
            package_imported, lines_after = False, None
            for line in process.stderr:
                name = line.decode().rpartition("|")[2]
                package_imported = package_imported or name.strip() == "zorv"
                if lines_after is None and package_imported and name.startswith("     "):
                    lines_after = 0
                if lines_after is not None:
                    if lines_after == later or later == "locked":
                        break
                    lines_after += 1
            if later == "locked":
                wait_until(lock_file(tmp_path / "best.json").exists, "the output locked",
                           process)
            process.send_signal(signal.SIGINT)
            _, stderr = process.communicate(timeout=HANG)
        finally:
            process.kill()
            process.wait()
        from zorv.__main__ import _EXIT_INTERRUPTED
        from zorv.command_line.exit_status import after_signal
        assert process.returncode == 130 == _EXIT_INTERRUPTED == after_signal(signal.SIGINT), \
            stderr.decode()[-2000:]
        assert b"Traceback" not in stderr and b"KeyboardInterrupt" not in stderr


def closed_pipe():
    """The writing end of a pipe whose reader has gone (`| head -0`): every
    write to it fails with EPIPE."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    return write_end


def full_device():
    return os.open("/dev/full", os.O_WRONLY)


class TestStandardStreams:
    """Standard output and error that cannot be written cost a command
    nothing: its files are written, and its status is what it would have
    been."""

    @pytest.mark.parametrize("stream", ["stdout", "stderr"])
    @pytest.mark.parametrize("make", [closed_pipe, full_device, None],
                             ids=["closed pipe", "full disk", "closed"])
    def test_the_search_is_saved_and_succeeds(self, tmp_path, stream, make):
        given = make() if make is not None else None
        descriptor = 1 if stream == "stdout" else 2
        try:
            process = subprocess.run(
                [sys.executable, "-m", "zorv", "search", "--generations", "30", "-o", "best.json"],
                cwd=tmp_path, timeout=120,
                # Closed: the interpreter starts without the descriptor.
                preexec_fn=None if given is not None else lambda: os.close(descriptor),
                **{"stdout": subprocess.PIPE, "stderr": subprocess.PIPE,
                   **({} if given is None else {stream: given})})
        finally:
            if given is not None:
                os.close(given)
        kept = getattr(process, "stderr" if stream == "stdout" else "stdout") or b""
        assert process.returncode == 0, kept.decode()[-2000:]
        assert b"Traceback" not in kept and b"Exception ignored" not in kept
        data = json.loads((tmp_path / "best.json").read_text())
        assert data["generations"] == 30 and data["score"] == zorv_fast.sim(data["plan"])
        assert sorted(path.name for path in tmp_path.iterdir()) == ["best.json"]

    def test_check_into_a_closed_pipe_keeps_its_status(self, tmp_path):
        # The status that the report gives where it can be read (a build
        # under a sanitizer, say, may well fail a check), kept where not.
        command = [sys.executable, "-m", "zorv", "check"]
        read = subprocess.run(command, cwd=tmp_path, capture_output=True, timeout=120)
        given = closed_pipe()
        try:
            process = subprocess.run(command, cwd=tmp_path, stdout=given,
                                     stderr=subprocess.PIPE, timeout=120)
        finally:
            os.close(given)
        assert read.stdout and (process.returncode, process.stderr) == (read.returncode, b"")

    def test_a_closed_terminal_stops_the_search_and_it_still_saves(self, tmp_path):
        import pty
        pid, terminal = pty.fork()
        if pid == 0:  # the child, the session leader of the new terminal
            os.chdir(tmp_path)
            os.execv(sys.executable, [sys.executable, "-m", "zorv", "search", "--generations",
                                      "1000000", "-o", "best.json"])
        try:
            # The progress line shows that the search runs; then the terminal
            # goes: SIGHUP, and every later write fails with EIO.
            assert b"generation" in os.read(terminal, 200)
        finally:
            os.close(terminal)
            _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 128 + signal.SIGHUP
        data = json.loads((tmp_path / "best.json").read_text())
        assert data["interrupted"] is True and data["score"] == zorv_fast.sim(data["plan"])

    def test_names_that_are_no_utf_8(self, tmp_path, searched):
        folder, _ = searched
        plan = os.fsdecode(b"caf\xe9.json")
        shutil.copy(folder / "best.json", tmp_path / plan)
        shown = zorv("show", plan, "-o", "out.svg", cwd=tmp_path)
        assert shown.returncode == 0 and "Traceback" not in shown.stderr, shown.stderr
        title = ET.parse(tmp_path / "out.svg").getroot().find(f"{SVG}title").text
        assert title.startswith("caf\ufffd.json")
        output = os.fsdecode(b"b\xe9.json")
        searched_here = subprocess.run(
            [sys.executable, "-m", "zorv", "search", "-q", "--generations", "3", "-o", output],
            cwd=tmp_path, capture_output=True, timeout=120)
        assert searched_here.returncode == 0, searched_here.stderr
        assert os.fsencode(str(tmp_path / output)) in searched_here.stdout  # the name's own bytes
        assert json.loads((tmp_path / output).read_text())["generations"] == 3

    def test_the_command_line_off_the_main_thread(self, tmp_path, monkeypatch):
        import threading

        from zorv.__main__ import main
        monkeypatch.chdir(tmp_path)
        descriptors = len(os.listdir("/proc/self/fd"))
        statuses = []
        for _ in range(3):
            thread = threading.Thread(target=lambda: statuses.append(main(
                ["search", "-q", "--generations", "3", "-o", "best.json", "--overwrite"])))
            thread.start()
            thread.join()
        assert statuses == [0, 0, 0]
        assert len(os.listdir("/proc/self/fd")) == descriptors

    @pytest.mark.parametrize("argv0, quiet", [("/usr/local/bin/zorv", True),
                                              ("my_script.py", False)])
    def test_ctrl_c_while_the_package_imports(self, tmp_path, argv0, quiet):
        # The signal comes as the package's import ends, before the command
        # line's entry has run; a program that only imports zorv keeps
        # Python's own KeyboardInterrupt.
        code = (f"import os, signal, sys, time; sys.argv[0] = {argv0!r}; import zorv; "
                "os.kill(os.getpid(), signal.SIGINT); time.sleep(60)")
        process = subprocess.run([sys.executable, "-c", code], cwd=tmp_path,
                                 capture_output=True, text=True, timeout=120)
        if quiet:
            assert process.returncode == 130 and process.stderr == ""
        else:
            assert process.returncode == -signal.SIGINT and "KeyboardInterrupt" in process.stderr


class TestShow:
    @pytest.fixture
    def plan_file(self, tmp_path):
        path = tmp_path / "plan.json"
        path.write_text(json.dumps({"plan": [0.3, -0.6] * 20, "score": 0.0}))
        return path

    def test_animation_one_frame_per_step(self, plan_file, tmp_path):
        import zorv as package
        result = zorv("show", plan_file, "-o", "run.svg", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert len(frames(tmp_path / "run.svg")) == len(package.trace([0.3, -0.6] * 20))
        assert str(tmp_path / "run.svg") in result.stdout

    def test_default_output_beside_the_plan(self, plan_file, tmp_path):
        assert zorv("show", plan_file, cwd=tmp_path).returncode == 0
        assert (tmp_path / "plan.svg").is_file()

    def test_bare_list_and_filmstrip(self, tmp_path):
        (tmp_path / "bare.json").write_text(json.dumps([1, -1] * 20))
        result = zorv("show", "bare.json", "--frames", "5", "-o", "strip.svg", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        root = ET.parse(tmp_path / "strip.svg").getroot()
        assert len(frames(tmp_path / "strip.svg")) == 5
        assert root.find(f".//{SVG}animate") is None

    def test_gait_robustness_and_torques(self, tmp_path, searched):
        folder, _ = searched
        result = zorv("show", folder / "best.json", "-o", "run.svg", "--gait", "--torques",
                      "--robustness", "0", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        plan = json.loads((folder / "best.json").read_text())["plan"]
        assert lines[0].startswith(f"distance {zorv_fast.sim(plan)!r}: ")
        assert any(line.startswith("foot_a: ") for line in lines)
        assert any(line.startswith("positive muscle work ") for line in lines)
        assert "within 1 % of the plan's own: 100.0%; within 10 %: 100.0%" in lines
        root = ET.parse(tmp_path / "run.svg").getroot()
        assert root.findall(f".//{SVG}rect[@class='contact']")
        assert len(root.findall(f".//{SVG}polyline[@class='torque']")) == 4
        assert len(frames(tmp_path / "run.svg")) == len(root.findall(f".//{SVG}line[@class='cursor']"))

    def test_output_folder_missing(self, plan_file, tmp_path):
        result = zorv("show", plan_file, "-o", "no/such/run.svg", cwd=tmp_path)
        assert result.returncode == 2 and len(result.stderr.splitlines()) == 1
        assert "no folder" in result.stderr and "Traceback" not in result.stderr

class TestPlot:
    @staticmethod
    def drawn(path):
        root = ET.parse(path).getroot()
        area = root.find(f"{SVG}rect[@class='frame plot-area']")
        left, top = float(area.get("x")), float(area.get("y"))
        right, bottom = left + float(area.get("width")), top + float(area.get("height"))
        curves = [[tuple(map(float, p.split(","))) for p in line.get("points").split()]
                  for line in root.iter(f"{SVG}polyline")]
        ticks = {axis: [float(t.text.replace(",", "")) for t in root.iter(f"{SVG}text")
                        if t.get("class") == f"ticklabel {axis}"] for axis in "xy"}
        return (left, top, right, bottom), curves, ticks, legend_texts(root)

    @staticmethod
    def ring_notes(path):
        return [t.text for t in ET.parse(path).getroot().iter(f"{SVG}text")
                if "restart-key" in t.get("class", "")]

    @pytest.mark.parametrize("x_axis", ["evaluations", "seconds"])
    def test_one_curve_per_result_inside_axes_that_cover_the_data(self, searched, tmp_path,
                                                                 x_axis):
        folder, _ = searched
        assert zorv("search", "--seed", 4, "--popsize", 8, "--generations", 12, "--quiet",
                    "--optimizer", "pycma", "-o", "other.json", cwd=tmp_path).returncode == 0
        files = [folder / "best.json", tmp_path / "other.json"]
        result = zorv("plot", *files, "--x-axis", x_axis, "-o", "curve.svg", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert str(tmp_path / "curve.svg") in result.stdout
        (left, top, right, bottom), curves, ticks, legend = self.drawn(tmp_path / "curve.svg")
        histories = [json.loads(f.read_text())["history"] for f in files]
        # Steps: a corner at each generation that beats the best, and the last.
        assert [len(c) for c in curves] == [
            1 + 2 * sum(a != b for a, b in zip(h["best"], h["best"][1:]))
            + (h["best"][-1] == h["best"][-2]) for h in histories]
        assert all(left <= x <= right and top <= y <= bottom for c in curves for x, y in c)
        xs = [v for h in histories for v in h[x_axis]]
        ys = [v for h in histories for v in h["best"]]
        # The x axis ends just past the data, its last tick within a step of it.
        assert ticks["x"][0] <= 0 and ticks["x"][-1] - (ticks["x"][1] - ticks["x"][0]) < max(xs)
        assert max(x for c in curves for x, _ in c) >= left + 0.95 * (right - left)
        assert ticks["y"][0] <= min(ys) and ticks["y"][-1] >= max(ys)
        assert legend[0].startswith(f"{files[0]} (builtin, boundary penalty, popsize 16, seed 3)")
        assert legend[1].startswith(f"{files[1]} (pycma, boundary penalty, popsize 8, seed 4)")
        # No search here restarted: no ring, and none explained.
        assert all(h["run_starts"] == [0] for h in histories)
        assert self.ring_notes(tmp_path / "curve.svg") == []

    def test_restarts_are_marked_on_their_curve(self, tmp_path, uninterrupted):
        path, data = uninterrupted
        result = zorv("plot", path, "-o", "curve.svg", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        (left, top, right, bottom), curves, _, _ = self.drawn(tmp_path / "curve.svg")
        rings = ET.parse(tmp_path / "curve.svg").getroot().findall(f"{SVG}circle[@class='restart']")
        starts = data["history"]["run_starts"]
        assert len(rings) == len(starts) - 1 >= 2
        # Each on the curve, at the end of the last generation before its run.
        curve = curves[0]
        for ring in rings:
            x, y = float(ring.get("cx")), float(ring.get("cy"))
            assert any(min(a[0], b[0]) <= x <= max(a[0], b[0]) and min(a[1], b[1]) <= y
                       <= max(a[1], b[1]) for a, b in zip(curve, curve[1:]))
        assert [float(r.get("cx")) for r in rings] == sorted(float(r.get("cx")) for r in rings)
        assert [r.find(f"{SVG}title").text for r in rings] == [
            f"run {run} starts after {data['history']['evaluations'][start - 1]:,} plans"
            for run, start in enumerate(starts[1:], start=2)]
        assert self.ring_notes(tmp_path / "curve.svg") == ["restart: a new run begins"]

    def test_labels_tell_runs_of_the_same_settings_apart(self, searched, tmp_path):
        folder, _ = searched
        shutil.copy(folder / "best.json", tmp_path / "again.json")
        data = json.loads((folder / "best.json").read_text())
        data["settings"]["restart_schedule"] = "ipop"
        (tmp_path / "ipop.json").write_text(json.dumps(data))
        files = ["again.json", str(folder / "best.json"), "ipop.json"]
        assert zorv("plot", *files, "-o", "named.svg", cwd=tmp_path).returncode == 0
        settings = "builtin, boundary penalty, popsize 16, seed 3"
        assert [text.split(": best ")[0] for text in self.drawn(tmp_path / "named.svg")[3]] == [
            f"again.json ({settings})", f"{folder / 'best.json'} ({settings})",
            f"ipop.json ({settings}, ipop restarts)"]
        # --label names the curves in the files' order, each on one line.
        result = zorv("plot", *files, "--label", "first  try", "--label", "second",
                      "--label", "with\nipop", "-o", "relabelled.svg", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert [text.split(": best ")[0] for text in self.drawn(tmp_path / "relabelled.svg")[3]
                ] == ["first try", "second", "with ipop"]


@pytest.mark.parametrize("args", [["--help"], []])
def test_help_lists_every_command(tmp_path, args):
    result = zorv(*args, cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == ""
    listed = result.stdout.split("positional arguments:")[1]
    assert all(f"    {command} " in listed
               for command in ("search", "compare", "show", "plot", "check"))


def test_messages_name_the_program_as_it_was_run(tmp_path, capsys, monkeypatch):
    from zorv.__main__ import main
    monkeypatch.chdir(tmp_path)
    (tmp_path / "plan.json").write_text(json.dumps([0.0] * 40))
    for args in (["plot", "plan.json"], ["search", "--resume", "plan.json"]):
        assert main(args, prog="zorv") == 2
        [line] = capsys.readouterr().err.splitlines()
        assert line.startswith("zorv: error: 'plan.json' holds no ")
        assert line.endswith(": expected a result written by zorv search")
    with pytest.raises(SystemExit) as refused:
        main(["search", "--gens", "10"], prog="zorv")
    assert refused.value.code == 2
    assert capsys.readouterr().err == (
        "zorv search: error: no option --gens: did you mean --generations?\n")


def result_text(**history):
    """A search result as JSON text, with some history columns' text replaced."""
    columns = {"evaluations": "[16, 32, 48]", "best": "[1.0, 2.0, 2.5]",
               "median": "[0.5, 1.0, 1.5]", "seconds": "[0.1, 0.2, 0.3]", **history}
    import zorv as package
    return (f'{{"plan": {json.dumps([0.0] * 40)}, '
            f'"settings": {json.dumps(package.SearchSettings().as_dict())}, "history": {{'
            + ", ".join(f'"{name}": {text}' for name, text in columns.items()) + "}}")


def make_fifo(path):
    os.mkfifo(path)


def make_folder(path):
    path.mkdir()


def make_deep_list(path):
    path.write_text("[" * 100000 + "]" * 100000)


def nested_text(depth):
    """A JSON list nested `depth` deep: deeper than any file zorv writes,
    and shallow enough for the JSON reader itself."""
    return "[" * depth + "0" + "]" * depth


def make_sparse_file(path):
    from zorv.files.reading import MAX_INPUT_BYTES
    with open(path, "wb") as file:
        file.truncate(MAX_INPUT_BYTES + 1)


def study_text(seeds=(1,), **run):
    """A study file of one builtin run, pending unless `run` says else."""
    record = {"optimizer": "builtin", "seed": 1, "file": "runs/builtin/seed-1.json",
              "status": "pending", "best": None, "evaluations": 0, "seconds": 0.0,
              "reason": None, "started_again": 0, **run}
    return json.dumps({"kind": "zorv study", "format": 1, "optimizers": ["builtin"],
                       "seeds": list(seeds), "settings": {"evaluations": 100}, "budget": 100,
                       "targets": None, "made_by": {}, "runs": [record]})


#: (command, file name, its content or what makes it, words of the error)
UNUSABLE_INPUTS = [
    ("show", "missing.json", None, "cannot read"),
    ("show", "bad.json", "{\"plan\": [1, 2,", "not valid JSON"),
    ("show", "binary.json", b"\xff\xfe\x00", "not UTF-8"),
    ("show", "short.json", json.dumps({"plan": [0.0] * 39}), "this one has 39"),
    ("show", "long.json", json.dumps([0.0] * 41), "this one has 41"),
    ("show", "text.json", json.dumps([0.0] * 39 + ["1.0"]), "value 39 is not a number"),
    ("show", "null.json", json.dumps([None] + [0.0] * 39), "value 0 is not a number"),
    ("show", "bool.json", json.dumps([True] * 40), "value 0 is not a number"),
    ("show", "noplan.json", json.dumps({"best": [0.0] * 40}), "holds no plan"),
    ("show", "number.json", "3.5", "holds no plan"),
    ("show", "digits.json", json.dumps([10**400] * 40), "401 digits is beyond the range"),
    ("show", "overflow.json", "[1e309" + ", 0" * 39 + "]", "1e309 is beyond the range"),
    ("show", "nan.json", json.dumps([float("nan")] * 40), "NaN is not a number"),
    ("show", "deep.json", make_deep_list, "not valid JSON"),
    ("show", "nested.json", json.dumps({"plan": [0.0] * 39 + [None]})
     .replace("null", nested_text(600)), "nests lists and objects more than 128 deep"),
    ("show", "/dev/zero", None, "it is a device"),
    ("show", "fifo.json", make_fifo, "it is a FIFO"),
    ("show", "folder.json", make_folder, "it is a folder"),
    ("show", "large.json", make_sparse_file, "is larger than"),
    ("search --start", "missing.json", None, "cannot read"),
    ("search --start", "short.json", json.dumps({"plan": [0.0] * 39}), "this one has 39"),
    ("search --start", "text.json", json.dumps([0.0] * 39 + ["1.0"]), "value 39 is not a number"),
    ("search --start", "fifo.json", make_fifo, "it is a FIFO"),
    ("plot", "plan.json", json.dumps([0.0] * 40), "holds no search history"),
    ("plot", "nan.json", result_text(best="[1.0, NaN, 2.0]"), "NaN is not a number"),
    ("plot", "inf.json", result_text(best="[1.0, Infinity, 2.0]"), "Infinity is not a number"),
    ("plot", "ninf.json", result_text(median="[-Infinity, 1, 2]"), "-Infinity is not a number"),
    ("plot", "overflow.json", result_text(seconds="[0.1, 1e309, 0.3]"), "beyond the range"),
    ("plot", "text.json", result_text(best='[1.0, "2.0", 3.0]'),
     "history best value 1 is not a number"),
    ("plot", "null.json", result_text(median="[null, 1, 2]"),
     "history median value 0 is not a number"),
    ("plot", "object.json", result_text(evaluations='[1, 2, {"a": 3}]'),
     "history evaluations value 2 is not a number"),
    ("plot", "ragged.json", result_text(seconds="[0.1, 0.2]"), "holds no search history"),
    ("plot", "empty.json", result_text(**dict.fromkeys(("evaluations", "best", "median",
                                                         "seconds"), "[]")),
     "holds no search history"),
    ("plot", "wide.json", result_text(best="[-1e308, 1e308, 1e308]"), "cannot draw"),
    ("plot", "fewer.json", result_text(evaluations="[16, 8, 48]"),
     "history evaluations[1] is 8, fewer than the entry before"),
    ("plot", "earlier.json", result_text(seconds="[0.1, 0.3, 0.2]"), "seconds[2] is 0.2"),
    ("plot", "fraction.json", result_text(evaluations="[16, 32.5, 48]"),
     "history evaluations[1] is 32.5, not a whole number"),
    ("plot", "fifo.json", make_fifo, "it is a FIFO"),
    # A study's file, as zorv plot and compare --report read it.
    ("plot", "study.json", json.dumps({"kind": "zorv study", "format": 99}),
     "'study.json' holds no study that this version reads: study format 99, not 1"),
    ("plot", "study.json", study_text(seeds=[1, True]), "seeds must be whole numbers"),
    ("plot", "study.json", study_text(evaluations="many"),
     "a run's seed, plans and starts are whole numbers of at least 0"),
    ("plot", "study.json", study_text(file="../../etc/passwd"),
     "the run file '../../etc/passwd' lies outside the study"),
    ("plot", "study.json", study_text(status="done"), "cannot read 'runs/builtin/seed-1.json'"),
    ("plot", "nested.json", result_text(best=nested_text(600)), "more than 128 deep"),
]


@pytest.mark.parametrize("command, name, content, words", UNUSABLE_INPUTS,
                         ids=[f"{command}-{name}" for command, name, _, _ in UNUSABLE_INPUTS])
def test_unusable_input_file(tmp_path, command, name, content, words):
    """One error line and status 2, promptly, for every file that cannot be
    used: nothing is written, nothing blocks, nothing is read without bound."""
    if isinstance(content, str):
        (tmp_path / name).write_text(content)
    elif isinstance(content, bytes):
        (tmp_path / name).write_bytes(content)
    elif content is not None:
        content(tmp_path / name)
    result = zorv(*command.split(), name, "-o", "out.svg", cwd=tmp_path)
    assert result.returncode == 2, result.stderr
    assert result.stdout == ""
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("python -m zorv: error: ") and words in lines[0], lines[0]
    assert not (tmp_path / "out.svg").exists()


@pytest.mark.skipif(under_address_sanitizer(),
                    reason="the sanitizer's shadow memory cannot live under an address-space cap")
@pytest.mark.parametrize("args", [("show", "many.json", "-o", "out.svg"),
                                  ("plot", "many.json", "-o", "out.svg"),
                                  ("search", "--resume", "many.json", "-o", "out.json")])
def test_a_file_larger_than_memory_allows(tmp_path, args):
    # 24 MB of empty lists take more than 500 MB once read: more than the
    # 512 MiB of address space left to the process, and far below the
    # reader's bound on bytes.
    (tmp_path / "many.json").write_text('{"plan": [' + "[]," * 8_000_000 + "[]]}")
    result = zorv(*args, cwd=tmp_path, timeout=120, preexec_fn=address_space(512 * 2**20))
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.splitlines() == [
        "python -m zorv: error: 'many.json' is too large to read in the memory this "
        "process may use"]
    assert sorted(path.name for path in tmp_path.iterdir()) == ["many.json"]


#: A search that restarts a few times within a second or two.
RESTARTING = ("search", "--seed", 2, "--popsize", 8, "--evaluations", 20000, "--sigma", "1e-11",
              "--restart-schedule", "bipop", "--quiet")


def comparable(path):
    """A result file without its wall-clock seconds; the checkpoint settings
    that change nothing but when files are written go too."""
    data = json.loads(path.read_text())
    state = data["checkpoint"]["state"]
    for part in (data, state):
        part["settings"].pop("checkpoint_every")
        part.pop("seconds", None), part.pop("elapsed", None)
        part["history"].pop("seconds")
    return data


def assert_every_file_valid(folder):
    """Each file is a whole result whose checkpoint loads, and no temporary
    file is left but a complete one."""
    from zorv import checkpoints
    for path in folder.iterdir():
        if path.name.startswith(".") and path.name.endswith(".json.lock"):
            # A killed search's lock, with its PID: the next search takes it over.
            assert path.read_text().strip().isdigit()
            continue
        data = json.loads(path.read_text())
        assert data["score"] == zorv_fast.sim(data["plan"])
        checkpoints.load(path)


@pytest.fixture(scope="module")
def uninterrupted(tmp_path_factory):
    folder = tmp_path_factory.mktemp("full")
    result = zorv(*RESTARTING, "--checkpoint-every", 0, "-o", "full.json", cwd=folder)
    assert result.returncode == 0, result.stderr
    data = comparable(folder / "full.json")
    assert data["runs"] >= 3 and data["checkpoint"]["state"]["finished"]
    return folder / "full.json", data


def writing_a_checkpoint(pid, folder):
    """Whether the process has a file open in `folder` that is not yet in
    place: an unnamed one (shown as deleted) or a temporary one."""
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
            if target.startswith(str(folder)) and (target.endswith("(deleted)")
                                                   or ".partial" in target):
                return True
    return False


def remove(path):
    path.unlink()


def cut_short(path):
    with open(path, "r+b") as file:
        file.truncate(4096)


def give_another_builds_identity(path):
    from installation_support import of_another_build
    of_another_build(path)


#: (the file of a copy of the installation, what is done to it, words of the
#: error): each a file that loading the native modules needs, which would
#: otherwise end the command in a traceback, or in a crash with no word
#: (a shared object cut short: SIGBUS).
DAMAGED_INSTALLATIONS = [
    ("zorv/libzorv_core.so", remove, "is missing"),
    ("zorv/libzorv_core.so", cut_short, "has 4096 bytes where the installation recorded"),
    ("zorv/libzorv_core.so", give_another_builds_identity,
     "cannot use the core library {}: it is from another build of zorv_fast"),
    ("zorv_fast.*.so", cut_short, "has 4096 bytes where the installation recorded"),
    ("zorv/_cmaes.*.so", remove, "is missing"),
]


@pytest.mark.parametrize("command", [["check"], ["show", "plan.json"]])
@pytest.mark.parametrize("pattern, damage, words", DAMAGED_INSTALLATIONS,
                         ids=[f"{damage.__name__}-{pattern}" for pattern, damage, _ in
                              DAMAGED_INSTALLATIONS])
def test_a_damaged_installation_is_one_error_line(tmp_path, pattern, damage, words, command):
    from installation_support import REINSTALL, copy_of_installation, environment
    site = copy_of_installation(tmp_path / "installation")
    [damaged] = site.glob(pattern)
    damage(damaged)
    (tmp_path / "plan.json").write_text(json.dumps([0.0] * 40))
    result = subprocess.run([sys.executable, "-m", "zorv", *command], cwd=tmp_path,
                            env=environment(site), capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout) == (1, ""), result.stderr
    [line] = result.stderr.splitlines()
    assert line.startswith("python -m zorv: error: ") and str(damaged) in line, line
    assert words.format(damaged) in line and line.endswith(REINSTALL), line


class TestKillAndResume:
    @pytest.mark.parametrize("when", ["after the first checkpoint", "late",
                                      "inside a checkpoint write",
                                      "late, then resumed twice at once"])
    def test_sigkill_then_resume_gives_the_uninterrupted_result(self, tmp_path, uninterrupted,
                                                                when):
        process = subprocess.Popen(
            [sys.executable, "-m", "zorv", *map(str, RESTARTING), "--checkpoint-every", "0",
             "-o", "run.json"], cwd=tmp_path, stderr=subprocess.PIPE)
        try:
            wait_until((tmp_path / "run.json").exists, "the first checkpoint", process)
            if when.startswith("late"):
                wait_until(lambda: len(json.loads((tmp_path / "run.json").read_text())
                                       ["history"]["best"]) >= 300, "300 generations", process)
            if when == "inside a checkpoint write":
                # Stopped at random moments until one falls inside a write,
                # and killed there: what it has open is read once it stands still.
                def killed_inside_a_write():
                    with frozen(process.pid):
                        if writing_a_checkpoint(process.pid, tmp_path):
                            process.kill()
                            return True
                    return False

                wait_until(killed_inside_a_write, "stopped inside a checkpoint write", process)
            process.kill()
            process.wait()
        finally:
            process.kill()
            process.wait()
        assert_every_file_valid(tmp_path)
        killed = comparable(tmp_path / "run.json")
        assert not killed["checkpoint"]["state"]["finished"]
        if when.endswith("twice at once"):
            # One resumes; the other is refused while it runs (naming it), or
            # finds the search finished: never an earlier state written over.
            resumes = [subprocess.Popen([sys.executable, "-m", "zorv", "search", "--resume",
                                         "run.json", "--quiet"], cwd=tmp_path,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True) for _ in range(2)]
            outcomes = sorted((resume.wait(timeout=HANG), resume.pid, *resume.communicate())
                              for resume in resumes)
            assert outcomes[0][0] == 0 and outcomes[0][3] == "", outcomes
            status, _, stdout, stderr = outcomes[1]
            assert (status, stderr) == (2, "python -m zorv: error: cannot write 'run.json': "
                                           f"another search (process {outcomes[0][1]}) is "
                                           "writing it; wait for it to end, or choose "
                                           "another --output\n") or (
                status == 0 and "finished already" in stdout), outcomes
        else:
            result = zorv("search", "--resume", "run.json", "--quiet", cwd=tmp_path)
            assert result.returncode == 0, result.stderr
        assert comparable(tmp_path / "run.json") == uninterrupted[1]
        assert [path.name for path in tmp_path.iterdir()] == ["run.json"]

    def test_a_warm_started_search_killed_and_resumed(self, tmp_path, uninterrupted):
        # From the plan of another search, at a small step size: it ends at
        # least as far, and a kill and resume changes nothing of its result.
        start = json.loads(uninterrupted[0].read_text())["plan"]
        (tmp_path / "start.json").write_text(json.dumps(start))
        warm = ("search", "--start", "start.json", "--seed", 5, "--popsize", 16,
                "--generations", 1000, "--sigma", "0.02", "--quiet")
        assert zorv(*warm, "-o", "full.json", cwd=tmp_path).returncode == 0
        full = comparable(tmp_path / "full.json")
        assert full["settings"]["start"] == start
        assert full["score"] >= zorv_fast.sim(start)
        process = subprocess.Popen([sys.executable, "-m", "zorv", *map(str, warm),
                                    "--checkpoint-every", "0", "-o", "run.json"], cwd=tmp_path)
        try:
            wait_until((tmp_path / "run.json").exists, "the first checkpoint", process)
        finally:
            process.kill()
            process.wait()
        assert not comparable(tmp_path / "run.json")["checkpoint"]["state"]["finished"]
        result = zorv("search", "--resume", "run.json", "--quiet", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert comparable(tmp_path / "run.json") == full

    def test_resuming_a_finished_search_changes_nothing(self, tmp_path, uninterrupted):
        path = tmp_path / "done.json"
        path.write_bytes(uninterrupted[0].read_bytes())
        before = path.stat()
        result = zorv("search", "--resume", "done.json", cwd=tmp_path)
        assert result.returncode == 0 and "finished already" in result.stdout
        assert path.read_bytes() == uninterrupted[0].read_bytes()
        assert path.stat().st_mtime_ns == before.st_mtime_ns
        assert list(tmp_path.iterdir()) == [path]


def edited(change):
    def edit(data):
        change(data)
        return json.dumps(data)
    return edit


def state_of(data):
    return data["checkpoint"]["state"]


class TestBadCheckpoint:
    @pytest.mark.parametrize("make, words", [
        (lambda d: json.dumps(d)[:len(json.dumps(d)) // 2], "not valid JSON"),
        (lambda d: "\x00 not json", "not valid JSON"),
        (lambda d: "[" * 100_000, "not valid JSON"),
        (edited(lambda d: state_of(d)["optimizer"].update(deep=json.loads(nested_text(600)))),
         "'bad.json' nests lists and objects more than 128 deep"),
        (lambda d: "[1, 2]", "holds no checkpoint"),
        (edited(lambda d: d.pop("checkpoint")), "holds no checkpoint"),
        (edited(lambda d: d["checkpoint"].update(format=2)), "another version"),
        (edited(lambda d: d["checkpoint"].update(zorv_fast="0.0.1")), "another version"),
        (edited(lambda d: state_of(d)["best_plan"].append(0.0)), "40 numbers"),
        (edited(lambda d: state_of(d).update(best_score=99.0)), "score"),
        (edited(lambda d: state_of(d)["settings"].update(popsize="8")), "popsize"),
        (edited(lambda d: state_of(d)["settings"].update(**{"a\nb": 1})), "unexpected"),
        (edited(lambda d: state_of(d)["optimizer"]["C"].pop()), "shape"),
        (edited(lambda d: state_of(d)["optimizer"].update(rng=None)), "generator"),
        (edited(lambda d: state_of(d)["history"]["best"].pop()), "history"),
        (edited(lambda d: state_of(d)["history"]["best"].__setitem__(0, "x")),
         'history best[0] is "x", not a finite number'),
        (edited(lambda d: state_of(d)["history"]["evaluations"].__setitem__(1, -5)),
         "history evaluations[1] is -5"),
        (edited(lambda d: state_of(d)["history"]["seconds"].__setitem__(2, None)),
         "history seconds[2] is null"),
        (edited(lambda d: state_of(d)["history"]["best"].__setitem__(0, 1e300)),
         "best distances fall"),
        (edited(lambda d: state_of(d)["optimizer"]["C"][0].__setitem__(0, -1.0)),
         "C must be positive definite"),
        (edited(lambda d: state_of(d)["optimizer"]["C"][0].__setitem__(1, 0.5)),
         "C must be symmetric"),
        (edited(lambda d: state_of(d)["optimizer"]["D"].__setitem__(0, 1e300)),
         "D does not match C"),
        (edited(lambda d: state_of(d)["optimizer"]["B"][0].__setitem__(0, 2.0)),
         "B must be orthonormal"),
        (edited(lambda d: state_of(d)["optimizer"].update(sigma=1e300)), "at most 1e+140"),
        (edited(lambda d: state_of(d)["optimizer"]["recent_bests"].pop()), "recent_bests"),
        (edited(lambda d: state_of(d)["run_progress"].update(generations=4)), "run progress"),
        (edited(lambda d: state_of(d).update(run_evaluations=3)), "run's plans"),
        (edited(lambda d: state_of(d)["run"].update(popsize=17)), "first run"),
        (edited(lambda d: state_of(d).update(stop_reasons=["tolx"])), "finished search"),
    ])
    def test_one_error_line_and_nothing_overwritten(self, tmp_path, searched, make, words):
        folder, _ = searched
        data = json.loads((folder / "best.json").read_text())
        state_of(data).update(finished=False, stop_reasons=[])  # a search to resume
        bad = make(data)
        (tmp_path / "bad.json").write_text(bad)
        result = zorv("search", "--resume", "bad.json", cwd=tmp_path)
        assert result.returncode == 2, result.stderr
        lines = result.stderr.splitlines()
        assert len(lines) == 1 and "Traceback" not in result.stderr, result.stderr
        assert lines[0].startswith("python -m zorv: error: ") and words in lines[0], lines
        assert (tmp_path / "bad.json").read_text() == bad
        assert list(tmp_path.iterdir()) == [tmp_path / "bad.json"]

    def test_changed_settings_are_refused(self, tmp_path, searched):
        folder, _ = searched
        data = json.loads((folder / "best.json").read_text())
        data["checkpoint"]["state"].update(finished=False, stop_reasons=[])
        (tmp_path / "run.json").write_text(json.dumps(data))
        result = zorv("search", "--resume", "run.json", "--popsize", 32, cwd=tmp_path)
        assert result.returncode == 2 and len(result.stderr.splitlines()) == 1
        assert "--popsize 32 differs from the search to resume (16)" in result.stderr
        (tmp_path / "start.json").write_text(json.dumps([0.25] * 40))
        result = zorv("search", "--resume", "run.json", "--start", "start.json", cwd=tmp_path)
        assert result.returncode == 2 and result.stderr.splitlines() == [
            "python -m zorv: error: --start names another plan than the search to resume "
            "started from: it goes on with its own settings"]


class TestSignals:
    @pytest.mark.parametrize("signals, status", [
        ((signal.SIGTERM,), 128 + signal.SIGTERM),
        ((signal.SIGHUP,), 128 + signal.SIGHUP),
        ((signal.SIGINT, signal.SIGINT), 130),
        # Each arrives after the one before, yet all three may be handled
        # after one native call, in the order of their numbers; the first to
        # arrive decides the status. (Sent back to back, their order of
        # arrival is not theirs to keep: each may land on another of the
        # process's threads, and pending together, they come in the order of
        # their numbers.)
        ((signal.SIGTERM, signal.SIGINT, signal.SIGHUP), 128 + signal.SIGTERM),
    ])
    def test_stop_and_save_also_when_signalled_again(self, tmp_path, signals, status):
        process = subprocess.Popen(
            [sys.executable, "-m", "zorv", "search", "--generations", "1000000",
             "--output", "best.json"],
            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            # Under nohup SIGHUP is ignored, and a search then leaves it so.
            preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_DFL))
        try:
            # The progress line appears after the first generation.
            progress = read_until(process.stderr, b"] generation ")
            for signum in signals:  # each after the one before has been taken
                send_taken(process.pid, signum)
            stdout, stderr = process.communicate(timeout=HANG)
            stderr = progress + stderr
        finally:
            process.kill()
            process.wait()
        assert process.returncode == status, stderr
        assert b"Traceback" not in stderr and b"KeyboardInterrupt" not in stderr
        data = json.loads((tmp_path / "best.json").read_text())
        assert data["interrupted"] is True and data["generations"] > 0
        assert data["score"] == zorv_fast.sim(data["plan"])
        assert [p.name for p in tmp_path.iterdir()] == ["best.json"]


LONG_NAME = "r" * 245 + ".json"  # 250 characters: any added suffix would pass 255


class TestOutputFiles:
    def test_a_killed_writers_temporary_file_goes_and_a_live_ones_stays(self, tmp_path):
        # A writer killed between naming its new file and moving it into
        # place leaves it behind; the next search on the folder removes it.
        # Another machine's PIDs are not this one's: its files stay, also
        # those of a host whose name begins like this one's.
        ended = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                               capture_output=True, text=True, check=True)
        host, dead = os.uname().nodename, int(ended.stdout)
        abandoned = tmp_path / f".zorv-{host}-{dead}-0.partial"
        kept = [f".zorv-{host}-{os.getpid()}-0.partial", f".zorv-elsewhere-{dead}-0.partial",
                f".zorv-{host}-2-{dead}-0.partial", f".zorv-{dead}-0.partial"]
        for name in (abandoned.name, *kept):
            (tmp_path / name).write_text("{")
        assert zorv("search", "--generations", 2, "-o", "best.json", cwd=tmp_path).returncode == 0
        assert sorted(path.name for path in tmp_path.iterdir()) == sorted([*kept, "best.json"])

    @pytest.fixture
    def folder(self, tmp_path, searched):
        source, _ = searched
        (tmp_path / "r.json").write_bytes((source / "best.json").read_bytes())
        unfinished = json.loads((source / "best.json").read_text())
        unfinished["checkpoint"]["state"].update(finished=False, stop_reasons=[])
        (tmp_path / "cut.json").write_text(json.dumps(unfinished))
        (tmp_path / "plan.svg").write_text(json.dumps([0.5] * 40))  # a plan, oddly named
        (tmp_path / "dir").mkdir()
        os.mkfifo(tmp_path / "fifo")
        (tmp_path / "target.svg").write_text("old")
        (tmp_path / "link.svg").symlink_to("target.svg")
        (tmp_path / "empty.json").touch()
        (tmp_path / "convergence.svg").write_text("<svg/>")  # a picture zorv did not draw
        os.mkfifo(tmp_path / ".piped.json.lock")  # anyone can make one in a shared folder
        # busy.json is being written by a search: this process, for the test.
        import fcntl
        with open(tmp_path / ".busy.json.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            lock.write(f"{os.getpid()}\n")
            lock.flush()
            yield tmp_path

    SMALL = ("search", "--popsize", 8, "--generations", 2, "--quiet")

    @pytest.mark.parametrize("args, words", [
        ((*SMALL, "-o", "dir"), "is a folder"),
        ((*SMALL, "-o", "s.json", "--svg", "s.json"), "another output"),
        ((*SMALL, "-o", "fifo"), "FIFO"),
        ((*SMALL, "-o", "/dev/stdout"), "it is a FIFO"),  # a pipe here
        ((*SMALL, "--svg", "best.json"), "another output"),  # -o is best.json
        ((*SMALL, "-o", "a.json", "--svg", ".a.json.lock"),
         "cannot write '.a.json.lock': it is the lock file of the output 'a.json'"),
        ((*SMALL, "-o", "r.json"), "'r.json' holds a search of seed 3 (best distance "
                                   "2.880 after 5 generations): choose another --output, or "
                                   "give --overwrite to replace it"),
        ((*SMALL, "-o", "cut.json"), "'cut.json' holds an unfinished search of seed 3 (best "
                                     "distance 2.880 after 5 generations): --resume it"),
        ((*SMALL, "-o", "link.svg"), "holds 3 bytes of something other than a search result"),
        (("search", "--resume", "cut.json", "-o", "plan.svg"),
         "'plan.svg' holds 200 bytes of something other than a search result"),
        ((*SMALL, "-o", "busy.json"), "cannot write 'busy.json': another search (process "
                                      "{pid}) is writing it; wait for it to end"),
        ((*SMALL, "-o", "busy.json", "--overwrite"), "another search (process {pid})"),
        ((*SMALL, "-o", "piped.json"), "cannot open its lock file '{folder}/.piped.json.lock': "
                                       "it is a FIFO, not a regular file"),
        (("plot", "r.json", "-o", "r.json"), "the input"),
        # Pictures replace zorv's own pictures only, unless told to.
        (("show", "r.json", "-o", "cut.json"), "'cut.json' holds an unfinished search of seed 3 "
                                               "(best distance 2.880 after 5 generations)"),
        (("plot", "r.json", "-o", "cut.json"), "--resume it, choose another --output, or give "
                                               "--overwrite"),
        (("plot", "r.json", "cut.json"), "'convergence.svg' holds 6 bytes of something other "
                                         "than a picture drawn by zorv: choose another --output"),
        (("show", "r.json", "-o", "link.svg"), "'link.svg' holds 3 bytes of something other"),
        ((*SMALL, "--svg", "r.json"), "'r.json' holds a search of seed 3 (best distance 2.880 "
                                      "after 5 generations): choose another --svg"),
        (("show", "plan.svg"), "the input"),
        (("show", "r.json", "-o", ""), "folder"),
        (("show", "r.json", "-o", "."), "folder"),  # "/" and "./" name folders to write into
        (("show", "r.json", "-o", "no/such/run.svg"), "no folder"),
        (("show", "r.json", "-o", "link-to-nowhere/x.svg"), "no folder"),
        # A path ending in a slash names a folder, which must exist.
        ((*SMALL, "-o", "runs2/"), "cannot write into 'runs2/': No such file or directory"),
        ((*SMALL, "--svg", "pics/"), "cannot write into 'pics/': No such file or directory"),
        (("show", "r.json", "-o", "outdir/"), "cannot write into 'outdir/': No such file"),
        (("plot", "r.json", "-o", "empty.json/"), "into 'empty.json/': Not a directory"),
    ])
    def test_refused_before_any_work(self, folder, args, words):
        before = {p.name: (p.lstat().st_mode, p.read_bytes() if p.is_file() else None)
                  for p in folder.iterdir() if p.name != "fifo"}
        result = zorv(*args, cwd=folder)
        assert result.returncode == 2, result.stderr
        lines = result.stderr.splitlines()
        words = words.format(pid=os.getpid(), folder=folder)
        assert len(lines) == 1 and words in lines[0] and "Traceback" not in result.stderr, lines
        after = {p.name: (p.lstat().st_mode, p.read_bytes() if p.is_file() else None)
                 for p in folder.iterdir() if p.name != "fifo"}
        assert after == before

    def test_written_through_devices_links_and_read_fifos(self, folder):
        assert zorv(*self.SMALL, "-o", "empty.json", cwd=folder).returncode == 0
        assert json.loads((folder / "empty.json").read_text())["generations"] == 2
        assert zorv(*self.SMALL, "-o", "r.json", "--overwrite", cwd=folder).returncode == 0
        assert json.loads((folder / "r.json").read_text())["generations"] == 2
        assert zorv("show", "r.json", "-o", "/dev/null", cwd=folder).returncode == 0
        assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
        result = zorv(*self.SMALL, "-o", "/dev/null", "--svg", "/dev/null", cwd=folder)
        assert result.returncode == 0, result.stderr
        assert zorv("show", "r.json", "-o", "link.svg", "--overwrite", cwd=folder).returncode == 0
        assert (folder / "link.svg").is_symlink()
        assert len(frames(folder / "target.svg")) > 0
        # A FIFO: written to a reader, refused without one (rather than waiting).
        alone = zorv("show", "r.json", "-o", "fifo", cwd=folder)
        assert alone.returncode == 1 and "no process reads" in alone.stderr
        # The reader has the FIFO open before the command starts: opened here
        # without waiting for a writer, and handed to it. A writer held here
        # meanwhile keeps it from reading the end of a FIFO that nobody has
        # written yet. The reader's own output goes to a file: into a pipe
        # that nobody empties meanwhile, a picture larger than two pipe
        # buffers would stall it.
        reading = os.open(folder / "fifo", os.O_RDONLY | os.O_NONBLOCK)
        holding = os.open(folder / "fifo", os.O_WRONLY)
        os.set_blocking(reading, True)
        with open(folder / "read.svg", "wb") as read, \
                subprocess.Popen(["cat"], stdin=reading, stdout=read) as reader:
            os.close(reading)
            try:
                assert zorv("show", "r.json", "-o", "fifo", cwd=folder).returncode == 0
            finally:
                os.close(holding)
            assert reader.wait(timeout=HANG) == 0
        assert b"<svg" in (folder / "read.svg").read_bytes()
        assert stat.S_ISFIFO(os.stat(folder / "fifo").st_mode)
        # Standard output, a pipe: it gets the picture alone.
        for command in (("show", "r.json"), ("plot", "r.json")):
            piped = zorv(*command, "-o", "/dev/stdout", cwd=folder)
            assert piped.returncode == 0, piped.stderr
            assert ET.fromstring(piped.stdout).tag == f"{SVG}svg"

    @pytest.mark.skipif(os.geteuid() != 0, reason="making another user's link needs root")
    @pytest.mark.parametrize("folder_mode, folder_owner, link_owner, followed", [
        (0o1777, "me", "another", False),  # a shared folder: anyone may have made it
        (0o1777, "another", "another", True),  # the folder's owner's
        (0o1777, "another", "me", True),  # one's own
        (0o0777, "me", "another", True),  # no sticky bit
        (0o1775, "me", "another", True),  # not writable by all
    ])
    def test_links_in_shared_folders(self, tmp_path, searched, folder_mode, folder_owner,
                                     link_owner, followed):
        users = {"me": os.geteuid(), "another": 4242}
        (tmp_path / "r.json").write_bytes((searched[0] / "best.json").read_bytes())
        (tmp_path / "elsewhere").mkdir()
        (tmp_path / "victim.svg").write_text("old")
        shared = tmp_path / "shared"
        shared.mkdir()
        for name, target in (("link.svg", "victim.svg"), ("folder", "elsewhere")):
            os.symlink(tmp_path / target, shared / name)
            os.lchown(shared / name, users[link_owner], -1)
        os.chown(shared, users[folder_owner], -1)
        shared.chmod(folder_mode)
        for output, written in (("shared/link.svg", "victim.svg"),
                                ("shared/folder/x.svg", "elsewhere/x.svg")):
            result = zorv("show", "r.json", "-o", output, "--overwrite", cwd=tmp_path)
            if followed:
                assert result.returncode == 0, result.stderr
                assert len(frames(tmp_path / written)) > 0
            else:
                assert result.returncode == 2
                assert result.stderr.splitlines() == [
                    f"python -m zorv: error: cannot write {output!r}: "
                    f"'{shared / output.split('/')[1]}' is a symbolic link that another user "
                    f"made in the shared folder '{shared}', which is not followed; name the "
                    "file it points to"]
        if not followed:
            assert (tmp_path / "victim.svg").read_text() == "old"
            assert list((tmp_path / "elsewhere").iterdir()) == []

    def test_pictures_replace_zorvs_own_unasked_and_others_with_overwrite(self, folder):
        steps = [("show", "r.json", "-o", "pic.svg"), ("plot", "r.json", "-o", "pic.svg"),
                 (*self.SMALL, "-o", "s.json", "--svg", "pic.svg"),
                 ("show", "r.json", "-o", "pic.svg", "--frames", 3),
                 ("plot", "r.json", "cut.json", "--overwrite"),
                 ("show", "r.json", "-o", "cut.json", "--overwrite"),
                 (*self.SMALL, "-o", "r.json", "--svg", "convergence.svg", "--overwrite")]
        for args in steps:
            result = zorv(*args, cwd=folder)
            assert result.returncode == 0, (args, result.stderr)
        assert len(frames(folder / "pic.svg")) == 3 and len(frames(folder / "cut.json")) > 1
        assert len(frames(folder / "convergence.svg")) > 1
        assert json.loads((folder / "r.json").read_text())["generations"] == 2

    def test_a_path_ending_in_a_slash_writes_into_the_folder(self, folder):
        for args in ((*self.SMALL, "-o", "dir/", "--svg", "dir/"), ("show", "r.json", "-o", "dir/"),
                     ("plot", "r.json", "-o", "dir/")):
            result = zorv(*args, cwd=folder)
            assert result.returncode == 0, result.stderr
        assert sorted(path.name for path in (folder / "dir").iterdir()) == [
            "best.json", "best.svg", "convergence.svg", "r.svg"]
        assert json.loads((folder / "dir" / "best.json").read_text())["generations"] == 2

    def test_a_name_of_250_characters(self, folder):
        result = zorv(*self.SMALL, "-o", LONG_NAME, cwd=folder)
        assert result.returncode == 0, result.stderr
        assert json.loads((folder / LONG_NAME).read_text())["generations"] == 2

    @pytest.fixture
    def small_mount(self, tmp_path):
        """A 256 KiB tmpfs at tmp_path/mnt (root only), unmounted afterwards."""
        mount = tmp_path / "mnt"
        mount.mkdir()
        made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", str(mount)],
                              capture_output=True)
        if made.returncode != 0:
            pytest.skip("cannot mount a tmpfs here")
        try:
            yield mount
        finally:
            subprocess.run(["umount", "-l", str(mount)], check=True)

    def test_a_lock_that_cannot_be_taken_leaves_no_lock_file(self, tmp_path):
        # flock fails with ENOLCK on some network file systems.
        script = ("import errno, fcntl, sys\n"
                  "def refuse(fd, operation): raise OSError(errno.ENOLCK, 'No locks available')\n"
                  "fcntl.flock = refuse\n"
                  "from zorv.__main__ import main\n"
                  "sys.exit(main(sys.argv[1:], 'zorv'))\n")
        result = subprocess.run([sys.executable, "-c", script, *map(str, self.SMALL), "-o",
                                 "best.json"], cwd=tmp_path, capture_output=True, text=True,
                                timeout=60)
        assert result.returncode == 2
        assert result.stderr.splitlines() == [
            f"zorv: error: cannot write 'best.json': cannot lock its lock file "
            f"'{tmp_path}/.best.json.lock': No locks available"]
        assert list(tmp_path.iterdir()) == []

    def test_a_full_disk_leaves_no_lock_file(self, small_mount):
        with open(small_mount / "filler", "wb", buffering=0) as filler, \
                contextlib.suppress(OSError):
            while True:
                filler.write(b"x" * 4096)
        result = zorv(*self.SMALL, "-o", "best.json", cwd=small_mount)
        assert result.returncode == 2
        assert result.stderr.splitlines() == [
            f"python -m zorv: error: cannot write 'best.json': cannot write its lock file "
            f"'{small_mount}/.best.json.lock': No space left on device"]
        assert [path.name for path in small_mount.iterdir()] == ["filler"]

    def test_a_lost_output_folder_loses_nothing(self, tmp_path):
        for name in ("out", "temporary"):
            (tmp_path / name).mkdir()
        process = subprocess.Popen(
            [sys.executable, "-m", "zorv", "search", "--generations", "1000000",
             "--checkpoint-every", "0", "-q", "-o", "out/best.json"],
            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env={**os.environ, "TMPDIR": str(tmp_path / "temporary")})
        try:
            wait_until((tmp_path / "out" / "best.json").exists, "the first checkpoint", process)

            # The search writes its file every generation: a file it makes
            # while the folder is being emptied keeps the folder, once.
            def removed():
                shutil.rmtree(tmp_path / "out", ignore_errors=True)
                return not (tmp_path / "out").exists()

            wait_until(removed, "the output folder removed")
            _, stderr = process.communicate(timeout=HANG)
        finally:
            process.kill()
            process.wait()
        assert process.returncode == 1
        assert len(stderr.splitlines()) == 2 and "Traceback" not in stderr
        assert unsaved_result(stderr).startswith(
            "python -m zorv: error: cannot write 'out/best.json': No such file or directory; "
            "the search stopped; best distance ")

    def test_read_only_and_full_file_systems(self, small_mount, searched):
        old = (searched[0] / "best.json").read_bytes()
        (small_mount / "old.json").write_bytes(old)
        # Full: the first checkpoint does not fit; the search ends there.
        filler = small_mount / "filler"
        filler.write_bytes(b"x" * (256 * 1024 - len(old) - 16 * 1024))
        (small_mount.parent / "temporary").mkdir()
        result = zorv(*self.SMALL, "-o", small_mount / "old.json", "--overwrite",
                      cwd=small_mount.parent, env={"TMPDIR": str(small_mount.parent / "temporary")})
        assert result.returncode == 1
        assert "No space left on device" in unsaved_result(result.stderr)
        assert (small_mount / "old.json").read_bytes() == old
        assert sorted(p.name for p in small_mount.iterdir()) == ["filler", "old.json"]
        # Read-only: refused before the search.
        subprocess.run(["mount", "-o", "remount,ro", str(small_mount)], check=True)
        result = zorv(*self.SMALL, "-o", small_mount / "new.json", cwd=small_mount.parent)
        assert result.returncode == 2 and "Read-only file system" in result.stderr
        assert len(result.stderr.splitlines()) == 1


class WithoutName:
    """An optimizer of one's own with no name: uniform random plans."""

    def __init__(self, seed=1, popsize=8):
        import numpy
        self.rng = numpy.random.default_rng(seed)
        self.popsize = popsize

    def ask(self):
        return self.rng.uniform(-1.0, 1.0, (self.popsize, 40))

    def tell(self, distances):
        pass


class WithName(WithoutName):
    name = "uniform-random"


class TestWhatTheOutputSays:
    def test_version(self, tmp_path):
        import zorv as package
        result = zorv("--version", cwd=tmp_path)
        assert (result.returncode, result.stdout, result.stderr) == (
            0, f"zorv {package.__version__}\n", "")
        assert package.__version__ != "unknown"

    @pytest.mark.parametrize("optimizer, name", [(WithName, "uniform-random"),
                                                 (WithoutName, "WithoutName")])
    def test_ones_own_optimizer_is_named_in_the_file_and_its_plot(self, tmp_path, optimizer,
                                                                  name):
        import zorv as package
        from zorv.checkpoints import save
        settings = package.SearchSettings(popsize=8, generations=3)
        save(tmp_path / "own.json", package.search(settings, optimizer=optimizer()))
        assert json.loads((tmp_path / "own.json").read_text())["settings"]["optimizer"] == name
        result = zorv("plot", "own.json", "-o", "curve.svg", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        legend = legend_texts(ET.parse(tmp_path / "curve.svg").getroot())
        assert [text.split(":")[0] for text in legend] == [f"own.json ({name}, popsize 8, seed 1)"]

    def test_a_search_of_ones_own_optimizer_is_not_resumed_here(self, tmp_path):
        import zorv as package
        from zorv.checkpoints import save
        generations = []
        result = package.search(package.SearchSettings(popsize=8, generations=5),
                                optimizer=lambda settings, run: WithName(),
                                on_generation=generations.append,
                                should_stop=lambda: len(generations) == 2)
        assert result.interrupted and not result.state.finished
        save(tmp_path / "own.json", result)
        before = (tmp_path / "own.json").read_bytes()
        resumed = zorv("search", "--resume", "own.json", cwd=tmp_path)
        assert resumed.returncode == 2
        assert resumed.stderr.splitlines() == [
            "python -m zorv: error: the search ran an optimizer of its own, 'uniform-random': "
            "resume it with zorv.search(..., optimizer=...) from Python"]
        assert (tmp_path / "own.json").read_bytes() == before

    def test_the_stop_rules_are_explained(self, tmp_path):
        from zorv.cma_es import STOP_RULES
        result = zorv("search", "--popsize", 8, "--sigma", "1e-12", "--restarts", 0, "-q",
                      "-o", "converged.json", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        reasons = json.loads((tmp_path / "converged.json").read_text())["stop_reasons"]
        assert "tolx" in reasons
        [line] = [line for line in result.stdout.splitlines() if "stopped early" in line]
        assert line == "CMA-ES stopped early: " + "; ".join(
            f"{name} ({STOP_RULES[name]})" for name in reasons)

    @pytest.mark.parametrize("optimizer, shown", [
        ("builtin", "tolx (every value of the plans spreads by less than 1e-11, and the "
                    "evolution path is as short, so the plans no longer move); spread"),
        ("random-search", "tolx; spread"),  # one's own rules, whatever their names
    ])
    def test_stop_reasons_of_other_optimizers_are_shown_as_they_are(self, optimizer, shown):
        import zorv as package
        from zorv.command_line.search import stop_reasons
        result = package.SearchResult([0.0] * 40, 0.0, package.SearchSettings(
            optimizer=optimizer), 1, 8, 0.1, stop_reasons=["tolx", "spread"])
        assert stop_reasons(result) == shown

    @pytest.mark.parametrize("seconds, shown", [
        (0.00042, "0.42 ms"), (0.0412, "41 ms"), (0.9996, "1.00 s"), (3.2, "3.20 s"),
        (12.34, "12.3 s"), (59.97, "1 min 0 s"), (125.4, "2 min 5 s"), (3661, "1 h 1 min"),
    ])
    def test_times_keep_their_digits(self, seconds, shown):
        from zorv.display.progress import duration
        assert duration(seconds) == shown

    def test_the_end_line_and_the_help_name_what_exists(self, searched, tmp_path):
        from zorv.distributed import INSTALL_HINT
        _, result = searched
        assert " 0.0 s)" not in result.stdout and "(80 plans scored, " in result.stdout
        assert "stopped early" not in result.stdout  # it ran its generations
        assert INSTALL_HINT == "pip install 'dask[distributed]'"
        help_text = " ".join(zorv("search", "--help", cwd=tmp_path).stdout.split())
        assert f"needs Dask: {INSTALL_HINT}" in help_text


EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, "examples")


@pytest.mark.parametrize("example", ["own_optimizer.py", "cma_search.py", "score_plans.py"])
def test_examples_answer_help_and_bad_input_without_a_traceback(tmp_path, example):
    def run(*args):
        return subprocess.run([sys.executable, os.path.join(EXAMPLES, example), *args],
                              cwd=tmp_path, capture_output=True, text=True, timeout=HANG)

    helped = run("--help")
    assert helped.returncode == 0 and helped.stdout.startswith(f"usage: {example}")
    bad = run("--random" if example == "score_plans.py" else "many", "0")
    assert bad.returncode == 2 and "Traceback" not in bad.stderr
    assert bad.stderr.splitlines()[-1].startswith(f"{example}: error: ")
    if example == "own_optimizer.py":
        unwritable = run("1", "no/such/folder/out.json")
        assert unwritable.returncode == 1
        assert unwritable.stderr.splitlines() == [
            f"{example}: error: cannot write 'no/such/folder/out.json': No such file or directory"]
        if importlib.util.find_spec("nevergrad") is None:
            missing = run("--nevergrad")
            assert missing.returncode == 1 and missing.stderr == (
                f"{example}: error: --nevergrad needs Nevergrad, which is not installed: "
                "pip install nevergrad\n")
    assert not list(tmp_path.iterdir())
