"""Compressed text and JSON Lines files, read as streams: gzip, bzip2, xz and Zstandard, all in
Python's standard library. A compressed stream cannot be entered at a byte offset: its lines are
counted and read from the start, a chunk at a time, so that no file is held in memory. A stream
that stops being readable (truncated, corrupt, of another format than its suffix says) is one
line naming the file and the last line read whole."""

import bz2
import gzip
import lzma
from collections.abc import Iterator
from typing import Any, BinaryIO

from corvid_embed.failures import EmbedError, cannot_read, one_line
from corvid_embed.reading.pieces import Compression, Piece

FORMATS = {"gz": "gzip", "bz2": "bzip2", "xz": "xz", "zst": "Zstandard"}
CHUNK = 1 << 20
BYTE_ORDER_MARK = b"\xef\xbb\xbf"


def zstd() -> Any:
    """compression.zstd, which an interpreter built without the library lacks: only Zstandard
    files need it, and its absence is a failure that says so."""
    try:
        from compression import zstd
    except ImportError:
        raise EmbedError("Zstandard files need an interpreter with compression.zstd (Python 3.14 built with "
                         "libzstd)") from None
    return zstd


def open_stream(piece: Piece) -> BinaryIO:
    opener = {"gz": gzip.open, "bz2": bz2.open, "xz": lzma.open}.get(piece.compression) or zstd().open
    try:
        return opener(piece.path, "rb")  # type: ignore[no-any-return]
    except OSError as error:
        raise cannot_read(piece.name, error) from None


def unreadable(piece: Piece, lines: int, error: BaseException) -> EmbedError:
    assert piece.compression is not None
    return EmbedError(f"cannot decompress {piece.name} past line {lines}: not a whole "
                      f"{FORMATS[piece.compression]} stream ({one_line(error) or type(error).__name__})")


# What a decompressor raises where its stream stops being readable.
BROKEN: tuple[type[Exception], ...] = (OSError, EOFError, ValueError, lzma.LZMAError)
try:
    from compression.zstd import ZstdError
    BROKEN += (ZstdError,)
except ImportError:
    pass  # an interpreter without libzstd, which reads no Zstandard file


def count_compressed_lines(piece: Piece) -> int:
    """The lines of the whole decompressed stream, counted a chunk at a time."""
    rows, last, first = 0, b"\n", True
    with open_stream(piece) as stream:
        while True:
            try:
                chunk = stream.read(CHUNK)
            except BROKEN:
                raise unreadable_past(piece) from None
            if first:
                chunk, first = chunk.removeprefix(BYTE_ORDER_MARK), False
            if not chunk:
                return rows + (last != b"\n")
            rows += chunk.count(b"\n")
            last = chunk[-1:]


def unreadable_past(piece: Piece) -> EmbedError:
    """The stream's failure, once read again a line at a time to name the last line read whole."""
    lines = 0
    with open_stream(piece) as stream:
        try:
            while stream.readline():
                lines += 1
        except BROKEN as error:
            return unreadable(piece, lines, error)
    return EmbedError(f"{piece.name} changed while it was read")


def compressed_lines(piece: Piece, skip: int, take: int) -> Iterator[bytes]:
    """Lines skip to skip + take of the decompressed stream, without their line feeds and with a
    leading byte order mark dropped."""
    number = 0
    with open_stream(piece) as stream:
        while number < skip + take:
            try:
                line = stream.readline()
            except BROKEN as error:
                raise unreadable(piece, number, error) from None
            if not line:
                raise EmbedError(f"{piece.name} changed while it was read")
            if number == 0 and line.startswith(BYTE_ORDER_MARK):
                line = line[len(BYTE_ORDER_MARK):]
            if number >= skip:
                yield line.removesuffix(b"\n")
            number += 1


def magic_compression(head: bytes) -> Compression | None:
    """The compression whose magic bytes begin `head`."""
    magics: dict[bytes, Compression] = {b"\x1f\x8b": "gz", b"BZh": "bz2", b"\xfd7zXZ\x00": "xz",
                                        b"\x28\xb5\x2f\xfd": "zst"}
    return next((name for magic, name in magics.items() if head.startswith(magic)), None)
