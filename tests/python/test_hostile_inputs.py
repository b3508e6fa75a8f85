"""Hostile weights files and token sequences: each ends in a Python exception, and
the object and the interpreter stay usable."""

import json
import struct
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

from conftest import SMALL_TABLE, UNDER_ASAN, WEIGHTS_FILE
from corvid_py import StaticEmbedding

TENSOR = {"dtype": "F32", "shape": [4, 3], "data_offsets": [0, 48]}
GOOD_DATA = SMALL_TABLE.tobytes()


def weights_file(header: bytes, data: bytes = GOOD_DATA, length: int | None = None) -> bytes:
    """Length field (the header's own length unless given), header, data."""
    return struct.pack("<Q", len(header) if length is None else length) + header + data


def entry(**changes: object) -> bytes:
    return json.dumps({"t": TENSOR | changes}).encode()


def nested(depth: int) -> bytes:
    return b'{"a":' + b"[" * (depth - 1) + b"]" * (depth - 1) + b"}"


def assert_still_usable(embedding: StaticEmbedding, model_dir: str, error: type[BaseException]) -> None:
    """The failing object fails again the same way (its borrow flag was released
    and it kept no half-loaded state), and a sound object works."""
    with pytest.raises(error):
        embedding.embed_tokens([0])
    assert len(StaticEmbedding(model_dir).embed_tokens([0, 1])) == 3


# (file bytes, exception, text the message starts with); PANIC stands for PanicException.
PANIC = BaseException
HOSTILE_FILES = {
    "length-2**64-8": (weights_file(entry(), length=2**64 - 8), PANIC, "mid > len"),
    "length-2**63": (weights_file(entry(), length=2**63), PANIC, "mid > len"),
    "row-width-2**62": (weights_file(entry(shape=[1, 2**62])), PANIC, "range end index 18446744073709551616 "),
    "row-width-2**62+1-F64": (
        weights_file(entry(dtype="F64", shape=[1, 2**62 + 1])), PANIC, "range end index 36893488147419103240 "
    ),
    "row-width-2**64-1-U8": (
        weights_file(entry(dtype="U8", shape=[1, 2**64 - 1])), PANIC, "range end index 18446744073709551615 "
    ),
    "begin-past-data": (weights_file(entry(data_offsets=[2**64 - 1, 2**64 - 1])), PANIC, "range start index "),
    "end-2**64-1": (weights_file(entry(data_offsets=[0, 2**64 - 1])), PANIC, "range end index 18446744073709551615 "),
    "nesting-128": (weights_file(nested(128)), RuntimeError, "SerDe Error: nesting is deeper"),
    "nesting-a-million": (weights_file(b"[" * 10**6), RuntimeError, "SerDe Error: "),
    "unclosed-string": (weights_file(b'{"' + b"x" * 10**6), RuntimeError, "SerDe Error: "),
}


@pytest.mark.parametrize(("contents", "error", "message"), HOSTILE_FILES.values(), ids=HOSTILE_FILES.keys())
def test_hostile_weights_files_raise(
    tmp_path: Path,
    model_dir: str,
    panic_exception: type[BaseException],
    contents: bytes,
    error: type[BaseException],
    message: str,
) -> None:
    error = panic_exception if error is PANIC else error
    (tmp_path / WEIGHTS_FILE).write_bytes(contents)
    embedding = StaticEmbedding(str(tmp_path))
    with pytest.raises(error) as caught:
        embedding.embed_tokens([0])
    assert type(caught.value) is error and str(caught.value).startswith(message)
    assert_still_usable(embedding, model_dir, error)


def test_a_header_of_a_hundred_megabytes_of_white_space_is_a_serde_error(tmp_path: Path, model_dir: str) -> None:
    size = 100 * 2**20
    with (tmp_path / WEIGHTS_FILE).open("wb") as file:
        file.write(struct.pack("<Q", size))
        file.write(b" " * size)
    embedding = StaticEmbedding(str(tmp_path))
    with pytest.raises(RuntimeError, match=r"^SerDe Error: .* at line 1 column 104857600$"):
        embedding.embed_tokens([])
    assert_still_usable(embedding, model_dir, RuntimeError)


def heuristic_overcommit() -> bool:
    try:
        return Path("/proc/sys/vm/overcommit_memory").read_text().strip() == "0"
    except OSError:
        return False


@pytest.mark.skipif(not heuristic_overcommit(), reason="only a heuristic overcommit refuses a 1 TiB buffer at once")
def test_a_weights_file_larger_than_memory_is_an_io_error(tmp_path: Path, model_dir: str) -> None:
    with (tmp_path / WEIGHTS_FILE).open("wb") as file:
        file.write(struct.pack("<Q", 2**40 - 8))  # a header that fills the file
        file.truncate(2**40)  # sparse: nothing else is written
    embedding = StaticEmbedding(str(tmp_path))
    with pytest.raises(RuntimeError, match="^IO Error: out of memory. Details: out of memory$"):
        embedding.embed_tokens([0])
    assert_still_usable(embedding, model_dir, RuntimeError)


def make_directory(path: Path) -> None:
    path.mkdir()


def link_to_dev_null(path: Path) -> None:
    path.symlink_to("/dev/null")


