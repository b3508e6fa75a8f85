"""pyarrow, imported where Parquet is first read or written: text and JSON Lines need none, and its
absence is a failure that names the extra to install."""

from typing import Any

from corvid_embed.failures import EmbedError


def parquet() -> Any:
    """pyarrow.parquet."""
    try:
        import pyarrow.parquet
    except ImportError:
        raise EmbedError("Parquet files need pyarrow: pip install 'corvid_py[corpus]'") from None
    return pyarrow.parquet


def arrow() -> Any:
    """pyarrow itself, once pyarrow.parquet is known to import."""
    parquet()
    import pyarrow
    return pyarrow
