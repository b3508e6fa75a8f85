"""What the calling process does for each kind of output: where each part writes, what it
records as parts complete, and how the output becomes visible at the end (or is removed)."""

import time
from pathlib import Path
from typing import Any, Literal

from corvid_embed.errors import EmbedError
from corvid_embed.manifest import MANIFEST, Manifest, read_manifest
from corvid_embed.npy_file import join_npy, start_npy
from corvid_embed.output_paths import cannot_write, create_temporary, create_temporary_directory, remove, rename
from corvid_embed.parquet_output import MIXED_IDS, join_parquet
from corvid_embed.part_embedding import FileOfItsOwn, PartOutcome, RowsInFile, Target
from corvid_embed.parts import Part

type Format = Literal["npy", "parquet"]

# Seconds between rewrites of a sharded output's manifest while shards complete.
MANIFEST_INTERVAL = 1.0


class OutputWriter:
    """What the parent does for an output: where each part writes, what completes it."""

    def todo(self, parts: list[Part]) -> list[Part]:
        return parts

    def target(self, part: Part) -> Target:
        raise NotImplementedError

    def completed(self, part: Part, outcome: PartOutcome) -> None:
        pass

    def commit(self) -> None:
        raise NotImplementedError

    def discard(self) -> None:
        raise NotImplementedError


class NpyWriter(OutputWriter):
    """One .npy file, reserved whole before the workers write their rows into it."""

    def __init__(self, final: Path, rows: int, columns: int) -> None:
        self.final = final
        self.temporary: Path | None = create_temporary(final)
        try:
            self.offset = start_npy(self.temporary, rows, columns, final)
        except BaseException:
            self.discard()
            raise

    def target(self, part: Part) -> Target:
        return RowsInFile(str(self.temporary), self.offset, str(self.final))

    def commit(self) -> None:
        assert self.temporary is not None
        try:
            rename(self.temporary, self.final)
        except OSError as error:
            raise cannot_write(self.final, error) from None
        self.temporary = None

    def discard(self) -> None:
        if self.temporary is not None:
            remove(self.temporary)


class IdTypes:
    """Parts write their own ids; they must all be integers or all strings."""

    def __init__(self) -> None:
        self.string_ids: bool | None = None

    def check(self, outcome: PartOutcome) -> None:
        if outcome.string_ids is not None:
            if self.string_ids is not None and self.string_ids != outcome.string_ids:
                raise EmbedError(MIXED_IDS)
            self.string_ids = outcome.string_ids


class JoinedWriter(OutputWriter):
    """One file: each part writes a file of its own into a temporary directory beside it; they
    are joined into the output at the end, in one pass that holds a piece of a file at a time."""

    def __init__(self, final: Path, format: Format, columns: int, rows: int, parts: int) -> None:
        self.final, self.format, self.columns, self.rows = final, format, columns, rows
        self.directory: Path | None = create_temporary_directory(final)
        self.ids = IdTypes()
        self.paths = [self.directory / f"part-{index:05d}.{format}" for index in range(parts)]

    def target(self, part: Part) -> Target:
        return FileOfItsOwn(str(self.paths[part.index]), self.format)

    def completed(self, part: Part, outcome: PartOutcome) -> None:
        self.ids.check(outcome)

    def commit(self) -> None:
        assert self.directory is not None
        temporary = create_temporary(self.final)
        try:
            if self.format == "parquet":
                join_parquet(self.paths, temporary, self.columns, self.final)
            else:
                join_npy(self.paths, temporary, self.rows, self.columns, self.final)
            rename(temporary, self.final)
        except OSError as error:
            raise cannot_write(self.final, error) from None
        finally:
            remove(temporary)
        self.discard()

    def discard(self) -> None:
        if self.directory is not None:
            remove(self.directory)
            self.directory = None


class ShardWriter(OutputWriter):
    """A directory of shards, part-00000.npy (or .parquet) and so on, one a part, and the
    manifest that records those complete.

    The manifest is rewritten at most every MANIFEST_INTERVAL seconds, and at the end of every
    run that is not killed outright: a run of many small shards would otherwise rewrite a growing
    file once a shard. A shard it does not yet name is made again by --resume."""

    def __init__(self, directory: Path, settings: dict[str, Any], resume: bool, total: int) -> None:
        self.directory, self.format, self.total = directory, settings["format"], total
        self.ids = IdTypes()
        self.created = False
        self.written_at = time.monotonic()
        self.unwritten = False
        if resume:
            self.manifest = read_manifest(directory, settings)
        else:
            if directory.is_dir() and any(p.name == MANIFEST or p.name.startswith("part-") for p in directory.iterdir()):
                raise EmbedError(f"{directory} already holds shards: give --resume to complete them, "
                                 f"or another directory")
            try:
                directory.mkdir(exist_ok=True)
                self.created = not any(directory.iterdir())
            except OSError as error:
                raise cannot_write(directory, error) from None
            self.manifest = Manifest(settings)

    def name(self, part: Part) -> str:
        return f"part-{part.index:05d}.{self.format}"

    def todo(self, parts: list[Part]) -> list[Part]:
        done = {(shard["path"], shard["first_row"], shard["rows"]) for shard in self.manifest.shards
                if (self.directory / shard["path"]).is_file()}
        self.manifest.shards = [shard for shard in self.manifest.shards
                                if (shard["path"], shard["first_row"], shard["rows"]) in done]
        return [part for part in parts if (self.name(part), part.first_row, part.rows) not in done]

    def target(self, part: Part) -> Target:
        return FileOfItsOwn(str(self.directory / self.name(part)), self.format)

    def completed(self, part: Part, outcome: PartOutcome) -> None:
        self.ids.check(outcome)
        assert outcome.path is not None
        self.manifest.shards.append({"path": Path(outcome.path).name, "first_row": part.first_row, "rows": part.rows})
        self.unwritten = True
        if time.monotonic() - self.written_at >= MANIFEST_INTERVAL:
            self.write_manifest()

    def write_manifest(self) -> None:
        self.manifest.write(self.directory)
        self.written_at, self.unwritten = time.monotonic(), False

    def commit(self) -> None:
        self.manifest.rows = self.total
        self.write_manifest()
        self.created = False

    def discard(self) -> None:
        """Called at the end of every run, complete or not."""
        if self.unwritten:
            self.write_manifest()
        # A worker killed outright leaves its shard's temporary file; the worker cannot remove
        # it, and on a cluster the part has run again, under another temporary name.
        for temporary in self.directory.glob(".part-*.part"):
            remove(temporary)
        # Complete shards stay for --resume; a directory this run made and filled with nothing goes.
        if self.created and not self.manifest.shards:
            try:
                self.directory.rmdir()
            except OSError:
                pass
