"""SIGTERM and SIGHUP (a `timeout`, a closed terminal) end a run as SIGINT does: with an exception
in the main thread, so that temporary files are removed and workers stopped on the way out."""

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager

TERMINATING = (signal.SIGTERM, signal.SIGHUP)


class Terminated(BaseException):
    """The process received `signal_number`; like KeyboardInterrupt, not an Exception."""

    def __init__(self, signal_number: int) -> None:
        super().__init__(signal_number)
        self.signal_number = signal_number


def raise_terminated(number: int, _frame: object) -> None:
    raise Terminated(number)


@contextmanager
def terminating_signals_raise() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise Terminated (in the main thread only; elsewhere
    their handling is left alone)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = {number: signal.signal(number, raise_terminated) for number in TERMINATING}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
