"""What made a result: the package, the Python and NumPy under it, the C
library (whose atan2 decides the scores' last bits), the batch path that
scored the plans and NumPy's BLAS (whose kernels decide a pycma search's
path; the builtin optimizer does not use it). Result files and checkpoints
carry it under "made_by"; nothing reads it back, so it never stops a
resume."""
from __future__ import annotations

import functools
import platform
from importlib import metadata
from typing import Any

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


@functools.lru_cache(maxsize=None)
def _made_by() -> tuple[tuple[str, Any], ...]:
    import numpy as np
    from threadpoolctl import threadpool_info  # type: ignore[import-untyped]

    from . import _trace
    from .check import BatchSettings, c_library

    batch = BatchSettings(*_trace.batch_settings())
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
        ("batch_path", batch.path),
        ("blas", blas),
    )


def made_by() -> dict[str, Any]:
    """This process's provenance, as plain JSON data (gathered once)."""
    return {name: list(value) if isinstance(value, list) else value
            for name, value in _made_by()}
