"""Standard input, which workers cannot reopen, copied from where it stands to a temporary file
under $TMPDIR that they read as any other input. A compressed stream is known by its first bytes
and kept compressed: its copy is named for its compression."""

import os
import sys
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from corvid_embed.failures import EmbedError, cannot_read, why
from corvid_embed.reading.compressed import magic_compression
from corvid_embed.running import janitor

CHUNK = 1 << 20


@contextmanager
def standard_input_copy() -> Iterator[Path]:
    """The copy, removed at the end of the block. A full $TMPDIR is an EmbedError, its partial
    copy removed."""
    if sys.stdin is None or sys.stdin.closed:
        raise cannot_read("standard input", "it is closed")
    source = sys.stdin.buffer
    directory = tempfile.gettempdir()
    try:
        descriptor, name = tempfile.mkstemp(prefix="corvid-embed-", suffix=".stdin")
    except OSError as error:
        raise cannot_copy(directory, error) from None
    path = Path(name)
    janitor.watch(path)
    try:
        with os.fdopen(descriptor, "wb") as spool:
            while True:
                # A regular file is read from its current offset, as a pipe would be.
                try:
                    chunk = source.read(CHUNK)
                except (OSError, ValueError) as error:
                    raise cannot_read("standard input", error) from None
                if not chunk:
                    break
                try:
                    spool.write(chunk)
                except OSError as error:
                    raise cannot_copy(directory, error) from None
    except OSError as error:  # the last flush, on closing
        janitor.remove(path)
        raise cannot_copy(directory, error) from None
    except BaseException:
        janitor.remove(path)
        raise
    try:
        path = named_for_its_compression(path)
        yield path
    finally:
        janitor.remove(path)


def cannot_copy(directory: str, error: OSError) -> EmbedError:
    return EmbedError(f"cannot copy standard input to {directory}: {why(error)}")


def named_for_its_compression(path: Path) -> Path:
    """The copy, renamed with the suffix of the compression its first bytes show, if any."""
    with open(path, "rb") as copy:
        compression = magic_compression(copy.read(8))
    if compression is None:
        return path
    named = path.with_name(f"{path.name}.{compression}")
    janitor.watch(named)
    os.rename(path, named)
    janitor.forget(path)
    return named
