"""Where calls run: in this process, in local worker processes, or on a Dask cluster.

Each executor takes calls of module-level functions and gives `concurrent.futures.Future`s. The
local workers are plain child processes spoken to through pipes (no multiprocessing machinery,
so nothing of theirs outlives a run): they are in a process group of their own, so that Ctrl-C
reaches only this process, which stops them; and they end when this process dies.
"""

import os
import pickle
import signal
import subprocess
import sys
import threading
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future
from typing import Any

from corvid_embed import janitor
from corvid_embed.errors import EmbedError

type RowsCallback = Callable[[int], None]

# A worker ends quietly on these signals from its first instruction, its imports included.
WORKER_START = ("import signal, sys\n"
                "def end(number, frame): sys.exit(128 + number)\n"
                "for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP): signal.signal(number, end)\n"
                "from corvid_embed.worker_process import main\n"
                "main()\n")

# Seconds to wait for a first worker on a Dask scheduler that has none, unless told otherwise.
SCHEDULER_WAIT = 60.0
# Seconds a stopped worker gets to remove its temporary files before it is killed.
STOP_GRACE = 5


class InThisProcess:
    """Runs each call at once, when it is submitted."""

    capacity = 1
    streams_rows = True

    def submit(self, function: Callable, *arguments: Any, what: str = "", on_rows: RowsCallback | None = None) -> Future:
        future: Future = Future()
        try:
            future.set_result(function(*arguments, **({"on_rows": on_rows} if on_rows else {})))
        except Exception as error:
            future.set_exception(error)
        return future

    def close(self) -> None:
        pass

    abort = close


class Call:
    def __init__(self, number: int, function: Callable, arguments: tuple, what: str, on_rows: RowsCallback | None):
        self.number, self.function, self.arguments, self.what, self.on_rows = number, function, arguments, what, on_rows
        self.future: Future = Future()


class Worker:
    def __init__(self) -> None:
        # The caller's import path, so that a worker imports this package from where the caller did.
        path = os.pathsep.join(os.path.abspath(entry) for entry in sys.path)
        inherited = janitor.inheritable()
        # A worker stopped inside an import (a run that fails at once) leaves the module's file to
        # the collector, which a debug interpreter reports on the run's standard error.
        self.process = subprocess.Popen(
            [sys.executable, "-W", "ignore::ResourceWarning", "-c", WORKER_START, str(os.getpid())],
            env={**os.environ, "PYTHONPATH": path, **inherited},
            pass_fds=[int(fd) for fd in inherited.values()],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, process_group=0)
        self.call: Call | None = None


