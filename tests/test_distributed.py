"""zorv.distributed on a local Dask cluster of two worker processes: scores
equal a local sim_batch bit for bit and in order, also when a worker dies
mid-call; each plan travels once, in its chunk's task; searches on the cluster, in
Python and from the command line, equal local ones and record the workers'
batch paths; Ctrl-C, a scheduler without workers and bad addresses; without
Dask, zorv works and the command line says what to install."""
import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from process_waits import HANG, frozen, is_stopped, read_until, send_taken, wait_until

import zorv
import zorv_fast

distributed = pytest.importorskip("distributed", reason="Dask comes with the test extra")

from zorv.distributed import (DaskScorer, chunk_bounds, local_worker_environment,  # noqa: E402
                              open_client, score_population)


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None,
                                  env={"RAYON_NUM_THREADS": "1"}) as cluster:
        yield cluster


@pytest.fixture(scope="module")
def module_client(cluster):
    with distributed.Client(cluster, set_as_default=False) as client:
        yield client


@pytest.fixture
def client(module_client):
    """Both workers up (a test may have killed one, which Dask restarts)."""
    module_client.wait_for_workers(2, timeout=HANG)
    return module_client


def random_plans(count, seed):
    """Mostly in [-1, 1], some beyond, a few NaN."""
    rng = np.random.default_rng(seed)
    plans = rng.uniform(-1.0, 1.0, size=(count, 40))
    plans[rng.random(size=plans.shape) < 0.05] *= 3.0
    plans[rng.random(size=plans.shape) < 0.002] = np.nan
    return plans


def same_bits(a, b):
    return all(type(x) is float for x in a) and repr(a) == repr(b)


def stopping_at_a_chunk(pid, after=None):
    """A worker plugin that stops the worker process `pid` (SIGSTOP) as a
    chunk starts on it, once the file `after` exists where given: the worker
    then holds that chunk, unscored, and tells nothing more."""
    class StopAtAChunk(distributed.WorkerPlugin):
        def transition(self, key, start, finish, **kwargs):
            if (finish == "executing" and str(key).startswith("_score_rows")
                    and os.getpid() == pid and (after is None or os.path.exists(after))):
                os.kill(pid, signal.SIGSTOP)

    return StopAtAChunk()


class Recorder:
    """Wraps a client's scatter and submit to see what a call sends."""

    def __init__(self, client, monkeypatch):
        self.scattered, self.submitted = [], []
        scatter, submit = client.scatter, client.submit

        def recording_scatter(data, **kwargs):
            self.scattered.append((data, kwargs))
            return scatter(data, **kwargs)

        def recording_submit(func, *args, **kwargs):
            self.submitted.append(args)
            return submit(func, *args, **kwargs)

        monkeypatch.setattr(client, "scatter", recording_scatter)
        monkeypatch.setattr(client, "submit", recording_submit)

    def chunks(self):
        return [rows for rows, in self.submitted]

    def bounds(self):
        stops = np.cumsum([0] + [len(rows) for rows in self.chunks()])
        return list(zip(stops[:-1].tolist(), stops[1:].tolist()))


class TestScores:
    @pytest.mark.parametrize("count", [0, 1, 7, 1000])
    @pytest.mark.parametrize("form", ["array", "list"])
    def test_equal_local_sim_batch_bit_for_bit(self, client, count, form):
        array = random_plans(count, seed=count)
        plans = array if form == "array" else array.tolist()
        scores = score_population(client, plans)
        assert same_bits(scores, zorv_fast.sim_batch(plans))
        assert json.dumps(scores) == json.dumps([zorv_fast.sim(p) for p in array.tolist()])

    @pytest.mark.parametrize("count, chunk", [(7, 1), (1000, 3), (1000, 999), (1000, 1000),
                                              (1000, 5000)])
    def test_any_chunk_size_keeps_the_order(self, client, count, chunk):
        plans = random_plans(count, seed=chunk)
        expected = zorv_fast.sim_batch(plans)
        assert len(set(expected)) == count  # so that any reordering shows
        assert same_bits(score_population(client, plans, chunk=chunk), expected)

    def test_strided_and_other_dtype_arrays(self, client):
        plans = random_plans(200, seed=5)
        for view in (plans[::3], np.asfortranarray(plans), plans.astype(np.float32)):
            assert same_bits(score_population(client, view), zorv_fast.sim_batch(view))

    def test_scorer_for_search(self, client):
        plans = random_plans(50, seed=6)
        assert same_bits(DaskScorer(client, chunk=8)(plans), zorv_fast.sim_batch(plans))


