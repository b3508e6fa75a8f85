"""The work of one process: a model and its tokenizer loaded once, lists of texts embedded.

Serves the calling process itself, the local worker processes and Dask workers alike. Every id
is checked against the table's rows before the module sees it, so a text never makes the module
fail; a text that cannot be embedded comes back as a RowFailure with its index.
"""

import struct
import threading

from corvid_py import StaticEmbedding

from corvid_embed.embedding.model_files import Identity, changed, identity, load_tokenizer, table_shape
from corvid_embed.embedding.word_cache import word_cached_encoder
from corvid_embed.failures import EmbedError, RowFailure, one_line


class Embedder:
    """A model directory's table and tokenizer, loaded on construction (EmbedError if they
    cannot be)."""

    def __init__(self, model_dir: str, normalize: bool) -> None:
        self.rows = table_shape(model_dir).rows
        tokenizer = load_tokenizer(model_dir)
        self.encode = word_cached_encoder(tokenizer)
        self.model = StaticEmbedding(model_dir, normalize)
        try:
            # Loads the table now, so that a bad weights file is the model's failure, not a text's.
            self.columns = len(self.model.embed_tokens([]))
        except BaseException as error:
            if not isinstance(error, Exception) and type(error).__name__ != "PanicException":
                raise
            raise EmbedError(f"cannot load the model in {model_dir}: {one_line(error)}") from None
        self.row = struct.Struct(f"={self.columns}f")

    def embed(self, texts: list[str], into: bytearray | None = None) -> tuple[memoryview, RowFailure | None]:
        """The rows of `texts` packed as float32, up to the first failure if there is one: in
        `into` when given (at least their size), else in a new buffer."""
        # Each row list is packed as soon as it is made: freed at once, its floats are reused by
        # the next call, where rows kept as lists would cost several times the embedding itself.
        size = self.row.size
        packed = memoryview(into if into is not None else bytearray(len(texts) * size))
        for index, text in enumerate(texts):
            try:
                ids = self.encode(text)
            except Exception as error:
                return packed[:index * size], RowFailure(index, f"{type(error).__name__}: {error}")
            if ids and max(ids) >= self.rows:
                outside = next(i for i in ids if i >= self.rows)
                return packed[:index * size], RowFailure(
                    index, f"token id {outside} is outside the model's table of {self.rows} rows")
            self.row.pack_into(packed, index * size, *self.model.embed_tokens(ids))
        return packed[:len(texts) * size], None


# One Embedder per model directory for the life of a process, shared by its threads (a Dask
# worker may run several tasks at once, and one object serves one call at a time), with the
# identity of the files it was loaded from: a run that checked other files loads them afresh.
_loaded: dict[tuple[str, bool], tuple[Identity, Embedder | EmbedError]] = {}
_lock = threading.Lock()


def embed(model_dir: str, normalize: bool, checked: Identity, texts: list[str],
          into: bytearray | None = None) -> tuple[memoryview, RowFailure | None, int]:
    """`Embedder.embed` with the process's model, one call at a time; also the column count. The
    model is the one whose files the run checked (`checked`), loaded on first use; EmbedError if
    its files are no longer those. A failure to load is kept and raised again for every later
    call of the same run."""
    with _lock:
        key = (model_dir, normalize)
        if key not in _loaded or _loaded[key][0] != checked:
            _loaded[key] = checked, load(model_dir, normalize, checked)
        embedder = _loaded[key][1]
        if isinstance(embedder, EmbedError):
            raise EmbedError(str(embedder))
        packed, failure = embedder.embed(texts, into)
    return packed, failure, embedder.columns


def load(model_dir: str, normalize: bool, checked: Identity) -> Embedder | EmbedError:
    """The model, if its files are still those the run checked, before and after loading."""
    try:
        if identity(model_dir) != checked:
            raise changed(model_dir)
        embedder = Embedder(model_dir, normalize)
        if identity(model_dir) != checked:
            raise changed(model_dir)
        return embedder
    except EmbedError as error:
        return error
