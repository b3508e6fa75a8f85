"""Parquet files, read by row groups: the footer gives their rows and the columns' types, so
planning reads nothing else."""

from collections.abc import Iterator
from typing import Any

from corvid_embed.arrow import arrow, parquet
from corvid_embed.failures import EmbedError, RowFailure, cannot_read, one_line
from corvid_embed.reading.lines import Batch
from corvid_embed.reading.pieces import Fields, IdType, Piece


def parquet_file(path: str, name: str) -> Any:
    try:
        return parquet().ParquetFile(path)
    except OSError as error:
        raise cannot_read(name, error) from None
    except Exception as error:
        raise EmbedError(f"{name} is not a Parquet file: {one_line(error)}") from None


def row_groups(path: str, name: str, fields: Fields) -> list[tuple[Piece, int]]:
    """One piece a row group, with its rows, once the footer shows the columns to read."""
    types = arrow().types
    source = parquet_file(path, name)
    schema = source.schema_arrow
    for column, accepted, wanted in ((fields.text, (types.is_string, types.is_large_string), "a string"),
                                     (fields.id, (types.is_integer, types.is_string, types.is_large_string),
                                      "an integer or string")):
        if column is None:
            continue
        if column not in schema.names:
            raise EmbedError(f"{name}: no column {column!r}")
        if not any(test(schema.field(column).type) for test in accepted):
            raise EmbedError(f"{name}: column {column!r} is {schema.field(column).type}, not {wanted}")
    metadata = source.metadata
    return [(Piece(path, name, "parquet", group, group + 1), metadata.row_group(group).num_rows)
            for group in range(metadata.num_row_groups)]


def read_parquet(piece: Piece, fields: Fields, skip: int, take: int, batch_size: int, ids: IdType) -> Iterator[Batch]:
    """Rows skip to skip + take of the piece's row groups, in batches; RowFailure at the first
    null, counted from `skip`."""
    columns = [fields.text] if fields.id is None else [fields.text, fields.id]
    offset = -skip  # of the first row of the next record batch, counted from row `skip`
    source = parquet_file(piece.path, piece.name)
    for record_batch in source.iter_batches(batch_size, row_groups=range(piece.start, piece.stop), columns=columns):
        low, high = max(0, -offset), min(record_batch.num_rows, take - offset)
        if low < high:
            texts = record_batch.column(0).slice(low, high - low).to_pylist()
            batch_ids = record_batch.column(1).slice(low, high - low).to_pylist() if fields.id is not None else None
            for values, field in ((texts, fields.text), (batch_ids or (), fields.id)):
                if None in values:
                    raise RowFailure(offset + low + values.index(None), f"field {field!r} is null")
            if batch_ids and not ids.agrees(isinstance(batch_ids[0], str)):
                raise RowFailure(offset + low, ids.mixed(fields.id))  # type: ignore[arg-type]
            yield texts, batch_ids
        offset += record_batch.num_rows
        if offset >= take:
            return
    if offset < take:
        raise EmbedError(f"{piece.name} changed while it was read")
