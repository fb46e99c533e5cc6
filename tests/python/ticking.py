"""A timer whose signal handler raises on one call, for tests of interruptible calls."""
import contextlib
import signal

RAISE_ON = 5  # handler calls; each needs a fresh tick, so a call that never polls sees at most one


class Stop(Exception):
    pass


@contextlib.contextmanager
def ticking():
    """SIGALRM every 5 ms; the handler raises Stop on its RAISE_ON-th call only."""
    calls = []

    def handler(signum, frame):
        calls.append(signum)
        if len(calls) == RAISE_ON:
            raise Stop

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
    try:
        yield calls
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
