"""A directory of shards, part-00000.npy (or .parquet) and so on, one a part, and the manifest that
records those complete.

The manifest is rewritten at most every MANIFEST_INTERVAL seconds, and at the end of every run
that is not killed outright: a run of many small shards would otherwise rewrite a growing file
once a shard. A shard it does not yet name is made again by --resume."""

import time
from pathlib import Path
from typing import Any

from corvid_embed.failures import EmbedError, cannot_write
from corvid_embed.planning.parts import Part
from corvid_embed.reading.pieces import IdType
from corvid_embed.running import janitor
from corvid_embed.writing.manifest import MANIFEST, Manifest, read_manifest
from corvid_embed.writing.part_files import part_file
from corvid_embed.writing.paths import stray_temporaries
from corvid_embed.writing.writer import OutputWriter, PartOutcome, Target, check_id_type

# Seconds between rewrites of a sharded output's manifest while shards complete.
MANIFEST_INTERVAL = 1.0
SHARD_PREFIX = "part-"


def shard_name(part: Part, format: str) -> str:
    return f"{SHARD_PREFIX}{part.index:05d}.{format}"


class ShardWriter(OutputWriter):
    def __init__(self, directory: Path, settings: dict[str, Any], resume: bool, total: int) -> None:
        self.directory, self.format, self.total = directory, settings["format"], total
        self.ids = IdType()
        self.created = False
        self.written_at = time.monotonic()
        self.unwritten = False
        if resume:
            manifest = read_manifest(directory, settings)
            # Only the shards still on disk are done; the manifest keeps only them.
            manifest.shards = [shard for shard in manifest.shards if (directory / shard["path"]).is_file()]
            self.manifest = manifest
        else:
            if directory.is_dir() and any(p.name == MANIFEST or p.name.startswith(SHARD_PREFIX)
                                          for p in directory.iterdir()):
                raise EmbedError(f"{directory} already holds shards: give --resume to complete them, "
                                 f"or another directory")
            try:
                directory.mkdir(exist_ok=True)
                self.created = not any(directory.iterdir())
            except OSError as error:
                raise cannot_write(directory, error) from None
            self.manifest = Manifest(settings)

    def todo(self, parts: list[Part]) -> list[Part]:
        done = {(shard["path"], shard["first_row"], shard["rows"]) for shard in self.manifest.shards}
        return [part for part in parts if (shard_name(part, self.format), part.first_row, part.rows) not in done]

    def target(self, part: Part) -> Target:
        path = str(self.directory / shard_name(part, self.format))
        return part_file(path, self.format)

    def completed(self, part: Part, outcome: PartOutcome) -> None:
        check_id_type(self.ids, outcome)
        self.manifest.shards.append({"path": shard_name(part, self.format), "first_row": part.first_row,
                                     "rows": part.rows})
        self.unwritten = True
        if time.monotonic() - self.written_at >= MANIFEST_INTERVAL:
            self.write_manifest()

    def write_manifest(self) -> None:
        self.manifest.write(self.directory)
        self.written_at, self.unwritten = time.monotonic(), False

    def commit(self) -> None:
        self.manifest.rows = self.total
        self.write_manifest()
        self.remove_stray_temporaries()

    def abandon(self) -> None:
        """Records the shards complete so far, for --resume; a directory this run made and filled
        with nothing goes."""
        if self.unwritten:
            self.write_manifest()
        self.remove_stray_temporaries()
        if self.created and not self.manifest.shards:
            try:
                self.directory.rmdir()
            except OSError:
                pass

    def remove_stray_temporaries(self) -> None:
        """A worker killed outright leaves its shard's temporary file; the worker cannot remove
        it, and on a cluster the part has run again, under another temporary name."""
        for temporary in stray_temporaries(self.directory, SHARD_PREFIX):
            janitor.remove(temporary)
