"""The plan of a run: its input files cut into pieces (text and JSON Lines by bytes, Parquet by row
groups), the pieces' rows counted by whoever the caller names, and the parts.

Planning reads nothing but file sizes and Parquet footers; the rows of text are counted by the
`count` function the caller gives, which may run them anywhere."""

import os
import stat
from collections.abc import Callable
from dataclasses import dataclass

from corvid_embed.failures import EmbedError, cannot_read
from corvid_embed.planning.parts import Part, plan_parts
from corvid_embed.reading.compressed import FORMATS
from corvid_embed.reading.parquet import row_groups
from corvid_embed.reading.pieces import Fields, Piece, compression_of, kind_of

# Bytes of text a piece covers: enough that opening it costs nothing next to embedding it, few
# enough that two workers finish close together and a piece's lines fit in memory at once.
PIECE_BYTES = 1 << 20
# Pieces counted by one call: a cluster counts a corpus of 10,000 pieces in 157 calls, not 10,000.
COUNT_PIECES = 64

# Counts the rows of groups of pieces, a list of counts a group, wherever it runs them.
type Count = Callable[[list[list[Piece]]], list[list[int]]]


@dataclass(frozen=True)
class InputFile:
    path: str  # what workers open
    name: str  # what messages say


@dataclass(frozen=True)
class Plan:
    parts: list[Part]
    rows: int


def plan(inputs: list[InputFile], fields: Fields, part_rows: int | None, count: Count, capacity: int) -> Plan:
    """The parts of the inputs, one a piece or `part_rows` rows each; `capacity` calls of `count`
    may run at once."""
    pieces = cut(inputs, fields)
    unknown = [piece for piece, rows in pieces if rows is None]
    counted = iter([rows for group in count(count_groups(unknown, capacity)) for rows in group])
    counts = [rows if rows is not None else next(counted) for _, rows in pieces]
    return Plan(plan_parts([piece for piece, _ in pieces], counts, part_rows), sum(counts))


def cut(inputs: list[InputFile], fields: Fields) -> list[tuple[Piece, int | None]]:
    """Each input's pieces in order, with their row counts where the footer gives them."""
    pieces: list[tuple[Piece, int | None]] = []
    for file in inputs:
        kind = kind_of(file.path)
        try:
            status = os.stat(file.path)
        except OSError as error:
            raise cannot_read(file.name, error) from None
        if not stat.S_ISREG(status.st_mode):
            raise cannot_read(file.name, "not a regular file")
        compression = compression_of(file.path)
        if kind == "parquet":
            pieces += row_groups(file.path, file.name, fields)
        elif compression is not None:
            if status.st_size == 0:
                raise EmbedError(f"cannot decompress {file.name}: an empty file is no {FORMATS[compression]} stream")
            pieces.append((Piece(file.path, file.name, kind, 0, status.st_size, compression), None))
        else:
            pieces += [(Piece(file.path, file.name, kind, start, min(start + PIECE_BYTES, status.st_size)), None)
                       for start in range(0, status.st_size, PIECE_BYTES)]
    return pieces


def count_groups(pieces: list[Piece], capacity: int) -> list[list[Piece]]:
    """The pieces in consecutive groups of at most COUNT_PIECES, and at least `capacity` groups
    when there are that many pieces, so that every worker counts its share at once rather than
    one counting while the others wait for the plan."""
    groups = max(-(-len(pieces) // COUNT_PIECES), min(len(pieces), capacity))
    size = -(-len(pieces) // groups) if groups else 0
    return [pieces[start:start + size] for start in range(0, len(pieces), size or 1)]
