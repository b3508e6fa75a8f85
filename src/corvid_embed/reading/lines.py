"""Text and JSON Lines files, read by newline-aligned byte ranges. A UTF-8 byte order mark at the
start of the file is dropped; a CR before a line feed belongs to the line end."""

import itertools
import json
import os
from collections.abc import Callable, Iterator
from typing import Any, BinaryIO

from corvid_embed.failures import EmbedError, RowFailure, cannot_read
from corvid_embed.reading.compressed import compressed_lines, count_compressed_lines
from corvid_embed.reading.pieces import Fields, IdType, Piece

type Batch = tuple[list[str], list[Any] | None]  # texts, and their ids when an id field is read
type Decode = Callable[[bytes, int], tuple[str, Any]]

BYTE_ORDER_MARK = b"\xef\xbb\xbf"
# How far a piece reads past its end at a time, looking for the end of its last line.
LINE_END_SEARCH = 1 << 16
# Bytes counted at a time.
COUNT_CHUNK = 1 << 20


def open_piece(piece: Piece) -> BinaryIO:
    try:
        return open(piece.path, "rb")
    except OSError as error:
        raise cannot_read(piece.name, error) from None


def line_range(file: BinaryIO, piece: Piece) -> tuple[int, int]:
    """The bytes of the lines that begin in [piece.start, piece.stop), without a leading byte
    order mark."""
    size = os.fstat(file.fileno()).st_size
    begin = line_start_at_or_after(file, piece.start, size)
    if begin == 0:
        file.seek(0)
        begin = len(BYTE_ORDER_MARK) if file.read(len(BYTE_ORDER_MARK)) == BYTE_ORDER_MARK else 0
    return begin, max(begin, line_start_at_or_after(file, piece.stop, size))


def line_start_at_or_after(file: BinaryIO, offset: int, size: int) -> int:
    """The first byte at or after `offset` that begins a line (or the file's size)."""
    if offset <= 0:
        return 0
    position = offset - 1  # a line begins at `offset` when the byte before it is a line feed
    file.seek(position)
    while position < size:
        chunk = file.read(LINE_END_SEARCH)
        found = chunk.find(b"\n")
        if found >= 0:
            return position + found + 1
        position += len(chunk)
        if not chunk:
            break
    return size


def count_lines(piece: Piece) -> int:
    if piece.compression is not None:
        return count_compressed_lines(piece)
    with open_piece(piece) as file:
        begin, end = line_range(file, piece)
        rows, last = 0, b"\n"
        file.seek(begin)
        for offset in range(begin, end, COUNT_CHUNK):
            chunk = file.read(min(COUNT_CHUNK, end - offset))
            rows += chunk.count(b"\n")
            last = chunk[-1:] or last
        return rows + (last != b"\n")


def read_lines(piece: Piece, fields: Fields, skip: int, take: int, batch_size: int, ids: IdType) -> Iterator[Batch]:
    """Lines skip to skip + take of the piece, in batches; RowFailure at the first that is not
    as expected, counted from `skip`."""
    lines = compressed_lines(piece, skip, take) if piece.compression is not None else plain_lines(piece, skip, take)
    if piece.kind == "text" and fields.id is None:
        yield from text_batches(lines, take, batch_size)
        return
    decode = decode_text if piece.kind == "text" else json_decoder(fields)
    for first in range(0, take, batch_size):
        texts: list[str] = []
        batch_ids: list[Any] | None = [] if fields.id is not None else None
        for offset, line in zip(range(first, min(first + batch_size, take)), lines):
            text, row_id = decode(line.removesuffix(b"\r"), offset)
            texts.append(text)
            if batch_ids is not None:
                if not ids.agrees(isinstance(row_id, str)):
                    raise RowFailure(offset, ids.mixed(fields.id))  # type: ignore[arg-type]
                batch_ids.append(row_id)
        yield texts, batch_ids