class TestWhatIsSent:
    def test_four_chunks_per_worker_each_in_its_own_task(self, client, monkeypatch):
        recorder = Recorder(client, monkeypatch)
        plans = random_plans(1001, seed=7)
        score_population(client, plans)
        assert recorder.scattered == []  # a scattered chunk would die with its worker
        assert recorder.bounds() == chunk_bounds(1001, 8)
        # Each task carries its own rows and no others: a plan crosses once.
        assert all(isinstance(rows, np.ndarray) for rows in recorder.chunks())
        assert np.array_equal(np.concatenate(recorder.chunks()), plans, equal_nan=True)

    def test_given_chunk_size(self, client, monkeypatch):
        recorder = Recorder(client, monkeypatch)
        score_population(client, random_plans(10, seed=8), chunk=4)
        assert recorder.bounds() == [(0, 4), (4, 8), (8, 10)]

    def test_nothing_sent_for_an_empty_population(self, client, monkeypatch):
        recorder = Recorder(client, monkeypatch)
        assert score_population(client, []) == []
        assert score_population(client, np.zeros((0, 40))) == []
        assert recorder.scattered == recorder.submitted == []

    @pytest.mark.parametrize("plans, chunk, error", [
        (np.zeros((3, 39)), None, ValueError), (np.zeros(40), None, ValueError),
        ([[0.0] * 40, [0.0] * 39], None, ValueError), ("plans", None, TypeError),
        ("", None, TypeError), (b"", None, TypeError),
        (np.zeros((3, 40)), 0, ValueError),
    ])
    def test_malformed_input_raises_before_sending(self, client, monkeypatch, plans, chunk,
                                                   error):
        recorder = Recorder(client, monkeypatch)
        with pytest.raises(error):
            score_population(client, plans, chunk=chunk)
        assert recorder.scattered == recorder.submitted == []

    @pytest.mark.parametrize("count", [1, 2, 7, 1000, 1001])
    @pytest.mark.parametrize("chunks", [1, 2, 3, 8, 2000])
    def test_chunk_bounds_cover_in_order_and_balance(self, count, chunks):
        bounds = chunk_bounds(count, chunks)
        assert len(bounds) == min(count, chunks)
        assert bounds[0][0] == 0 and bounds[-1][1] == count
        assert all(a[1] == b[0] for a, b in zip(bounds, bounds[1:]))
        sizes = [stop - start for start, stop in bounds]
        assert min(sizes) >= 1 and max(sizes) - min(sizes) <= 1


class TestWorkerDies:
    @pytest.mark.parametrize("chunk", [None, 4000])
    def test_killed_mid_call_loses_and_reorders_nothing(self, client, chunk):
        plans = random_plans(150_000, seed=9)
        expected = zorv_fast.sim_batch(plans)
        pids = client.run(os.getpid)
        victim = sorted(pids)[0]
        # The victim stops as its first chunk starts: it dies holding it.
        client.register_plugin(stopping_at_a_chunk(pids[victim]), name="stop-the-victim")
        try:
            with ThreadPoolExecutor(1) as pool:
                call = pool.submit(score_population, client, plans, chunk=chunk)
                try:
                    wait_until(lambda: is_stopped(pids[victim]) or call.done(),
                               "the victim stopped at a chunk")
                    assert not call.done()
                finally:
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(pids[victim], signal.SIGKILL)
                scores = call.result(timeout=HANG)
        finally:
            client.unregister_worker_plugin("stop-the-victim")
        assert same_bits(scores, expected)
        # Dask saw the worker go while a chunk of this call ran on it.
        removals = [message for _, message in client.get_events(victim)
                    if isinstance(message, dict) and message.get("action") == "remove-worker"]
        assert removals
        assert any(str(key).startswith("_score_rows")
                   for key in removals[-1]["processing-tasks"])


class TestSearch:
    @pytest.mark.parametrize("chunk", [1024, 10])
    def test_seeded_search_same_as_local(self, client, chunk):
        settings = zorv.SearchSettings(seed=7, popsize=24, generations=6, chunk=chunk)
        here = zorv.search(settings)
        there = zorv.search(settings, score=DaskScorer(client))
        assert (there.plan, there.score) == (here.plan, here.score)
        assert (there.generations, there.evaluations) == (here.generations, here.evaluations)


