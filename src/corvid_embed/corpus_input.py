"""The command's input: a UTF-8 file of one text per line, counted before it is embedded.

The output is sized up front, so the lines are counted first: a regular file in a first pass
over it, standard input (or a pipe) while it is copied to a temporary file that is then read.
Either way only a chunk of the input is in memory at a time.
"""

import shutil
import sys
import tempfile
from collections.abc import Iterator
from typing import BinaryIO

from corvid_embed.runners import EmbedError

CHUNK = 1 << 20


def open_counted(path: str) -> tuple[BinaryIO, int]:
    """The input opened for reading from its start, and its number of lines (a last line without
    a line feed counts). `-` is standard input."""
    try:
        source = sys.stdin.buffer if path == "-" else open(path, "rb")
        if source.seekable():
            lines = count_lines(source)
            source.seek(0)
            return source, lines
        spool = tempfile.TemporaryFile()
        with source:
            shutil.copyfileobj(source, spool, CHUNK)
        spool.seek(0)
        lines = count_lines(spool)
        spool.seek(0)
        return spool, lines
    except OSError as error:
        raise EmbedError(f"cannot read {path}: {error.strerror or error}") from None


def count_lines(file: BinaryIO) -> int:
    lines, last = 0, b"\n"
    while chunk := file.read(CHUNK):
        lines += chunk.count(b"\n")
        last = chunk[-1:]
    return lines + (last != b"\n")


def texts(file: BinaryIO, path: str) -> Iterator[str]:
    """Each line without its line end (LF or CRLF), decoded as UTF-8."""
    number = 0
    try:
        for number, line in enumerate(file, 1):
            line = line.removesuffix(b"\n").removesuffix(b"\r")
            try:
                yield line.decode("utf-8")
            except UnicodeDecodeError as error:
                raise EmbedError(f"{path}, line {number}: not valid UTF-8 ({error.reason} at byte "
                                 f"{error.start + 1})") from None
    except OSError as error:
        raise EmbedError(f"cannot read {path} after line {number}: {error.strerror or error}") from None
