"""Embedding a corpus with corvid_py: `embed_texts` and `embed_files` in Python, `corvid-embed` on
the command line.

Texts are tokenised with the model directory's `tokenizer.json` and embedded with
`corvid_py.StaticEmbedding`, in this process, in local worker processes or on a Dask cluster,
with the same result bit for bit.
"""

import importlib.util

# The extension needs nothing; this tool needs the "corpus" extra. Say so
# rather than fail somewhere inside.
_missing = [name for name in ("numpy", "tokenizers", "tqdm") if importlib.util.find_spec(name) is None]
if _missing:
    raise ImportError(f"corvid_embed needs {', '.join(_missing)}: pip install 'corvid_py[corpus]'")

from corvid_embed.api import embed_files, embed_texts  # noqa: E402
from corvid_embed.errors import EmbedError  # noqa: E402

__all__ = ["EmbedError", "embed_files", "embed_texts"]
