"""How a failure of zorv_fast's native code reaches Python, recognised in
one place.

Such a failure (its worker pool could not start its threads, say) is raised
as `pyo3_runtime.PanicException`, a class that the module does not export
and that derives from BaseException, not Exception, so that `except
Exception` lets it pass.
"""
from __future__ import annotations

#: The text that a PanicException from a worker pool that could not start
#: begins with; the system's error follows it.
POOL_NOT_STARTED = "The global thread pool has not been initialized."


def is_native_failure(error: BaseException) -> bool:
    """Whether `error` is zorv_fast's PanicException."""
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"