def zorv_cli(*args, cwd, env=None, timeout=HANG):
    return subprocess.run([sys.executable, "-m", "zorv", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout,
                          env=None if env is None else {**os.environ, **env})


SEARCH = ("search", "--seed", 3, "--popsize", 16, "--generations", 5, "--quiet")


#: Where held_spawns/sitecustomize.py is found.
HELD_SPAWNS = os.path.join(os.path.dirname(__file__), "held_spawns")


def holding_spawned_processes(folder):
    """The environment of a process whose spawned processes (multiprocessing's,
    such as the workers of a local Dask cluster) say that they have started
    with a file started-PID in `folder` and wait until `folder`/go exists."""
    path = os.pathsep.join(filter(None, [HELD_SPAWNS, os.environ.get("PYTHONPATH")]))
    return {**os.environ, "PYTHONPATH": path, "HOLD_SPAWNED_IN": str(folder)}


def without_dask_timing_noise(stderr):
    """`stderr` without what Dask logs of a loaded machine that the command
    line lets through: a nanny that kills a worker slower to close than the
    4 s it waits for, and the traceback of a wait that a second Ctrl-C cut
    short as it began (Dask's sync() then cancels a future that it has not
    made yet, with a NameError)."""
    stderr = re.sub(r".* - distributed\.nanny - WARNING - Worker process still alive after "
                    r"[\d.]+ seconds, killing\n", "", stderr)
    return re.sub(r".* - tornado\.application - ERROR - Exception in callback functools\.partial"
                  r"\(<function sync\.<locals>\.cancel at 0x[0-9a-f]+>\)\n(?:.*\n)*?"
                  r"NameError: cannot access free variable 'future' .*\n", "", stderr)


def without_timings(data):
    """A result without its seconds, its chunk size (a cluster gets a whole
    generation in one call), its checkpoint and what made it (files only)."""
    del data["seconds"], data["history"]["seconds"], data["settings"]["chunk"]
    data.pop("checkpoint", None), data.pop("made_by", None)
    return data


@pytest.fixture(scope="module")
def local_result():
    return without_timings(
        zorv.search(zorv.SearchSettings(seed=3, popsize=16, generations=5)).to_json())


@pytest.fixture(scope="module")
def loopback_servers():
    """Addresses on this host where something other than a scheduler
    listens: "silent" accepts and never answers, "http" is a web server."""
    import http.server
    import socket
    silent = socket.create_server(("127.0.0.1", 0))
    accepted = []

    def accept():
        with contextlib.suppress(OSError):  # closed at the end
            while True:
                accepted.append(silent.accept()[0])

    class QuietHandler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

    web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), QuietHandler)
    threads = [threading.Thread(target=accept, daemon=True),
               threading.Thread(target=web.serve_forever, daemon=True)]
    for thread in threads:
        thread.start()
    yield {"silent": f"tcp://127.0.0.1:{silent.getsockname()[1]}",
           "http": f"tcp://127.0.0.1:{web.server_address[1]}"}
    web.shutdown()
    web.server_close()
    silent.close()
    for connection in accepted:
        connection.close()


