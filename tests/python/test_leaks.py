"""Every call path, repeated, leaves the interpreter's reference total and the
process's heap where they were: nothing is leaked on success or on any failure.

The repetition count is small in the normal suite and large with
CORVID_STRESS=1 (scripts/reliability); the reference total exists only on a
debug interpreter, elsewhere only the heap is checked."""

import ctypes
import gc
import os
import struct
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from conftest import WEIGHTS_FILE
from corvid_py import StaticEmbedding

STRESS = os.environ.get("CORVID_STRESS") == "1"
REPEATS = 50_000 if STRESS else 300


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def heap_in_use() -> int:
    """Bytes the C allocator has handed out and not taken back (C++ new included)."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return int(info.uordblks + info.hblkhd)


def reference_total() -> int:
    return sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0  # type: ignore[attr-defined]


def run_and_measure(call: Callable[[], object], repeats: int) -> tuple[int, int]:
    """The growth of the reference total and of the heap over `repeats` calls."""
    gc.collect()
    references, heap = reference_total(), heap_in_use()
    for _ in range(repeats):
        call()
    gc.collect()
    return reference_total() - references, heap_in_use() - heap


def expect(error: type[BaseException], call: Callable[[], object]) -> None:
    try:
        call()
    except error:
        return
    raise AssertionError(f"expected {error.__name__}")


class Reentrant:
    """Tokens whose iteration calls the same object: "Already borrowed" inside,
    success outside."""

    def __init__(self, embedding: StaticEmbedding) -> None:
        self.embedding = embedding

    def __len__(self) -> int:
        return 2

    def __getitem__(self, index: int) -> int:
        return [0, 1][index]

    def __iter__(self) -> Iterator[int]:
        try:
            self.embedding.embed_tokens([0])
        except RuntimeError:
            pass
        return iter([0, 1])


def failing_iteration() -> Iterator[int]:
    yield 0
    raise ValueError("half way")


class FailingSequence(list[int]):
    def __iter__(self) -> Iterator[int]:
        return failing_iteration()


@dataclass
class Setting:
    model_dir: str
    broken_dir: str  # its weights file does not parse
    panic: type[BaseException]
    embedding: StaticEmbedding = field(init=False)
    broken: StaticEmbedding = field(init=False)

    def __post_init__(self) -> None:
        self.embedding, self.broken = StaticEmbedding(self.model_dir), StaticEmbedding(self.broken_dir)


MANY_IDS = list(range(4)) * 50

CALL_PATHS: dict[str, Callable[[Setting], object]] = {
    "success": lambda s: s.embedding.embed_tokens([0, 1, 2, 3]),
    "success-many-ids": lambda s: s.embedding.embed_tokens(MANY_IDS),
    "construction": lambda s: StaticEmbedding(s.model_dir, normalize=False),
    "construction-missing-file": lambda s: expect(ValueError, lambda: StaticEmbedding(s.broken_dir + "/nowhere")),
    "construction-bad-argument": lambda s: expect(TypeError, lambda: StaticEmbedding(s.model_dir, 1)),
    "binding-failure": lambda s: expect(TypeError, lambda: s.embedding.embed_tokens([0], [1])),
    "str": lambda s: expect(TypeError, lambda: s.embedding.embed_tokens("abc")),
    "not-a-sequence": lambda s: expect(TypeError, lambda: s.embedding.embed_tokens({0})),
    "none": lambda s: expect(TypeError, lambda: s.embedding.embed_tokens(None)),
    "iteration-fails": lambda s: expect(ValueError, lambda: s.embedding.embed_tokens(FailingSequence([0, 1]))),
    "no-index": lambda s: expect(TypeError, lambda: s.embedding.embed_tokens([0, 1.0])),
    "negative": lambda s: expect(OverflowError, lambda: s.embedding.embed_tokens([0, -1])),
    "2**64": lambda s: expect(OverflowError, lambda: s.embedding.embed_tokens([0, 2**64])),
    "2**32": lambda s: expect(OverflowError, lambda: s.embedding.embed_tokens([0, 2**32])),
    "failed-load": lambda s: expect(RuntimeError, lambda: s.broken.embed_tokens([0])),
    "id-past-the-table": lambda s: expect(s.panic, lambda: s.embedding.embed_tokens([0, 4])),
    "already-borrowed": lambda s: s.embedding.embed_tokens(Reentrant(s.embedding)),
}


@pytest.fixture
def broken_dir(tmp_path: Path) -> str:
    """A directory whose weights file has a header that does not parse."""
    (tmp_path / WEIGHTS_FILE).write_bytes(struct.pack("<Q", 8) + b'{"a":1,}')
    return str(tmp_path)


@pytest.mark.parametrize("path", CALL_PATHS)
def test_repeated_calls_leak_nothing(
    model_dir: str, broken_dir: str, panic_exception: type[BaseException], path: str,
    capfd: pytest.CaptureFixture[str],
) -> None:
    setting = Setting(model_dir, broken_dir, panic_exception)
    call = lambda: CALL_PATHS[path](setting)  # noqa: E731
    # The first calls fill what lives for the process or the object: the
    # exception classes, interned names, the row cache.
    run_and_measure(call, 50)
    references, heap = run_and_measure(call, REPEATS)
    capfd.readouterr()  # the internal failures' reports
    assert references < 10, f"{references} references gained over {REPEATS} calls"
    assert heap < 64 * 1024, f"{heap} heap bytes gained over {REPEATS} calls"
