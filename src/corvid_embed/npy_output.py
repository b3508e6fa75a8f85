"""The command's output: a float32 .npy matrix written under a temporary name in the output's
directory, row block by row block through a memory map, and renamed to its final name only once
complete, so a failure never leaves a partial file under that name."""

import mmap
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
        self.released = 0  # bytes of the mapping already taken out of the resident set
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
            self.release(first_row + len(block))
        except OSError as error:
            raise EmbedError(f"cannot write {self.path}: {error.strerror or error}") from None

    def release(self, rows_written: int) -> None:
        """Unmaps the pages written so far: their data stays in the file and the page cache, but
        leaves this process's resident set, which would otherwise grow with the output."""
        assert self.matrix is not None
        mapping = self.matrix.base
        if not isinstance(mapping, mmap.mmap) or not hasattr(mmap, "MADV_DONTNEED"):
            return
        # The mapping starts at the allocation boundary at or before the array's file offset.
        end = self.matrix.offset % mmap.ALLOCATIONGRANULARITY + rows_written * self.matrix.strides[0]
        end -= end % mmap.PAGESIZE
        if end > self.released:
            mapping.madvise(mmap.MADV_DONTNEED, self.released, end - self.released)
            self.released = end

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
