"""What made a result: the package, the Python and NumPy under it, the C
library (whose atan2 decides the scores' last bits), the batch path that
scored the plans and NumPy's BLAS (whose kernels decide a pycma search's
path; the builtin optimizer does not use it). Result files and checkpoints
carry it under "made_by"; nothing reads it back, so it never stops a
resume.

Plans scored elsewhere (on Dask workers) took the batch paths of the
machines that scored them: the scorer says which (see
zorv.distributed.DaskScorer.batch_path), and "batch_path" holds that path,
or "per worker" where the workers took different ones, with each worker's
under "worker_batch_paths".
"""
from __future__ import annotations

import functools
import platform
from collections.abc import Mapping
from importlib import metadata
from typing import Any, Union

#: The batch path of the plans' scoring: one path, or a path per worker
#: (by the worker's address) where they differ.
BatchPaths = Union[str, Mapping[str, str]]

#: What "batch_path" holds where workers took different paths.
PER_WORKER = "per worker"

#: The distribution that installs both zorv and zorv_fast.
DISTRIBUTION = "zorv_fast"


def package_version() -> str:
    """The installed zorv_fast distribution's version, or "unknown"."""
    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return "unknown"


__version__ = package_version()
"""The installed zorv_fast's version, which `zorv --version` prints ("unknown"
where the package is not installed as a distribution)."""


def batch_path_here() -> str:
    """The batch path that sim_batch takes in this process (its name, as
    zorv._trace.batch_settings() gives it)."""
    from .. import _trace
    from .facts import BatchSettings

    return BatchSettings(*_trace.batch_settings()).path


@functools.lru_cache(maxsize=None)
def _made_by() -> tuple[tuple[str, Any], ...]:
    import numpy as np

    from .facts import c_library

    try:
        from threadpoolctl import threadpool_info  # type: ignore[import-untyped]
    except ImportError:  # it comes with pycma, the one optimizer here that uses BLAS
        blas = ["unknown: threadpoolctl is not installed"]
    else:
        # Thread counts are left out: they follow the limits in force at the call.
        blas = sorted({f"{pool.get('internal_api')} {pool.get('version')} "
                       f"({pool.get('architecture') or 'any CPU'})"
                       for pool in threadpool_info() if pool.get("user_api") == "blas"})
    return (
        ("zorv_fast", package_version()),
        ("python", f"{platform.python_implementation()} {platform.python_version()}"),
        ("numpy", np.__version__),
        ("c_library", str(c_library())),
        ("machine", platform.machine()),
        ("batch_path", batch_path_here()),
        ("blas", blas),
    )


def made_by(batch_path: BatchPaths | None = None) -> dict[str, Any]:
    """This process's provenance, as plain JSON data (gathered once), with
    the batch path of the machines that scored the plans where they were
    scored elsewhere: `batch_path`, one path or a path per worker (None:
    scored here)."""
    data = {name: list(value) if isinstance(value, list) else value
            for name, value in _made_by()}
    if isinstance(batch_path, str):
        data["batch_path"] = batch_path
    elif batch_path is not None:
        paths = {str(worker): str(path) for worker, path in sorted(batch_path.items())}
        if len(set(paths.values())) == 1:
            data["batch_path"] = next(iter(paths.values()))
        elif paths:
            data["batch_path"] = PER_WORKER
            data["worker_batch_paths"] = paths
    return data
