"""Scoring a population on a Dask cluster, possibly spread over several machines.

`score_population(client, plans)` splits the plans into four contiguous chunks
per worker (or chunks of a given size), scores each chunk with
`zorv_fast.sim_batch` on a worker and returns the scores in input order, bit
for bit those of a local `sim_batch`. `DaskScorer` wraps a client for
`zorv.search`, which gives it whole generations (one round trip each), and `open_client` connects to a scheduler or starts a local
cluster of worker processes.

Run the workers with one Dask thread each (`dask worker ADDRESS --nthreads 1`,
or `nthreads=1`): one chunk runs at a time on a worker, and its `sim_batch`
spreads it over that worker's cores with the module's own thread pool
(`RAYON_NUM_THREADS` sizes it, as everywhere). Every worker needs the same
`zorv_fast` installed; for the same bits everywhere the machines also need the
same C library (see "Reproducibility" in the README).

Each chunk travels in its own task (320 bytes a plan), through the scheduler
to the one worker that scores it, and only the scores come back: a call
moves about twice the population's bytes, whatever the number of workers.
The scheduler keeps each chunk until its scores are in, so when a worker
dies mid-call, Dask sends its chunks to the other workers, and the result is
still complete and in order. A scheduler without workers keeps them until
one comes: the call says so within seconds and waits. `DaskScorer` asks each
worker it meets which batch path sim_batch takes there, so that a result
records the paths that scored it, not the client's.

Dask is optional (`pip install 'dask[distributed]'`): this module imports
without it, and its functions raise `DaskMissingError` (an `ImportError`
whose message says what to install).
"""
from __future__ import annotations

import asyncio
import contextlib
import logging
import multiprocessing.resource_tracker
import os
import signal
import socket
import sys
import threading
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Union

import numpy as np
import numpy.typing as npt

import zorv_fast

from . import _trace
from .body import PLAN_SIZE
from .machine.facts import BatchSettings
from .machine.provenance import BatchPaths, batch_path_here

if TYPE_CHECKING:
    # For the annotations only. Without Dask installed, Client is Any; with it,
    # its methods are unannotated: the targeted ignores below cover both.
    from distributed import Client  # type: ignore[import-not-found, unused-ignore]

#: What installs Dask, for the messages that ask for it.
INSTALL_HINT = "pip install 'dask[distributed]'"

#: What `score_population` accepts: an (N, 40) array or a sequence of plans.
Plans = Union[npt.NDArray[np.float64], Sequence[Sequence[float]]]


class DaskMissingError(ImportError):
    """dask.distributed is not installed; the message says how to get it."""

    def __init__(self, what: str = "scoring on a Dask cluster") -> None:
        super().__init__(f"{what} needs Dask, which is not installed: {INSTALL_HINT}")


class SchedulerAddressError(ValueError):
    """A scheduler address that is not one; the message is one line."""


class ClusterUnavailableError(OSError):
    """A scheduler that cannot be reached, or local workers that cannot be
    started; the message is one line."""


#: Seconds a scheduler has to accept a connection and to answer as one: an
#: address where nothing listens, something else listens or nothing answers
#: then fails in seconds, not after Dask's retries of minutes.
SCHEDULER_TIMEOUT = 10.0

#: Why an address of another Dask protocol is refused: the command line and
#: open_client connect over plain TCP only.
_OTHER_PROTOCOLS = {
    "tls": "needs TLS certificates, which are not given here",
    "inproc": "names a scheduler inside another process",
}


def scheduler_endpoint(address: str) -> tuple[str, int]:
    """The host and port of a scheduler address, tcp://HOST:PORT or HOST:PORT
    (IPv6 hosts in brackets); SchedulerAddressError for any other."""
    protocol, separator, location = address.partition("://")
    if not separator:
        protocol, location = "tcp", address
    if protocol != "tcp":
        why = _OTHER_PROTOCOLS.get(protocol, "is not supported here")
        raise SchedulerAddressError(f"bad Dask scheduler address {address!r}: {protocol}:// "
                                    f"{why}; give tcp://HOST:PORT")
    host, colon, port = location.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not (colon and host and port.isascii() and port.isdigit() and 1 <= int(port) <= 65535):
        raise SchedulerAddressError(f"bad Dask scheduler address {address!r}: expected "
                                    "tcp://HOST:PORT with a port from 1 to 65535")
    return host, int(port)


