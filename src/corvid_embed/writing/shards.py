"""A directory of shards, part-00000.npy (or .parquet) and so on, one a part, and the manifest that
records those complete.

A run holds a lock on the directory from start to end, so that a second run on it refuses at
once. The manifest is written before the first shard, so that every directory a run leaves can
be resumed; then it is rewritten at most every MANIFEST_INTERVAL seconds, and at the end of every
run that is not killed outright: a run of many small shards would otherwise rewrite a growing
file once a shard. A shard it does not yet name is made again by --resume, and so is any entry
that is not exactly a shard of the plan, present as a regular file that holds its rows."""

import fcntl
import os
import stat
import time
from pathlib import Path
from typing import Any

from corvid_embed.arrow import arrow, parquet
from corvid_embed.failures import EmbedError, cannot_write
from corvid_embed.planning.parts import Part
from corvid_embed.planning.plan import Plan
from corvid_embed.running import janitor
from corvid_embed.writing.elements import STORED
from corvid_embed.writing.manifest import MANIFEST, Manifest, read_manifest
from corvid_embed.writing.npy import npy_rows
from corvid_embed.writing.parquet import schema
from corvid_embed.writing.part_files import part_file
from corvid_embed.writing.paths import stray_temporaries
from corvid_embed.writing.writer import OutputWriter, PartOutcome, Target

# Seconds between rewrites of a sharded output's manifest while shards complete.
MANIFEST_INTERVAL = 1.0
SHARD_PREFIX = "part-"


def shard_name(part: Part, format: str) -> str:
    return f"{SHARD_PREFIX}{part.index:05d}.{format}"


class ShardWriter(OutputWriter):
    def __init__(self, directory: Path, settings: dict[str, Any], resume: bool, plan: Plan) -> None:
        self.directory, self.format, self.total = directory, settings["format"], plan.rows
        self.columns, self.dtype = settings["columns"], settings["dtype"]
        if resume and not directory.is_dir():
            raise EmbedError(f"cannot resume: {directory} holds no {MANIFEST}")
        try:
            directory.mkdir(exist_ok=True)
        except OSError as error:
            raise cannot_write(directory, error) from None
        self.lock = lock(directory)
        try:
            # A directory empty before this run (made by it, or by the caller) goes if it gets no shard.
            self.created = not any(directory.iterdir())
            if resume:
                self.manifest = read_manifest(directory, settings)
                self.manifest.shards = self.complete(self.manifest.shards, plan.parts)
            else:
                if any(p.name == MANIFEST or p.name.startswith(SHARD_PREFIX) for p in directory.iterdir()):
                    raise EmbedError(f"{directory} already holds shards: give --resume to complete them, "
                                     f"or another directory")
                self.manifest = Manifest(settings)
            self.write_manifest()
        except BaseException:
            self.unlock()
            raise

    def complete(self, shards: list[dict[str, Any]], parts: list[Part]) -> list[dict[str, Any]]:
        """The entries that are exactly shards of the plan, each present as a regular file inside
        the directory, not a link, whose header or footer holds its rows."""
        planned = {shard_name(part, self.format): part for part in parts}
        kept: dict[str, dict[str, Any]] = {}
        for shard in shards:
            part = planned.get(shard["path"])
            if (part is not None and shard["path"] not in kept and (shard["first_row"], shard["rows"]) ==
                    (part.first_row, part.rows) and self.holds(self.directory / shard["path"], part.rows)):
                kept[shard["path"]] = shard
        return list(kept.values())

    def holds(self, path: Path, rows: int) -> bool:
        try:
            if not stat.S_ISREG(os.lstat(path).st_mode):
                return False
            if self.format == "parquet":
                with open(path, "rb") as file:
                    footer = parquet().ParquetFile(file)
                    return footer.schema_arrow.equals(schema(self.columns, self.dtype, footer.schema_arrow.field(
                        "id").type == arrow().string())) and footer.metadata.num_rows == rows
            with open(path, "rb") as file:
                return npy_rows(file, self.columns, self.dtype) == rows and \
                    os.fstat(file.fileno()).st_size == file.tell() + rows * self.columns * STORED[self.dtype].itemsize
        except Exception:
            return False  # made again

    def todo(self, parts: list[Part]) -> list[Part]:
        done = {shard["path"] for shard in self.manifest.shards}
        return [part for part in parts if shard_name(part, self.format) not in done]

    def target(self, part: Part) -> Target:
        path = str(self.directory / shard_name(part, self.format))
        return part_file(path, path, self.format, self.dtype)

    def completed(self, part: Part, outcome: PartOutcome) -> None:
        self.manifest.shards.append({"path": shard_name(part, self.format), "first_row": part.first_row,
                                     "rows": part.rows})
        self.unwritten = True
        if time.monotonic() - self.written_at >= MANIFEST_INTERVAL:
            self.write_manifest()

    def write_manifest(self) -> None:
        self.manifest.write(self.directory)
        self.written_at, self.unwritten = time.monotonic(), False

    def commit(self) -> None:
        try:
            self.manifest.rows = self.total
            self.write_manifest()
            self.remove_stray_temporaries()
        finally:
            self.unlock()

    def abandon(self) -> None:
        """Records the shards complete so far, for --resume; a directory this run made and filled
        with nothing goes."""
        try:
            if self.created and not self.manifest.shards:
                janitor.remove(self.directory / MANIFEST)
                self.remove_stray_temporaries()
                try:
                    self.directory.rmdir()
                except OSError:
                    pass
                return
            if self.unwritten:
                self.write_manifest()
            self.remove_stray_temporaries()
        finally:
            self.unlock()

    def remove_stray_temporaries(self) -> None:
        """A worker killed outright leaves its shard's temporary file; the worker cannot remove
        it, and on a cluster the part has run again, under another temporary name. No other run
        writes here while this one holds the lock."""
        for temporary in stray_temporaries(self.directory, SHARD_PREFIX):
            janitor.remove(temporary)

    def unlock(self) -> None:
        if self.lock >= 0:
            os.close(self.lock)
            self.lock = -1


def lock(directory: Path) -> int:
    """A lock on the directory, held until its descriptor is closed; EmbedError when another run
    holds it."""
    try:
        descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as error:
        raise cannot_write(directory, error) from None
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(descriptor)
        raise EmbedError(f"{directory} is being written by another run: wait for it to end, "
                         f"or give another directory") from None
    return descriptor
