"""The Python surface: embed_texts (texts in memory to a matrix) and embed_files (the command as a
function)."""

from collections.abc import Iterable
from typing import Any

import numpy as np

from corvid_embed import corpus_run
from corvid_embed.errors import EmbedError
from corvid_embed.executors import SCHEDULER_WAIT
from corvid_embed.inputs import Fields, kind_of
from corvid_embed.progress import Progress, progress_mode
from corvid_embed.runners import batched, run

DEFAULT_BATCH_SIZE = 1024
# Beyond these a run would only exhaust the machine: processes, or memory for one batch.
MAX_WORKERS = 1024
MAX_BATCH_SIZE = 1 << 20
FORMATS = ("npy", "parquet")


def embed_texts(
    model_dir: str, texts: Iterable[str], *, normalize: bool = True, workers: int = 1,
    scheduler: Any = None, batch_size: int = DEFAULT_BATCH_SIZE, progress: bool = False,
) -> np.ndarray:
    """Embeds each text with the model directory's table and its `tokenizer.json`.

    Row i is bit for bit `StaticEmbedding(model_dir, normalize).embed_tokens(
    tokenizer.encode(texts[i]).ids)`. `workers` > 1 embeds in that many local processes;
    `scheduler` (a Dask scheduler address or a `distributed.Client`) on a Dask cluster instead,
    whose workers must all read `model_dir` at the same path. `progress` shows progress on
    standard error. Raises EmbedError naming the failing text as texts[i], TypeError for a text
    that is not a str.
    """
    if isinstance(texts, (str, bytes, bytearray, memoryview)) or not isinstance(texts, Iterable):
        raise TypeError(f"texts must be an iterable of str, not {type(texts).__name__}")
    check_flag("normalize", normalize)
    check_flag("progress", progress)
    check_count("workers", workers, MAX_WORKERS)
    check_count("batch_size", batch_size, MAX_BATCH_SIZE)
    total = len(texts) if hasattr(texts, "__len__") else None
    if total is not None:
        workers = min(workers, max(1, -(-total // batch_size)))  # no more workers than batches
    blocks = []
    with Progress(total, progress_mode(progress)) as bar:
        for rows in run(model_dir, normalize, batched(texts, batch_size), workers, scheduler):
            blocks.append(rows)
            bar.add(len(rows))
            bar.show()
    return np.concatenate(blocks)


def embed_files(
    model_dir: str, inputs: list[str], output: str, *, field: str = "text", id_field: str | None = None,
    format: str | None = None, shard_rows: int | None = None, workers: int = 1, resume: bool = False,
    normalize: bool = True, batch_size: int = DEFAULT_BATCH_SIZE, progress: bool = False,
    scheduler: Any = None, scheduler_wait: float = SCHEDULER_WAIT,
) -> None:
    """Embeds the texts of `inputs` (text files of one text per line, `.jsonl`/`.ndjson` files of
    JSON objects with the text at `field`, `.parquet` files with a string column `field`; "-" for
    standard input alone), rows numbered from 0 across them in order, into `output`: a float32
    .npy matrix, a Parquet file (`format="parquet"`: columns `id` and `embedding`), or with
    `shard_rows` a directory of shards of at most that many rows and their manifest.json, which
    `resume` completes. Raises EmbedError where the command exits with status 1.
    """
    if isinstance(inputs, (str, bytes)) or not all(isinstance(path, str) for path in inputs):
        raise TypeError("inputs must be a list of paths (str)")
    for name, value in (("model_dir", model_dir), ("output", output), ("field", field)):
        if not isinstance(value, str):
            raise TypeError(f"{name} must be str, not {type(value).__name__}")
    for name, flag in (("resume", resume), ("normalize", normalize), ("progress", progress)):
        check_flag(name, flag)
    check_count("workers", workers, MAX_WORKERS)
    check_count("batch_size", batch_size, MAX_BATCH_SIZE)
    if shard_rows is not None:
        check_count("shard_rows", shard_rows)
    if format is None:
        format = "parquet" if shard_rows is None and output.endswith(".parquet") else "npy"
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    if not inputs:
        raise EmbedError("no input given")
    if "-" in inputs and len(inputs) > 1:
        raise EmbedError("standard input (-) can only be the one input")
    if resume and shard_rows is None:
        raise EmbedError("--resume needs --shard-rows: only shards can be resumed")
    if resume and inputs == ["-"]:
        raise EmbedError("standard input cannot be resumed; give the corpus as a file")
    if id_field is not None:
        if format != "parquet":
            raise EmbedError("--id-field needs --format parquet: a .npy file has no ids")
        plain = [path for path in inputs if kind_of(path) == "text" or path == "-"]
        if plain:
            raise EmbedError(f"--id-field needs JSON Lines or Parquet inputs, and {plain[0]} is text")
    corpus_run.run(corpus_run.Request(
        model_dir, list(inputs), output, Fields(field, id_field), format, shard_rows, workers, resume, normalize,
        batch_size, progress_mode(progress), scheduler, scheduler_wait))


def check_flag(name: str, value: object) -> None:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")


def check_count(name: str, value: object, limit: int | None = None) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1 or (limit is not None and value > limit):
        raise ValueError(f"{name} must be from 1 to {limit}, not {value}" if limit else
                         f"{name} must be at least 1, not {value}")


__all__ = ["EmbedError", "embed_files", "embed_texts"]