async def _identity(address: str, seconds: float) -> Any:
    connect = require_dask().comm.connect

    async def ask() -> Any:
        comm = await connect(address, timeout=seconds)
        try:
            await comm.write({"op": "identity"})
            return await comm.read()
        finally:
            comm.abort()

    return await asyncio.wait_for(ask(), seconds)


def check_scheduler(address: str, seconds: float = SCHEDULER_TIMEOUT) -> None:
    """Returns once a Dask scheduler answers at `address` within `seconds`
    (twice: to connect, and to answer); raises SchedulerAddressError for a
    malformed address and ClusterUnavailableError for one where no scheduler
    answers. A Client asked to connect to a port that refuses retries for
    half a minute, and to a listener that never answers (or answers HTTP)
    waits for minutes: this fails in seconds."""
    host, port = scheduler_endpoint(address)
    unavailable = f"cannot reach the Dask scheduler {address!r}"
    try:
        socket.create_connection((host, port), timeout=seconds).close()
    except OSError as error:
        raise ClusterUnavailableError(f"{unavailable}: {error.strerror or error}") from None
    try:
        identity = asyncio.run(_identity(address, seconds))
    except asyncio.TimeoutError:
        raise ClusterUnavailableError(
            f"{unavailable}: it did not answer as a Dask scheduler within {seconds:g} s") from None
    except Exception as error:  # whatever a server of another kind makes Dask's reading raise
        raise ClusterUnavailableError(
            f"{unavailable}: it did not answer as a Dask scheduler ({error})") from None
    kind = identity.get("type") if isinstance(identity, dict) else None
    if kind != "Scheduler":
        raise ClusterUnavailableError(f"{unavailable}: it answered as a {kind or 'stranger'}, "
                                      "not as a Dask scheduler")


def require_dask(what: str = "scoring on a Dask cluster") -> Any:
    """Imports and returns the `distributed` package, or raises DaskMissingError."""
    try:
        import distributed
    except ImportError:
        raise DaskMissingError(what) from None
    return distributed


def _as_rows(plans: Plans) -> npt.NDArray[np.float64]:
    if isinstance(plans, (str, bytes)):  # also an empty one
        raise TypeError("plans must be a sequence of plans, not a string")
    if len(plans) == 0:
        return np.zeros((0, PLAN_SIZE))
    rows = np.ascontiguousarray(plans, dtype=np.float64)
    if rows.ndim != 2 or rows.shape[1] != PLAN_SIZE:
        raise ValueError(f"plans must form an (N, {PLAN_SIZE}) array, got shape {rows.shape}")
    return rows


