"""`python -m zorv` and the `zorv` command: see `python -m zorv --help`."""

# Only modules that the interpreter has loaded at startup are imported here
# (not even __future__: the annotations are strings), since a Ctrl-C while
# this module loads could not be answered quietly. The signals come from
# _signal, the interpreter's own module behind `signal`, whose import runs
# Python code (milliseconds of it on 3.13).
import os
import sys

TYPE_CHECKING = False  # what typing.TYPE_CHECKING is at run time, without importing typing
if TYPE_CHECKING:  # `signal` describes _signal's functions for the type checker
    import signal
    from collections.abc import Sequence
else:
    import _signal as signal

#: zorv.exit_status.after_signal(SIGINT), which no import of the package may
#: give before this can answer a Ctrl-C (a test checks that they agree).
_EXIT_INTERRUPTED = 128 + signal.SIGINT


def _exit_interrupted(signum: int, frame: object) -> None:
    # Nothing has been done yet that could be lost. Raising instead would not
    # do: an extension module's import in progress (NumPy's) turns the
    # KeyboardInterrupt into an ImportError with a traceback, or a caller's
    # `except ImportError` swallows it and the command runs on.
    os._exit(_EXIT_INTERRUPTED)


def _exit_at_once_on_interrupt() -> bool:
    """Makes a Ctrl-C end the process at once, where SIGINT has Python's own
    handler; whether it did."""
    if signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        return False
    try:
        signal.signal(signal.SIGINT, _exit_interrupted)
    except ValueError:  # not the main thread, whose signals these are
        return False
    return True


def main(argv: "Sequence[str] | None" = None, prog: "str | None" = None) -> int:
    """Runs the command line. A Ctrl-C that the command does not take itself,
    also one while NumPy and the rest load, ends it quietly with status 130."""
    try:
        took_over = _exit_at_once_on_interrupt()
        try:
            # A damaged installation or a core library of another build: one
            # line, where loading would give a traceback or a crash.
            from .installed_files import native_fault_before_loading
            fault = native_fault_before_loading()
            if fault is None:
                from .cli import main as run_command_line
        except ImportError as error:
            fault = "cannot load zorv: " + str(error).replace("\n", " ")
        finally:
            if took_over:
                signal.signal(signal.SIGINT, signal.default_int_handler)
        if fault is not None:
            from .console import print_error, program_name
            from .exit_status import FAILED
            print_error(program_name(prog), fault)
            return FAILED
        return run_command_line(argv, prog)
    except KeyboardInterrupt:
        return _EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
