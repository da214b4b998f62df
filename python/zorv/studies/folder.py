"""A study's folder: what it may hold before a study goes into it, the lock
that keeps a second study out while one runs, and the files a study writes
there, each written whole or not at all (zorv.files.writing).

A study goes into a new folder (its parent must exist), an empty one, or
the folder of an earlier study: resumed with `resume`, or started anew with
`overwrite`, which also writes a study into a folder that holds other
files (the study replaces only files of its own names there).
"""
from __future__ import annotations

import json
import os
import stat
from pathlib import Path
from types import TracebackType

from ..files.writing import (OutputLock, OutputLockedError, OutputPathError, check_output,
                             write_text)
from .study import DONE, STUDY_FILE, Study, StudyError, read_study

#: The files a study writes beside its study file, and its folder of runs.
SUMMARY_FILE = "summary.csv"
PICTURE_FILES = ("convergence.svg", "targets.svg", "finals.svg")
RUNS_FOLDER = "runs"


class StudyWriteError(OSError):
    """A file of the study that could not be written; the message is one
    line. What was written before stays."""


class StudyFolder:
    """The folder of a study, locked while it is open (a `with` block, or
    until `release()`): `existing` is the study it held, read under the
    lock when resuming; None for a new study. StudyError (one line) for a
    folder that cannot take the study as asked, or that another study
    holds."""

    def __init__(self, path: Path, *, resume: bool, overwrite: bool) -> None:
        self.path = path
        self.existing: Study | None = None
        _make_if_missing(path, resume)
        study_file = path / STUDY_FILE
        try:
            check_output(study_file, rewritten=True)
            self.lock = OutputLock(study_file)
        except OutputLockedError as error:
            holder = "another process" if error.pid is None else f"process {error.pid}"
            raise StudyError(f"another study ({holder}) is running in {str(path)!r}: wait for "
                             "it to end, or choose another -o") from None
        except OutputPathError as error:
            raise StudyError(str(error)) from None
        try:
            self.existing = _what_it_holds(path, resume, overwrite)
        except BaseException:
            self.lock.release()
            raise

    def write_study(self, study: Study) -> None:
        """Writes the study file (StudyWriteError when it cannot)."""
        self.write(STUDY_FILE, json.dumps(study.to_json(), indent=1, allow_nan=False) + "\n")

    def write(self, name: str, text: str) -> None:
        """Writes a file of the study, `name` relative to its folder
        (StudyWriteError when it cannot)."""
        try:
            write_text(self.path / name, text)
        except OutputPathError as error:
            raise StudyWriteError(str(error)) from None

    def run_path(self, file: str) -> Path:
        """A run's file, its folder made if need be (StudyWriteError when
        it cannot be)."""
        path = self.path / file
        try:
            path.parent.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise StudyWriteError(f"cannot make the folder {str(path.parent)!r}: "
                                  f"{error.strerror or error}") from None
        return path

    def release(self) -> None:
        self.lock.release()

    def __enter__(self) -> StudyFolder:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.release()


def _make_if_missing(path: Path, resume: bool) -> None:
    shown = repr(str(path))
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as error:
        raise StudyError(f"cannot use {shown} for the study: {error.strerror}") from None
    if mode is not None:
        if not stat.S_ISDIR(mode):
            raise StudyError(f"{shown} is not a folder: -o names the study's folder")
        return
    if resume:
        raise StudyError(f"no study to resume in {shown}: there is no such folder")
    parent = path.parent
    if not parent.is_dir():
        raise StudyError(f"cannot make the study's folder {shown}: no folder {str(parent)!r}")
    try:
        path.mkdir(exist_ok=True)  # another study may make it meanwhile: the lock decides
    except OSError as error:
        raise StudyError(f"cannot make the study's folder {shown}: "
                         f"{error.strerror or error}") from None


def _what_it_holds(path: Path, resume: bool, overwrite: bool) -> Study | None:
    """The study to resume; None where a new study may go into the folder;
    StudyError where neither is so."""
    shown = repr(str(path))
    if (path / STUDY_FILE).exists():
        if resume:
            return read_study(path)
        if overwrite:
            return None
        try:
            held = read_study(path)
        except StudyError:
            raise StudyError(f"{shown} holds a study file that this version cannot read: "
                             "choose another -o, or give --overwrite") from None
        done = sum(run.status == DONE for run in held.runs)
        raise StudyError(f"{shown} holds a study ({done} of {len(held.runs)} runs done): "
                         "--resume it, choose another -o, or give --overwrite to start anew")
    if resume:
        raise StudyError(f"{shown} holds no study to resume")
    if overwrite or not _holds_files(path):
        return None
    raise StudyError(f"{shown} holds files of something other than a study: choose a new or "
                     "empty folder for -o, or give --overwrite to write the study into it")


def _holds_files(path: Path) -> bool:
    """Whether the folder holds anything but the study file's lock and the
    temporary files of writes in progress."""
    lock = f".{STUDY_FILE}.lock"
    try:
        return any(entry.name != lock and not entry.name.startswith(".zorv-")
                   for entry in os.scandir(path))
    except OSError as error:
        raise StudyError(f"cannot read the folder {str(path)!r}: {error.strerror}") from None