def chunk_bounds(count: int, chunks: int) -> list[tuple[int, int]]:
    """`chunks` contiguous, nonempty row ranges covering range(count), sizes within one."""
    chunks = max(1, min(chunks, count))
    edges = [i * count // chunks for i in range(chunks + 1)]
    return list(zip(edges[:-1], edges[1:]))


#: Chunks per worker by default: a slow or restarted worker then delays a
#: call by a fraction of its share, while the others take its other chunks.
CHUNKS_PER_WORKER = 4


def _score_rows(rows: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Runs on a worker: the scores of its chunk, read in place.

    As an array: Dask sends it as one buffer, where a list of floats costs
    several times the scoring itself.
    """
    return np.array(zorv_fast.sim_batch(rows), dtype=np.float64)


#: Seconds between looks at the cluster while a call waits for its scores:
#: a scheduler left without workers is told within about this long.
WAIT_POLL_SECONDS = 1.0


def _say_on_stderr(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def score_population(client: Client, plans: Plans, *, chunk: int | None = None,
                     waiting: Callable[[str], None] | None = _say_on_stderr,
                     should_stop: Callable[[], bool] | None = None) -> list[float]:
    """The score of every plan, in input order, computed on the client's workers.

    The scores are bit for bit those of `zorv_fast.sim_batch(plans)` on a
    machine with the same C library. `chunk` is the number of plans per task;
    by default there are four contiguous chunks per worker (the workers known
    when the call starts; with none yet, four chunks wait for the first).
    Each chunk is its task's own argument: it crosses the network once to
    the scheduler and once to the worker that scores it, and the scheduler
    keeps it, so that a chunk whose worker dies is sent again to another.
    Plans are converted to float64 first, so a malformed population raises
    ValueError or TypeError here, before anything is sent.

    A scheduler without workers keeps the chunks until one comes: the call
    says so within seconds, once, through `waiting` (by default one line on
    standard error; None says nothing), and waits on. While it waits so,
    a true `should_stop()` ends the wait with KeyboardInterrupt, as a Ctrl-C
    does: no plan can be scored before a worker comes. Interrupted, the call
    cancels its chunks on the cluster.
    """
    return _score(client, plans, chunk, None, waiting, should_stop)


def _score(client: Client, plans: Plans, chunk: int | None,
           workers: Mapping[str, int] | None, waiting: Callable[[str], None] | None,
           should_stop: Callable[[], bool] | None) -> list[float]:
    """score_population, given the workers (by address) when known."""
    if chunk is not None and chunk < 1:
        raise ValueError(f"chunk must be at least 1, got {chunk}")
    rows = _as_rows(plans)
    if len(rows) == 0:
        return []
    if workers is None:
        workers = client.nthreads()  # type: ignore[no-untyped-call, unused-ignore]
    if chunk is None:
        bounds = chunk_bounds(len(rows), CHUNKS_PER_WORKER * max(1, len(workers)))
    else:
        bounds = [(first, min(first + chunk, len(rows))) for first in range(0, len(rows), chunk)]
    with warnings.catch_warnings():
        # Dask suggests scattering large task arguments; here they are the
        # point: a scattered chunk dies with its worker.
        warnings.filterwarnings("ignore", message="Sending large graph", category=UserWarning)
        futures = [client.submit(  # type: ignore[no-untyped-call, unused-ignore]
                       _score_rows, rows[start:stop], pure=False)
                   for start, stop in bounds]
    parts: list[npt.NDArray[np.float64]]
    try:
        _wait_for_scores(client, futures, had_workers=bool(workers), waiting=waiting,
                         should_stop=should_stop)
        parts = client.gather(futures)  # type: ignore[no-untyped-call, unused-ignore]
    except BaseException:  # such as a second Ctrl-C: the workers stop too
        _quiet_cancelled_gathers()
        client.cancel(futures)  # type: ignore[no-untyped-call, unused-ignore]
        raise
    scores: list[float] = np.concatenate(parts).tolist()  # float64 to float: exact
    return scores


#: What a wait that times out raises: the builtin TimeoutError from Python
#: 3.11 on, asyncio's (which Dask raises) before.
_WAIT_TIMEOUTS = (TimeoutError, asyncio.TimeoutError)


def _wait_for_scores(client: Client, futures: list[Any], had_workers: bool,
                     waiting: Callable[[str], None] | None,
                     should_stop: Callable[[], bool] | None) -> None:
    """Returns once every chunk is scored or has failed (gather then raises
    its error), looking at the cluster every WAIT_POLL_SECONDS meanwhile."""
    wait = require_dask().wait
    address = getattr(client.scheduler, "address", None) or "its address"
    told = False
    if not had_workers:
        told = _tell_waiting(waiting, address, "yet")
    while True:
        try:
            with client.as_current():  # type: ignore[no-untyped-call, unused-ignore]
                wait(futures, timeout=WAIT_POLL_SECONDS)  # the current client's futures
            return
        except _WAIT_TIMEOUTS:
            pass
        if client.nthreads():  # type: ignore[no-untyped-call, unused-ignore]
            told, had_workers = False, True  # tell again if they all leave
            continue
        if should_stop is not None and should_stop():
            raise KeyboardInterrupt
        if not told:
            told = _tell_waiting(waiting, address, "now" if had_workers else "yet")


def _tell_waiting(waiting: Callable[[str], None] | None, address: str, when: str) -> bool:
    if waiting is not None:
        waiting(f"the Dask scheduler at {address} has no workers {when}; waiting for one "
                "(Ctrl-C stops)")
    return True


class _CancelledGathers(logging.Filter):
    """Drops asyncio's "Task exception was never retrieved" reports of the
    waits inside a gather whose chunks were cancelled: Dask ends them with
    AllExit and leaves them unread. Nothing is lost: the call that was
    interrupted knows."""

    def filter(self, record: logging.LogRecord) -> bool:
        error = record.exc_info[1] if record.exc_info else None
        return type(error).__name__ != "AllExit"


_cancelled_gathers = _CancelledGathers()


def _quiet_cancelled_gathers() -> None:
    # Added once (a logger holds a filter once), when chunks are cancelled.
    logging.getLogger("asyncio").addFilter(_cancelled_gathers)


@dataclass(frozen=True)
class DaskScorer:
    """`score_population` on one client, as a scorer for `zorv.search`:

        zorv.search(settings, score=DaskScorer(client))

    `waiting` and `should_stop` are score_population's: what tells that the
    cluster has no workers, and what ends such a wait. The scorer asks each
    worker that it meets for the batch path that sim_batch takes there:
    `batch_path()` says which the workers took, for the result's provenance.
    """

    client: Client
    chunk: int | None = None
    waiting: Callable[[str], None] | None = _say_on_stderr
    should_stop: Callable[[], bool] | None = None
    #: zorv.search gives it a whole generation per call (one round trip
    #: through the scheduler), which it splits among the workers itself.
    whole_generations = True
    _batch_paths: dict[str, str] = field(default_factory=dict, init=False, repr=False,
                                         compare=False)

    def __call__(self, plans: Plans) -> list[float]:
        workers = self.client.nthreads()  # type: ignore[no-untyped-call, unused-ignore]
        scores = _score(self.client, plans, self.chunk, workers, self.waiting,
                        self.should_stop)
        self._ask_batch_paths(workers)
        return scores

    def _ask_batch_paths(self, workers: Mapping[str, int]) -> None:
        new = sorted(set(workers) - set(self._batch_paths))
        if not new:
            return
        try:
            answers = self.client.run(  # type: ignore[no-untyped-call, unused-ignore]
                batch_path_here, workers=new, on_error="return")
        except Exception:  # the cluster went away meanwhile: asked again next time
            return
        self._batch_paths.update({worker: path for worker, path in answers.items()
                                  if isinstance(path, str)})

    def batch_path(self) -> BatchPaths | None:
        """The batch path that sim_batch took on the workers that scored:
        one path where they all took it, else each worker's (by address);
        None before any worker has answered."""
        paths = dict(sorted(self._batch_paths.items()))
        if not paths:
            return None
        if len(set(paths.values())) == 1:
            return next(iter(paths.values()))
        return paths


def local_worker_environment(workers: int) -> dict[str, str]:
    """Environment for `workers` worker processes on this machine: unless a
    variable that sets sim_batch's thread count is set already (and
    inherited), each worker's pool gets an equal share of the threads that
    sim_batch's pool takes here (the processors this process may use, its
    control group's quota included), at least one."""
    if any(name in os.environ for name in _trace.thread_variables):
        return {}
    threads = BatchSettings(*_trace.batch_settings()).threads
    return {_trace.thread_variables[0]: str(max(1, threads // workers))}


def _in_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()  # signals work there only


@contextlib.contextmanager
def _sigint_blocked() -> Iterator[None]:
    # A terminal's Ctrl-C reaches the whole process group; it is meant for the
    # search, which stops and closes the cluster itself. Threads started
    # meanwhile (the cluster's event loop, and from it the ones that start
    # worker processes, also later restarts) inherit the blocked SIGINT, and
    # so do the processes, whose Python leaves it blocked. A Ctrl-C meanwhile
    # is not lost: another thread of this process takes it, or this one when
    # the block ends. multiprocessing unblocks SIGINT in the thread that
    # starts its resource tracker, so that is started first.
    if not _in_main_thread():
        yield
        return
    multiprocessing.resource_tracker.ensure_running()
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def dask_setup(worker: object) -> None:
    """Run by Dask in each worker that preloads this module (`open_client`'s
    local workers do; `dask worker ADDRESS --nthreads 1 --preload
    zorv.distributed` for others): the worker ignores Ctrl-C, which is meant
    for the process that drives the search (`open_client`'s workers start
    with it blocked already; this covers the rest), and builds the thread
    pool of `sim_batch` before the first chunk arrives."""
    if _in_main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    zorv_fast.sim_batch([[0.0] * PLAN_SIZE])


@contextlib.contextmanager
def open_client(scheduler: str | None = None, local_workers: int | None = None,
                ) -> Iterator[Client]:
    """A client of the scheduler at `scheduler` (such as "tcp://host:8786"), or
    of a cluster of `local_workers` worker processes on this machine, one
    Dask thread each, started here and closed on exit. Give exactly one.
    The local workers split the cores between their pools (see
    `local_worker_environment`) and ignore Ctrl-C, also when Dask restarts
    one that died.

    The scheduler's address is tcp://HOST:PORT (or HOST:PORT); a Client of
    your own reaches schedulers over other protocols, such as TLS.

    Raises DaskMissingError without Dask, SchedulerAddressError (a
    ValueError) for a malformed address, and ClusterUnavailableError (an
    OSError) when no scheduler answers at the address within
    SCHEDULER_TIMEOUT seconds or the local workers cannot be started; their
    messages are one line each, for the user.
    """
    if (scheduler is None) == (local_workers is None):
        raise ValueError("give either a scheduler address or a number of local workers")
    distributed = require_dask()
    with contextlib.ExitStack() as stack:
        if scheduler is not None:
            # Checked first: a Client that failed to connect would hang for a
            # minute at exit, trying to close itself.
            check_scheduler(scheduler)
            try:
                client = distributed.Client(scheduler, set_as_default=False,
                                            timeout=SCHEDULER_TIMEOUT)
            except (OSError, RuntimeError) as error:
                raise ClusterUnavailableError(
                    f"cannot reach the Dask scheduler {scheduler!r}: {error}") from error
        else:
            assert local_workers is not None
            if local_workers < 1:
                raise ValueError(f"local_workers must be at least 1, got {local_workers}")
            try:
                with _sigint_blocked():
                    cluster = stack.enter_context(distributed.LocalCluster(
                        n_workers=local_workers, threads_per_worker=1, processes=True,
                        dashboard_address=None, env=local_worker_environment(local_workers),
                        preload=[__name__],
                        # Dask's own logs of the cluster that this call made
                        # and ends, such as a worker's heartbeat that meets a
                        # scheduler already closing on a loaded machine, are
                        # no news to the user: what fails reaches the caller.
                        silence_logs=logging.CRITICAL,
                        # No dashboard; the scheduler's other HTTP routes on any
                        # free port of this host, not 8787, which may be another's.
                        scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}))
                client = distributed.Client(cluster, set_as_default=False)
            except (OSError, RuntimeError) as error:
                raise ClusterUnavailableError(
                    f"cannot start {local_workers} local Dask workers: {error}") from error
        # Errors of the caller's own work below pass through unchanged.
        yield stack.enter_context(client)
