"""Successful calls leave the reference count of every id object, and of every buffer, as it was.

The ids are objects whose count can move: ints made at run time above the small-int cache (which
is immortal), int subclass instances and numpy scalars."""

import array
import sys
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import pytest

from conftest import MakeModelDir
from corvid_py import StaticEmbedding


class Id(int):
    pass


class Items(Sequence[Any]):
    """A sequence that is neither a list nor a tuple: its items come through the iterator."""

    def __init__(self, items: list[Any]) -> None:
        self.items = items

    def __len__(self) -> int:
        return len(self.items)

    def __getitem__(self, index: Any) -> Any:
        return self.items[index]


@pytest.fixture
def embedding(make_model_dir: MakeModelDir) -> StaticEmbedding:
    return StaticEmbedding(str(make_model_dir(np.ones((1000, 2), np.float32))))


def fresh_ids() -> list[Any]:
    return [int(str(300)), int(str(999)), Id(300), Id(5), np.int64(301), np.uint32(7), np.int8(3)]


CONTAINERS: dict[str, Callable[[list[Any]], Any]] = {"list": list, "tuple": tuple, "iterated": Items}


@pytest.mark.parametrize("container", CONTAINERS.values(), ids=CONTAINERS.keys())
def test_ids_keep_their_counts(embedding: StaticEmbedding, container: Callable[[list[Any]], Any]) -> None:
    ids = fresh_ids()
    tokens = container(ids)
    before = [sys.getrefcount(item) for item in ids]
    for _ in range(3):
        embedding.embed_tokens(tokens)
    assert [sys.getrefcount(item) for item in ids] == before


# Buffers read straight from memory: a view left unreleased would hold a reference to its exporter.
BUFFERS = {
    "ndarray": np.array([3, 300, 7]),
    "ndarray-negative": np.array([3, -1]),
    "array": array.array("I", [3, 300, 7]),
    "array-2**32": array.array("Q", [3, 2**32]),
    "memoryview": memoryview(array.array("q", [3, 300])),
    "memoryview-negative": memoryview(array.array("b", [3, -1])),
    "bytearray": bytearray([3, 200]),
}


@pytest.mark.parametrize("tokens", BUFFERS.values(), ids=BUFFERS.keys())
def test_buffers_keep_their_counts_whether_read_or_refused(embedding: StaticEmbedding, tokens: Any) -> None:
    before = sys.getrefcount(tokens)
    for _ in range(3):
        try:
            embedding.embed_tokens(tokens)
        except OverflowError:
            pass
    assert sys.getrefcount(tokens) == before
