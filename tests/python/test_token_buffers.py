"""Integer buffers as tokens (numpy arrays, array.array, memoryview, bytes, bytearray): read straight
from memory, yet every outcome is exactly what converting the same items from a list gives."""

import array
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import pytest

from corvid_py import StaticEmbedding

type Outcome = bytes | tuple[type[BaseException], str, list[str]]
type Kind = tuple[Callable[[list[int]], object], int, int]


@pytest.fixture
def outcome(embedding: StaticEmbedding, panic_exception: type[BaseException]) -> Callable[[object], Outcome]:
    """What embed_tokens gives: the result's float32 bits, or the exception's class, message and notes."""

    def run(tokens: object) -> Outcome:
        try:
            return np.asarray(embedding.embed_tokens(tokens), np.float32).tobytes()
        except (Exception, panic_exception) as error:
            return type(error), str(error), getattr(error, "__notes__", [])

    return run


def unaligned(values: list[int], dtype: np.dtype[Any]) -> np.ndarray:
    """An array one byte off its alignment: numpy exports it with a standard-size '=' format."""
    return np.frombuffer(b"\0" + np.array(values, dtype).tobytes(), dtype, offset=1)


def kinds() -> Iterator[tuple[str, Kind]]:
    """(name, (make from values, smallest, largest value it holds)) for every buffer kind and type."""
    for code in "bBhHiIlLqQ":
        dtype = np.dtype(code)
        limits = np.iinfo(dtype)
        yield f"ndarray-{code}", (lambda v, d=dtype: np.array(v, d), limits.min, limits.max)
        yield f"memoryview-ndarray-{code}", (lambda v, d=dtype: memoryview(np.array(v, d)), limits.min, limits.max)
        yield f"array-{code}", (lambda v, c=code: array.array(c, v), limits.min, limits.max)
        yield f"memoryview-array-{code}", (lambda v, c=code: memoryview(array.array(c, v)), limits.min, limits.max)
        if dtype.itemsize > 1:
            yield f"ndarray-unaligned-{code}", (lambda v, d=dtype: unaligned(v, d), limits.min, limits.max)
    for code, dtype in (("n", np.dtype(np.intp)), ("N", np.dtype(np.uintp))):
        limits = np.iinfo(dtype)
        yield f"memoryview-{code}", (lambda v, d=dtype, c=code: memoryview(np.array(v, d)).cast("B").cast(c),
                                     limits.min, limits.max)
    yield "bytes", (bytes, 0, 255)
    yield "bytearray", (bytearray, 0, 255)


VALUES = {
    "in-range": [0, 3, 1, 2],
    "empty": [],
    "negative": [1, -1],
    "largest-id": [2, 2**32 - 1],
    "2**32": [1, 2**32],
    "2**64-1": [2**64 - 1],
}

CASES = [
    pytest.param(make, values, id=f"{kind}-{name}")
    for kind, (make, low, high) in kinds()
    for name, values in {**VALUES, "smallest": [low], "largest": [high]}.items()
    if all(low <= v <= high for v in values)
]


@pytest.mark.parametrize(("make", "values"), CASES)
def test_a_buffer_gives_what_its_items_in_a_list_give(
    outcome: Callable[[object], Outcome], make: Callable[[list[int]], object], values: list[int]
) -> None:
    tokens = make(values)
    assert outcome(tokens) == outcome(list(tokens))  # type: ignore[call-overload]


# Subclasses whose Python code changes the items: the first one is skipped or every one doubled.
class SkippingArray(np.ndarray):
    def __iter__(self) -> Iterator[Any]:
        return iter(list(super().__iter__())[1:])


class DoublingArray(np.ndarray):
    def __getitem__(self, index: Any) -> Any:
        return 2 * super().__getitem__(index)


class SkippingIntArray(array.array):  # type: ignore[type-arg]
    def __iter__(self) -> Iterator[int]:
        return iter(list(super().__iter__())[1:])


class SkippingBytes(bytes):
    def __iter__(self) -> Iterator[int]:
        return iter(list(super().__iter__())[1:])


# Buffers that must be iterated: what reading their memory as integers would give differs from
# their items (or their items fail).
ITERATED = {
    "bool": np.array([True, False]),
    "float": np.array([0.0, 1.0]),
    "object": np.array([0, 1], dtype=object),
    "structured": np.zeros(2, dtype=[("a", "i4")]),
    "big-endian": np.array([1, 2], ">i8"),
    "big-endian-uint32": np.array([0, 3], ">u4"),
    "2-d": np.zeros((2, 2), np.int64),
    "strided": np.array([0, 9, 1, 9, 2])[::2],
    "reversed-view": np.arange(3)[::-1],
    "memoryview-strided": memoryview(array.array("i", [0, 9, 1, 9, 2]))[::2],
    "memoryview-char": memoryview(b"\x00\x01").cast("c"),
    "memoryview-bool": memoryview(np.array([True, False])),
    "ndarray-subclass-iter": np.array([0, 1, 2]).view(SkippingArray),
    "ndarray-subclass-getitem": np.array([0, 1]).view(DoublingArray),
    "array-subclass-iter": SkippingIntArray("I", [0, 1, 2]),
    "bytes-subclass-iter": SkippingBytes(b"\x00\x01\x02"),
    # Python code may name a class anything: the name alone does not make it an exporter.
    "ndarray-subclass-named-ndarray": np.array([0, 1, 2]).view(type("numpy.ndarray", (SkippingArray,), {})),
    "array-subclass-named-array": type("array.array", (SkippingIntArray,), {})("I", [0, 1, 2]),
}


@pytest.mark.parametrize("tokens", ITERATED.values(), ids=ITERATED.keys())
def test_other_buffers_give_what_their_items_give(outcome: Callable[[object], Outcome], tokens: Any) -> None:
    assert outcome(tokens) == outcome(list(tokens))


UNITERABLE = {
    "0-d": np.array(5),
    "memoryview-0-d": memoryview(np.array(5)),
    "memoryview-big-endian": memoryview(np.array([1], ">i4")),
    "memoryview-standard-size": memoryview(unaligned([1, 2], np.dtype(np.int64))),
}


@pytest.mark.parametrize("tokens", UNITERABLE.values(), ids=UNITERABLE.keys())
def test_buffers_that_cannot_be_iterated_fail_as_iteration_does(
    outcome: Callable[[object], Outcome], tokens: Any
) -> None:
    with pytest.raises(Exception) as caught:
        list(tokens)
    assert outcome(tokens) == (type(caught.value), str(caught.value), ["while processing 'tokens'"])
