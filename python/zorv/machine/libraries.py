"""The optional libraries: imported when first needed, and named with the
pip command that installs them where they are missing."""
from __future__ import annotations

import importlib
import warnings
from typing import Any


class LibraryMissingError(ImportError):
    """A library that is needed (by an optimizer, or for a table as a
    DataFrame) is not installed; the message, one line, names the pip
    command that installs it."""


def import_library(module: str, what: str, package: str | None = None) -> Any:
    """The library `module`, imported without the warnings that some print
    on import (cma's about matplotlib); LibraryMissingError naming `what`
    needs it and `pip install PACKAGE` (the module's name by default) where
    it is not installed."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return importlib.import_module(module)
    except ImportError as error:
        if error.name is not None and error.name.split(".")[0] != module.split(".")[0]:
            raise  # the library is there, but something it needs is not
        raise LibraryMissingError(f"{what} needs {package or module}, which is not installed: "
                                  f"pip install {package or module}") from None