def link_to_itself(path: Path) -> None:
    path.symlink_to(path)


def dangling_link(path: Path) -> None:
    path.symlink_to(path.parent / "nowhere")


REPLACEMENTS: dict[str, tuple[Callable[[Path], None], type[BaseException], str]] = {
    "directory": (make_directory, RuntimeError, "IO Error: is a directory. Details: Is a directory (os error 21)"),
    "link-to-dev-null": (link_to_dev_null, RuntimeError, "IO Error: unsupported. Details: the weights file is not"),
    "link-loop": (link_to_itself, RuntimeError, "IO Error: filesystem loop"),
    "dangling-link": (dangling_link, RuntimeError, "IO Error: entity not found. "),
}


@pytest.mark.parametrize(("replace", "error", "message"), REPLACEMENTS.values(), ids=REPLACEMENTS.keys())
def test_a_weights_file_replaced_after_construction_fails_on_the_first_call(
    model_dir: str,
    panic_exception: type[BaseException],
    replace: Callable[[Path], None],
    error: type[BaseException],
    message: str,
) -> None:
    error = panic_exception if error is PANIC else error
    path = Path(model_dir) / WEIGHTS_FILE
    saved = path.read_bytes()
    embedding = StaticEmbedding(model_dir)
    path.unlink()
    replace(path)
    with pytest.raises(error) as caught:
        embedding.embed_tokens([0])
    assert type(caught.value) is error and str(caught.value).startswith(message)
    # Put back, the file loads on the next call.
    if path.is_dir() and not path.is_symlink():
        path.rmdir()
    else:
        path.unlink()
    path.write_bytes(saved)
    assert len(embedding.embed_tokens([0])) == 3


class Tokens:
    """A sequence whose length, iteration and items are what the test makes them."""

    def __init__(self, items: list[object], length: Callable[[], object] = lambda: 3,
                 fail_after: int | None = None) -> None:
        self.items, self.length, self.fail_after = items, length, fail_after

    def __len__(self) -> int:
        return self.length()  # type: ignore[return-value]

    def __getitem__(self, index: int) -> object:
        return self.items[index]

    def __iter__(self) -> Iterator[object]:
        for position, item in enumerate(self.items):
            if position == self.fail_after:
                raise LookupError("iteration stopped half way")
            yield item


class Index:
    """An item whose __index__ returns `value` or raises it."""

    def __init__(self, value: object) -> None:
        self.value = value

    def __index__(self) -> object:
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class HugeInt(int):
    pass


HOSTILE_TOKENS = {
    # Below the vector's size limit, so the reservation itself fails (AddressSanitizer's
    # allocator ends the process on a refused allocation instead of throwing).
    "len-2**60": pytest.param(Tokens([0, 1, 2], lambda: 2**60), None, "",
                              marks=pytest.mark.skipif(UNDER_ASAN, reason="ASan aborts the huge reservation")),
    "len-2**63": (Tokens([0, 1, 2], lambda: 2**63), None, ""),
    "len-2**1000": (Tokens([0, 1, 2], lambda: 2**1000), None, ""),
    "len-negative": (Tokens([0, 1, 2], lambda: -1), None, ""),
    "len-not-an-int": (Tokens([0, 1, 2], lambda: "three"), None, ""),
    "len-memory-error": (Tokens([0, 1, 2], lambda: (_ for _ in ()).throw(MemoryError())), None, ""),
    "iter-fails-half-way": (Tokens([0, 1, 2, 3], fail_after=2), LookupError, "iteration stopped half way"),
    "index-raises": (Tokens([0, Index(ArithmeticError("no index")), 2]), ArithmeticError, "no index"),
    "index-2**32": (Tokens([Index(2**32)]), OverflowError, "out of range integral type conversion attempted"),
    "index-2**64": (Tokens([Index(2**64)]), OverflowError, "int too big to convert"),
    "index-2**10000": (Tokens([Index(2**10000)]), OverflowError, "int too big to convert"),
    "index-negative-huge": (Tokens([Index(-(2**10000))]), OverflowError, "can't convert negative int to unsigned"),
    "int-subclass-2**64": (Tokens([HugeInt(2**64)]), OverflowError, "int too big to convert"),
    "index-returns-float": (Tokens([Index(1.5)]), TypeError, "__index__ returned non-int (type float)"),
    "index-returns-none": (Tokens([Index(None)]), TypeError, "__index__ returned non-int (type NoneType)"),
}


@pytest.mark.parametrize(("tokens", "error", "message"), HOSTILE_TOKENS.values(), ids=HOSTILE_TOKENS.keys())
def test_hostile_token_sequences(
    embedding: StaticEmbedding, tokens: Tokens, error: type[BaseException] | None, message: str
) -> None:
    """A broken length is only a hint and is ignored; every other failure keeps
    its class and message and gains the note."""
    expected = embedding.embed_tokens([0, 1, 2])
    if error is None:
        assert embedding.embed_tokens(tokens) == expected
        return
    with pytest.raises(error) as caught:
        embedding.embed_tokens(tokens)
    assert str(caught.value) == message and caught.value.__notes__ == ["while processing 'tokens'"]
    assert embedding.embed_tokens([0, 1, 2]) == expected
