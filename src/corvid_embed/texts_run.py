"""embed_texts's batches: texts held by the caller, sent to wherever they are embedded and their
rows gathered back in input order into one matrix, made once when the number of texts is known
(in this process, the batches' rows are written straight into it). At most a few batches per
worker are in flight, so memory beyond the matrix is bounded by the batch size."""

import itertools
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sized
from concurrent.futures import Future
from typing import Any

import numpy as np

from corvid_embed.embedding.model_files import Identity, check_model
from corvid_embed.failures import EmbedError, RowFailure
from corvid_embed.running.choice import executor

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


def embed_text_batch(model_dir: str, normalize: bool, model: Identity, texts: list[str],
                     into: np.ndarray | None = None) -> np.ndarray | RowFailure:
    """A list of texts sent to a worker: its rows (in `into` when given), or its first failure."""
    from corvid_embed.embedding.embedder import embed  # where batches run: a cluster's client loads no model

    packed, failure, columns = embed(model_dir, normalize, model, texts, into)
    return failure or np.frombuffer(packed, dtype="=f4").reshape(len(texts), columns)


def embed_all(model_dir: str, normalize: bool, texts: Iterable[str], batch_size: int, workers: int,
              scheduler: Any, scheduler_wait: float, on_rows: Callable[[int], None]) -> np.ndarray:
    """The texts' rows as one float32 matrix; EmbedError naming texts[i] at the first failure."""
    total = len(texts) if isinstance(texts, Sized) else None
    with executor(workers, scheduler, scheduler_wait) as place:
        checked = check_model(model_dir)
        matrix = np.empty((total, checked.shape.columns), np.float32) if total is not None else None
        blocks = []

        def submit(batch: Batch) -> Future:
            first, batch_texts = batch
            if matrix is not None and first + len(batch_texts) > len(matrix):
                raise ValueError(f"texts gave more texts than its len(), {len(matrix)}")
            into = matrix[first:first + len(batch_texts)] if matrix is not None and place.in_this_process else None
            return place.submit(embed_text_batch, model_dir, normalize, checked.identity, batch_texts, into,
                                what=f"texts[{first}] to texts[{first + len(batch_texts) - 1}]")

        done = 0
        for first, result in in_order(submit, batched(texts, batch_size), place.capacity):
            if isinstance(result, RowFailure):
                raise EmbedError(f"texts[{first + result.row}]: {result.reason}")
            if matrix is None:
                blocks.append(result)
            elif not place.in_this_process:
                matrix[first:first + len(result)] = result
            done += len(result)
            on_rows(len(result))
    if matrix is None:
        return np.concatenate(blocks)
    if done != len(matrix):
        raise ValueError(f"texts gave {done} texts, not its len(), {len(matrix)}")
    return matrix


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
