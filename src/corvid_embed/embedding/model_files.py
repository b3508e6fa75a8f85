"""The model directory checked once, before any worker starts: the weights file's header read here
in Python (the tensor the module would choose, its rows and columns) and the tokenizer loaded.

The module reports a truncated or foreign weights file as an internal failure, and only on its
first embedding; reading the header here turns such a file into one line naming it.
"""

import json
import os
import struct
from dataclasses import dataclass
from pathlib import Path

from tokenizers import Tokenizer

from corvid_embed.failures import EmbedError, cannot_read, one_line

WEIGHTS_FILE = "model.safetensors"
TOKENIZER_FILE = "tokenizer.json"

# Bytes of one stored element, by the header's type name.
ELEMENT_WIDTHS = {"F64": 8, "F32": 4, "F16": 2, "BF16": 2, "I64": 8, "I32": 4, "I16": 2, "I8": 1, "U8": 1,
                  "BOOL": 1}


@dataclass(frozen=True)
class TableShape:
    """The table the module embeds with: `rows` ids are inside it, each row `columns` wide."""

    rows: int
    columns: int


def table_shape(model_dir: str) -> TableShape:
    """The shape of the tensor the module chooses: the first header entry, `__metadata__` aside,
    that describes a two-dimensional tensor. EmbedError, naming the file, when it is not a
    complete weights file."""
    path = Path(model_dir) / WEIGHTS_FILE
    incomplete = EmbedError(f"{path} is not a complete weights file (truncated, empty, a Git LFS "
                            f"pointer or a saved web page?)")
    try:
        with open(path, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            prefix = file.read(8)
            if len(prefix) < 8:
                raise incomplete
            (header_length,) = struct.unpack("<Q", prefix)
            if header_length > size - 8:
                raise incomplete
            header = json.loads(file.read(header_length))
    except OSError as error:
        raise cannot_read(path, error) from None
    except (ValueError, RecursionError):
        raise incomplete from None
    if not isinstance(header, dict):
        raise incomplete
    data_length = size - 8 - header_length
    for name, value in header.items():
        details = None if name == "__metadata__" else tensor_details(value)
        if details is None:
            continue
        dtype, (rows, columns), (begin, end) = details
        if end < begin or end > data_length:
            raise incomplete
        # The module checks each row against the tensor's bytes, not against the shape.
        row_bytes = ELEMENT_WIDTHS[dtype] * columns
        return TableShape(min(rows, (end - begin) // row_bytes) if row_bytes else rows, columns)
    raise EmbedError(f"{path} holds no two-dimensional tensor")


def tensor_details(value: object) -> tuple[str, list[int], list[int]] | None:
    """(dtype, shape, data_offsets) of a header entry in its object or array form, or None for
    an entry the module skips."""
    if isinstance(value, dict):
        if not {"dtype", "shape", "data_offsets"} <= value.keys():
            return None
        dtype, shape, offsets = value["dtype"], value["shape"], value["data_offsets"]
    elif isinstance(value, list) and len(value) == 3:
        dtype, shape, offsets = value
    else:
        return None
    if isinstance(dtype, dict) and len(dtype) == 1 and None in dtype.values():
        dtype = next(iter(dtype))
    if not isinstance(dtype, str) or dtype not in ELEMENT_WIDTHS or not (pair(shape) and pair(offsets)):
        return None
    return dtype, shape, offsets


def pair(value: object) -> bool:
    return (isinstance(value, list) and len(value) == 2
            and all(type(n) is int and 0 <= n < 1 << 64 for n in value))


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
