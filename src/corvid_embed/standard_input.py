"""Standard input, which workers cannot reopen, copied from where it stands to a temporary file
under $TMPDIR that they read as any other input."""

import os
import sys
import tempfile
from pathlib import Path

from corvid_embed import janitor
from corvid_embed.errors import EmbedError
from corvid_embed.output_paths import remove

CHUNK = 1 << 20


def spool_standard_input() -> Path:
    """The temporary file; the caller removes it. A full $TMPDIR is an EmbedError, its partial
    copy removed."""
    if sys.stdin is None or sys.stdin.closed:
        raise EmbedError("cannot read standard input: it is closed")
    source = sys.stdin.buffer
    directory = tempfile.gettempdir()
    try:
        descriptor, name = tempfile.mkstemp(prefix="corvid-embed-", suffix=".stdin")
    except OSError as error:
        raise EmbedError(f"cannot copy standard input to {directory}: {error.strerror or error}") from None
    path = Path(name)
    janitor.watch(path)
    try:
        with os.fdopen(descriptor, "wb") as spool:
            while True:
                # A regular file is read from its current offset, as a pipe would be.
                try:
                    chunk = source.read(CHUNK)
                except (OSError, ValueError) as error:
                    raise EmbedError(f"cannot read standard input: {getattr(error, 'strerror', None) or error}") from None
                if not chunk:
                    break
                try:
                    spool.write(chunk)
                except OSError as error:
                    raise EmbedError(f"cannot copy standard input to {directory}: {error.strerror or error}") from None
        return path
    except OSError as error:  # the last flush, on closing
        remove(path)
        raise EmbedError(f"cannot copy standard input to {directory}: {error.strerror or error}") from None
    except BaseException:
        remove(path)
        raise
