"""Parquet files, read by row groups: the footer gives their rows and the columns' types, so
planning reads nothing else. Files are opened here and handed to Arrow as file objects, so that a
path that is not UTF-8 reads as any other."""

from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from corvid_embed.arrow import arrow, parquet
from corvid_embed.failures import EmbedError, RowFailure, cannot_read, one_line
from corvid_embed.reading.lines import Batch
from corvid_embed.reading.pieces import Fields, IdType, Piece


@contextmanager
def parquet_file(path: str, name: str) -> Iterator[Any]:
    """The file's reader, the file closed at the end of the block."""
    try:
        source = open(path, "rb")
    except OSError as error:
        raise cannot_read(name, error) from None
    with source:
        try:
            reader = parquet().ParquetFile(source)
        except OSError as error:
            raise cannot_read(name, error) from None
        except Exception as error:
            raise EmbedError(f"{name} is not a Parquet file: {one_line(error)}") from None
        yield reader


def is_text(types: Any, kind: Any) -> bool:
    """A string column, however stored: plain, large, as views, or as a dictionary of strings (as
    pandas writes a categorical)."""
    if types.is_dictionary(kind):
        kind = kind.value_type
    return types.is_string(kind) or types.is_large_string(kind) or types.is_string_view(kind)


def row_groups(path: str, name: str, fields: Fields) -> list[tuple[Piece, int]]:
    """One piece a row group, with its rows, once the footer shows the columns to read."""
    types = arrow().types
    with parquet_file(path, name) as source:
        schema = source.schema_arrow
        for column, accepted, wanted in ((fields.text, lambda kind: is_text(types, kind), "a string"),
                                         (fields.id, lambda kind: types.is_integer(kind) or is_text(types, kind),
                                          "an integer or string")):
            if column is None:
                continue
            if column not in schema.names:
                raise EmbedError(f"{name}: no column {column!r}")
            if schema.names.count(column) > 1:
                raise EmbedError(f"{name}: {schema.names.count(column)} columns are named {column!r}")
            if not accepted(schema.field(column).type):
                raise EmbedError(f"{name}: column {column!r} is {schema.field(column).type}, not {wanted}")
        metadata = source.metadata
        return [(Piece(path, name, "parquet", group, group + 1), metadata.row_group(group).num_rows)
                for group in range(metadata.num_row_groups)]


def read_parquet(piece: Piece, fields: Fields, skip: int, take: int, batch_size: int, ids: IdType) -> Iterator[Batch]:
    """Rows skip to skip + take of the piece's row groups, in batches; RowFailure at the first
    row that is not as expected, counted from `skip`."""
    columns = [fields.text] if fields.id is None else [fields.text, fields.id]
    offset = -skip  # of the first row of the next record batch, counted from row `skip`
    with parquet_file(piece.path, piece.name) as source:
        batches = source.iter_batches(batch_size, row_groups=range(piece.start, piece.stop), columns=columns)
        while True:
            try:
                record_batch = next(batches, None)
            except (OSError, arrow().ArrowException) as error:
                raise cannot_read(f"{piece.name}, row group {piece.start}", error) from None
            if record_batch is None:
                break
            low, high = max(0, -offset), min(record_batch.num_rows, take - offset)
            if low < high:
                # By exact name: a name with a dot also selects a struct's field of that path.
                texts = values(record_batch, fields.text, low, high, offset)
                batch_ids = values(record_batch, fields.id, low, high, offset) if fields.id is not None else None
                if batch_ids:
                    for index, value in enumerate(batch_ids):
                        if isinstance(value, int) and value >= 1 << 63:
                            raise RowFailure(offset + low + index, f"id field {fields.id!r} does not fit in 64 bits")
                    if not ids.agrees(isinstance(batch_ids[0], str)):
                        raise RowFailure(offset + low, ids.mixed(fields.id))  # type: ignore[arg-type]
                yield texts, batch_ids
            offset += record_batch.num_rows
            if offset >= take:
                return
    if offset < take:
        raise EmbedError(f"{piece.name} changed while it was read")


def values(record_batch: Any, field: str, low: int, high: int, offset: int) -> list[Any]:
    """Rows low to high of the column named `field`; RowFailure at a null or a string that is not
    UTF-8."""
    column = record_batch.column(record_batch.schema.get_field_index(field)).slice(low, high - low)
    try:
        result = column.to_pylist()
    except UnicodeDecodeError:
        for index in range(len(column)):
            try:
                column[index].as_py()
            except UnicodeDecodeError as error:
                raise RowFailure(offset + low + index, f"field {field!r} is not valid UTF-8 "
                                                       f"({error.reason} at byte {error.start + 1})") from None
        raise
    if None in result:
        raise RowFailure(offset + low + result.index(None), f"field {field!r} is null")
    return result
