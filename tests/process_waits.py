"""Waiting on what another process does, never on the clock, so that the
tests pass on a machine whose every core is busy: a file it writes, a line
it prints, a signal it has taken, the state it is in. The one time limit
here, HANG, only ends a wait that would otherwise never end."""
import contextlib
import os
import select
import signal
import time

#: Seconds after which a process that a test waits on counts as hung: far
#: beyond what any step takes on a loaded machine, since no step is timed.
HANG = 300


def wait_until(condition, what, process=None):
    """condition()'s first true value, asked every few milliseconds; fails
    saying that `what` did not happen when `process` (a Popen) ends first,
    or after HANG seconds."""
    give_up = time.monotonic() + HANG
    while True:
        value = condition()
        if value:
            return value
        assert process is None or process.poll() is None, \
            f"{what}: the process ended first, with status {process.returncode}"
        assert time.monotonic() < give_up, f"{what}: not within {HANG} s"
        time.sleep(0.002)


def read_until(stream, marker):
    """The bytes that `stream` (a pipe from a process) gives, read as they
    come, up to the end of the first line that holds `marker` (bytes). The
    rest is left in the pipe: communicate() reads it."""
    fd, data = stream.fileno(), b""
    give_up = time.monotonic() + HANG
    while True:
        ready, _, _ = select.select([fd], [], [], max(0.0, give_up - time.monotonic()))
        assert ready, f"no line with {marker!r} within {HANG} s; got {data[-2000:]!r}"
        byte = os.read(fd, 1)  # one at a time: nothing beyond the line is taken
        assert byte, f"the stream ended before a line with {marker!r}: {data[-2000:]!r}"
        data += byte
        if byte == b"\n" and marker in data[data.rfind(b"\n", 0, -1) + 1:]:
            return data


def _fields(path):
    """The "Name:\tvalue" lines of a /proc status file, as a dict."""
    with open(path) as status:
        return dict(line.rstrip("\n").split(":\t", 1) for line in status if ":\t" in line)


def _threads(pid):
    try:
        return os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:  # gone
        return []


def _thread_state(pid, tid):
    try:
        with open(f"/proc/{pid}/task/{tid}/stat") as stat:
            return stat.read().rpartition(")")[2].split()[0]
    except (FileNotFoundError, ProcessLookupError):  # gone meanwhile
        return "X"


def is_stopped(pid):
    """Whether every thread of process `pid` is stopped (SIGSTOP), or it is
    dead: none of it can run."""
    return all(_thread_state(pid, tid) in "tTZX" for tid in _threads(pid))


def group_members(group):
    """The processes of process group `group`."""
    members = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            with contextlib.suppress(FileNotFoundError, ProcessLookupError):
                with open(f"/proc/{entry}/stat") as stat:
                    if int(stat.read().rpartition(")")[2].split()[2]) == group:
                        members.append(int(entry))
    return members


@contextlib.contextmanager
def frozen(pid, group=False):
    """Process `pid` (its whole process group where `group`) stopped for the
    `with` block, each of its threads seen stopped before the block runs,
    then continued: what the block reads of it holds still, and a signal
    that the block sends waits for the process to run again."""
    send = os.killpg if group else os.kill
    send(pid, signal.SIGSTOP)
    try:
        wait_until(lambda: all(is_stopped(member)
                               for member in (group_members(pid) if group else [pid])),
                   f"process {pid} stopped")
        yield
    finally:
        send(pid, signal.SIGCONT)


def _mask(fields, name):
    return int(fields.get(name, "0"), 16)


def send_taken(pid, signum):
    """Sends `signum` to process `pid` and returns once one of its threads
    has run the signal's handler to its end, so that a signal sent next
    arrives after this one however busy the machine is. That is seen with
    the process stopped (SIGSTOP): the signal pends nowhere, and no thread
    blocks it that did not before. The kernel blocks a signal in a thread
    from its delivery until its handler returns, and stops a thread only
    outside that delivery, where a thread that runs would be caught between
    taking the signal and blocking it."""
    bit = 1 << (signum - 1)

    def masks():
        """Each thread's blocked and pending signals, by thread id."""
        found = {}
        for tid in _threads(pid):
            with contextlib.suppress(FileNotFoundError, ProcessLookupError):
                fields = _fields(f"/proc/{pid}/task/{tid}/status")
                found[tid] = (_mask(fields, "SigBlk"), _mask(fields, "SigPnd"))
        return found

    before = masks()
    os.kill(pid, signum)

    def taken():
        try:
            with frozen(pid):
                if _mask(_fields(f"/proc/{pid}/status"), "ShdPnd") & bit:
                    return False
                for tid, (blocked, pending) in masks().items():
                    earlier = before.get(tid, (blocked, 0))[0]
                    if pending & bit or (blocked & bit and not earlier & bit):
                        return False
                return True
        except (FileNotFoundError, ProcessLookupError):  # gone: nothing pends
            return True

    wait_until(taken, f"signal {signum} taken by process {pid}")
