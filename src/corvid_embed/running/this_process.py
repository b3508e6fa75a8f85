"""Calls run in this process, each at once when it is submitted."""

from collections.abc import Callable
from concurrent.futures import Future
from typing import Any

from corvid_embed.failures import EmbedError, unexpected
from corvid_embed.running.executor import Executor, RowsCallback


class InThisProcess(Executor):
    capacity = 1
    streams_rows = True
    on_this_machine = True
    in_this_process = True

    def submit(self, function: Callable, *arguments: Any, what: str, on_rows: RowsCallback | None = None) -> Future:
        future: Future = Future()
        try:
            future.set_result(function(*arguments, **({"on_rows": on_rows, "cancelled": None} if on_rows else {})))
        except EmbedError as error:
            future.set_exception(error)
        except Exception as error:
            future.set_exception(unexpected(error, what))
        return future