class TestCommandLine:
    def test_local_workers_give_the_local_result(self, tmp_path, local_result):
        # The module's cluster holds the default HTTP port 8787 meanwhile.
        result = zorv_cli(*SEARCH, "--local-workers", 2, "-o", "best.json", cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        data = without_timings(json.loads((tmp_path / "best.json").read_text()))
        assert data == local_result
        assert without_dask_timing_noise(result.stderr) == ""  # --quiet, and no word from Dask

    def test_scheduler_address_gives_the_local_result(self, tmp_path, client, local_result):
        result = zorv_cli(*SEARCH, "--scheduler", client.scheduler.address, "-o", "best.json",
                          cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        data = without_timings(json.loads((tmp_path / "best.json").read_text()))
        assert data == local_result

    @pytest.mark.parametrize("address, status, words", [
        ("tcp://127.0.0.1:1", 1, "Connection refused"),  # nothing listens on port 1
        ("127.0.0.1:1", 1, "Connection refused"),
        ("tcp://no-such-host.invalid:8786", 1, "cannot reach"),
        ("{silent}", 1, "did not answer as a Dask scheduler within 10 s"),
        ("{http}", 1, "did not answer as a Dask scheduler"),
        ("nonsense", 2, "bad Dask scheduler address"),
        ("foo://host:1", 2, "bad Dask scheduler address"),
        ("tcp://127.0.0.1:99999", 2, "a port from 1 to 65535"),
        ("tcp://127.0.0.1:0", 2, "a port from 1 to 65535"),
        ("tcp://127.0.0.1", 2, "a port from 1 to 65535"),
        ("tcp://:8786", 2, "a port from 1 to 65535"),
        ("tls://127.0.0.1:8786", 2, "tls:// needs TLS certificates"),
        ("inproc://127.0.0.1/1/1", 2, "inproc:// names a scheduler inside another process"),
        ("ucx://127.0.0.1:8786", 2, "ucx:// is not supported"),
    ])
    def test_unusable_scheduler_is_one_error_line(self, tmp_path, loopback_servers, address,
                                                  status, words):
        # The words tell which check failed: each is the command's own, made
        # before any Dask client, and none waits longer than its 10 s, where
        # a client would retry for half a minute, or for minutes.
        result = zorv_cli(*SEARCH, "--scheduler", address.format(**loopback_servers),
                          cwd=tmp_path)
        assert result.returncode == status
        lines = result.stderr.strip().splitlines()
        assert len(lines) == 1 and "error" in lines[0] and words in lines[0], result.stderr
        assert not list(tmp_path.iterdir())

    def test_scheduler_and_local_workers_exclude_each_other(self, tmp_path):
        result = zorv_cli(*SEARCH, "--scheduler", "tcp://127.0.0.1:1", "--local-workers", 2,
                          cwd=tmp_path)
        assert result.returncode == 2 and "not allowed with" in result.stderr

    @pytest.mark.parametrize("when", ["starting the workers", "searching"])
    def test_ctrl_c_to_the_whole_process_group(self, tmp_path, when):
        # A terminal's Ctrl-C reaches the workers too; they must leave the
        # stop to the search, which still saves its best plan. One that comes
        # while the workers start is not lost either: they are held at their
        # start (see held_spawns/sitecustomize.py) until it has been sent.
        held = tmp_path / "held"
        held.mkdir()
        process = subprocess.Popen(
            [sys.executable, "-m", "zorv", "search", "--generations", "1000000",
             "--local-workers", "2", "--checkpoint-every", "0", "--output", "best.json"],
            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=holding_spawned_processes(held), start_new_session=True)
        try:
            if when == "searching":
                (held / "go").touch()
                # Each generation is saved as it ends: the file is there
                # after the first, and frozen, the search stands still.
                wait_until((tmp_path / "best.json").exists, "a generation", process)
                with frozen(process.pid, group=True):
                    saved = json.loads((tmp_path / "best.json").read_text())["generations"]
                    os.killpg(process.pid, signal.SIGINT)
            else:
                wait_until(lambda: len(list(held.glob("started-*"))) == 2,
                           "both workers started", process)
                os.killpg(process.pid, signal.SIGINT)
                (held / "go").touch()
            stdout, stderr = process.communicate(timeout=HANG)
        finally:
            (held / "go").touch()
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        assert process.returncode == 130, stderr.decode()
        assert b"Traceback" not in stderr and b"KeyboardInterrupt" not in stderr
        data = json.loads((tmp_path / "best.json").read_text())
        assert data["interrupted"] is True
        if when == "searching":  # it stops within the generation that it was scoring
            assert 0 < saved <= data["generations"] <= saved + 1
        else:
            assert data["generations"] == 0
        assert data["score"] == zorv_fast.sim(data["plan"])


class TestLocalWorkers:
    def test_share_the_cores_and_ignore_ctrl_c_also_after_a_restart(self, monkeypatch):
        monkeypatch.delenv("RAYON_NUM_THREADS", raising=False)
        monkeypatch.delenv("RAYON_RS_NUM_CPUS", raising=False)
        share = str(max(1, len(os.sched_getaffinity(0)) // 2))
        assert local_worker_environment(2) == {"RAYON_NUM_THREADS": share}
        before = signal.getsignal(signal.SIGINT)

        def state():  # SIGINT ignored and blocked from the process's start
            return (signal.getsignal(signal.SIGINT) is signal.SIG_IGN,
                    signal.SIGINT in signal.pthread_sigmask(signal.SIG_BLOCK, []),
                    os.environ.get("RAYON_NUM_THREADS"))

        with open_client(local_workers=2) as client:
            assert signal.getsignal(signal.SIGINT) is before
            states = client.run(state)
            assert len(states) == 2
            assert set(states.values()) == {(True, True, share)}
            pids = client.run(os.getpid)
            os.kill(pids[sorted(pids)[0]], signal.SIGKILL)
            # Dask restarts it under a new address.
            wait_until(lambda: len(set(client.nthreads()) - set(pids)) == 1
                       and len(client.nthreads()) == 2, "the killed worker restarted")
            assert set(client.run(state).values()) == {(True, True, share)}

    def test_the_environment_respects_a_thread_count_already_set(self, monkeypatch):
        monkeypatch.setenv("RAYON_NUM_THREADS", "3")
        assert local_worker_environment(2) == {}


WITHOUT_DASK = textwrap.dedent("""
    import sys
    sys.modules["dask"] = sys.modules["distributed"] = None  # as if not installed
    import zorv, zorv.command_line.main, zorv.distributed
    from zorv.command_line.main import main
    result = zorv.search(zorv.SearchSettings(seed=1, popsize=8, generations=2))
    assert result.score == zorv.sim(result.plan)
    try:
        with zorv.distributed.open_client(local_workers=2):
            raise AssertionError("no error without Dask")
    except zorv.distributed.DaskMissingError as error:
        assert isinstance(error, ImportError)
        assert "pip install 'dask[distributed]'" in str(error)
    sys.exit(main(sys.argv[1:], prog="zorv"))
""")


class TestWithoutDask:
    def test_zorv_does_not_import_dask(self, tmp_path):
        code = ("import sys, zorv, zorv.command_line.main, zorv.distributed; "
                "print(sorted(m for m in sys.modules if m.split('.')[0] in "
                "('dask', 'distributed')))")
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                cwd=tmp_path, timeout=HANG)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "[]"

    @pytest.mark.parametrize("option", [["--local-workers", "2"],
                                        ["--scheduler", "tcp://127.0.0.1:8786"]])
    def test_cli_says_what_to_install(self, tmp_path, option):
        result = subprocess.run(
            [sys.executable, "-c", WITHOUT_DASK, "search", *option, "-o", "best.json"],
            capture_output=True, text=True, cwd=tmp_path, timeout=HANG)
        assert result.returncode == 2
        [line] = result.stderr.strip().splitlines()
        assert line == (f"zorv: error: {option[0]} needs Dask, which is not installed: "
                        "pip install 'dask[distributed]'")
        assert not list(tmp_path.iterdir())

    def test_plain_search_still_runs(self, tmp_path):
        result = subprocess.run(
            [sys.executable, "-c", WITHOUT_DASK, "search", "--popsize", "8", "--generations",
             "2", "-q", "-o", "best.json"],
            capture_output=True, text=True, cwd=tmp_path, timeout=HANG)
        assert result.returncode == 0, result.stderr
        assert json.loads((tmp_path / "best.json").read_text())["generations"] == 2


def free_port():
    import socket
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class TestClusterFails:
    @pytest.mark.parametrize("victim", ["scheduler", "worker"])
    def test_lost_mid_search_best_plan_saved_and_resumable(self, tmp_path, victim):
        # A scheduler and a worker of their own, so that either can die; a
        # task whose worker dies fails at once (KilledWorker), as it does
        # after workers are killed over and over by default.
        address = f"tcp://127.0.0.1:{free_port()}"
        env = {**os.environ, "RAYON_NUM_THREADS": "1",
               "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s",
               "DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "0"}
        scheduler = subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
             "--port", address.rsplit(":", 1)[1], "--no-dashboard"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        worker = subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1",
             "--no-dashboard", "--preload", "zorv.distributed"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        args = ("search", "--seed", 4, "--popsize", 4000, "--generations", 40, "--quiet")
        client, worker_pid = None, None
        try:
            client = distributed.Client(address, set_as_default=False, timeout=HANG)
            client.wait_for_workers(1, timeout=HANG)
            worker_pid = next(iter(client.run(os.getpid).values()))
            # The first chunk that starts once a generation is saved stops the
            # worker: the search waits for that chunk while its victim dies.
            client.register_plugin(stopping_at_a_chunk(worker_pid, after=tmp_path / "run.json"))
            search = subprocess.Popen(
                [sys.executable, "-m", "zorv", *map(str, args), "--scheduler", address,
                 "--checkpoint-every", "0", "-o", "run.json"],
                cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            wait_until(lambda: is_stopped(worker_pid), "the worker stopped at a chunk", search)
            if victim == "scheduler":
                client.close()
                scheduler.kill()
            else:  # the worker process under its nanny
                os.kill(worker_pid, signal.SIGKILL)
            stdout, stderr = search.communicate(timeout=HANG)
        finally:
            if client is not None:
                client.close()
            if worker_pid is not None:  # not left stopped when its nanny goes
                with contextlib.suppress(ProcessLookupError):
                    os.kill(worker_pid, signal.SIGKILL)
            for process in (worker, scheduler):
                process.kill()
                process.wait()
        assert search.returncode == 1, stderr.decode()
        # A cluster slow to see the worker back may say it waits for one.
        lines = [line for line in stderr.decode().splitlines() if "has no workers" not in line]
        assert len(lines) == 1 and "Traceback" not in lines[0], lines
        assert "scoring failed" in lines[0] and "run.json" in lines[0]
        assert victim == "scheduler" or "KilledWorker" in lines[0]
        data = json.loads((tmp_path / "run.json").read_text())
        assert data["interrupted"] is True and 0 < data["generations"] < 40
        assert data["score"] == zorv_fast.sim(data["plan"])
        # Resumed here, it ends as the search that never met a cluster.
        assert zorv_cli("search", "--resume", "run.json", "--quiet", cwd=tmp_path).returncode == 0
        assert zorv_cli(*args, "-o", "here.json", cwd=tmp_path).returncode == 0
        resumed, here = (json.loads((tmp_path / name).read_text()) for name in
                         ("run.json", "here.json"))
        assert (resumed["plan"], resumed["history"]["best"]) == (here["plan"],
                                                                  here["history"]["best"])


@pytest.fixture
def empty_scheduler():
    """The address of a scheduler with no workers (yet)."""
    with distributed.LocalCluster(n_workers=0, processes=True, dashboard_address=None,
                                  scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}
                                  ) as cluster:
        yield cluster.scheduler_address


@contextlib.contextmanager
def worker_process(address, **variables):
    """A worker process of its own for the scheduler at `address`."""
    worker = subprocess.Popen(
        [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1",
         "--no-dashboard", "--preload", "zorv.distributed"],
        env={**os.environ, "RAYON_NUM_THREADS": "1", **variables},
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        yield worker
    finally:
        worker.kill()
        worker.wait()


class TestWhoScores:
    @pytest.mark.parametrize("signals", [1, 2])
    def test_no_workers_is_said_at_once_and_ctrl_c_stops_quietly(self, tmp_path,
                                                                empty_scheduler, signals):
        # One Ctrl-C is a stop request, which ends the wait for a worker
        # (no plan could be scored before one came); a second interrupts it.
        process = subprocess.Popen(
            [sys.executable, "-m", "zorv", "search", "--scheduler", empty_scheduler, "-q",
             "-o", "best.json"], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True)
        try:
            # Read unbuffered: what follows is left for communicate().
            assert read_until(process.stderr, b"(Ctrl-C stops)") == (
                f"python -m zorv: the Dask scheduler at {empty_scheduler} has no workers yet; "
                "waiting for one (Ctrl-C stops)\n").encode()
            for _ in range(signals):  # the second after the first was taken
                send_taken(process.pid, signal.SIGINT)
            stdout, stderr = process.communicate(timeout=HANG)
        finally:
            process.kill()
            process.wait()
        assert process.returncode == 130 and without_dask_timing_noise(stderr) == "", stderr
        data = json.loads((tmp_path / "best.json").read_text())
        assert data["interrupted"] is True and data["generations"] == 0

    def test_the_result_names_the_batch_paths_of_the_workers(self, tmp_path, empty_scheduler):
        from zorv.machine.provenance import batch_path_here, made_by
        here = batch_path_here()
        assert here != "portable"  # the path of ZORV_FAST_NO_SIMD
        with distributed.Client(empty_scheduler, set_as_default=False) as client, \
                worker_process(empty_scheduler, ZORV_FAST_NO_SIMD="1"):
            client.wait_for_workers(1, timeout=HANG)
            result = zorv_cli(*SEARCH, "--scheduler", empty_scheduler, "-o", "best.json",
                              cwd=tmp_path)
            assert result.returncode == 0, result.stderr
            assert json.loads((tmp_path / "best.json").read_text())["made_by"]["batch_path"] \
                == "portable"
            with worker_process(empty_scheduler):
                client.wait_for_workers(2, timeout=HANG)
                scorer = DaskScorer(client)
                assert scorer.batch_path() is None  # none asked yet
                plans = random_plans(64, seed=9)
                assert same_bits(scorer(plans), zorv_fast.sim_batch(plans))
                paths = scorer.batch_path()
                assert sorted(paths.values()) == sorted(["portable", here])
                assert set(paths) == set(client.nthreads())
                recorded = made_by(paths)
                assert (recorded["batch_path"], recorded["worker_batch_paths"]) == (
                    "per worker", paths)
