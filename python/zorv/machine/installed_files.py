"""zorv_fast's installed files held against the installation's own record of
them (the RECORD of its dist-info: each file's sha256 and size), so that a
missing, cut-short or changed file is named, also before the native modules
are loaded: a cut-short shared object would end the process with SIGBUS
while loading, with no word."""
from __future__ import annotations

import base64
import csv
import hashlib
import os
from importlib import metadata
from pathlib import Path
from typing import NamedTuple

#: How to put a damaged installation right, as every message says it.
REINSTALL = ("reinstall zorv_fast (pip install --force-reinstall zorv_fast, "
             "or pip install . from a checkout)")

_DISTRIBUTION = "zorv_fast"
_NATIVE_SUFFIX = ".so"
#: Compiled caches, which the interpreter checks against their sources and
#: writes anew: a changed source is named, not its cache.
_CACHES = "__pycache__"


def this_installation() -> metadata.Distribution | None:
    """The installation of zorv_fast whose zorv package this is; None where
    the package is not imported from one (a checkout on sys.path, say)."""
    try:
        distribution = metadata.distribution(_DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return None
    installed = Path(str(distribution.locate_file("zorv")))
    if installed.resolve() != Path(__file__).resolve().parents[1]:  # zorv/machine/ is ours
        return None
    return distribution


def _digest(path: Path) -> str:
    """The file's sha256 as RECORD writes it: URL-safe base64, unpadded."""
    digest = hashlib.sha256(path.read_bytes()).digest()
    return base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


class _Recorded(NamedTuple):
    """One line of RECORD: where the file is, and its sha256 and size where
    recorded (RECORD records neither for itself)."""
    path: Path
    sha256: str | None
    size: int | None


def _recorded_files(distribution: metadata.Distribution) -> list[_Recorded]:
    """Every file that RECORD lists, read from RECORD itself: Distribution.files
    leaves out the files that are missing (from Python 3.12 on), which are the
    ones to name."""
    record = distribution.read_text("RECORD") or ""
    files = []
    for row in csv.reader(record.splitlines()):
        if len(row) != 3 or not row[0]:
            continue
        name, hash_entry, size = row
        mode, _, value = hash_entry.partition("=")
        files.append(_Recorded(Path(os.path.normpath(str(distribution.locate_file(name)))),
                               value if mode == "sha256" and value else None,
                               int(size) if size.isdigit() else None))
    return files


def faults(distribution: metadata.Distribution, native_only: bool = False,
           by_contents: bool = True) -> list[str]:
    """One line for each recorded file that is missing, has another size
    than recorded or, with by_contents, other contents; native_only looks
    at the shared objects alone."""
    found = []
    for recorded in _recorded_files(distribution):
        path = recorded.path
        if (recorded.sha256 is None and recorded.size is None) or _CACHES in path.parts:
            continue  # RECORD itself, and the caches
        if native_only and not path.name.endswith(_NATIVE_SUFFIX):
            continue
        try:
            size = path.stat().st_size
        except FileNotFoundError:
            found.append(f"{path} is missing")
            continue
        if recorded.size is not None and size != recorded.size:
            found.append(f"{path} has {size} bytes where the installation recorded {recorded.size}")
        elif by_contents and recorded.sha256 is not None and _digest(path) != recorded.sha256:
            found.append(f"{path} differs from the installation's record of it")
    return found


def native_fault_before_loading() -> str | None:
    """The first of this installation's shared objects that is missing or of
    another size than recorded, in one line with what to do; None when all
    are as recorded, or where there is no installation to hold them against.
    Only sizes are compared: cheap enough for every start of the command
    line."""
    distribution = this_installation()
    found = [] if distribution is None else faults(distribution, native_only=True,
                                                   by_contents=False)
    return f"{found[0]}; {REINSTALL}" if found else None
