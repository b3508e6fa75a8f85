"""Parquet output: an `id` column (int64, the row number or the id field's value, which may also
be a string) and an `embedding` column of type fixed_size_list<float32>[D], written a row group a
batch; and the join of several such files into one, row group by row group."""

from pathlib import Path
from typing import Any

import numpy as np

from corvid_embed.errors import EmbedError
from corvid_embed.inputs import import_arrow, import_parquet
from corvid_embed.output_paths import cannot_write

MIXED_IDS = "the id field holds integers in some rows and strings in others"


def schema(columns: int, string_ids: bool) -> Any:
    pa = import_arrow()
    return pa.schema([("id", pa.string() if string_ids else pa.int64()),
                      ("embedding", pa.list_(pa.float32(), columns))])


class ParquetRowsWriter:
    """Writes batches of rows to a new Parquet file; the first batch's ids fix the id type."""

    def __init__(self, path: Path, columns: int, final: object) -> None:
        self.path, self.columns, self.final = path, columns, final
        self.writer: Any = None
        self.string_ids = False

    def write(self, ids: list[int | str], rows: memoryview) -> None:
        """Raises ValueError(MIXED_IDS) when ids differ in type from the earlier ones."""
        pa = import_arrow()
        string_ids = bool(ids) and isinstance(ids[0], str)
        if any(isinstance(i, str) != string_ids for i in ids) or (self.writer and string_ids != self.string_ids):
            raise ValueError(MIXED_IDS)
        try:
            if self.writer is None:
                self.string_ids = string_ids
                self.writer = import_parquet().ParquetWriter(self.path, schema(self.columns, string_ids))
            values = pa.array(np.frombuffer(rows, np.float32), pa.float32())
            self.writer.write_table(pa.table([pa.array(ids, self.writer.schema.field("id").type),
                                              pa.FixedSizeListArray.from_arrays(values, self.columns)],
                                             schema=self.writer.schema))
        except OSError as error:
            raise cannot_write(self.final, error) from None

    def abandon(self) -> None:
        """Closes the file without caring whether it is complete; the caller removes it."""
        try:
            if self.writer is not None:
                self.writer.close()
        except OSError:
            pass

    def close(self) -> None:
        """Completes the file; a file given no rows gets the schema and none."""
        try:
            if self.writer is None:
                self.writer = import_parquet().ParquetWriter(self.path, schema(self.columns, False))
            self.writer.close()
        except OSError as error:
            raise cannot_write(self.final, error) from None


def join_parquet(parts: list[Path], output: Path, columns: int, final: object) -> None:
    """The parts' rows, in order, as one file at `output`; one row group in memory at a time."""
    parquet = import_parquet()
    try:
        sources = [parquet.ParquetFile(path) for path in parts]
        kinds = {source.schema_arrow.field("id").type for source in sources}
        if len(kinds) > 1:
            raise EmbedError(MIXED_IDS)
        output_schema = sources[0].schema_arrow if sources else schema(columns, False)
        with parquet.ParquetWriter(output, output_schema) as writer:
            for source in sources:
                for group in range(source.num_row_groups):
                    writer.write_table(source.read_row_group(group))
                source.close()
    except OSError as error:
        raise cannot_write(final, error) from None
