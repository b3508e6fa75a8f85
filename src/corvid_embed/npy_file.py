"""Float32 .npy files written without a memory map: the header and the reserved size first, then
each worker writes its rows at their offset with pwrite, so a full disk is an error, never a
SIGBUS."""

import io
import os
from pathlib import Path

import numpy as np

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


def write_at(descriptor: int, data: bytes | bytearray | memoryview, offset: int, final: object) -> None:
    view = memoryview(data)
    try:
        while view:
            written = os.pwrite(descriptor, view, offset)
            view, offset = view[written:], offset + written
    except OSError as error:
        raise cannot_write(final, error) from None
