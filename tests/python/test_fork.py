"""A process forked while an embed_tokens call holds an object: the child can
use the object unless the call is its own (the forking thread's)."""

import os
import signal
import threading
import warnings
from collections.abc import Callable

from corvid_py import StaticEmbedding
from exact_raises import raises_exactly


class CallbackTokens:
    """The one id 0, read through __getitem__, which first calls `on_read`."""

    def __init__(self, on_read: Callable[[], None]) -> None:
        self.on_read = on_read

    def __len__(self) -> int:
        return 1

    def __getitem__(self, index: int) -> int:
        if index > 0:
            raise IndexError(index)
        self.on_read()
        return 0


def embed_in_child(embedding: StaticEmbedding) -> str:
    """Forks; the child embeds [1] twice with `embedding` and exits. Returns
    what the child reported: the repr of each result or of the exception."""
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        # Forking while another thread runs is the case under test.
        warnings.filterwarnings("ignore", r".*multi-threaded, use of fork\(\)", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        try:
            report = repr([embedding.embed_tokens([1]), embedding.embed_tokens([1])])
        except BaseException as error:  # noqa: BLE001 - reported to the parent
            report = repr(error)
        os.write(write_end, report.encode())
        os._exit(0)
    os.close(write_end)
    try:
        with os.fdopen(read_end, "rb") as reader:
            report = reader.read().decode()
    except BaseException:  # a timeout, say: the child must not outlive the test
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        raise
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    return report


def test_child_can_use_an_object_another_thread_held_at_fork(embedding: StaticEmbedding) -> None:
    expected = embedding.embed_tokens([1])
    entered, release = threading.Event(), threading.Event()

    def hold() -> None:
        entered.set()
        release.wait()

    thread = threading.Thread(target=embedding.embed_tokens, args=(CallbackTokens(hold),))
    thread.start()
    try:
        assert entered.wait(timeout=30)
        with raises_exactly(RuntimeError, "Already borrowed"):
            embedding.embed_tokens([1])
        report = embed_in_child(embedding)
    finally:
        release.set()
        thread.join()
    assert report == repr([expected, expected])


def test_child_keeps_the_hold_of_its_forking_thread(embedding: StaticEmbedding) -> None:
    reports: list[str] = []
    embedding.embed_tokens(CallbackTokens(lambda: reports.append(embed_in_child(embedding))))
    assert reports == [repr(RuntimeError("Already borrowed"))]
