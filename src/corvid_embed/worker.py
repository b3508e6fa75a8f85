"""The work of one process: a model and its tokenizer loaded once, batches of texts embedded.

Serves the calling process itself, the local worker processes and Dask workers alike. A batch
never raises: every failure, a `PanicException` (a `BaseException`) included, comes back as a
`BatchFailure` naming the line, so a worker neither dies nor leaves its pool waiting.
"""

import struct
import threading
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from tokenizers import Tokenizer

from corvid_py import StaticEmbedding

from corvid_embed.word_cache import word_cached_encoder

TOKENIZER_FILE = "tokenizer.json"


@dataclass(frozen=True)
class BatchFailure:
    """Why a batch could not be embedded; `line` is the 1-based input line, or None when the
    model itself failed."""

    line: int | None
    message: str


class Embedder:
    """A model directory's table and tokenizer, loaded on construction."""

    def __init__(self, model_dir: str, normalize: bool) -> None:
        # Both raise ValueError / Exception with the reason; callers word the failure.
        self.tokenizer = Tokenizer.from_file(str(Path(model_dir) / TOKENIZER_FILE))
        self.model = StaticEmbedding(model_dir, normalize)
        self.encode = word_cached_encoder(self.tokenizer)
        # Loads the table now, so that a bad weights file is the model's failure, not a line's.
        self.columns = len(self.model.embed_tokens([]))
        self.row = struct.Struct(f"={self.columns}f")

    def embed(self, first_line: int, texts: list[str]) -> np.ndarray | BatchFailure:
        """The rows of `texts` (lines first_line, first_line + 1, ...) as a float32 matrix."""
        # Each row list is packed as soon as it is made: freed at once, its floats are reused by
        # the next call, where rows kept as lists would cost several times the embedding itself.
        packed = bytearray(len(texts) * self.row.size)
        line = first_line
        try:
            for line, text in enumerate(texts, first_line):
                ids = self.encode(text)
                try:
                    self.row.pack_into(packed, (line - first_line) * self.row.size,
                                       *self.model.embed_tokens(ids))
                except BaseException as error:
                    if type(error).__name__ != "PanicException":
                        raise
                    return BatchFailure(line, f"a token id is outside the model's table "
                                              f"(the largest is {max(ids)}): {error}")
        except Exception as error:
            return BatchFailure(line, f"{type(error).__name__}: {error}")
        return np.frombuffer(packed, dtype="=f4").reshape(len(texts), self.columns)


# One Embedder per model for the life of a worker process, shared by its threads: a Dask worker
# may run several tasks at once, and one object serves one call at a time.
_loaded: dict[tuple[str, bool], Embedder | BatchFailure] = {}
_lock = threading.Lock()


def load(model_dir: str, normalize: bool) -> Embedder | BatchFailure:
    """The worker's Embedder for the model, made on first use; a failure to load is kept and
    returned for every batch, so that it is reported once the batch results come in."""
    with _lock:
        key = (model_dir, normalize)
        if key not in _loaded:
            try:
                _loaded[key] = Embedder(model_dir, normalize)
            except Exception as error:
                _loaded[key] = BatchFailure(None, f"cannot load the model in {model_dir}: {error}")
        return _loaded[key]


def embed_batch(model_dir: str, normalize: bool, first_line: int, texts: list[str]) -> np.ndarray | BatchFailure:
    """A batch in a worker process (local or Dask), with the worker's model."""
    embedder = load(model_dir, normalize)
    if isinstance(embedder, BatchFailure):
        return embedder
    with _lock:
        return embedder.embed(first_line, texts)
