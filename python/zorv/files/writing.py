"""Writing the files a user asked for: checked before any work, whole or not
at all, and never in place of what the name stands for.

A regular file (or a new one) is replaced atomically: the text goes into an
unnamed file in the same folder (Linux's O_TMPFILE; elsewhere a hidden
temporary file, ".zorv-HOST-PID-N.partial"), which is renamed over the
target only once it is complete. A process killed meanwhile leaves the
previous file (and perhaps its temporary file, which the next search on
that folder removes, if the process was this machine's), and a failed write
(a full disk) leaves nothing beside it. A symbolic link is followed, and
the file it points to is replaced, not the link; in a folder that is
sticky and writable by all, such as /tmp, where anyone may have made it,
only a link of this user's or of the folder's owner is followed (the rule
of the kernel's protected_symlinks), and any other is refused. A link that
the system follows to a file without a name (/dev/stdout to a pipe) is
written through as that file. A character device (/dev/null, a terminal)
is written through, never replaced. A FIFO is written through when a
reader has it open, and refused when none has (waiting for one could block
for ever); files that are rewritten during a run (a search's result) refuse
FIFOs altogether. Folders, block devices and sockets are refused.

A search holds its output file for its whole life: `OutputLock` takes a
lock (flock) on a file beside it, ".NAME.lock", which holds the PID of the
process that has it, so that a second search on the same output is refused
with that PID instead of replacing the first's file. The lock goes with the
process, also with one that is killed; the lock file of a killed search is
left behind, and taken over by the next. A lock file that is no regular
file (a FIFO that anyone can make in a shared folder) is refused, and one
that this process made but could not lock or write its PID into is removed.
"""
from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import itertools
import os
import re
import stat
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from types import TracebackType

from .reading import file_kind


class OutputPathError(Exception):
    """An output path that cannot be written; the message is one line."""


class OutputLockedError(OutputPathError):
    """An output that another process holds; the message is one line. `pid`
    is that process's, where its lock file says (None where not)."""

    def __init__(self, message: str, pid: int | None) -> None:
        super().__init__(message)
        self.pid = pid


_temporary_names = itertools.count()


#: Symbolic links followed in one path at most, as the kernel allows.
_MOST_LINKS = 40


def _target(path: Path) -> Path:
    """The file that `path` names: a symbolic link's (final) target.
    OutputPathError for a link that another user planted in a shared folder
    (see `_check_link`), and for a loop of links."""
    links_left = [_MOST_LINKS]
    try:
        return Path(_resolved(os.fspath(path), links_left, checked=True))
    except _PlantedLink as planted:
        link, folder = planted.args
        raise OutputPathError(
            f"cannot write {_shown(path)}: {_shown(Path(link))} is a symbolic link that "
            f"another user made in the shared folder {_shown(Path(folder))}, which is not "
            "followed; name the file it points to") from None
    except OSError as error:
        raise OutputPathError(f"cannot write {_shown(path)}: {error.strerror}") from None


class _PlantedLink(Exception):
    """(the link, its folder)"""


def _resolved(path: str, links_left: list[int], checked: bool) -> str:
    """`path` with every symbolic link in it followed, as os.path.realpath
    does it (a name that does not exist is kept as it is), and with the
    kernel's protected_symlinks rule where `checked`: in a folder that is
    sticky and writable by all (/tmp), a link is followed only where its
    owner is this process's user or the folder's; anyone could have made
    it, so that a write lands wherever they like."""
    resolved = "/" if os.path.isabs(path) else os.getcwd()
    for name in path.split("/"):
        if name in ("", "."):
            continue
        if name == "..":
            resolved = os.path.dirname(resolved)
            continue
        candidate = os.path.join(resolved, name)
        try:
            info = os.lstat(candidate)
            if not stat.S_ISLNK(info.st_mode):
                resolved = candidate
                continue
            text = os.readlink(candidate)
        except OSError:  # missing, or not ours to look at: kept as a name
            resolved = candidate
            continue
        if checked:
            _check_link(candidate, info, resolved)
        links_left[0] -= 1
        if links_left[0] < 0:
            raise OSError(errno.ELOOP, os.strerror(errno.ELOOP))
        followed = _resolved(os.path.join(resolved, text), links_left, checked)
        if not os.path.lexists(followed) and os.path.exists(candidate):
            # A link that the kernel follows to a file without a name, such
            # as /proc/self/fd/1 to a pipe ("pipe:[N]"): the link is the
            # only name it has.
            followed = candidate
        resolved = followed
    return resolved


def _check_link(link: str, info: os.stat_result, folder: str) -> None:
    """Raises _PlantedLink where the link may not be followed (see
    `_resolved`)."""
    try:
        folder_info = os.stat(folder)
    except OSError:
        return
    shared = folder_info.st_mode & stat.S_ISVTX and folder_info.st_mode & stat.S_IWOTH
    if shared and info.st_uid not in (os.geteuid(), folder_info.st_uid):
        raise _PlantedLink(link, folder)


