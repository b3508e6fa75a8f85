"""Where the command may write, and the temporary files it writes first.

Only a regular file, or a path that does not exist yet, is written; a symbolic link is followed
to its target. A file appears under its final name only when complete: it is written under a
temporary name beside it and renamed. New files get the mode the umask gives, as any file does.
"""

import errno
import os
import secrets
import stat
import tempfile
from pathlib import Path

from corvid_embed.failures import EmbedError, cannot_write
from corvid_embed.running import janitor

# Temporary files are named ".FINAL.XXXXXXXX.part" beside their final name.
TEMPORARY_SUFFIX = ".part"


def output_file(path: str, inputs: list[str]) -> Path:
    """The file to write for `-o path`, its symbolic links followed; EmbedError when the path
    names something other than a regular file or is one of the inputs."""
    refuse_unnamed(path, "file")
    if path.endswith("/"):
        raise EmbedError(f"the output {path} ends in /, but a file is expected")
    target = Path(os.path.realpath(path))
    try:
        status = os.stat(target)
    except FileNotFoundError:
        status = None
    except OSError as error:
        raise cannot_write(path, error) from None
    if status is not None:
        if not stat.S_ISREG(status.st_mode):
            raise EmbedError(f"the output {path} is not a regular file")
        if not os.access(target, os.W_OK):  # as cp refuses it, rather than replace it
            raise cannot_write(path, "Permission denied")
        for name in inputs:
            if name != "-" and os.path.exists(name) and os.path.samefile(name, target):
                raise EmbedError(f"the output {path} is the input {name}")
    return target


def output_directory(path: str) -> Path:
    """The directory to write shards into, its symbolic links followed."""
    refuse_unnamed(path, "directory")
    target = Path(os.path.realpath(path))
    if target.exists() and not target.is_dir():
        raise EmbedError(f"the output {path} is not a directory")
    return target


def refuse_unnamed(path: str, what: str) -> None:
    if path in ("", "-"):
        raise EmbedError(f"the output must be a {what} path, not {path!r}")


def create_temporary(final: Path) -> Path:
    """A new empty file beside `final`, under a name no other run or retry uses, with the
    umask's mode."""
    while True:
        temporary = final.with_name(f".{final.name}.{secrets.token_hex(4)}{TEMPORARY_SUFFIX}")
        janitor.watch(temporary)
        try:
            os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666))
            return temporary
        except FileExistsError:
            continue
        except OSError as error:
            janitor.forget(temporary)
            raise cannot_write(final, error) from None


def create_temporary_directory(final: Path) -> Path:
    try:
        directory = Path(tempfile.mkdtemp(prefix=f".{final.name}.", suffix=".parts", dir=final.parent))
    except OSError as error:
        raise cannot_write(final, error) from None
    janitor.watch(directory)
    return directory


def rename(temporary: Path, final: Path | str) -> None:
    """Gives a complete temporary file its final name, once its bytes are on disk, so that a
    crash never leaves a final name on a partial file (OSError if it cannot)."""
    descriptor = os.open(temporary, os.O_RDONLY | os.O_CLOEXEC)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)
    os.replace(temporary, final)
    janitor.forget(temporary)


def reserve(descriptor: int, size: int, final: object) -> None:
    """Allocates the file's blocks now, so that a full disk is a failure here rather than a
    write that cannot complete later."""
    try:
        os.posix_fallocate(descriptor, 0, size)
    except OSError as error:
        if error.errno in (errno.EOPNOTSUPP, errno.EINVAL):
            os.ftruncate(descriptor, size)  # a file system without preallocation
        else:
            raise cannot_write(final, error) from None


def stray_temporaries(directory: Path, prefix: str) -> list[Path]:
    """The temporary files beside files named `prefix`... in `directory`: those that workers killed
    outright left, which they could not remove themselves."""
    return list(directory.glob(f".{prefix}*{TEMPORARY_SUFFIX}"))
