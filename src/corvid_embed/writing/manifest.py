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
    status = os.stat(path)
    return {"path": os.path.realpath(path), "size": status.st_size, "mtime_ns": status.st_mtime_ns}


def digest(path: Path) -> str:
    try:
        with open(path, "rb") as file:
            return "sha256:" + hashlib.file_digest(file, "sha256").hexdigest()
    except OSError as error:
        raise cannot_read(path, error) from None


def read_manifest(directory: Path, settings: dict[str, Any]) -> Manifest:
    """The manifest of a run to resume; EmbedError naming what differs from `settings`."""
    try:
        document = json.loads((directory / MANIFEST).read_text(encoding="utf-8"))
        recorded = {key: document[key] for key in settings}
        shards = list(document["shards"])
    except FileNotFoundError:
        raise EmbedError(f"cannot resume: {directory} holds no {MANIFEST}") from None
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise EmbedError(f"cannot resume: {directory / MANIFEST} cannot be read ({error})") from None
    for key, value in settings.items():
        if recorded[key] != value:
            raise EmbedError(f"cannot resume: {directory / MANIFEST} records other "
                             f"{difference(key, recorded[key], value)}")
    return Manifest(settings, shards)


def difference(key: str, recorded: Any, now: Any) -> str:
    if key == "inputs":
        if [i["path"] for i in recorded] != [i["path"] for i in now]:
            return "inputs"
        changed = next(n["path"] for r, n in zip(recorded, now) if r != n)
        return f"size or modification time of {changed}"
    if key == "model":
        return "contents of " + " and ".join(name for name in now if recorded.get(name) != now[name])
    return f"{key} ({recorded!r}, not {now!r})"
