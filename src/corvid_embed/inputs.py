"""Reading the inputs: text and JSON Lines files by newline-aligned byte ranges, Parquet files by
row groups, each piece by whichever process embeds it.

A piece of a text or JSON Lines file is a byte range [start, stop) of the file; it holds the lines
that begin inside it, so pieces cut anywhere cover every line once and can be read and counted
without looking at their neighbours. A UTF-8 byte order mark at the start of the file is dropped.
"""

import json
import os
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any, Literal

from corvid_embed.errors import EmbedError

type Kind = Literal["text", "jsonl", "parquet"]
type Batch = tuple[list[str], list[Any] | None]  # texts, and their ids when an id field is read

BYTE_ORDER_MARK = b"\xef\xbb\xbf"
# How far a piece reads past its end at a time, looking for the end of its last line.
LINE_END_SEARCH = 1 << 16


def kind_of(path: str) -> Kind:
    suffix = os.path.splitext(path)[1].lower()
    return "jsonl" if suffix in (".jsonl", ".ndjson") else "parquet" if suffix == ".parquet" else "text"


@dataclass(frozen=True)
class Piece:
    """A unit of reading: bytes [start, stop) of a text or JSON Lines file, or row groups
    [start, stop) of a Parquet file. `name` is how messages name the file."""

    path: str
    name: str
    kind: Kind
    start: int
    stop: int


@dataclass(frozen=True)
class Fields:
    """What is read from each row: the text at `text`, and the row's id at `id` if given."""

    text: str = "text"
    id: str | None = None


class RowFailure(Exception):
    """Row `offset` (counted from 0 among the rows read) cannot be embedded; `message` says why."""

    def __init__(self, offset: int, message: str) -> None:
        super().__init__(offset, message)
        self.offset = offset
        self.message = message


def row_label(piece: Piece, row_in_file: int) -> str:
    """`row_in_file` counts from 0; lines are numbered from 1, Parquet rows from 0."""
    return f"{piece.name}, row {row_in_file}" if piece.kind == "parquet" else f"{piece.name}, line {row_in_file + 1}"


def count_rows(pieces: list[Piece]) -> list[int]:
    """The rows each piece of a text or JSON Lines file holds (a Parquet footer gives its own); a
    module-level function so that any worker can run it, given many pieces at once so that a
    large corpus is counted in few calls."""
    return [count_piece_rows(piece) for piece in pieces]


def count_piece_rows(piece: Piece) -> int:
    with open_input(piece) as file:
        begin, end = line_range(file, piece)
        rows, last = 0, b"\n"
        file.seek(begin)
        for offset in range(begin, end, 1 << 20):
            chunk = file.read(min(1 << 20, end - offset))
            rows += chunk.count(b"\n")
            last = chunk[-1:] or last
        return rows + (last != b"\n")


def read_rows(piece: Piece, fields: Fields, skip: int, take: int, batch_size: int) -> Iterator[Batch]:
    """Rows skip to skip + take of the piece, in batches of at most `batch_size`. RowFailure at
    the first row that is not as expected, its offset counted from `skip`."""
    reader = parquet_rows if piece.kind == "parquet" else line_rows
    yield from reader(piece, fields, skip, take, batch_size)


# ---- Text and JSON Lines ---------------------------------------------------------------------


def open_input(piece: Piece) -> Any:
    try:
        return open(piece.path, "rb")
    except OSError as error:
        raise EmbedError(f"cannot read {piece.name}: {error.strerror or error}") from None


def line_range(file: Any, piece: Piece) -> tuple[int, int]:
    """The bytes of the lines that begin in [piece.start, piece.stop), without a leading byte
    order mark."""
    size = os.fstat(file.fileno()).st_size
    begin = line_start_at_or_after(file, piece.start, size)
    if begin == 0:
        file.seek(0)
        begin = len(BYTE_ORDER_MARK) if file.read(len(BYTE_ORDER_MARK)) == BYTE_ORDER_MARK else 0
    return begin, max(begin, line_start_at_or_after(file, piece.stop, size))


def line_start_at_or_after(file: Any, offset: int, size: int) -> int:
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


