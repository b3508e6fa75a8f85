"""Float32 .npy files written without a memory map: the header and the reserved size first, then
each worker writes its rows at their offset with pwrite, so a full disk is an error, never a
SIGBUS. Also the join of several such files into one, in order."""

import io
import os
import shutil
from pathlib import Path

import numpy as np

from corvid_embed.errors import EmbedError
from corvid_embed.output_paths import cannot_write, reserve

ROW_TYPE = np.dtype("=f4")


def npy_header(rows: int, columns: int) -> bytes:
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(header, {"descr": ROW_TYPE.str, "fortran_order": False,
                                                  "shape": (rows, columns)})
    return header.getvalue()


def start_npy(path: Path, rows: int, columns: int, final: object) -> int:
    """Writes the header into the empty file at `path` and reserves the rows' space; returns the
    offset of row 0."""
    header = npy_header(rows, columns)
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    except OSError as error:
        raise cannot_write(final, error) from None
    try:
        reserve(descriptor, len(header) + rows * columns * ROW_TYPE.itemsize, final)
        write_at(descriptor, header, 0, final)
    finally:
        os.close(descriptor)
    return len(header)


# Bytes copied at a time by a join: its memory, whatever the size of the files joined.
JOIN_CHUNK = 1 << 20


def join_npy(parts: list[Path], output: Path, rows: int, columns: int, final: object) -> None:
    """The parts' rows, in order, as one .npy file at `output` (which exists, empty); each part
    is checked to hold the float32 rows of `columns` columns it should."""
    offset = start_npy(output, rows, columns, final)
    try:
        with open(output, "r+b") as destination:
            destination.seek(offset)
            for path in parts:
                with open(path, "rb") as source:
                    shape, fortran, dtype = ((), True, None) if np.lib.format.read_magic(source) != (1, 0) \
                        else np.lib.format.read_array_header_1_0(source)
                    if dtype != ROW_TYPE or fortran or len(shape) != 2 or shape[1] != columns:
                        raise EmbedError(f"{path} does not hold float32 rows of {columns} columns")
                    rows -= shape[0]
                    shutil.copyfileobj(source, destination, JOIN_CHUNK)
    except OSError as error:
        raise cannot_write(final, error) from None
    if rows != 0:
        raise EmbedError(f"the parts of {final} do not hold its rows")


def write_at(descriptor: int, data: bytes | bytearray | memoryview, offset: int, final: object) -> None:
    view = memoryview(data)
    try:
        while view:
            written = os.pwrite(descriptor, view, offset)
            view, offset = view[written:], offset + written
    except OSError as error:
        raise cannot_write(final, error) from None
