"""Writing the files a user asked for: checked before any work, whole or not
at all, and never in place of what the name stands for.

A regular file (or a new one) is replaced atomically: the text goes into an
unnamed file in the same folder (Linux's O_TMPFILE; elsewhere a hidden
temporary file), which is renamed over the target only once it is complete.
A process killed meanwhile leaves the previous file, and a failed write (a
full disk) leaves nothing beside it. A symbolic link is followed, and the
file it points to is replaced, not the link. A character device (/dev/null,
a terminal) is written through, never replaced. A FIFO is written through
when a reader has it open, and refused when none has (waiting for one could
block for ever); files that are rewritten during a run (a search's result)
refuse FIFOs altogether. Folders, block devices and sockets are refused.
"""
from __future__ import annotations

import contextlib
import errno
import itertools
import os
import stat
from collections.abc import Sequence
from pathlib import Path


class OutputPathError(Exception):
    """An output path that cannot be written; the message is one line."""


_temporary_names = itertools.count()


def _target(path: Path) -> Path:
    """The file that `path` names: a symbolic link's (final) target."""
    return Path(os.path.realpath(path))


def _shown(path: Path) -> str:
    return repr(str(path))


def check_output(path: Path, *, rewritten: bool = False) -> None:
    """Raises OutputPathError unless `path` can be written as this module
    writes it. `rewritten`: the file is written again and again (a FIFO
    would hand each version to another reader, or block)."""
    if str(path) in ("", ".") or path.name in ("", ".", ".."):
        raise OutputPathError(f"cannot write {_shown(path)}: it is a folder, not a file name")
    target = _target(path)
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as error:
        raise OutputPathError(f"cannot write {_shown(path)}: {error.strerror}") from None
    if mode is not None and stat.S_ISDIR(mode):
        raise OutputPathError(f"cannot write {_shown(path)}: it is a folder")
    if mode is not None and stat.S_ISCHR(mode):
        if not os.access(target, os.W_OK):
            raise OutputPathError(f"cannot write {_shown(path)}: permission denied")
        return
    if mode is not None and stat.S_ISFIFO(mode):
        if rewritten:
            raise OutputPathError(f"cannot write {_shown(path)}: it is a FIFO, and this file "
                                  "is rewritten as the search goes on; name a regular file")
        if not os.access(target, os.W_OK):
            raise OutputPathError(f"cannot write {_shown(path)}: permission denied")
        return
    if mode is not None and not stat.S_ISREG(mode):
        raise OutputPathError(f"cannot write {_shown(path)}: it is not a regular file, "
                              "a character device or a FIFO")
    folder = target.parent
    if not folder.is_dir():
        raise OutputPathError(f"cannot write {_shown(path)}: no folder {_shown(path.parent)}")
    try:
        longest = os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        longest = 255
    if len(os.fsencode(target.name)) > longest:
        raise OutputPathError(f"cannot write {_shown(path)}: the name is longer than the "
                              f"{longest} bytes this folder allows")
    # A trial run of the write's first step finds read-only mounts, missing
    # permissions and whatever else the folder refuses.
    try:
        fd, name = _open_temporary(folder)
        os.close(fd)
        if name is not None:
            os.unlink(name)
    except OSError as error:
        raise OutputPathError(f"cannot write {_shown(path)}: {error.strerror}") from None


def check_outputs(outputs: Sequence[tuple[Path, bool]], inputs: Sequence[Path] = ()) -> None:
    """Checks each (path, rewritten) with `check_output`, and that no two
    outputs, and no output and input, are the same file (character devices
    such as /dev/null may be named more than once)."""
    seen: dict[object, Path] = {}
    for path in inputs:
        seen.setdefault(_identity(path), path)
    names = {_identity(path): path for path in inputs}
    for path, rewritten in outputs:
        check_output(path, rewritten=rewritten)
        identity = _identity(path)
        if identity in seen and not _is_character_device(path):
            other = seen[identity]
            what = "the input" if identity in names else "another output"
            raise OutputPathError(f"cannot write {_shown(path)}: it is {what} "
                                  f"{_shown(other)}; name another file")
        seen[identity] = path


def same_file(first: Path, second: Path) -> bool:
    """Whether the two names stand for the same file (or would)."""
    return _identity(first) == _identity(second)


def _identity(path: Path) -> object:
    target = _target(path)
    try:
        info = os.stat(target)
    except OSError:
        return str(target)
    return (info.st_dev, info.st_ino)


def _is_character_device(path: Path) -> bool:
    try:
        return stat.S_ISCHR(os.stat(_target(path)).st_mode)
    except OSError:
        return False


def write_text(path: Path, text: str) -> None:
    """Writes `text` (UTF-8) to `path` as the module docstring says; raises
    OutputPathError (one line) when it cannot."""
    try:
        _write(path, text.encode("utf-8"))
    except OSError as error:
        raise OutputPathError(f"cannot write {_shown(path)}: "
                              f"{error.strerror or error}") from None


def _write(path: Path, data: bytes) -> None:
    target = _target(path)
    try:
        mode: int | None = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and stat.S_ISCHR(mode):
        fd = os.open(target, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
        try:
            _write_all(fd, data)
        finally:
            os.close(fd)
        return
    if mode is not None and stat.S_ISFIFO(mode):
        try:
            fd = os.open(target, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError as error:
            if error.errno == errno.ENXIO:
                raise OSError(error.errno, "no process reads this FIFO") from None
            raise
        try:
            os.set_blocking(fd, True)
            _write_all(fd, data)
        finally:
            os.close(fd)
        return
    if mode is not None and not stat.S_ISREG(mode):
        raise OSError(errno.EINVAL, "not a regular file, a character device or a FIFO")
    _replace(target, data, None if mode is None else stat.S_IMODE(mode))


def _write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _open_temporary(folder: Path) -> tuple[int, Path | None]:
    """A new file in `folder`, open for writing: unnamed where the system
    offers that (None), else under a hidden name."""
    tmpfile = getattr(os, "O_TMPFILE", 0)
    if tmpfile:
        try:
            return os.open(folder, tmpfile | os.O_WRONLY | os.O_CLOEXEC, 0o666), None
        except OSError as error:
            if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                raise
    name = folder / _temporary_name()
    return os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666), name


def _temporary_name() -> str:
    # Short, whatever the target's length: the name of any file the user
    # may name fits beside it.
    return f".zorv-{os.getpid()}-{next(_temporary_names)}.partial"


def _replace(target: Path, data: bytes, mode: int | None) -> None:
    folder = target.parent
    fd, name = _open_temporary(folder)
    try:
        try:
            if mode is not None:
                os.fchmod(fd, mode)  # the replaced file's permissions stay
            _write_all(fd, data)
            os.fsync(fd)
            if name is None:  # give the unnamed file a name, to rename
                name = folder / _temporary_name()
                # With a folder descriptor, os.link calls linkat, which can
                # follow the descriptor's /proc link to the unnamed file.
                folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
                try:
                    os.link(f"/proc/self/fd/{fd}", name.name, dst_dir_fd=folder_fd,
                            follow_symlinks=True)
                finally:
                    os.close(folder_fd)
        finally:
            os.close(fd)
        os.replace(name, target)
    except BaseException:
        if name is not None:
            with contextlib.suppress(OSError):
                os.unlink(name)
        raise