def text_batches(lines: Iterator[bytes], take: int, batch_size: int) -> Iterator[Batch]:
    """Text lines in batches, each batch joined, decoded and split again at once: a line at a time
    only to find the line that is not UTF-8."""
    for first in range(0, take, batch_size):
        batch = list(itertools.islice(lines, min(batch_size, take - first)))
        joined = b"\n".join(batch)
        try:
            texts = joined.decode("utf-8").split("\n") if batch else []
        except UnicodeDecodeError:
            for offset, line in enumerate(batch, first):
                decode_text(line.removesuffix(b"\r"), offset)  # RowFailure at the first line that is not UTF-8
            raise
        if b"\r" in joined:
            texts = [text.removesuffix("\r") for text in texts]
        yield texts, None


def plain_lines(piece: Piece, skip: int, take: int) -> Iterator[bytes]:
    """Lines skip to skip + take of the lines that begin in the piece, without their line feeds."""
    try:
        with open_piece(piece) as file:
            begin, end = line_range(file, piece)
            file.seek(begin)
            data = file.read(end - begin)
    except OSError as error:
        raise cannot_read(piece.name, error) from None
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()  # the line feed ends the last line; it does not begin another
    if skip + take > len(lines):
        raise EmbedError(f"{piece.name} changed while it was read")
    return iter(lines[skip:skip + take])


def decode_text(line: bytes, offset: int) -> tuple[str, None]:
    try:
        return line.decode("utf-8"), None
    except UnicodeDecodeError as error:
        raise RowFailure(offset, f"not valid UTF-8 ({error.reason} at byte {error.start + 1})") from None


# Integers of more digits than this are read as TOO_LARGE, which no 64-bit id holds: Python refuses
# to parse an integer of thousands of digits, and a field that is not read may hold one.
INTEGER_DIGITS = 40
TOO_LARGE = 1 << 64


def parse_integer(digits: str) -> int:
    return int(digits) if len(digits) <= INTEGER_DIGITS else TOO_LARGE


def json_decoder(fields: Fields) -> Decode:
    def decode(line: bytes, offset: int) -> tuple[str, Any]:
        # Decoded strictly as UTF-8 first, as a text line is: json.loads would guess an encoding.
        text = decode_text(line, offset)[0]
        try:
            record = json.loads(text, parse_int=parse_integer)
        except ValueError as error:
            raise RowFailure(offset, f"not a JSON object ({error})") from None
        except RecursionError:
            raise RowFailure(offset, "not a JSON object (nested too deeply)") from None
        if not isinstance(record, dict):
            raise RowFailure(offset, f"not a JSON object but {json_type(record)}")
        return text_value(record, fields.text, offset), None if fields.id is None else id_value(record, fields.id, offset)
    return decode


def json_type(value: object) -> str:
    return {dict: "an object", list: "an array", str: "a string", bool: "a boolean", int: "a number",
            float: "a number", type(None): "null"}[type(value)]


def text_value(record: dict, field: str, offset: int) -> str:
    if field not in record:
        raise RowFailure(offset, f"no field {field!r}")
    value = record[field]
    if not isinstance(value, str):
        raise RowFailure(offset, f"field {field!r} is {json_type(value)}, not a string")
    return unicode(value, field, offset)


def unicode(value: str, field: str, offset: int) -> str:
    """The string, unless it holds a lone surrogate (JSON's "\\ud800"), which is no character."""
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as error:
        raise RowFailure(offset, f"field {field!r} holds a lone surrogate at character {error.start + 1}") from None
    return value


def id_value(record: dict, field: str, offset: int) -> int | str:
    if field not in record:
        raise RowFailure(offset, f"no field {field!r}")
    value = record[field]
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise RowFailure(offset, f"id field {field!r} is {json_type(value)}, not an integer or a string")
    if isinstance(value, int) and not -(1 << 63) <= value < 1 << 63:
        raise RowFailure(offset, f"id field {field!r} does not fit in 64 bits")
    return unicode(value, field, offset) if isinstance(value, str) else value
