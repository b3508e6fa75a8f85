"""Local worker processes: plain child processes spoken to through pipes (no multiprocessing
machinery, so nothing of theirs outlives a run). They are in a process group of their own, so that
Ctrl-C reaches only this process, which stops them; and they end when this process dies. They are
started afresh, never forked, so they inherit no loaded model, thread pool or half-finished call.
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

from corvid_embed.failures import EmbedError
from corvid_embed.running import janitor, worker_start
from corvid_embed.running.executor import Executor, RowsCallback

# Seconds a stopped worker gets to remove its temporary files before it is killed.
STOP_GRACE = 5


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
        assert worker_start.__file__ is not None
        self.process = subprocess.Popen(
            [sys.executable, "-P", "-W", "ignore::ResourceWarning", worker_start.__file__, str(os.getpid())],
            env={**os.environ, "PYTHONPATH": path, **inherited},
            pass_fds=[int(fd) for fd in inherited.values()],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, process_group=0)
        self.call: Call | None = None


class WorkerPool(Executor):
    """Up to `count` worker processes, each running one call at a time, started as calls come so
    that no more start than there is work for; the model a call loads stays loaded in its worker
    for the next."""

    streams_rows = True
    on_this_machine = True
    in_this_process = False

    def __init__(self, count: int) -> None:
        super().__init__()
        self.capacity = count
        self.lock = threading.Lock()
        self.queue: deque[Call] = deque()
        self.numbers = iter(range(1 << 62))
        self.broken: EmbedError | None = None
        self.workers: list[Worker] = []
        self.readers: list[threading.Thread] = []

    def submit(self, function: Callable, *arguments: Any, what: str, on_rows: RowsCallback | None = None) -> Future:
        with self.lock:
            call = Call(next(self.numbers), function, arguments, what, on_rows)
            if self.broken:
                call.future.set_exception(self.broken)
                return call.future
            self.queue.append(call)
            self.dispatch()
        return call.future

    def dispatch(self) -> None:
        """Hands queued calls to idle workers, starting one while there are fewer than `count`
        and none is idle; called with the lock held."""
        while self.queue:
            worker = next((w for w in self.workers if w.call is None and w.process.returncode is None), None)
            if worker is None:
                if len(self.workers) == self.capacity:
                    return
                worker = self.start_worker()
            call = self.next_call()
            if call is None:
                return
            worker.call = call
            try:
                pickle.dump((call.number, call.function, call.arguments, call.what, call.on_rows is not None),
                            worker.process.stdin, pickle.HIGHEST_PROTOCOL)
                worker.process.stdin.flush()
            except OSError:
                pass  # the worker is gone; its listener reports it

    def start_worker(self) -> Worker:
        if not self.workers:
            cores = os.cpu_count() or 1
            if self.capacity > cores:
                print(f"corvid-embed: warning: {self.capacity} workers on {cores} cores; more than one a core only "
                      f"slows the run", file=sys.stderr, flush=True)
        worker = Worker()
        self.workers.append(worker)
        reader = threading.Thread(target=self.listen, args=(worker,), daemon=True)
        reader.start()
        self.readers.append(reader)
        return worker

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

    def finish(self) -> None:
        """Ends the workers once their calls are done."""
        for worker in self.workers:
            try:
                worker.process.stdin.close()
            except OSError:
                pass
        self.join()

    def stop_now(self) -> None:
        """Stops the workers now; each removes the temporary files of the call it was running."""
        with self.lock:
            self.queue.clear()
            workers = list(self.workers)
        for worker in workers:
            if worker.process.returncode is None:
                worker.process.send_signal(signal.SIGTERM)
        self.finish()

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