def _shown(path: Path) -> str:
    return repr(str(path))


def output_path(text: str, name: str) -> Path:
    """The file that an output option's `text` names: that path, or, for
    text that ends in a slash, which names a folder (as cp reads it), the
    file `name` inside it. OutputPathError where no such folder exists."""
    if not text.endswith("/"):
        return Path(text)
    try:
        is_folder = stat.S_ISDIR(os.stat(text).st_mode)
    except OSError as error:
        raise OutputPathError(f"cannot write into {text!r}: {error.strerror}") from None
    if not is_folder:
        raise OutputPathError(f"cannot write into {text!r}: it is not a folder")
    return Path(text) / name


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
    such as /dev/null may be named more than once). A rewritten output is
    a search's, locked while it runs (`OutputLock`): no output may be its
    lock file, which goes when the lock does."""
    seen: dict[object, Path] = {}
    for path in inputs:
        seen.setdefault(_identity(path), path)
    names = {_identity(path): path for path in inputs}
    for path, rewritten in outputs:
        check_output(path, rewritten=rewritten)
    locks = {_identity(lock_file(path)): path for path, rewritten in outputs if rewritten}
    for path, rewritten in outputs:
        identity = _identity(path)
        if identity in locks:
            raise OutputPathError(f"cannot write {_shown(path)}: it is the lock file of the "
                                  f"output {_shown(locks[identity])}; name another file")
        if identity in seen and not _is_character_device(path):
            other = seen[identity]
            what = "the input" if identity in names else "another output"
            raise OutputPathError(f"cannot write {_shown(path)}: it is {what} "
                                  f"{_shown(other)}; name another file")
        seen[identity] = path


def same_file(first: Path, second: Path) -> bool:
    """Whether the two names stand for the same file (or would)."""
    return _identity(first) == _identity(second)


def is_standard_output(path: Path) -> bool:
    """Whether `path` names the file that this process's standard output
    is (/dev/stdout, say): what the command says then goes elsewhere."""
    try:
        info = os.fstat(sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):  # no standard output, or closed
        return False
    return _identity(path) == (info.st_dev, info.st_ino)


def _identity(path: Path) -> object:
    # Inputs too: their links were followed as they were read.
    try:
        info = os.stat(path)
    except OSError:
        try:
            return _resolved(os.fspath(path), [_MOST_LINKS], checked=False)
        except OSError:  # a loop of links
            return os.path.abspath(path)
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
    # The host's name, since a folder on a network file system is shared
    # by processes of several machines, each with its own PIDs. Short,
    # whatever the target's length: the name of any file the user may name
    # fits beside it.
    return f".zorv-{_host()}-{os.getpid()}-{next(_temporary_names)}.partial"


def _host() -> str:
    """This machine's name as temporary files carry it: at most 64
    characters (Linux's longest), none but letters, digits, dots and dashes."""
    return re.sub(r"[^A-Za-z0-9.-]", "_", os.uname().nodename)[:64] or "_"


def _remove_abandoned_temporaries(folder: Path) -> None:
    """Removes the temporary files in `folder` of this machine's writers
    that no longer run: a process killed between naming its new file and
    moving it into place leaves one behind. A live process's (or a reused
    PID's) stay, and so do other machines' (their PIDs are not this one's
    to look up)."""
    # The PID and the counter, two numbers at the end, keep one host's
    # names apart from another's whose name begins like it.
    own = re.compile(rf"\.zorv-{re.escape(_host())}-(\d+)-\d+\.partial")
    with contextlib.suppress(OSError):
        for entry in os.scandir(folder):
            match = own.fullmatch(entry.name)
            if match is None or int(match[1]) == os.getpid():
                continue
            if not _is_running(int(match[1])):
                with contextlib.suppress(OSError):
                    os.unlink(entry.path)


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


#: Seconds that a process refused a lock waits for the holder's PID, which
#: the holder writes just after taking the lock.
_PID_WAIT = 0.2


def lock_file(path: Path) -> Path:
    """The lock file of output `path`: ".NAME.lock" beside the file that
    the path names (a symbolic link's target), or, where that name would be
    too long for the folder, a name made from a digest of NAME."""
    target = _target(path)
    name = f".{target.name}.lock"
    try:
        longest = os.pathconf(target.parent, "PC_NAME_MAX")
    except (OSError, ValueError):
        longest = 255
    if len(os.fsencode(name)) > longest:
        digest = hashlib.sha256(os.fsencode(target.name)).hexdigest()[:32]
        name = f".zorv-{digest}.lock"
    return target.parent / name


class OutputLock:
    """The lock of one output file (see the module's docstring), taken as
    it is made: OutputLockedError when another process holds it,
    OutputPathError when the lock file cannot be made. Outputs that are no
    regular file (a character device, a FIFO) are not locked: several
    processes may write them. `release()` (or leaving a `with` block)
    removes the lock file and lets the lock go."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.lock_path: Path | None = None
        self.fd: int | None = None
        try:
            mode: int | None = os.stat(_target(path)).st_mode
        except OSError:
            mode = None
        if mode is not None and not stat.S_ISREG(mode):
            return
        self.lock_path = lock_file(path)
        self.fd = self._take()
        _remove_abandoned_temporaries(_target(path).parent)

    def _take(self) -> int:
        assert self.lock_path is not None
        while True:
            opened = self._open()
            if opened is None:
                continue  # removed between two steps of opening it: again
            fd, created = opened
            try:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    pid = _holder(fd)
                    holder = "another process" if pid is None else f"process {pid}"
                    raise OutputLockedError(f"cannot write {_shown(self.path)}: another search "
                                            f"({holder}) is writing it", pid) from None
                except OSError as error:  # ENOLCK on some network file systems
                    self._remove_if_made(fd, created)
                    raise self._failure("cannot lock", error) from None
                try:
                    in_place = self._still_in_place(fd)
                except OSError as error:
                    raise self._failure("cannot find", error) from None
                if in_place:
                    try:
                        self._write_pid(fd)
                    except OSError as error:  # a full disk
                        self._remove_if_made(fd, created)
                        raise self._failure("cannot write", error) from None
                    return fd
            except BaseException:
                os.close(fd)
                raise
            # The holder before removed the file between its opening here
            # and its locking: the lock of a removed file locks nothing.
            os.close(fd)

    def _open(self) -> tuple[int, bool] | None:
        """The lock file, open, and whether this process made it; None when
        it went between the two tries. Anything but a regular file in its
        place is refused unopened: anyone can make a FIFO in a shared folder,
        and opening a device may do what the device does on opening."""
        assert self.lock_path is not None
        flags = (os.O_RDWR | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
        try:
            return os.open(self.lock_path, flags | os.O_CREAT | os.O_EXCL, 0o644), True
        except FileExistsError:
            pass
        except OSError as error:
            raise self._failure("cannot make", error) from None
        try:
            mode = os.lstat(self.lock_path).st_mode
            if not (stat.S_ISREG(mode) or stat.S_ISLNK(mode)):  # a link: O_NOFOLLOW says
                raise OSError(errno.EINVAL, f"it is {file_kind(mode)}, not a regular file")
            fd = os.open(self.lock_path, flags)
        except FileNotFoundError:
            return None
        except OSError as error:
            raise self._failure("cannot open", error) from None
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):  # put in place after the lstat
            os.close(fd)
            raise self._failure("cannot open", OSError(
                errno.EINVAL, f"it is {file_kind(mode)}, not a regular file"))
        return fd, False

    def _failure(self, what: str, error: OSError) -> OutputPathError:
        assert self.lock_path is not None
        return OutputPathError(f"cannot write {_shown(self.path)}: {what} its lock file "
                               f"{_shown(self.lock_path)}: {error.strerror or error}")

    @staticmethod
    def _write_pid(fd: int) -> None:
        # Written over what a killed holder left, then cut to length: a full
        # disk has the blocks of the old text to write into.
        text = f"{os.getpid()}\n".encode("ascii")
        if os.pwrite(fd, text, 0) != len(text):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        os.ftruncate(fd, len(text))

    def _remove_if_made(self, fd: int, created: bool) -> None:
        """Removes the lock file that this process made (and has open as
        `fd`), so that a failed start leaves nothing behind."""
        assert self.lock_path is not None
        with contextlib.suppress(OSError):
            if created and self._still_in_place(fd):
                os.unlink(self.lock_path)

    def _still_in_place(self, fd: int) -> bool:
        assert self.lock_path is not None
        try:
            named = os.stat(self.lock_path, follow_symlinks=False)
        except FileNotFoundError:
            return False
        opened = os.fstat(fd)
        return (named.st_dev, named.st_ino) == (opened.st_dev, opened.st_ino)

    def release(self) -> None:
        if self.fd is None:
            return
        assert self.lock_path is not None
        # Removed while still locked: a process that opened it meanwhile
        # finds, once it has the lock, that it is no longer in place.
        with contextlib.suppress(OSError):
            os.unlink(self.lock_path)
        os.close(self.fd)
        self.fd = None

    def __enter__(self) -> OutputLock:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.release()


def _is_running(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        return pid > 0  # another user's process, or no PID at all
    return True


def _holder(fd: int) -> int | None:
    """The PID in a lock file held by another process."""
    deadline = time.monotonic() + _PID_WAIT
    while True:
        try:
            text = os.pread(fd, 32, 0).decode("ascii", "replace").strip()
        except OSError:
            return None
        # A dead process's PID is one that a killed holder left: the live
        # holder has taken the lock but not yet written its own.
        if text.isdigit() and _is_running(int(text)):
            return int(text)
        if time.monotonic() >= deadline:
            return None
        time.sleep(0.01)
