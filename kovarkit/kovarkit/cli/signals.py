"""SIGINT and SIGTERM as exceptions of the command that runs: Interrupted
(a KeyboardInterrupt, which the engine's workers already stop for) is raised
in the main thread, a second signal is ignored while the command cleans up,
and the command line ends with status 128 + the signal's number."""

import contextlib
import signal
import threading

SIGNALS = (signal.SIGINT, signal.SIGTERM)


class Interrupted(KeyboardInterrupt):
    """A command interrupted by signal signum; note tells what became of
    its outputs."""

    def __init__(self, signum, note=""):
        super().__init__(signum, note)
        self.signum, self.note = signum, note

    @property
    def status(self):
        return 128 + self.signum

    def __str__(self):
        return f"interrupted ({signal.Signals(self.signum).name}){self.note}"


def interrupted(e):
    """e (a KeyboardInterrupt) as an Interrupted."""
    return e if isinstance(e, Interrupted) else Interrupted(signal.SIGINT)


def _raise(signum, frame):
    for s in SIGNALS:
        signal.signal(s, signal.SIG_IGN)
    raise Interrupted(signum)


@contextlib.contextmanager
def as_exceptions():
    """SIGINT and SIGTERM raise Interrupted within the block (in the main
    thread; elsewhere the block runs as it is)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    before = {s: signal.signal(s, _raise) for s in SIGNALS}
    try:
        yield
    finally:
        for s, h in before.items():
            signal.signal(s, signal.SIG_DFL if h is None else h)
