"""A study's runs on a Dask cluster: each run a task, one at a time on a
worker (whose sim_batch scores it on that worker's cores), its result sent
back here, where its file is written. A run is the same `zorv.search` as
here, with the same settings: the same numbers either way.

The workers need zorv installed, and one's own optimizer's module on their
import path. A run goes on to its end on its worker: its result comes back
whole, with no checkpoint on the way, so that a study stopped or killed
meanwhile starts it again when resumed.
"""
from __future__ import annotations

import warnings
from collections.abc import Callable, Sequence
from typing import Any

from ..distributed import WAIT_POLL_SECONDS, require_dask
from ..machine.provenance import batch_path_here
from ..searching.loop import SearchFailed, search
from ..searching.optimizer_names import optimizer_factory, parse_optimizer
from ..searching.settings import SearchSettings
from ..searching.state import CheckpointError, SearchResult, SearchState
from .study import RunRecord

#: A run to send: its record, its settings, and the state it goes on from.
Job = tuple[RunRecord, SearchSettings, "SearchState | None"]


def run_remotely(label: str, settings: SearchSettings, state: SearchState | None,
                 ) -> tuple[SearchResult | None, str | None]:
    """Runs on a worker: one run of the study, its result (with the batch
    path that this worker's sim_batch took) and what failed, if anything."""
    try:
        factory = optimizer_factory(parse_optimizer(label))
        try:
            result = search(settings, optimizer=factory, resume=state)
        except CheckpointError:
            if state is None:
                raise
            result = search(settings, optimizer=factory)
    except SearchFailed as failure:
        failure.result.batch_path = batch_path_here()
        return failure.result, " ".join(str(failure).split())[:500]
    except Exception as failure:  # whatever a factory of one's own raises
        return None, f"{type(failure).__name__}: {' '.join(str(failure).split())}"[:500]
    result.batch_path = batch_path_here()
    return result, None


def run_on_cluster(client: Any, jobs: Sequence[Job],
                   ended: Callable[[RunRecord, SearchResult | None, str | None], None],
                   should_stop: Callable[[], bool] | None,
                   on_running: Callable[[tuple[tuple[str, int], ...]], None]) -> bool:
    """Sends every job to the client's workers and hands each run's result
    to `ended` as it comes back; whether a stop request ended the study
    early (the runs still going on are cancelled)."""
    distributed = require_dask("running a study on a Dask cluster")
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Sending large graph", category=UserWarning)
        futures = {client.submit(run_remotely, record.optimizer, settings, state, pure=False):
                   record for record, settings, state in jobs}
    try:
        while futures:
            on_running(tuple((record.optimizer, record.seed) for record in futures.values()))
            try:
                with client.as_current():  # wait() looks for the current client's futures
                    done = distributed.wait(list(futures), timeout=WAIT_POLL_SECONDS,
                                            return_when="FIRST_COMPLETED").done
            except distributed.TimeoutError:
                done = set()
            for future in done:
                record = futures.pop(future)
                try:
                    result, failure = future.result()
                except Exception as error:  # the cluster's own: a worker lost, say
                    result, failure = None, f"on the cluster: {type(error).__name__}: {error}"
                ended(record, result, failure)
            if futures and should_stop is not None and should_stop():
                return True
        return False
    finally:
        if futures:
            client.cancel(list(futures))
