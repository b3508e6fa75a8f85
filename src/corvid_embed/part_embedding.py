"""Embedding one part: the function a worker runs, in this process, a local worker process or a
Dask worker alike. It reads the part's rows itself, embeds them with the process's model and
writes them itself; it returns only counts, the path it wrote and its first failure."""

import os
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Literal

from corvid_embed.embedder import embed_locked
from corvid_embed.errors import EmbedError
from corvid_embed.inputs import Fields, RowFailure, read_rows, row_label
from corvid_embed.npy_file import ROW_TYPE, start_npy, write_at
from corvid_embed.output_paths import cannot_write, create_temporary, remove, rename
from corvid_embed.parquet_output import ParquetRowsWriter
from corvid_embed.parts import Part


@dataclass(frozen=True)
class Job:
    """What every part of a run shares."""

    model_dir: str
    normalize: bool
    fields: Fields
    batch_size: int
    columns: int


@dataclass(frozen=True)
class RowsInFile:
    """Write the part's rows into the .npy file at `path`, whose row 0 is at byte `offset`."""

    path: str
    offset: int
    name: str  # the output, as messages name it


@dataclass(frozen=True)
class FileOfItsOwn:
    """Write the part's rows as a whole file at `path` (a shard, or a piece of a joined output),
    under a temporary name until complete."""

    path: str
    format: Literal["npy", "parquet"]


type Target = RowsInFile | FileOfItsOwn


@dataclass(frozen=True)
class PartOutcome:
    rows: int
    string_ids: bool | None  # the id type written, when the rows carry ids of their own
    path: str | None = None  # the file of its own it wrote, once complete
    failed_row: int | None = None  # the first failing row of the corpus, if one failed
    failure: str | None = None  # why, naming the file and line


def embed_part(job: Job, part: Part, target: Target, on_rows: Callable[[int], None] | None = None) -> PartOutcome:
    """Embeds and writes the part; `on_rows` hears of each batch's row count as it is written.
    A failing row ends the part and is returned; EmbedError when the model or the output fails."""
    sink = Sink(job, part, target)
    done, string_ids = 0, None
    try:
        for span in part.spans:
            span_done = 0
            try:
                for texts, ids in read_rows(span.piece, job.fields, span.skip, span.rows, job.batch_size):
                    if ids is not None:
                        string_ids = isinstance(ids[0], str) if string_ids is None else string_ids
                        mixed = next((i for i, value in enumerate(ids) if isinstance(value, str) != string_ids), None)
                        if mixed is not None:
                            raise RowFailure(span_done + mixed, f"id field {job.fields.id!r} holds "
                                             f"{'an integer' if string_ids else 'a string'} after "
                                             f"{'strings' if string_ids else 'integers'}")
                    packed, failure, _ = embed_locked(job.model_dir, job.normalize, texts, sink.buffer)
                    if failure is not None:
                        raise RowFailure(span_done + failure.index, failure.message)
                    sink.write(done, packed, ids)
                    done += len(texts)
                    span_done += len(texts)
                    if on_rows is not None:
                        on_rows(len(texts))
            except RowFailure as failure:
                sink.discard()
                label = row_label(span.piece, span.first_in_file + span.skip + failure.offset)
                return PartOutcome(done, string_ids, None, part.first_row + done - span_done + failure.offset,
                                   f"{label}: {failure.message}")
        if done != part.rows:
            raise EmbedError(f"{part.spans[0].piece.name} changed while it was read")
        sink.commit()
        return PartOutcome(done, string_ids, target.path if isinstance(target, FileOfItsOwn) else None)
    except BaseException:
        sink.discard()
        raise


class Sink:
    """Where a part's rows go, for each kind of target."""

    def __init__(self, job: Job, part: Part, target: Target) -> None:
        self.part, self.target = part, target
        self.row_bytes = job.columns * ROW_TYPE.itemsize
        self.temporary: Path | None = None
        self.parquet: ParquetRowsWriter | None = None
        # One buffer for every batch of rows bound for a .npy file, which has written them when
        # the next batch comes: a new one a batch would be a fresh mapping of pages each time
        # where malloc is told to give memory back early, as Dask's workers tell it.
        npy = isinstance(target, RowsInFile) or target.format == "npy"
        self.buffer = bytearray(min(job.batch_size, part.rows) * self.row_bytes) if npy else None
        if isinstance(target, RowsInFile):
            self.name: object = target.name
            self.descriptor = self.open(target.path)
            self.offset = target.offset + part.first_row * self.row_bytes
            return
        final = Path(target.path)
        self.name = final
        self.temporary = create_temporary(final)
        try:
            if target.format == "npy":
                self.offset = start_npy(self.temporary, part.rows, job.columns, final)
                self.descriptor = self.open(self.temporary)
            else:
                self.descriptor = -1
                self.parquet = ParquetRowsWriter(self.temporary, job.columns, final)
        except BaseException:
            remove(self.temporary)
            raise

    def open(self, path: object) -> int:
        try:
            return os.open(path, os.O_WRONLY | os.O_CLOEXEC)  # type: ignore[arg-type]
        except OSError as error:
            raise cannot_write(self.name, error) from None

    def write(self, done: int, packed: memoryview, ids: list | None) -> None:
        if self.parquet is None:
            write_at(self.descriptor, packed, self.offset + done * self.row_bytes, self.name)
            return
        first = self.part.first_row + done
        self.parquet.write(ids if ids is not None else list(range(first, first + len(packed) // self.row_bytes)), packed)

    def commit(self) -> None:
        try:
            if self.parquet is not None:
                self.parquet.close()
            self.close()
            if self.temporary is not None:
                assert isinstance(self.target, FileOfItsOwn)
                rename(self.temporary, self.target.path)
                self.temporary = None
        except OSError as error:
            raise cannot_write(self.name, error) from None

    def close(self) -> None:
        if self.descriptor >= 0:
            os.close(self.descriptor)
            self.descriptor = -1

    def discard(self) -> None:
        self.close()
        if self.parquet is not None:
            self.parquet.abandon()
        if self.temporary is not None:
            remove(self.temporary)
            self.temporary = None
