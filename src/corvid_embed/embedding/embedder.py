"""The work of one process: a model's table and its tokenizer loaded once, lists of texts embedded
into rows by the native batch path.

Serves the calling process itself, the local worker processes and Dask workers alike. A batch is
one native call: where the word table serves the tokenizer it splits and looks up the texts
itself, and otherwise it is given the ids of `encode_batch`; either way the rows go straight into
the caller's buffer. A text that cannot be embedded comes back as a RowFailure with its index.
"""

import threading
from collections.abc import Buffer

import numpy as np
from tokenizers import Tokenizer

from corvid_embed._native import Table
from corvid_embed.embedding.model_files import Identity, changed, identity, load_tokenizer
from corvid_embed.embedding.word_cache import WORD_BYTES, encoded_ids, pieces_encoder, word_cache_specials
from corvid_embed.failures import EmbedError, RowFailure, one_line

FLOAT_BYTES = 4


class Embedder:
    """A model directory's table and tokenizer, loaded on construction (EmbedError if they
    cannot be)."""

    def __init__(self, model_dir: str, normalize: bool) -> None:
        self.tokenizer = load_tokenizer(model_dir)
        specials = word_cache_specials(self.tokenizer)
        words = {} if specials is None else {"encode": pieces_encoder(self.tokenizer), "prefix": specials[0],
                                             "suffix": specials[1], "word_bytes": WORD_BYTES}
        try:
            self.table = Table(model_dir, normalize, **words)
        except (RuntimeError, ValueError, MemoryError) as error:
            raise EmbedError(f"cannot load the model in {model_dir}: {one_line(error)}") from None
        self.split_words = specials is not None
        self.columns = self.table.columns
        self.row_bytes = FLOAT_BYTES * self.columns

    def embed(self, texts: list[str], into: Buffer | None = None) -> tuple[memoryview, RowFailure | None]:
        """The rows of `texts` packed as float32, up to the first failure if there is one: in
        `into` when given (contiguous, at least their size), else in a new buffer."""
        # A new buffer is left unfilled: every byte of it that is returned is a row's.
        packed = memoryview(into if into is not None else np.empty(len(texts) * self.row_bytes, np.uint8)).cast("B")
        failed = self.table.embed_texts(texts, packed) if self.split_words else self.embed_encoded(texts, packed)
        if failed is None:
            return packed[:len(texts) * self.row_bytes], None
        index, outside = failed
        reason = (encode_failure(self.tokenizer, texts[index]) if outside is None
                  else f"token id {outside} is outside the model's table of {self.table.rows} rows")
        return packed[:index * self.row_bytes], RowFailure(index, reason)

    def embed_encoded(self, texts: list[str], packed: memoryview) -> tuple[int, int | None] | None:
        """The texts' `encode_batch` ids embedded; the first failure as the native call gives it, a
        text the tokenizer refuses as (its index, None)."""
        try:
            ids = encoded_ids(self.tokenizer, texts)
        except Exception:
            # The batch fails as a whole: the texts before the first that fails alone are embedded.
            refused = next((i for i, text in enumerate(texts) if encode_failure(self.tokenizer, text)), None)
            if refused is None:
                raise
            return self.embed_encoded(texts[:refused], packed) or (refused, None)
        return self.table.embed_ids(ids, packed)


def encode_failure(tokenizer: Tokenizer, text: str) -> str | None:
    """Why the tokenizer refuses a text, as "Type: message"; None if it does not."""
    try:
        tokenizer.encode(text)
    except Exception as error:
        return f"{type(error).__name__}: {error}"
    return None


# One Embedder per model directory for the life of a process, shared by its threads (a Dask
# worker may run several tasks at once, and one object serves one call at a time), with the
# identity of the files it was loaded from: a run that checked other files loads them afresh.
_loaded: dict[tuple[str, bool], tuple[Identity, Embedder | EmbedError]] = {}
_lock = threading.Lock()


def embed(model_dir: str, normalize: bool, checked: Identity, texts: list[str],
          into: Buffer | None = None) -> tuple[memoryview, RowFailure | None, int]:
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
