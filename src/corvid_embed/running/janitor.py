"""The list of a run's temporary files, and their removal even when the run is killed outright
(SIGKILL, the OOM killer), which no handler of its own survives.

A small child process, `janitor_process`, keeps the list of temporary files that the run has made
and not yet renamed or removed. When its pipe from the run ends without the run's word that all
is well, the run has died, and it removes what is on the list. Local worker processes inherit the
pipe and list their own files on it: the pipe ends only when the last of them has exited too, so
a worker that a signal catches between making a file and recording it for its own clean-up still
leaves nothing.
"""

import os
import shutil
import subprocess
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from corvid_embed.running import janitor_process

# The write end of the janitor's pipe in this process, written with single os.write calls: a
# record is shorter than PIPE_BUF, so the records of a run and its workers never interleave.
_pipe: int | None = None
# The environment variable that tells a worker process the inherited pipe's descriptor.
INHERITED = "CORVID_JANITOR_FD"


def watch(path: Path) -> None:
    """Puts a new temporary file or directory on the list of the janitor of this process, if it
    has one."""
    _send(b"+" + os.fsencode(path))


def forget(path: Path) -> None:
    """Takes a file off the list, once renamed or removed."""
    _send(b"-" + os.fsencode(path))


def remove(path: Path) -> None:
    """Removes a temporary file or directory now, and takes it off the list."""
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        path.unlink(missing_ok=True)
    forget(path)


def _send(record: bytes) -> None:
    if _pipe is not None:
        try:
            os.write(_pipe, record + b"\0")
        except OSError:
            pass  # the janitor is gone; the run still cleans up after itself


def inheritable() -> dict[str, str]:
    """The environment that gives a worker process this process's janitor; empty without one.
    The worker must also be given the descriptor (`pass_fds`)."""
    return {INHERITED: str(_pipe)} if _pipe is not None else {}


def adopt() -> None:
    """In a worker process: lists its files with the janitor it inherited, if any."""
    global _pipe
    descriptor = os.environ.pop(INHERITED, None)
    if descriptor is not None:
        _pipe = int(descriptor)  # closed when the worker exits


@contextmanager
def janitor() -> Iterator[None]:
    """A janitor for the temporary files made within the block, by this process."""
    global _pipe
    assert janitor_process.__file__ is not None
    process = subprocess.Popen([sys.executable, "-I", "-S", janitor_process.__file__], stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, process_group=0)
    assert process.stdin is not None
    _pipe = process.stdin.fileno()
    try:
        yield
    finally:
        _pipe = None
        try:
            process.stdin.write(b".\0")
            process.stdin.close()
        except OSError:
            pass
        process.wait()
