"""Threads sharing one object get a right result or "Already borrowed", never
anything else; threads with objects of their own always get right results.

Bounded by a count and a time limit each, both larger with CORVID_STRESS=1."""

import os
import random
import sys
import threading
import time
from collections.abc import Callable, Iterator

import pytest

from corvid_py import StaticEmbedding

STRESS = os.environ.get("CORVID_STRESS") == "1"
THREADS = 6
CALLS_PER_THREAD = 20_000 if STRESS else 500
SECONDS = 20.0 if STRESS else 2.0

ID_LISTS = [[0], [1, 2], [3, 3, 0], [2, 1, 0, 3], []]


class SlowTokens:
    """Ids read through Python code at every step, so the interpreter can switch
    threads while a call reads them."""

    def __init__(self, ids: list[int]) -> None:
        self.ids = ids

    def __len__(self) -> int:
        return len(self.ids)

    def __getitem__(self, index: int) -> int:
        return self.ids[index]

    def __iter__(self) -> Iterator[int]:
        for id in self.ids:
            time.sleep(0)
            yield id


@pytest.fixture
def expected(model_dir: str) -> list[list[float]]:
    embedding = StaticEmbedding(model_dir)
    return [embedding.embed_tokens(ids) for ids in ID_LISTS]


@pytest.fixture
def frequent_switches() -> Iterator[None]:
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def same(result: list[float], wanted: list[float]) -> bool:
    """Equal, NaN included (no ids give NaN everywhere)."""
    return len(result) == len(wanted) and all(a == b or (a != a and b != b) for a, b in zip(result, wanted))


def run_threads(work: Callable[[int], dict[str, int]]) -> dict[str, int]:
    """Runs `work(thread_number)` on THREADS threads; sums their counts. Any
    exception in a thread fails the test."""
    totals: dict[str, int] = {}
    failures: list[BaseException] = []
    lock = threading.Lock()

    def run(number: int) -> None:
        try:
            counts = work(number)
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)
            return
        with lock:
            for key, value in counts.items():
                totals[key] = totals.get(key, 0) + value

    threads = [threading.Thread(target=run, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(SECONDS + 60)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    assert not failures, failures[0]
    return totals


def call_repeatedly(
    embedding_for: Callable[[int], StaticEmbedding], expected: list[list[float]], number: int
) -> dict[str, int]:
    rng = random.Random(number)
    counts = {"right": 0, "borrowed": 0}
    deadline = time.monotonic() + SECONDS
    for _ in range(CALLS_PER_THREAD):
        if time.monotonic() > deadline:
            break
        which = rng.randrange(len(ID_LISTS))
        ids = ID_LISTS[which]
        tokens: object = SlowTokens(ids) if rng.random() < 0.5 else list(ids)
        try:
            result = embedding_for(number).embed_tokens(tokens)
        except RuntimeError as error:
            assert type(error) is RuntimeError and str(error) == "Already borrowed"
            assert not hasattr(error, "__notes__")
            counts["borrowed"] += 1
            continue
        assert same(result, expected[which]), f"wrong result for {ids}"
        counts["right"] += 1
    return counts


@pytest.mark.usefixtures("frequent_switches")
def test_threads_sharing_one_object_get_a_right_result_or_already_borrowed(
    model_dir: str, expected: list[list[float]]
) -> None:
    shared = StaticEmbedding(model_dir)
    counts = run_threads(lambda number: call_repeatedly(lambda _: shared, expected, number))
    # Ids read through Python code let calls overlap: both outcomes occur.
    assert counts["right"] > 0 and counts["borrowed"] > 0
    assert shared.embed_tokens([0]) == expected[0], "the flag is free again"


@pytest.mark.usefixtures("frequent_switches")
def test_threads_with_objects_of_their_own_always_get_right_results(
    model_dir: str, expected: list[list[float]]
) -> None:
    # Every thread loads its own object on its first call, concurrently.
    own = [StaticEmbedding(model_dir) for _ in range(THREADS)]
    counts = run_threads(lambda number: call_repeatedly(lambda n: own[n], expected, number))
    assert counts["borrowed"] == 0 and counts["right"] > 0


@pytest.mark.usefixtures("frequent_switches")
def test_objects_made_and_dropped_in_many_threads_load_and_work(
    model_dir: str, expected: list[list[float]]
) -> None:
    counts = run_threads(
        lambda number: call_repeatedly(lambda _: StaticEmbedding(model_dir), expected, number))
    assert counts["borrowed"] == 0 and counts["right"] > 0
