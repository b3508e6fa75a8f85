"""embed_tokens end to end: results bit for bit, token conversion, lazy loading, exclusive use."""

import subprocess
import sys
import threading
from collections.abc import Callable, Iterator
from pathlib import Path

import numpy as np
import pytest

from conftest import UNDER_ASAN, MakeModelDir, write_raw_tensor
from corvid_py import StaticEmbedding
from exact_raises import raises_exactly

NOTE = ["while processing 'tokens'"]
OUT_OF_RANGE = "out of range integral type conversion attempted"


def bits(values: object) -> list[int]:
    return np.asarray(values, dtype=np.float32).view(np.uint32).tolist()


def reference(rows: np.ndarray, ids: list[int], normalize: bool) -> np.ndarray:
    """The embedding computed plainly in float32: rows summed in id order, a true
    division by the count, then the sum of squares element by element."""
    total = np.zeros(rows.shape[1], dtype=np.float32)
    for i in ids:
        total = total + rows[i]
    mean = total / np.float32(len(ids))
    if normalize and mean.size:
        squares = np.float32(0)
        for value in mean:
            squares = np.float32(squares + value * value)
        norm = np.sqrt(squares)
        mean = mean / (norm if norm > np.float32(1e-12) else np.float32(1e-12))
    return mean


def bf16_to_f32(halves: np.ndarray) -> np.ndarray:
    return (halves.astype(np.uint32) << 16).view(np.float32)


NUMPY_TYPES = ["float64", "float32", "float16", "int64", "int32", "int16", "int8", "uint8", "bool"]


@pytest.mark.parametrize("normalize", [True, False], ids=["normalized", "mean"])
@pytest.mark.parametrize("dtype", [*NUMPY_TYPES, "bfloat16"])
def test_results_match_a_float32_reference_bit_for_bit(
    make_model_dir: MakeModelDir, tmp_path: Path, dtype: str, normalize: bool
) -> None:
    rng = np.random.default_rng(sum(map(ord, dtype)))
    if dtype == "bfloat16":
        wide = (rng.standard_normal((50, 75)) * 100).astype(np.float32)
        stored = (wide.view(np.uint32) >> 16).astype(np.uint16)
        write_raw_tensor(tmp_path, "BF16", stored.shape, stored.astype("<u2").tobytes())
        directory, rows = tmp_path, bf16_to_f32(stored)
    else:
        table = rng.standard_normal((50, 75)) * 100
        stored = table.astype(dtype)
        directory, rows = make_model_dir(stored), stored.astype(np.float32)
    ids = rng.integers(0, 50, 40).tolist() + [3, 3, 3]
    embedding = StaticEmbedding(str(directory), normalize)
    first = embedding.embed_tokens(ids)
    assert bits(first) == bits(reference(rows, ids, normalize))
    assert bits(embedding.embed_tokens(ids)) == bits(first), "cached rows must give the same bits"


def test_one_id_without_normalization_is_its_row(make_model_dir: MakeModelDir) -> None:
    table = np.float32([[1.5, -2.0, 1e-30], [3.0, 4.0, 5.0]])
    assert StaticEmbedding(str(make_model_dir(table)), False).embed_tokens([0]) == table[0].tolist()


def test_results_are_python_floats_and_nan_survives(make_model_dir: MakeModelDir) -> None:
    result = StaticEmbedding(str(make_model_dir(np.float32([[np.nan, 0.1]]))), False).embed_tokens([0])
    assert all(type(x) is float for x in result)
    assert np.isnan(result[0]) and result[1] == float(np.float32(0.1))


@pytest.mark.parametrize(
    "tokens",
    [
        [0, 1, 2],
        (0, 1, 2),
        range(3),
        b"\x00\x01\x02",
        bytearray(b"\x00\x01\x02"),
        np.arange(3, dtype=np.int64),
        np.arange(3, dtype=np.uint8),
        [False, True, 2],
        [np.int32(0), np.uint64(1), np.int8(2)],
    ],
    ids=["list", "tuple", "range", "bytes", "bytearray", "int64-array", "uint8-array", "bools",
         "numpy-scalars"],
)
def test_every_sequence_of_integers_gives_the_same_ids(embedding: StaticEmbedding, tokens: object) -> None:
    assert embedding.embed_tokens(tokens) == embedding.embed_tokens(tokens=[0, 1, 2])


