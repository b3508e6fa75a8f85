"""What is read: pieces of the input files, the fields of each row, and how messages name rows.

A piece of a text or JSON Lines file is a byte range [start, stop) of the file; it holds the lines
that begin inside it, so pieces cut anywhere cover every line once and can be read and counted
without looking at their neighbours. A compressed file cannot be cut at byte offsets: it is one
piece. A piece of a Parquet file is a range of its row groups.
"""

import os
from dataclasses import dataclass
from typing import Literal

type Kind = Literal["text", "jsonl", "parquet"]
type Compression = Literal["gz", "bz2", "xz", "zst"]

COMPRESSIONS: tuple[Compression, ...] = ("gz", "bz2", "xz", "zst")


def compression_of(path: str) -> Compression | None:
    """The compression its suffix names: corpus.jsonl.gz is gzip."""
    suffix = os.path.splitext(path)[1].lower().removeprefix(".")
    return next((name for name in COMPRESSIONS if name == suffix), None)


def kind_of(path: str) -> Kind:
    """What its suffix, past a compression's, names: corpus.jsonl.gz is JSON Lines."""
    if compression_of(path) is not None:
        path = os.path.splitext(path)[0]
    suffix = os.path.splitext(path)[1].lower()
    return "jsonl" if suffix in (".jsonl", ".ndjson") else "parquet" if suffix == ".parquet" else "text"


@dataclass(frozen=True)
class Piece:
    """A unit of reading: bytes [start, stop) of a text or JSON Lines file, or row groups
    [start, stop) of a Parquet file. `name` is how messages name the file."""

    path: str
    name: str
    kind: Kind
    start: int
    stop: int
    compression: Compression | None = None  # then the piece is the whole file


def rows_label(piece: Piece, first: int, last: int | None = None) -> str:
    """How messages name rows `first` (to `last`) of the piece's file, counted from 0 there:
    lines are numbered from 1, Parquet rows from 0."""
    if piece.kind == "parquet":
        return f"{piece.name}, row {first}" if last is None else f"{piece.name}, rows {first} to {last}"
    return f"{piece.name}, line {first + 1}" if last is None else f"{piece.name}, lines {first + 1} to {last + 1}"


@dataclass(frozen=True)
class Fields:
    """What is read from each row: the text at `text`, and the row's id at `id` if given."""

    text: str = "text"
    id: str | None = None


class IdType:
    """The type of a part's or a run's ids, fixed by the first: integers or strings, never both."""

    def __init__(self, strings: bool | None = None) -> None:
        self.strings = strings

    def agrees(self, strings: bool) -> bool:
        """Whether ids of this type (strings or not) may follow those seen; the first fixes it."""
        if self.strings is None:
            self.strings = strings
        return self.strings == strings

    def mixed(self, field: str) -> str:
        """Why an id of the other type cannot follow."""
        return f"id field {field!r} holds {'an integer' if self.strings else 'a string'} after " \
               f"{'strings' if self.strings else 'integers'}"
