""".npy files of float32 or float16 rows, written without a memory map: the header and the reserved size first, then
rows written at their offset with pwrite, so a full disk is an error, never a SIGBUS.

On this machine, a single .npy output is reserved whole and its parts' workers write their rows
into it in place (NpyWriter, RowsInFile); a part that needs a file of its own writes a whole .npy
(NpyPart), and such files are joined into one (join_npy)."""

import io
import os
import shutil
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO

import numpy as np

from corvid_embed.defaults import DType
from corvid_embed.failures import EmbedError, cannot_write
from corvid_embed.planning.parts import Part
from corvid_embed.running import janitor
from corvid_embed.writing.elements import STORED, computed_bytes, stored
from corvid_embed.writing.paths import create_temporary, rename, reserve
from corvid_embed.writing.writer import FileOfItsOwn, OutputWriter, PartWriter, Target

# Bytes copied at a time by a join: its memory, whatever the size of the files joined.
JOIN_CHUNK = 1 << 20


def npy_header(rows: int, columns: int, dtype: DType) -> bytes:
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(header, {"descr": STORED[dtype].str, "fortran_order": False,
                                                  "shape": (rows, columns)})
    return header.getvalue()


def start_npy(path: Path, rows: int, columns: int, dtype: DType, final: object) -> int:
    """Writes the header into the empty file at `path` and reserves the rows' space; returns the
    offset of row 0."""
    header = npy_header(rows, columns, dtype)
    descriptor = open_for_writing(path, final)
    try:
        reserve(descriptor, len(header) + rows * columns * STORED[dtype].itemsize, final)
        write_at(descriptor, header, 0, final)
    finally:
        os.close(descriptor)
    return len(header)


def open_for_writing(path: Path, final: object) -> int:
    try:
        return os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    except OSError as error:
        raise cannot_write(final, error) from None


def write_at(descriptor: int, data: bytes | bytearray | memoryview, offset: int, final: object) -> None:
    view = memoryview(data)
    start = offset
    try:
        while view:
            written = os.pwrite(descriptor, view, offset)
            view, offset = view[written:], offset + written
        # Starts writing these bytes to disk now, while the next rows are computed, so that the
        # file's final fsync has little left to wait for (the pages stay cached).
        os.posix_fadvise(descriptor, start, offset - start, os.POSIX_FADV_DONTNEED)
    except OSError as error:
        raise cannot_write(final, error) from None


def npy_rows(file: BinaryIO, columns: int, dtype: DType) -> int | None:
    """The rows of the .npy file read from its start, when it holds rows of `columns` columns of
    `dtype` in C order; None otherwise. Leaves the file at its first row."""
    if np.lib.format.read_magic(file) != (1, 0):
        return None
    shape, fortran, stored_type = np.lib.format.read_array_header_1_0(file)
    if stored_type != STORED[dtype] or fortran or len(shape) != 2 or shape[1] != columns:
        return None
    return int(shape[0])


def join_npy(parts: list[Path], output: Path, rows: int, columns: int, dtype: DType, final: object) -> None:
    """The parts' rows, in order, as one .npy file at `output` (which exists, empty); each part
    is checked to hold the rows of `columns` columns and of the type it should."""
    offset = start_npy(output, rows, columns, dtype, final)
    try:
        with open(output, "r+b") as destination:
            destination.seek(offset)
            for path in parts:
                with open(path, "rb") as source:
                    part_rows = npy_rows(source, columns, dtype)
                    if part_rows is None:
                        raise EmbedError(f"{path} does not hold {dtype} rows of {columns} columns")
                    rows -= part_rows
                    shutil.copyfileobj(source, destination, JOIN_CHUNK)
    except OSError as error:
        raise cannot_write(final, error) from None
    if rows != 0:
        raise EmbedError(f"the parts of {final} do not hold its rows")


def batch_buffer(columns: int, part: Part, batch_size: int) -> bytearray:
    """One buffer for every batch of a part's rows, which are written when the next batch comes:
    a new one a batch would be a fresh mapping of pages each time where malloc is told to give
    memory back early, as Dask's workers tell it."""
    return bytearray(min(batch_size, part.rows) * computed_bytes(columns))


@dataclass(frozen=True)
class RowsInFile:
    """The part's rows go into the reserved .npy file at `path`, whose row 0 is at byte
    `offset`; `name` is the output as messages name it."""

    path: str
    offset: int
    name: str
    dtype: DType

    def open(self, columns: int, part: Part, batch_size: int) -> PartWriter:
        return RowsInFileWriter(self, columns, part, batch_size)


class RowsInFileWriter(PartWriter):
    def __init__(self, target: RowsInFile, columns: int, part: Part, batch_size: int) -> None:
        self.name, self.dtype = target.name, target.dtype
        self.row_bytes = columns * STORED[self.dtype].itemsize
        self.offset = target.offset + part.first_row * self.row_bytes
        self.buffer = batch_buffer(columns, part, batch_size)
        self.descriptor = open_for_writing(Path(target.path), self.name)

    def write(self, done: int, rows: memoryview, ids: list | None) -> None:
        write_at(self.descriptor, stored(rows, self.dtype), self.offset + done * self.row_bytes, self.name)

    def commit(self) -> None:
        self.discard()

    def discard(self) -> None:
        if self.descriptor >= 0:
            os.close(self.descriptor)
            self.descriptor = -1


@dataclass(frozen=True)
class NpyPart:
    """The part's rows go into a .npy file of its own at `path`; `name` is the output as messages
    name it."""

    path: str
    name: str
    dtype: DType

    def open(self, columns: int, part: Part, batch_size: int) -> PartWriter:
        return NpyPartWriter(Path(self.path), self.name, self.dtype, columns, part, batch_size)


class NpyPartWriter(FileOfItsOwn):
    def __init__(self, final: Path, name: str, dtype: DType, columns: int, part: Part, batch_size: int) -> None:
        super().__init__(final, name)
        assert self.temporary is not None
        self.dtype = dtype
        self.row_bytes = columns * STORED[dtype].itemsize
        self.buffer = batch_buffer(columns, part, batch_size)
        self.descriptor = -1
        try:
            self.offset = start_npy(self.temporary, part.rows, columns, dtype, name)
            self.descriptor = open_for_writing(self.temporary, name)
        except BaseException:
            self.discard()
            raise

    def write(self, done: int, rows: memoryview, ids: list | None) -> None:
        write_at(self.descriptor, stored(rows, self.dtype), self.offset + done * self.row_bytes, self.name)

    def close(self) -> None:
        if self.descriptor >= 0:
            os.close(self.descriptor)
            self.descriptor = -1

    def discard(self) -> None:
        self.close()
        super().discard()


class NpyWriter(OutputWriter):
    """One .npy file, reserved whole before the workers write their rows into it."""

    def __init__(self, final: Path, rows: int, columns: int, dtype: DType) -> None:
        self.final, self.dtype = final, dtype
        self.temporary: Path | None = create_temporary(final)
        try:
            self.offset = start_npy(self.temporary, rows, columns, dtype, final)
        except BaseException:
            self.abandon()
            raise

    def target(self, part: Part) -> Target:
        assert self.temporary is not None
        return RowsInFile(str(self.temporary), self.offset, str(self.final), self.dtype)

    def commit(self) -> None:
        assert self.temporary is not None
        try:
            rename(self.temporary, self.final)
        except OSError as error:
            raise cannot_write(self.final, error) from None
        self.temporary = None

    def abandon(self) -> None:
        if self.temporary is not None:
            janitor.remove(self.temporary)
            self.temporary = None
