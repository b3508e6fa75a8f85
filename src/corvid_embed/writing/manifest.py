"""manifest.json of a sharded output: the shards that are complete, in row order, and what a
resumed run must find unchanged (inputs, model, options). It is the only record of what is done
and is replaced atomically, so it never names a shard that is not complete."""

import hashlib
import json
import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from corvid_embed.failures import EmbedError, cannot_read, cannot_write
from corvid_embed.running import janitor
from corvid_embed.writing.paths import create_temporary, rename

MANIFEST = "manifest.json"


@dataclass
class Manifest:
    settings: dict[str, Any]  # what a resumed run must match, key by key
    shards: list[dict[str, Any]] = field(default_factory=list)  # path, first_row, rows
    rows: int | None = None  # the corpus's rows, once all shards are complete

    def write(self, directory: Path) -> None:
        final = directory / MANIFEST
        temporary = create_temporary(final)
        document = {**self.settings, "complete": self.rows is not None, "rows": self.rows,
                    "shards": sorted(self.shards, key=lambda shard: shard["first_row"])}
        try:
            with open(temporary, "w", encoding="utf-8") as file:
                json.dump(document, file, indent=1)
                file.write("\n")
            rename(temporary, final)
        except OSError as error:
            janitor.remove(temporary)
            raise cannot_write(final, error) from None


def run_settings(model_files: list[Path], inputs: list[str], options: dict[str, Any]) -> dict[str, Any]:
    """The settings of a run, as the manifest records them."""
    return {
        "inputs": [input_record(path) for path in inputs],
        "model": {path.name: digest(path) for path in model_files},
        **options,
    }


def input_record(path: str) -> dict[str, Any]:
    """An input as the file system knows it: an edit changes its size or modification time, or,
    when those are kept or set back (cp -p, rsync -t, touch -r), its change time or inode."""
    status = os.stat(path)
    return {"path": os.path.realpath(path), "size": status.st_size, "mtime_ns": status.st_mtime_ns,
            "inode": status.st_ino, "ctime_ns": status.st_ctime_ns}


def digest(path: Path) -> str:
    try:
        with open(path, "rb") as file:
            return "sha256:" + hashlib.file_digest(file, "sha256").hexdigest()
    except OSError as error:
        raise cannot_read(path, error) from None


def read_manifest(directory: Path, settings: dict[str, Any]) -> Manifest:
    """The manifest of a run to resume; EmbedError naming what differs from `settings`, or why
    the file is no manifest. Its shard entries are only known to be well formed."""
    path = directory / MANIFEST
    try:
        document = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise EmbedError(f"cannot resume: {directory} holds no {MANIFEST}") from None
    except (OSError, ValueError, RecursionError) as error:
        raise unreadable(path, str(error)) from None
    if not isinstance(document, dict):
        raise unreadable(path, "not a JSON object")
    missing = [key for key in (*settings, "shards") if key not in document]
    if missing:
        raise unreadable(path, f"no {missing[0]!r}")
    shards = document["shards"]
    if not isinstance(shards, list) or not all(map(is_entry, shards)):
        raise unreadable(path, "its shards are not a list of path, first_row and rows")
    for key, value in settings.items():
        if document[key] != value:
            raise EmbedError(f"cannot resume: {path} records other {difference(key, document[key], value)}")
    return Manifest(settings, shards)


def unreadable(path: Path, reason: str) -> EmbedError:
    return EmbedError(f"cannot resume: {path} cannot be read ({reason})")


def is_entry(shard: object) -> bool:
    return (isinstance(shard, dict) and isinstance(shard.get("path"), str)
            and all(type(shard.get(key)) is int and shard[key] >= 0 for key in ("first_row", "rows")))


def difference(key: str, recorded: Any, now: Any) -> str:
    if key == "inputs":
        def paths(records: Any) -> list[Any] | None:
            return [r.get("path") if isinstance(r, dict) else None for r in records] if isinstance(records, list) else None

        if paths(recorded) != paths(now):
            return "inputs"
        old, new = next((r, n) for r, n in zip(recorded, now) if r != n)
        if (old.get("size"), old.get("mtime_ns")) != (new["size"], new["mtime_ns"]):
            return f"size or modification time of {new['path']}"
        return f"inode or change time of {new['path']} (edited, or copied back with its old times)"
    if key == "model":
        return "contents of " + " and ".join(name for name in now
                                             if not isinstance(recorded, dict) or recorded.get(name) != now[name])
    return f"{key} ({recorded!r}, not {now!r})"
