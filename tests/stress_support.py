"""Helpers shared by the leak, soak and reentrancy tests."""
import os

PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    """The resident set of this process, from /proc/self/statm."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def thread_count():
    return len(os.listdir("/proc/self/task"))


def under_address_sanitizer():
    """True when the AddressSanitizer runtime is loaded (tests/run_sanitized.sh).

    Its allocator keeps freed memory in quarantine (up to 256 MiB) and maps
    terabytes of shadow, so resident-memory checks and address-space limits
    mean nothing under it."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()
