"""What the whole suite needs of the process that runs it."""
import signal


def pytest_configure(config):
    # Started in the background by a shell without job control (a script's
    # `bash tests/quick.sh &`), the suite would ignore Ctrl-C, and so would
    # every process it starts: a search that a test interrupts as a user at
    # a terminal does would then run on. It gets Python's own handler back.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    # Under nohup every process would ignore SIGHUP as well, and a search
    # whose terminal a test closes would run on: the default comes back.
    if signal.getsignal(signal.SIGHUP) is signal.SIG_IGN:
        signal.signal(signal.SIGHUP, signal.SIG_DFL)