class WorkerPool:
    """`count` worker processes, each running one call at a time; the model a call loads stays
    loaded in its worker for the next."""

    streams_rows = True

    def __init__(self, count: int) -> None:
        cores = os.cpu_count() or 1
        if count > cores:
            print(f"corvid-embed: warning: {count} workers on {cores} cores; more than one a core only slows "
                  f"the run", file=sys.stderr, flush=True)
        self.capacity = count
        self.lock = threading.Lock()
        self.queue: deque[Call] = deque()
        self.numbers = iter(range(1 << 62))
        self.broken: EmbedError | None = None
        self.workers: list[Worker] = []
        self.readers: list[threading.Thread] = []
        try:
            for _ in range(count):
                worker = Worker()
                self.workers.append(worker)
                reader = threading.Thread(target=self.listen, args=(worker,), daemon=True)
                reader.start()
                self.readers.append(reader)
        except BaseException:
            self.abort()
            raise

    def submit(self, function: Callable, *arguments: Any, what: str = "", on_rows: RowsCallback | None = None) -> Future:
        with self.lock:
            call = Call(next(self.numbers), function, arguments, what, on_rows)
            if self.broken:
                call.future.set_exception(self.broken)
                return call.future
            self.queue.append(call)
            self.dispatch()
        return call.future

    def dispatch(self) -> None:
        """Hands queued calls to idle workers; called with the lock held."""
        for worker in self.workers:
            if worker.call is not None or worker.process.returncode is not None:
                continue
            call = self.next_call()
            if call is None:
                return
            worker.call = call
            try:
                pickle.dump((call.number, call.function, call.arguments, call.on_rows is not None),
                            worker.process.stdin, pickle.HIGHEST_PROTOCOL)
                worker.process.stdin.flush()
            except OSError:
                pass  # the worker is gone; its listener reports it

    def next_call(self) -> Call | None:
        """The first queued call not cancelled, now running: one running can no longer be
        cancelled, so that its result always has a future to go to."""
        while self.queue:
            call = self.queue.popleft()
            if call.future.set_running_or_notify_cancel():
                return call
        return None

    def listen(self, worker: Worker) -> None:
        """Runs in a thread a worker: its messages, until it ends."""
        replies = worker.process.stdout
        while True:
            try:
                kind, number, value = pickle.load(replies)
            except (EOFError, OSError, pickle.UnpicklingError):
                break
            call = worker.call
            if call is None or call.number != number:
                continue
            if kind == "rows":
                if call.on_rows:
                    call.on_rows(value)
                continue
            with self.lock:
                worker.call = None
                self.dispatch()
            if kind == "done":
                call.future.set_result(value)
            else:
                call.future.set_exception(value)
        status = worker.process.wait()
        with self.lock:
            call, worker.call = worker.call, None
            if call is None and status == 0:
                return
            # A signal that the worker caught shows as its exit status 128 + the signal.
            number = -status if status < 0 else status - 128 if status > 128 else None
            reason = (f"by signal {number} ({signal.Signals(number).name})"
                      if number in signal.valid_signals() else f"with exit status {status}")
            self.broken = EmbedError(f"a worker stopped {reason}" + (f" while embedding {call.what}" if call else ""))
            pending = [call] if call else []
            pending += self.queue
            self.queue.clear()
        for call in pending:
            if not call.future.done():
                call.future.set_exception(self.broken)

    def close(self) -> None:
        """Ends the workers once their calls are done."""
        for worker in self.workers:
            try:
                worker.process.stdin.close()
            except OSError:
                pass
        self.join()

    def abort(self) -> None:
        """Stops the workers now; each removes the temporary files of the call it was running."""
        with self.lock:
            self.queue.clear()
        for worker in self.workers:
            if worker.process.returncode is None:
                worker.process.send_signal(signal.SIGTERM)
        self.close()

    def join(self) -> None:
        for worker in self.workers:
            try:
                worker.process.wait(STOP_GRACE)
            except subprocess.TimeoutExpired:
                worker.process.kill()
                worker.process.wait()
        for reader in self.readers:
            reader.join()
        for worker in self.workers:
            worker.process.stdout.close()


class OnDask:
    """Submits calls to a Dask cluster: `scheduler` is an address or a `distributed.Client`. A
    client made here is closed at the end; the calls still running are cancelled on abort,
    whoever made the client. The cluster's workers report no rows while a call runs (progress
    moves as calls complete); a call given `on_rows` instead checks, at each batch, that it is
    still wanted, and stops when it is cancelled."""

    streams_rows = False

    def __init__(self, scheduler: Any, wait_seconds: float) -> None:
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
            self.close()
            raise

    def submit(self, function: Callable, *arguments: Any, what: str = "", on_rows: RowsCallback | None = None) -> Future:
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
                future.set_exception(EmbedError(f"a Dask task failed while embedding {what}: "
                                                f"{type(error).__name__}: {error}"))

        # Dask drops a task whose future nobody holds; these are held until they are done.
        task = self.client.submit(on_dask_worker, function, arguments, on_rows is not None, pure=False)
        self.running.add(task)
        task.add_done_callback(transfer)
        return future

    def close(self) -> None:
        if self.own:
            self.client.close()

    def abort(self) -> None:
        running, self.running = list(self.running), set()
        if running:
            try:
                self.client.cancel(running, force=True)
            except Exception:
                pass  # the scheduler is gone, and its tasks with it
        self.close()


class Cancelled(Exception):
    """The Dask task running this call was cancelled."""


def on_dask_worker(function: Callable, arguments: tuple, stoppable: bool) -> Any:
    """Runs a call in a Dask task. A failure of the worker's own (a path it cannot read or
    write) names the worker, since the same path may work elsewhere."""
    import distributed
    from distributed.worker import thread_state

    worker = distributed.get_worker()
    key = thread_state.key

    def stop_if_cancelled(rows: int) -> None:
        task = worker.state.tasks.get(key)
        if task is None or task.state in ("cancelled", "released"):
            raise Cancelled(key)

    try:
        return function(*arguments, **({"on_rows": stop_if_cancelled} if stoppable else {}))
    except EmbedError as error:
        raise EmbedError(f"{error} (on the Dask worker {worker.address})") from None


def executor(workers: int, scheduler: Any, scheduler_wait: float) -> InThisProcess | WorkerPool | OnDask:
    if scheduler is not None:
        return OnDask(scheduler, scheduler_wait)
    return WorkerPool(workers) if workers > 1 else InThisProcess()
