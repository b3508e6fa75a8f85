"""A local worker process, started by the worker pool (through `worker_start`) with the parent's
process id.

It reads calls (a module-level function and its arguments, pickled) from standard input and
writes their results to what was standard output, one at a time, with row counts as they come
in between; its own standard output goes to standard error. It ends when its input ends, on
SIGTERM or SIGHUP, and when its parent dies, cleaning up after the call it is running.
"""

import ctypes
import os
import pickle
import signal
import sys
from typing import Any, BinaryIO

from corvid_embed.failures import EmbedError, unexpected
from corvid_embed.running import janitor

PR_SET_PDEATHSIG = 1


def exit_on_parent_death(parent: int) -> None:
    """SIGTERM when the parent dies, however it dies; it may already have."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    except (OSError, AttributeError):
        pass  # not Linux: the end of standard input still ends the worker between calls
    if os.getppid() != parent:
        sys.exit(0)


def serve(requests: BinaryIO, replies: int) -> None:
    def send(message: tuple) -> None:
        # Written whole, unbuffered: nothing is left to flush into a closed pipe at exit.
        data = memoryview(pickle.dumps(message, pickle.HIGHEST_PROTOCOL))
        while data:
            data = data[os.write(replies, data):]

    while True:
        try:
            call, function, arguments, what, part_job = pickle.load(requests)
        except EOFError:
            return
        options: dict[str, Any] = {"on_rows": lambda rows: send(("rows", call, rows)), "cancelled": None} \
            if part_job else {}
        try:
            send(("done", call, function(*arguments, **options)))
        except EmbedError as error:
            send(("raised", call, error))
        except Exception as error:
            send(("raised", call, unexpected(error, what)))


def main() -> None:
    """Serves calls; SIGINT, SIGTERM and SIGHUP already end the process with SystemExit, which
    unwinds the running call so that it removes its temporary files."""
    exit_on_parent_death(int(sys.argv[1]))
    janitor.adopt()
    replies = os.dup(1)
    os.dup2(2, 1)
    sys.stdout = sys.stderr
    try:
        serve(sys.stdin.buffer, replies)
    except BrokenPipeError:
        sys.exit(0)  # the parent stopped listening
