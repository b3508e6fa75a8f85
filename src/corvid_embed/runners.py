"""Where batches run: in this process, in local worker processes, or on a Dask cluster.

Each runner takes an iterator of (first line, texts) batches and yields their results in input
order. At most a few batches per worker are in flight, so memory is bounded by the batch size
whatever the corpus length.
"""

import itertools
import multiprocessing
import os
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np

from corvid_py import StaticEmbedding

from corvid_embed import worker
from corvid_embed.worker import TOKENIZER_FILE, BatchFailure, Embedder

type Batch = tuple[int, list[str]]
type BatchResult = np.ndarray | BatchFailure

# Batches queued per worker beyond the one it runs: enough to keep it busy while results are
# written, few enough that memory stays a small multiple of the batch size.
QUEUED_PER_WORKER = 2


class EmbedError(Exception):
    """A corpus could not be embedded; the message says why, with the line number if one is to
    blame."""


def batched(texts: Iterable[str], batch_size: int) -> Iterator[Batch]:
    """(first line, texts) pairs, lines counted from 1; one empty batch for no texts, so that
    even then a result tells the model's column count."""
    iterator = iter(texts)
    first_line = 1
    while batch := list(itertools.islice(iterator, batch_size)):
        yield first_line, batch
        first_line += len(batch)
    if first_line == 1:
        yield 1, []


def in_this_process(model_dir: str, normalize: bool, batches: Iterable[Batch]) -> Iterator[BatchResult]:
    embedder = load_here(model_dir, normalize)
    for first_line, texts in batches:
        yield embedder.embed(first_line, texts)


def load_here(model_dir: str, normalize: bool) -> Embedder:
    """The model loaded in this process; EmbedError if it cannot be."""
    check_model_dir(model_dir)
    try:
        return Embedder(model_dir, normalize)
    except Exception as error:
        raise EmbedError(f"cannot load the model in {model_dir}: {error}") from None


def check_model_dir(model_dir: str) -> None:
    """Fails early, here rather than in every worker, when the directory lacks a file."""
    try:
        StaticEmbedding(model_dir)
    except ValueError as error:
        raise EmbedError(str(error)) from None
    if not (Path(model_dir) / TOKENIZER_FILE).is_file():
        raise EmbedError(f"{TOKENIZER_FILE} not found in {model_dir}")


def in_worker_processes(
    model_dir: str, normalize: bool, batches: Iterable[Batch], workers: int
) -> Iterator[BatchResult]:
    # forkserver: workers start from a clean server process, never a fork of this one with the
    # model, a tokenizer's thread pool or a borrowed object in it; spawn where it is missing.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    check_model_dir(model_dir)
    with ProcessPoolExecutor(workers, multiprocessing.get_context(method),
                             initializer=worker.load, initargs=(model_dir, normalize)) as pool:
        try:
            yield from in_order(lambda batch: pool.submit(worker.embed_batch, model_dir, normalize, *batch),
                                batches, workers)
        finally:
            pool.shutdown(cancel_futures=True)


def on_dask(model_dir: str, normalize: bool, batches: Iterable[Batch], scheduler: Any) -> Iterator[BatchResult]:
    """`scheduler` is a scheduler address or a `distributed.Client`; a client made here from an
    address is closed at the end."""
    try:
        import distributed
    except ImportError:
        raise EmbedError("a Dask scheduler needs Dask's distributed package: "
                         "pip install 'corvid_py[dask]' (or dask and distributed)") from None
    if isinstance(scheduler, distributed.Client):
        client, own = scheduler, False
    else:
        try:
            client, own = distributed.Client(scheduler, timeout="10s"), True
        except (OSError, ValueError, TypeError) as error:
            raise EmbedError(f"cannot reach the Dask scheduler {scheduler}: {error}") from None
    try:
        workers = max(1, sum(client.nthreads().values()))
        yield from in_order(lambda batch: client.submit(worker.embed_batch, model_dir, normalize, *batch,
                                                        pure=False),
                            batches, workers)
    finally:
        if own:
            client.close()


def in_order(submit: Callable[[Batch], Future], batches: Iterable[Batch], workers: int) -> Iterator[BatchResult]:
    """Submits batches keeping at most (1 + QUEUED_PER_WORKER) x workers in flight, and yields
    the results in submission order."""
    pending: deque[Future] = deque()
    try:
        for batch in batches:
            pending.append(submit(batch))
            if len(pending) >= workers * (1 + QUEUED_PER_WORKER):
                yield outcome(pending.popleft())
        while pending:
            yield outcome(pending.popleft())
    finally:
        for future in pending:
            future.cancel()


def outcome(future: Future) -> BatchResult:
    """A batch's result; a worker that could not return one (killed, or unable to import this
    package on a Dask worker) becomes an EmbedError."""
    try:
        return future.result()
    except Exception as error:
        raise EmbedError(f"a worker failed: {type(error).__name__}: {error}") from None


def run(
    model_dir: str, normalize: bool, batches: Iterable[Batch], workers: int, scheduler: Any,
    where: Callable[[int], str] = "line {}".format,
) -> Iterator[np.ndarray]:
    """The batches' rows in input order, from the runner the arguments pick; EmbedError at the
    first failed batch, its line worded by `where`."""
    model_dir = os.path.abspath(model_dir)
    if scheduler is not None:
        results = on_dask(model_dir, normalize, batches, scheduler)
    elif workers > 1:
        results = in_worker_processes(model_dir, normalize, batches, workers)
    else:
        results = in_this_process(model_dir, normalize, batches)
    try:
        for result in results:
            if isinstance(result, BatchFailure):
                raise EmbedError(result.message if result.line is None
                                 else f"{where(result.line)}: {result.message}")
            yield result
    finally:
        results.close()
