"""embed_texts's batches: texts held by the caller, sent to wherever they are embedded and their
rows gathered back in input order. At most a few batches per worker are in flight, so memory is
bounded by the batch size whatever the number of texts."""

import itertools
import os
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future
from typing import Any

import numpy as np

from corvid_embed.embedder import TextFailure, embed_batch
from corvid_embed.errors import EmbedError
from corvid_embed.executors import SCHEDULER_WAIT, executor
from corvid_embed.model_files import check_model

type Batch = tuple[int, list[str]]  # the index of its first text, its texts

# Batches queued per worker beyond the one it runs: enough to keep it busy while results come
# back, few enough that memory stays a small multiple of the batch size.
QUEUED_PER_WORKER = 2


def batched(texts: Iterable[str], batch_size: int) -> Iterator[Batch]:
    """(first index, texts) pairs; one empty batch for no texts, so that even then a result
    tells the model's column count."""
    iterator = iter(texts)
    first = 0
    while batch := list(itertools.islice(iterator, batch_size)):
        for index, text in enumerate(batch, first):
            if not isinstance(text, str):
                raise TypeError(f"texts[{index}] must be str, not {type(text).__name__}")
        yield first, batch
        first += len(batch)
    if first == 0:
        yield 0, []


def run(model_dir: str, normalize: bool, batches: Iterable[Batch], workers: int, scheduler: Any) -> Iterator[np.ndarray]:
    """The batches' rows in input order; EmbedError naming texts[i] at the first failure."""
    model_dir = os.path.abspath(model_dir)
    check_model(model_dir)
    place = executor(workers, scheduler, SCHEDULER_WAIT)
    try:
        submit = lambda batch: place.submit(embed_batch, model_dir, normalize, batch[1],  # noqa: E731
                                            what=f"texts[{batch[0]}] to texts[{batch[0] + len(batch[1]) - 1}]")
        for first, result in in_order(submit, batches, place.capacity):
            if isinstance(result, TextFailure):
                raise EmbedError(f"texts[{first + result.index}]: {result.message}")
            yield result
        place.close()
    finally:
        place.abort()


def in_order(submit: Callable[[Batch], Future], batches: Iterable[Batch], workers: int) -> Iterator[tuple[int, Any]]:
    """Submits batches keeping at most (1 + QUEUED_PER_WORKER) x workers in flight, and yields
    (first index, result) in submission order."""
    pending: deque[tuple[int, Future]] = deque()
    try:
        for batch in batches:
            pending.append((batch[0], submit(batch)))
            if len(pending) >= workers * (1 + QUEUED_PER_WORKER):
                first, future = pending.popleft()
                yield first, future.result()
        while pending:
            first, future = pending.popleft()
            yield first, future.result()
    finally:
        for _, future in pending:
            future.cancel()