def line_rows(piece: Piece, fields: Fields, skip: int, take: int, batch_size: int) -> Iterator[Batch]:
    try:
        with open_input(piece) as file:
            begin, end = line_range(file, piece)
            file.seek(begin)
            data = file.read(end - begin)
    except OSError as error:
        raise EmbedError(f"cannot read {piece.name}: {error.strerror or error}") from None
    lines = data.split(b"\n")
    if lines[-1] == b"":
        lines.pop()  # the line feed ends the last line; it does not begin another
    if skip + take > len(lines):
        raise EmbedError(f"{piece.name} changed while it was read")
    decode = decode_text if piece.kind == "text" else json_field_decoder(fields)
    for first in range(skip, skip + take, batch_size):
        texts, ids = [], [] if fields.id is not None else None
        for offset in range(first, min(first + batch_size, skip + take)):
            # The line feed is gone; a CR before it belongs to the line end too.
            text, row_id = decode(lines[offset].removesuffix(b"\r"), offset - skip)
            texts.append(text)
            if ids is not None:
                ids.append(row_id)
        yield texts, ids


def decode_text(line: bytes, offset: int) -> tuple[str, None]:
    try:
        return line.decode("utf-8"), None
    except UnicodeDecodeError as error:
        raise RowFailure(offset, f"not valid UTF-8 ({error.reason} at byte {error.start + 1})") from None


def json_field_decoder(fields: Fields) -> Any:
    def decode(line: bytes, offset: int) -> tuple[str, Any]:
        try:
            record = json.loads(line)
        except UnicodeDecodeError as error:
            raise RowFailure(offset, f"not valid UTF-8 ({error.reason} at byte {error.start + 1})") from None
        except ValueError as error:
            raise RowFailure(offset, f"not a JSON object ({error})") from None
        if not isinstance(record, dict):
            raise RowFailure(offset, f"not a JSON object but {json_type(record)}")
        return field_value(record, fields.text, offset), None if fields.id is None else id_value(record, fields.id, offset)
    return decode


def json_type(value: object) -> str:
    return {dict: "an object", list: "an array", str: "a string", bool: "a boolean", int: "a number",
            float: "a number", type(None): "null"}[type(value)]


def field_value(record: dict, field: str, offset: int) -> str:
    if field not in record:
        raise RowFailure(offset, f"no field {field!r}")
    value = record[field]
    if not isinstance(value, str):
        raise RowFailure(offset, f"field {field!r} is {json_type(value)}, not a string")
    return value


def id_value(record: dict, field: str, offset: int) -> int | str:
    if field not in record:
        raise RowFailure(offset, f"no field {field!r}")
    value = record[field]
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise RowFailure(offset, f"id field {field!r} is {json_type(value)}, not an integer or a string")
    if isinstance(value, int) and not -(1 << 63) <= value < 1 << 63:
        raise RowFailure(offset, f"id field {field!r} does not fit in 64 bits")
    return value


# ---- Parquet ---------------------------------------------------------------------------------


def import_parquet() -> Any:
    """pyarrow.parquet, whose absence is a failure that names the extra to install."""
    try:
        import pyarrow.parquet
    except ImportError:
        raise EmbedError("Parquet files need pyarrow: pip install 'corvid_py[corpus]'") from None
    return pyarrow.parquet


def import_arrow() -> Any:
    import_parquet()
    import pyarrow
    return pyarrow


def parquet_file(piece: Piece) -> Any:
    parquet = import_parquet()
    try:
        return parquet.ParquetFile(piece.path)
    except OSError as error:
        raise EmbedError(f"cannot read {piece.name}: {' '.join(str(error).split())}") from None
    except Exception as error:
        raise EmbedError(f"{piece.name} is not a Parquet file: {' '.join(str(error).split())}") from None


def parquet_rows(piece: Piece, fields: Fields, skip: int, take: int, batch_size: int) -> Iterator[Batch]:
    columns = [fields.text] if fields.id is None else [fields.text, fields.id]
    offset = -skip  # of the first row of the next record batch, counted from row `skip`
    source = parquet_file(piece)
    for record_batch in source.iter_batches(batch_size, row_groups=range(piece.start, piece.stop), columns=columns):
        low, high = max(0, -offset), min(record_batch.num_rows, take - offset)
        if low < high:
            texts = record_batch.column(0).slice(low, high - low).to_pylist()
            ids = record_batch.column(1).slice(low, high - low).to_pylist() if fields.id is not None else None
            for values, field in ((texts, fields.text), (ids or (), fields.id)):
                if None in values:
                    raise RowFailure(offset + low + values.index(None), f"field {field!r} is null")
            yield texts, ids
        offset += record_batch.num_rows
        if offset >= take:
            return
    if offset < take:
        raise EmbedError(f"{piece.name} changed while it was read")
