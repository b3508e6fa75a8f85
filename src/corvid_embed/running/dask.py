"""Calls run as tasks on a Dask cluster: `scheduler` is an address or a `distributed.Client`. A
client made here is closed at the end; the calls still running are cancelled on abort, whoever
made the client. The cluster's workers report no rows while a call runs (progress moves as calls
complete); a part job asks at each batch whether its task was cancelled, and stops if so."""

import sys
from collections.abc import Callable
from concurrent.futures import Future
from typing import Any

from corvid_embed.failures import EmbedError, unexpected
from corvid_embed.running.executor import Executor, RowsCallback


class OnDask(Executor):
    streams_rows = False
    on_this_machine = False
    in_this_process = False

    def __init__(self, scheduler: Any, wait_seconds: float) -> None:
        super().__init__()
        self.running: set = set()
        try:
            import distributed
        except ImportError:
            raise EmbedError("a Dask scheduler needs Dask's distributed package: "
                             "pip install 'corvid_py[dask]' (or dask and distributed)") from None
        if isinstance(scheduler, distributed.Client):
            self.client, self.own = scheduler, False
        else:
            try:
                self.client, self.own = distributed.Client(scheduler, timeout="10s"), True
            except (OSError, ValueError, TypeError) as error:
                raise EmbedError(f"cannot reach the Dask scheduler {scheduler}: {error}") from None
        try:
            if not self.client.nthreads():
                print(f"corvid-embed: no workers on the Dask scheduler yet; waiting up to {wait_seconds:g} s",
                      file=sys.stderr, flush=True)
                try:
                    self.client.wait_for_workers(1, timeout=wait_seconds)
                except TimeoutError:
                    raise EmbedError(f"no worker joined the Dask scheduler within {wait_seconds:g} s") from None
            # Two calls a thread, so that a thread finds its next call waiting when one completes
            # rather than after a round trip through this client and the scheduler.
            self.capacity = 2 * max(1, sum(self.client.nthreads().values()))
        except BaseException:
            self.finish()
            raise

    def submit(self, function: Callable, *arguments: Any, what: str, on_rows: RowsCallback | None = None) -> Future:
        future: Future = Future()
        future.set_running_or_notify_cancel()  # the task is cancelled on the cluster, on abort

        def transfer(task: Any) -> None:
            self.running.discard(task)
            if task.cancelled():
                return
            try:
                future.set_result(task.result())
            except EmbedError as error:
                future.set_exception(error)
            except BaseException as error:
                future.set_exception(unexpected(error, what))

        # Dask drops a task whose future nobody holds; these are held until they are done.
        task = self.client.submit(on_dask_worker, function, arguments, on_rows is not None, pure=False)
        self.running.add(task)
        task.add_done_callback(transfer)
        return future

    def finish(self) -> None:
        if self.own:
            self.client.close()

    def stop_now(self) -> None:
        running, self.running = list(self.running), set()
        if running:
            try:
                self.client.cancel(running, force=True)
            except Exception:
                pass  # the scheduler is gone, and its tasks with it
        self.finish()


def on_dask_worker(function: Callable, arguments: tuple, part_job: bool) -> Any:
    """Runs a call in a Dask task. A failure of the worker's own (a path it cannot read or
    write) names the worker, since the same path may work elsewhere."""
    import distributed
    from distributed.worker import thread_state

    worker = distributed.get_worker()
    key = thread_state.key

    def cancelled() -> bool:
        task = worker.state.tasks.get(key)
        return task is None or task.state in ("cancelled", "released")

    try:
        return function(*arguments, **({"on_rows": None, "cancelled": cancelled} if part_job else {}))
    except EmbedError as error:
        raise EmbedError(f"{error} (on the Dask worker {worker.address})") from None
