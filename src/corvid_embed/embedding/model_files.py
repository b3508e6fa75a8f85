"""The model directory checked once, before any worker starts: the table's shape read from the
weights file's header by the native loader, without loading the table, and the tokenizer loaded.

The module reports a truncated or foreign weights file as an internal failure, and only on its
first embedding; reading the header here turns such a file into one line naming it.
"""

import os
from dataclasses import dataclass
from pathlib import Path

from tokenizers import Tokenizer

from corvid_embed._native import table_shape as native_table_shape
from corvid_embed.failures import EmbedError, cannot_read, one_line

WEIGHTS_FILE = "model.safetensors"
TOKENIZER_FILE = "tokenizer.json"


@dataclass(frozen=True)
class TableShape:
    """The table the model embeds with: ids below `rows` are inside it, each row `columns` wide."""

    rows: int
    columns: int


def table_shape(model_dir: str) -> TableShape:
    """The shape of the table the model embeds with: ids below `rows` have their whole row in the
    tensor's bytes, whatever its shape claims. EmbedError, naming the file, when it holds none."""
    path = Path(model_dir) / WEIGHTS_FILE
    try:
        # Opened here first, so that a file that cannot be opened is named with the system's reason.
        os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
        rows, columns = native_table_shape(model_dir)
    except OSError as error:
        raise cannot_read(path, error) from None
    except ValueError:
        raise EmbedError(f"{path} is not a complete weights file (truncated, empty, a Git LFS "
                         f"pointer or a saved web page?)") from None
    except LookupError:
        raise EmbedError(f"{path} holds no two-dimensional tensor") from None
    except (RuntimeError, MemoryError) as error:
        raise EmbedError(f"cannot load the model in {model_dir}: {one_line(error)}") from None
    return TableShape(rows, columns)


def model_files(model_dir: str) -> list[Path]:
    """The files that make the model: what a resumed run must find unchanged."""
    return [Path(model_dir) / WEIGHTS_FILE, Path(model_dir) / TOKENIZER_FILE]


# Which files a model is made of, as the file system knows them: device, inode, size, modification
# and change times of each. Replacing or editing either file changes it, even when the times are
# set back, since the change time and the inode cannot be.
type Identity = tuple[tuple[int, ...], ...]


def identity(model_dir: str) -> Identity:
    try:
        statuses = [os.stat(path) for path in model_files(model_dir)]
    except OSError as error:
        raise cannot_read(error.filename, error) from None
    return tuple((s.st_dev, s.st_ino, s.st_size, s.st_mtime_ns, s.st_ctime_ns) for s in statuses)


@dataclass(frozen=True)
class CheckedModel:
    """A model directory known to load: its table's shape, and the files that were checked."""

    shape: TableShape
    identity: Identity


def check_model(model_dir: str) -> CheckedModel:
    """The table's shape and the files' identity, once the weights file and the tokenizer are
    known to load; every worker loads the files of that identity, or fails."""
    shape = table_shape(model_dir)
    load_tokenizer(model_dir)
    return CheckedModel(shape, identity(model_dir))


def changed(model_dir: str) -> EmbedError:
    return EmbedError(f"the model in {model_dir} changed during the run: its files are not those the run checked")


def load_tokenizer(model_dir: str) -> Tokenizer:
    path = Path(model_dir) / TOKENIZER_FILE
    if not path.is_file():
        raise EmbedError(f"{TOKENIZER_FILE} not found in {model_dir}")
    try:
        with open(path, "rb"):
            pass  # a file that cannot be read is that, not an invalid tokenizer
    except OSError as error:
        raise cannot_read(path, error) from None
    try:
        return Tokenizer.from_file(str(path))
    except Exception as error:
        raise EmbedError(f"{path} is not a valid tokenizer file: {one_line(error)}") from None
