"""The Python surface: embed_texts (texts in memory to a matrix) and embed_files (the command as a
function). Both check their arguments before anything runs, naming them as Python does; the
command shares these checks, naming its flags instead."""

import os
from collections.abc import Callable, Iterable
from typing import Any

import numpy as np

from corvid_embed.defaults import DEFAULT_BATCH_SIZE, DTYPES, FORMATS, MAX_BATCH_SIZE, MAX_WORKERS, SCHEDULER_WAIT
from corvid_embed.failures import EmbedError
from corvid_embed.reading.pieces import Fields, kind_of
from corvid_embed.request import Request
from corvid_embed.running.progress import Progress, progress_mode

# How a caller names an option, and one of its values: a Python parameter or a command-line flag.
type Spell = Callable[[str, str | None], str]


def parameter(name: str, value: str | None = None) -> str:
    return name if value is None else f"{name}={value!r}"


def embed_texts(
    model_dir: str | os.PathLike, texts: Iterable[str], *, normalize: bool = True, workers: int = 1,
    scheduler: Any = None, batch_size: int = DEFAULT_BATCH_SIZE, progress: bool = False, dtype: str = "float32",
) -> np.ndarray:
    """Embeds each text with the model directory's table and its `tokenizer.json`.

    Row i is bit for bit `StaticEmbedding(model_dir, normalize).embed_tokens(
    tokenizer.encode(texts[i]).ids)`. `workers` > 1 embeds in that many local processes;
    `scheduler` (a Dask scheduler address or a `distributed.Client`) on a Dask cluster instead,
    whose workers must all read `model_dir` at the same path. `progress` shows progress on
    standard error. `dtype="float16"` gives the rows as numpy.float16 gives them. Raises
    EmbedError naming the failing text as texts[i], TypeError for a text that is not a str.
    """
    from corvid_embed.texts_run import embed_all

    if isinstance(texts, (str, bytes, bytearray, memoryview)) or not isinstance(texts, Iterable):
        raise TypeError(f"texts must be an iterable of str, not {type(texts).__name__}")
    check_flag("normalize", normalize)
    check_flag("progress", progress)
    check_count("workers", workers, MAX_WORKERS)
    check_count("batch_size", batch_size, MAX_BATCH_SIZE)
    check_dtype(dtype)
    total = len(texts) if hasattr(texts, "__len__") else None
    if total is not None:
        workers = min(workers, max(1, -(-total // batch_size)))  # no more workers than batches
    with Progress(total, progress_mode(progress)) as bar:

        def on_rows(count: int) -> None:
            bar.add(count)
            bar.show()

        matrix = embed_all(os.path.abspath(model_dir), normalize, texts, batch_size, workers, scheduler,
                           SCHEDULER_WAIT, on_rows)
    return matrix.astype(dtype, copy=False)


def embed_files(
    model_dir: str | os.PathLike, inputs: list[str | os.PathLike], output: str | os.PathLike, *, field: str = "text",
    id_field: str | None = None, format: str | None = None, shard_rows: int | None = None, workers: int = 1,
    resume: bool = False, normalize: bool = True, batch_size: int = DEFAULT_BATCH_SIZE, progress: bool = False,
    scheduler: Any = None, scheduler_wait: float = SCHEDULER_WAIT, dtype: str = "float32",
) -> None:
    """Embeds the texts of `inputs` (text files of one text per line, `.jsonl`/`.ndjson` files of
    JSON objects with the text at `field`, `.parquet` files with a string column `field`; "-" for
    standard input alone; `.gz`, `.bz2`, `.xz` and `.zst` compressed), rows numbered from 0
    across them in order, into `output`: a .npy matrix, a Parquet file (`format="parquet"`:
    columns `id` and `embedding`), or with `shard_rows` a directory of shards of at most that
    many rows and their manifest.json, which `resume` completes; of float32 rows, or float16
    with `dtype="float16"`. Raises EmbedError where the command exits with status 1.
    """
    if isinstance(inputs, (str, bytes, os.PathLike)) or not isinstance(inputs, Iterable):
        raise TypeError("inputs must be a list of paths (str)")
    inputs = list(inputs)  # any iterable, read once
    if not all(isinstance(path, (str, os.PathLike)) for path in inputs):
        raise TypeError("inputs must be a list of paths (str)")
    for name, value in (("model_dir", model_dir), ("output", output)):
        if not isinstance(value, (str, os.PathLike)):
            raise TypeError(f"{name} must be str, not {type(value).__name__}")
    if not isinstance(field, str):
        raise TypeError(f"field must be str, not {type(field).__name__}")
    for name, flag in (("resume", resume), ("normalize", normalize), ("progress", progress)):
        check_flag(name, flag)
    check_count("workers", workers, MAX_WORKERS)
    check_count("batch_size", batch_size, MAX_BATCH_SIZE)
    if shard_rows is not None:
        check_count("shard_rows", shard_rows)
    if format is not None and format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    check_dtype(dtype)
    run_files(files_request(model_dir, inputs, output, Fields(field, id_field), format, dtype, shard_rows, workers,
                            resume, normalize, batch_size, progress_mode(progress), scheduler, scheduler_wait),
              parameter)


def files_request(model_dir: str | os.PathLike, inputs: list[str | os.PathLike], output: str | os.PathLike,
                  fields: Fields, format: str | None, dtype: str, shard_rows: int | None, workers: int, resume: bool,
                  normalize: bool, batch_size: int, progress: str | None, scheduler: Any,
                  scheduler_wait: float) -> Request:
    """The request of embed_files or the command, its paths as str and its format decided."""
    output = os.fspath(output)
    if format is None:
        format = "parquet" if shard_rows is None and output.endswith(".parquet") else "npy"
    return Request(os.path.abspath(model_dir), [os.fspath(path) for path in inputs], output, fields,
                   format, dtype, shard_rows, workers, resume, normalize, batch_size,  # type: ignore[arg-type]
                   progress, scheduler, scheduler_wait)


def run_files(request: Request, spell: Spell) -> None:
    """Checks what the options ask for together, naming them as `spell` does, then runs."""
    from corvid_embed.corpus_run import run

    if not request.inputs:
        raise EmbedError("no input given")
    if "-" in request.inputs and len(request.inputs) > 1:
        raise EmbedError("standard input (-) can only be the one input")
    if request.resume and request.shard_rows is None:
        raise EmbedError(f"{spell('resume', None)} needs {spell('shard_rows', None)}: only shards can be resumed")
    if request.resume and request.inputs == ["-"]:
        raise EmbedError("standard input cannot be resumed; give the corpus as a file")
    if request.scheduler is not None and "-" in request.inputs:
        # Its copy would be in this machine's temporary directory, which no worker sees.
        raise EmbedError("a Dask cluster's workers cannot read standard input: give a file on a file system "
                         "that they share")
    if request.fields.id is not None:
        if request.fields.id == request.fields.text:
            raise EmbedError(f"{spell('id_field', None)} and {spell('field', None)} name the same field, "
                             f"{request.fields.text!r}: a text is not its own id")
        if request.format != "parquet":
            raise EmbedError(f"{spell('id_field', None)} needs {spell('format', 'parquet')}: a .npy file has no ids")
        plain = [path for path in request.inputs if kind_of(path) == "text" or path == "-"]
        if plain:
            raise EmbedError(f"{spell('id_field', None)} needs JSON Lines or Parquet inputs, and {plain[0]} is text")
    run(request)


def check_flag(name: str, value: object) -> None:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")


def check_dtype(dtype: object) -> None:
    if dtype not in DTYPES:
        raise ValueError(f"dtype must be one of {', '.join(DTYPES)}, not {dtype!r}")


def check_count(name: str, value: object, limit: int | None = None) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1 or (limit is not None and value > limit):
        raise ValueError(f"{name} must be from 1 to {limit}, not {value}" if limit else
                         f"{name} must be at least 1, not {value}")