class Mutating:
    """An id whose conversion changes the list it sits in."""

    def __init__(self, tokens: list[object], change: Callable[[list[object]], object]) -> None:
        self.tokens, self.change = tokens, change

    def __index__(self) -> int:
        self.change(self.tokens)
        return 1


@pytest.mark.parametrize(
    ("tokens", "change"),
    [([0, None, 2, 2], list.pop), ([0, None], lambda tokens: tokens.append(2))],
    ids=["shrink", "grow"],
)
def test_a_list_changed_while_converted_is_read_as_its_iterator_reads_it(
    embedding: StaticEmbedding, tokens: list[object], change: Callable[[list[object]], object]
) -> None:
    tokens[1] = Mutating(tokens, change)
    assert embedding.embed_tokens(tokens) == embedding.embed_tokens([0, 1, 2])


class Text(str):
    """A str subclass: still text, whose characters are no ids."""


@pytest.mark.parametrize(
    ("tokens", "error", "message"),
    [
        ("abc", TypeError, "Can't extract `str` to `Vec`"),
        (Text("abc"), TypeError, "Can't extract `str` to `Vec`"),
        (Text(""), TypeError, "Can't extract `str` to `Vec`"),
        ({0: 1}, TypeError, "'dict' object is not an instance of 'Sequence'"),
        ({0}, TypeError, "'set' object is not an instance of 'Sequence'"),
        (iter([0]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
        ((i for i in [0]), TypeError, "'generator' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        ([0, 4294967296], OverflowError, OUT_OF_RANGE),
        ([2**64 - 1], OverflowError, OUT_OF_RANGE),
        ([-1], OverflowError, "can't convert negative int to unsigned"),
        ([2**64], OverflowError, "int too big to convert"),
        ([1.0], TypeError, "'float' object cannot be interpreted as an integer"),
        ([0, "x"], TypeError, "'str' object cannot be interpreted as an integer"),
    ],
    ids=["str", "str-subclass", "empty-str-subclass", "dict", "set", "iterator", "generator", "none", "2**32", "2**64-1", "negative", "2**64",
         "float", "str-item"],
)
def test_bad_tokens_raise_with_a_note(embedding: StaticEmbedding, tokens: object, error: type, message: str) -> None:
    with raises_exactly(error, message, NOTE):
        embedding.embed_tokens(tokens)


def test_the_largest_id_converts_and_then_lies_past_the_table(embedding: StaticEmbedding) -> None:
    with pytest.raises(BaseException) as caught:
        embedding.embed_tokens([4294967295])
    assert type(caught.value).__name__ == "PanicException"
    assert str(caught.value) == "range start index 51539607540 out of range for slice of length 48"


def test_an_index_error_from_python_code_keeps_its_class(embedding: StaticEmbedding) -> None:
    class Bad:
        def __index__(self) -> int:
            raise KeyError("mine")

    with raises_exactly(KeyError, "'mine'", NOTE):
        embedding.embed_tokens([Bad()])


def panic_type(embedding: StaticEmbedding) -> type[BaseException]:
    with pytest.raises(BaseException) as caught:
        embedding.embed_tokens([99])
    return type(caught.value)


def test_ids_past_the_table_panic_and_leave_the_object_usable(embedding: StaticEmbedding) -> None:
    # 4 rows of 3 float32: 48 bytes, 12 per row.
    panic = panic_type(embedding)
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    with raises_exactly(panic, "range end index 60 out of range for slice of length 48"):
        embedding.embed_tokens([1, 4])
    with raises_exactly(panic, "range start index 60 out of range for slice of length 48"):
        embedding.embed_tokens([5])
    assert embedding.embed_tokens([3]) == pytest.approx([9 / 302**0.5, 10 / 302**0.5, 11 / 302**0.5], rel=1e-6)


def test_a_panic_raised_by_python_code_continues_as_a_panic(embedding: StaticEmbedding) -> None:
    panic = panic_type(embedding)

    class Panicking:
        def __index__(self) -> int:
            raise panic("raised in __index__")

    with raises_exactly(panic, "raised in __index__"):
        embedding.embed_tokens([Panicking()])
    assert len(embedding.embed_tokens([0])) == 3


def test_no_ids_give_nan_everywhere(embedding: StaticEmbedding) -> None:
    assert all(np.isnan(embedding.embed_tokens([])))


def test_rows_of_width_zero_give_an_empty_list(tmp_path: Path) -> None:
    write_raw_tensor(tmp_path, "F32", (5, 0), b"")
    assert StaticEmbedding(str(tmp_path)).embed_tokens([0, 7, 4294967295]) == []
    assert StaticEmbedding(str(tmp_path)).embed_tokens([]) == []


def test_a_row_width_beyond_memory_raises_memory_error(tmp_path: Path) -> None:
    write_raw_tensor(tmp_path, "F32", (1, 2**62), b"")
    with pytest.raises(MemoryError):
        StaticEmbedding(str(tmp_path)).embed_tokens([])


# Run in a child whose address space is capped just above what it uses, with
# room for the accumulator and part of the result: the list or its floats
# cannot be made.
RESULT_BEYOND_MEMORY = """
import resource, sys
from pathlib import Path
from corvid_py import StaticEmbedding

embedding = StaticEmbedding(sys.argv[1], False)
width = len(embedding.embed_tokens([0]))
status = Path("/proc/self/status").read_text().split("VmSize:")[1]
in_use = int(status.split()[0]) * 1024
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (in_use + int(sys.argv[2]) * width, hard))
try:
    embedding.embed_tokens([0])
except BaseException as error:
    print(type(error).__name__)
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
assert len(embedding.embed_tokens([0])) == width
"""


@pytest.mark.parametrize("room_per_column", [
    pytest.param(8, id="list"),
    pytest.param(32, id="floats",
                 # ASan's allocator serves small objects from address space it reserved up
                 # front, which an address-space limit cannot take away.
                 marks=pytest.mark.skipif(UNDER_ASAN, reason="small objects escape the limit under ASan")),
])
def test_a_result_beyond_memory_raises_memory_error(tmp_path: Path, room_per_column: int) -> None:
    """4 bytes per column hold the accumulator, then 8 the list and 24 each float."""
    write_raw_tensor(tmp_path, "F32", (1, 2**22), bytes(2**24))
    child = subprocess.run(
        [sys.executable, "-c", RESULT_BEYOND_MEMORY, str(tmp_path), str(room_per_column)],
        capture_output=True, text=True, check=True, timeout=60,
    )
    assert (child.stdout, child.stderr) == ("MemoryError\n", "")


class Reentrant:
    """A sequence whose iteration calls back into `embedding`."""

    def __init__(self, embedding: StaticEmbedding, swallow: bool) -> None:
        self.embedding, self.swallow, self.inner = embedding, swallow, None

    def __len__(self) -> int:
        return 1

    def __getitem__(self, index: int) -> int:
        return [0][index]

    def __iter__(self) -> Iterator[int]:
        try:
            self.embedding.embed_tokens([0])
        except RuntimeError as error:
            self.inner = error
            if not self.swallow:
                raise
        return iter([0])


class TestExclusiveUse:
    def test_a_reentrant_call_fails_and_its_error_may_propagate(self, embedding: StaticEmbedding) -> None:
        tokens = Reentrant(embedding, swallow=False)
        with raises_exactly(RuntimeError, "Already borrowed", NOTE):
            embedding.embed_tokens(tokens)
        assert len(embedding.embed_tokens([0])) == 3

    def test_a_reentrant_call_fails_while_the_outer_goes_on(self, embedding: StaticEmbedding) -> None:
        tokens = Reentrant(embedding, swallow=True)
        assert embedding.embed_tokens(tokens) == embedding.embed_tokens([0])
        assert str(tokens.inner) == "Already borrowed" and not hasattr(tokens.inner, "__notes__")

    def test_a_call_from_another_thread_fails_at_once(self, embedding: StaticEmbedding) -> None:
        entered, release = threading.Event(), threading.Event()
        outcome: list[BaseException] = []

        class Waiting:
            def __len__(self) -> int:
                return 1

            def __getitem__(self, index: int) -> int:
                return [0][index]

            def __iter__(self) -> Iterator[int]:
                entered.set()
                release.wait(10)
                return iter([0])

        def other() -> None:
            entered.wait(10)
            try:
                embedding.embed_tokens([0])
            except RuntimeError as error:
                outcome.append(error)
            release.set()

        thread = threading.Thread(target=other)
        thread.start()
        assert len(embedding.embed_tokens(Waiting())) == 3
        thread.join()
        assert [str(e) for e in outcome] == ["Already borrowed"]
