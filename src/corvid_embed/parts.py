"""Planning: the inputs cut into pieces, the pieces' row counts turned into parts.

A part is what one worker embeds and writes in one go: rows first_row to first_row + rows of the
whole corpus, taken from one or more spans of pieces. Parts are small picklable values; planning
reads nothing but file sizes and Parquet footers, the row counts come from `count_rows` wherever
it runs.
"""

import os
import stat
from dataclasses import dataclass

from corvid_embed.errors import EmbedError
from corvid_embed.inputs import Fields, Piece, import_arrow, kind_of, parquet_file

# Bytes of text a piece covers: enough that opening it costs nothing next to embedding it, few
# enough that two workers finish close together and a piece's lines fit in memory at once.
PIECE_BYTES = 1 << 20


@dataclass(frozen=True)
class InputFile:
    path: str  # what workers open
    name: str  # what messages say


@dataclass(frozen=True)
class Span:
    """Rows skip to skip + rows of a piece, whose first row is row `first_in_file` of its file."""

    piece: Piece
    first_in_file: int
    skip: int
    rows: int


    def describe(self) -> str:
        first = self.first_in_file + self.skip
        if self.piece.kind == "parquet":
            return f"{self.piece.name}, rows {first} to {first + self.rows - 1}"
        return f"{self.piece.name}, lines {first + 1} to {first + self.rows}"


@dataclass(frozen=True)
class Part:
    index: int
    first_row: int
    rows: int
    spans: tuple[Span, ...]

    def describe(self) -> str:
        """The rows it holds, as messages name them."""
        return "; ".join(span.describe() for span in self.spans)


def cut(inputs: list[InputFile], fields: Fields) -> list[tuple[Piece, int | None]]:
    """Each input's pieces in order, with their row counts where the footer gives them."""
    pieces: list[tuple[Piece, int | None]] = []
    for file in inputs:
        kind = kind_of(file.path)
        try:
            status = os.stat(file.path)
        except OSError as error:
            raise EmbedError(f"cannot read {file.name}: {error.strerror or error}") from None
        if not stat.S_ISREG(status.st_mode):
            raise EmbedError(f"cannot read {file.name}: not a regular file")
        if kind == "parquet":
            pieces += parquet_pieces(file, fields)
        else:
            pieces += [(Piece(file.path, file.name, kind, start, min(start + PIECE_BYTES, status.st_size)), None)
                       for start in range(0, status.st_size, PIECE_BYTES)]
    return pieces


def parquet_pieces(file: InputFile, fields: Fields) -> list[tuple[Piece, int]]:
    """One piece a row group, once the footer shows the columns to read."""
    types = import_arrow().types
    whole = Piece(file.path, file.name, "parquet", 0, 0)
    source = parquet_file(whole)
    schema = source.schema_arrow
    for name, accepted, wanted in ((fields.text, (types.is_string, types.is_large_string), "a string"),
                                   (fields.id, (types.is_integer, types.is_string, types.is_large_string),
                                    "an integer or string")):
        if name is None:
            continue
        if name not in schema.names:
            raise EmbedError(f"{file.name}: no column {name!r}")
        if not any(test(schema.field(name).type) for test in accepted):
            raise EmbedError(f"{file.name}: column {name!r} is {schema.field(name).type}, not {wanted}")
    metadata = source.metadata
    return [(Piece(file.path, file.name, "parquet", group, group + 1), metadata.row_group(group).num_rows)
            for group in range(metadata.num_row_groups)]


def plan_parts(pieces: list[Piece], counts: list[int], part_rows: int | None) -> list[Part]:
    """Parts in row order: one a piece, or with `part_rows` runs of exactly that many rows (the
    last one fewer) that may span pieces and files."""
    spans: list[Span] = []
    in_file: dict[str, int] = {}
    for piece, rows in zip(pieces, counts, strict=True):
        first = in_file.get(piece.path, 0)
        in_file[piece.path] = first + rows
        if rows:
            spans.append(Span(piece, first, 0, rows))
    if part_rows is None:
        parts, first_row = [], 0
        for span in spans:
            parts.append(Part(len(parts), first_row, span.rows, (span,)))
            first_row += span.rows
        return parts
    parts, taken, first_row = [], [], 0
    for span in spans:
        skip = 0
        while skip < span.rows:
            rows = min(span.rows - skip, part_rows - sum(s.rows for s in taken))
            taken.append(Span(span.piece, span.first_in_file, skip, rows))
            skip += rows
            if sum(s.rows for s in taken) == part_rows:
                parts.append(Part(len(parts), first_row, part_rows, tuple(taken)))
                first_row, taken = first_row + part_rows, []
    if taken:
        parts.append(Part(len(parts), first_row, sum(s.rows for s in taken), tuple(taken)))
    return parts
