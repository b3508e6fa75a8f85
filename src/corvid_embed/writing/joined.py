"""One output file made of parts: each part writes a file of its own into a temporary directory
beside the output, and the caller joins them into the output at the end, in one pass that holds a
piece of a file at a time. What a Parquet output always is, and a .npy output on a cluster, whose
workers may not share one file's pages."""

from pathlib import Path

from corvid_embed.defaults import DType
from corvid_embed.failures import cannot_write
from corvid_embed.planning.parts import Part
from corvid_embed.running import janitor
from corvid_embed.writing.npy import join_npy
from corvid_embed.writing.parquet import join_parquet
from corvid_embed.writing.part_files import part_file
from corvid_embed.writing.paths import create_temporary, create_temporary_directory, rename
from corvid_embed.writing.writer import OutputWriter, Target

class JoinedWriter(OutputWriter):
    def __init__(self, final: Path, format: str, dtype: DType, columns: int, rows: int, parts: int) -> None:
        self.final, self.format, self.dtype, self.columns, self.rows = final, format, dtype, columns, rows
        self.directory: Path | None = create_temporary_directory(final)
        self.paths = [self.directory / f"part-{index:05d}.{format}" for index in range(parts)]

    def target(self, part: Part) -> Target:
        path = str(self.paths[part.index])
        return part_file(path, str(self.final), self.format, self.dtype)

    def commit(self) -> None:
        temporary = create_temporary(self.final)
        try:
            if self.format == "parquet":
                join_parquet(self.paths, temporary, self.columns, self.dtype, self.final)
            else:
                join_npy(self.paths, temporary, self.rows, self.columns, self.dtype, self.final)
            rename(temporary, self.final)
        except OSError as error:
            raise cannot_write(self.final, error) from None
        finally:
            janitor.remove(temporary)
        self.abandon()

    def abandon(self) -> None:
        if self.directory is not None:
            janitor.remove(self.directory)
            self.directory = None
