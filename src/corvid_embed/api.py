"""embed_texts: a sequence of texts to a float32 matrix, one row per text, in input order."""

from collections.abc import Iterable
from typing import Any

import numpy as np

from corvid_embed.progress import progress_bar
from corvid_embed.runners import batched, run

DEFAULT_BATCH_SIZE = 1024


def embed_texts(
    model_dir: str, texts: Iterable[str], *, normalize: bool = True, workers: int = 1,
    scheduler: Any = None, batch_size: int = DEFAULT_BATCH_SIZE, progress: bool = False,
) -> np.ndarray:
    """Embeds each text with the model directory's table and its `tokenizer.json`.

    Row i is bit for bit `StaticEmbedding(model_dir, normalize).embed_tokens(
    tokenizer.encode(texts[i]).ids)`. `workers` > 1 embeds in that many local processes;
    `scheduler` (a Dask scheduler address or a `distributed.Client`) on a Dask cluster instead,
    whose workers must all read `model_dir` at the same path. `progress` shows a bar on
    standard error. Raises EmbedError naming the failing text as texts[i].
    """
    if isinstance(texts, str):
        raise TypeError("texts must be a sequence of strings, not one string")
    if workers < 1 or batch_size < 1:
        raise ValueError("workers and batch_size must be at least 1")
    total = len(texts) if hasattr(texts, "__len__") else None
    blocks = []
    with progress_bar(total, progress) as bar:
        for rows in run(model_dir, normalize, batched(texts, batch_size), workers, scheduler,
                        where=lambda line: f"texts[{line - 1}]"):
            blocks.append(rows)
            bar.update(len(rows))
    return np.concatenate(blocks)
