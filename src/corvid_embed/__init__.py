"""Embedding a corpus with corvid_py: `embed_texts` in Python, `corvid-embed` on the command line.

Texts are tokenised with the model directory's `tokenizer.json` and embedded with
`corvid_py.StaticEmbedding`, in this process, in local worker processes or on a Dask cluster,
with the same result bit for bit.
"""

from corvid_embed.api import embed_texts
from corvid_embed.runners import EmbedError

__all__ = ["EmbedError", "embed_texts"]
