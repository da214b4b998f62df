"""`python -m zorv` and the `zorv` command: see `python -m zorv --help`."""

# Only modules that the interpreter has loaded at startup are imported here
# (not even __future__: the annotations are strings), and the package, which
# has made a Ctrl-C end the starting command quietly before anything else.
# The signals come from _signal, the interpreter's own module behind
# `signal`, whose import runs Python code (milliseconds of it on 3.13).
import sys

from . import _EXIT_INTERRUPTED, _exit_at_once_on_interrupt

TYPE_CHECKING = False  # what typing.TYPE_CHECKING is at run time, without importing typing
if TYPE_CHECKING:  # `signal` describes _signal's functions for the type checker
    import signal
    from collections.abc import Sequence
else:
    import _signal as signal


def main(argv: "Sequence[str] | None" = None, prog: "str | None" = None) -> int:
    """Runs the command line. A Ctrl-C that the command does not take itself,
    also one while NumPy and the rest load, ends it quietly with status 130."""
    try:
        took_over = _exit_at_once_on_interrupt()
        try:
            # A damaged installation or a core library of another build: one
            # line, where loading would give a traceback or a crash.
            from .machine.installed_files import native_fault_before_loading
            fault = native_fault_before_loading()
            if fault is None:
                from .command_line.main import main as run_command_line
        except ImportError as error:
            fault = "cannot load zorv: " + str(error).replace("\n", " ")
        finally:
            if took_over:
                signal.signal(signal.SIGINT, signal.default_int_handler)
        if fault is not None:
            from .command_line.exit_status import FAILED
            from .command_line.messages import print_error, program_name
            print_error(program_name(prog), fault)
            return FAILED
        return run_command_line(argv, prog)
    except KeyboardInterrupt:
        return _EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
