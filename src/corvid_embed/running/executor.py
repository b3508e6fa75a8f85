"""Where calls run: in this process, in local worker processes, or on a Dask cluster.

Each executor takes calls of module-level functions and gives `concurrent.futures.Future`s, and
ends once: closed when its work is done, aborted (its calls stopped) when the run fails. A call
that raises anything but EmbedError fails with the same wording on every executor. A part job,
submitted with `on_rows`, is also given `cancelled`, a function it asks between batches whether
the run still wants it (None where abort stops workers by signals instead).
"""

from collections.abc import Callable
from concurrent.futures import Future
from types import TracebackType
from typing import Any

type RowsCallback = Callable[[int], None]


class Cancelled(Exception):
    """A part job's run no longer wants it: it stops, leaving nothing."""


class Executor:
    capacity: int  # calls that run at once
    streams_rows: bool  # a part job's rows are reported as they are written, not when it ends
    on_this_machine: bool  # its workers share this process's files, memory and temporary directory
    in_this_process: bool  # its calls run here, and may write into this process's buffers

    def __init__(self) -> None:
        self.stopped = False

    def submit(self, function: Callable, *arguments: Any, what: str, on_rows: RowsCallback | None = None) -> Future:
        """Runs `function(*arguments)`; `what` names its rows in messages."""
        raise NotImplementedError

    def close(self) -> None:
        """Ends the executor once its calls are done."""
        if not self.stopped:
            self.stopped = True
            self.finish()

    def abort(self) -> None:
        """Ends the executor now, its calls stopped."""
        if not self.stopped:
            self.stopped = True
            self.stop_now()

    def finish(self) -> None:
        pass

    def stop_now(self) -> None:
        pass

    def __enter__(self) -> "Executor":
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None) -> None:
        if kind is None:
            self.close()
        else:
            self.abort()
