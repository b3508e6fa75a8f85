"""Embedding a corpus with corvid_py: `embed_texts` and `embed_files` in Python, `corvid-embed` on
the command line.

Texts are tokenised with the model directory's `tokenizer.json` and embedded with
`corvid_py.StaticEmbedding`, in this process, in local worker processes or on a Dask cluster,
with the same result bit for bit.
"""

import importlib.util
from typing import Any

from corvid_embed.failures import EmbedError

# The extension needs nothing; this tool needs the "corpus" extra. Say so rather than fail
# somewhere inside.
_missing = [name for name in ("numpy", "tokenizers", "tqdm") if importlib.util.find_spec(name) is None]
if _missing:
    raise ImportError(f"corvid_embed needs {', '.join(_missing)}: pip install 'corvid_py[corpus]'")

__all__ = ["EmbedError", "embed_files", "embed_texts"]


def __getattr__(name: str) -> Any:
    # The functions bring numpy with them: the command imports this package only to parse its
    # arguments first.
    if name in ("embed_files", "embed_texts"):
        from corvid_embed import api
        return getattr(api, name)
    raise AttributeError(f"module 'corvid_embed' has no attribute {name!r}")
