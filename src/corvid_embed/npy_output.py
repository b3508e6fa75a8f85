"""The command's output: a float32 .npy matrix written under a temporary name in the output's
directory, row block by row block through a memory map, and renamed to its final name only once
complete, so a failure never leaves a partial file under that name."""

import os
import tempfile
from pathlib import Path

import numpy as np
from numpy.lib.format import open_memmap

from corvid_embed.runners import EmbedError


class NpyOutput:
    def __init__(self, path: str, rows: int) -> None:
        self.path = Path(path)
        self.rows = rows
        self.matrix: np.memmap | None = None
        try:
            descriptor, temporary = tempfile.mkstemp(prefix=f".{self.path.name}.", suffix=".part",
                                                     dir=self.path.parent)
        except OSError as error:
            raise EmbedError(f"cannot write {path}: {error.strerror or error}") from None
        os.close(descriptor)
        self.temporary = Path(temporary)

    def write(self, first_row: int, block: np.ndarray) -> None:
        """Rows first_row (counted from 0) onwards; the first block fixes the column count."""
        try:
            if self.matrix is None:
                self.matrix = open_memmap(self.temporary, mode="w+", dtype=np.float32,
                                          shape=(self.rows, block.shape[1]))
            self.matrix[first_row:first_row + len(block)] = block
        except OSError as error:
            raise EmbedError(f"cannot write {self.path}: {error.strerror or error}") from None

    def commit(self) -> None:
        try:
            if self.matrix is not None:
                self.matrix.flush()
                self.matrix = None
            os.replace(self.temporary, self.path)
        except OSError as error:
            raise EmbedError(f"cannot write {self.path}: {error.strerror or error}") from None

    def discard(self) -> None:
        self.matrix = None
        self.temporary.unlink(missing_ok=True)
