"""Parquet output: an `id` column (int64, the row number or the id field's value, which may also
be a string) and an `embedding` column of type fixed_size_list<float32>[D] (or halffloat), written
a row group a batch. Each part writes a file of its own (ParquetPart); they are joined into one file, row group
by row group and one part open at a time (join_parquet). Files are opened here and handed to
Arrow as file objects, so that a path that is not UTF-8 writes as any other."""

from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from corvid_embed.arrow import arrow, parquet
from corvid_embed.defaults import DType
from corvid_embed.failures import cannot_write
from corvid_embed.planning.parts import Part
from corvid_embed.writing.elements import STORED, stored
from corvid_embed.writing.writer import FileOfItsOwn, PartWriter


def schema(columns: int, dtype: DType, string_ids: bool) -> Any:
    pa = arrow()
    return pa.schema([("id", pa.string() if string_ids else pa.int64()),
                      ("embedding", pa.list_(pa.float16() if dtype == "float16" else pa.float32(), columns))])


@dataclass(frozen=True)
class ParquetPart:
    """The part's rows go into a Parquet file of its own at `path`; `name` is the output as
    messages name it."""

    path: str
    name: str
    dtype: DType

    def open(self, columns: int, part: Part, batch_size: int) -> PartWriter:
        return ParquetPartWriter(Path(self.path), self.name, self.dtype, columns, part)


class ParquetPartWriter(FileOfItsOwn):
    """Writes a part's batches to a new Parquet file; the first batch's ids fix the id type (the
    reader has checked that the part's ids are of one type)."""

    def __init__(self, final: Path, name: str, dtype: DType, columns: int, part: Part) -> None:
        super().__init__(final, name)
        self.dtype, self.columns, self.first_row = dtype, columns, part.first_row
        self.file: Any = None
        self.writer: Any = None

    def start(self, string_ids: bool) -> None:
        assert self.temporary is not None
        self.file = open(self.temporary, "wb")
        self.writer = parquet().ParquetWriter(self.file, schema(self.columns, self.dtype, string_ids))

    def write(self, done: int, rows: memoryview, ids: list | None) -> None:
        pa = arrow()
        floats = np.frombuffer(stored(rows, self.dtype), STORED[self.dtype])
        if ids is None:
            first = self.first_row + done
            ids = list(range(first, first + len(floats) // self.columns))
        try:
            if self.writer is None:
                self.start(isinstance(ids[0], str))
            values = pa.array(floats)
            self.writer.write_table(pa.table([pa.array(ids, self.writer.schema.field("id").type),
                                              pa.FixedSizeListArray.from_arrays(values, self.columns)],
                                             schema=self.writer.schema))
        except OSError as error:
            raise cannot_write(self.name, error) from None

    def close(self) -> None:
        """Completes the file; a file given no rows gets the schema and none."""
        if self.writer is None:
            self.start(False)
        self.writer.close()
        self.file.close()

    def discard(self) -> None:
        for closable in (self.writer, self.file):
            try:
                if closable is not None:
                    closable.close()
            except OSError:
                pass  # the file is removed whole
        super().discard()


def join_parquet(parts: list[Path], output: Path, columns: int, dtype: DType, final: object) -> None:
    """The parts' rows, in order, as one file at `output`; one part open and one row group in
    memory at a time, however many parts there are."""
    reader = parquet()
    try:
        output_schema = schema(columns, dtype, False)
        if parts:
            with open(parts[0], "rb") as first:
                output_schema = reader.ParquetFile(first).schema_arrow
        with open(output, "wb") as file, reader.ParquetWriter(file, output_schema) as writer:
            for path in parts:
                with open(path, "rb") as part:
                    source = reader.ParquetFile(part)
                    for group in range(source.num_row_groups):
                        writer.write_table(source.read_row_group(group))
    except OSError as error:
        raise cannot_write(final, error) from None
