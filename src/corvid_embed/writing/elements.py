"""The element type of the output's rows: float32, as they are computed, or float16, converted
with round-to-nearest-even, exactly as numpy.float16 converts."""

import numpy as np

from corvid_embed.defaults import DType

COMPUTED = np.dtype("=f4")
STORED: dict[str, np.dtype] = {"float32": np.dtype("<f4"), "float16": np.dtype("<f2")}


def stored(rows: memoryview, dtype: DType) -> memoryview:
    """Rows packed as float32, as the output stores them: bytes, ready to write."""
    if STORED[dtype] == COMPUTED:
        return rows
    return memoryview(np.frombuffer(rows, COMPUTED).astype(STORED[dtype])).cast("B")


def computed_bytes(columns: int) -> int:
    """Bytes of a row as it is computed."""
    return columns * COMPUTED.itemsize
