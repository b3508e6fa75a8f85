"""A piece's rows, counted or read, whatever the kind of its file: the functions a worker runs."""

from collections.abc import Iterator

from corvid_embed.failures import RowFailure
from corvid_embed.reading.lines import Batch, count_lines, read_lines
from corvid_embed.reading.parquet import read_parquet
from corvid_embed.reading.pieces import Fields, IdType, Piece


def count_rows(pieces: list[Piece]) -> list[int]:
    """The rows each piece of a text or JSON Lines file holds (a Parquet footer gives its own);
    module-level, so that any worker can run it, and given many pieces at once, so that a large
    corpus is counted in few calls."""
    return [count_lines(piece) for piece in pieces]


def read_rows(piece: Piece, fields: Fields, skip: int, take: int, batch_size: int, ids: IdType) -> Iterator[Batch]:
    """Rows skip to skip + take of the piece, in batches of at most `batch_size`, their ids of
    the one type `ids` holds. RowFailure at the first row that is not as expected, counted from
    `skip`."""
    reader = read_parquet if piece.kind == "parquet" else read_lines
    yield from reader(piece, fields, skip, take, batch_size, ids)


def first_id_is_string(piece: Piece, fields: Fields, skip: int) -> bool | None:
    """Whether the id of row `skip` of the piece, the corpus's first, is a string: every other id
    must then be one too, or an integer if it is not. None without ids, or when that row cannot
    be read (the run then fails there)."""
    if fields.id is None:
        return None
    try:
        for _, ids in read_rows(piece, fields, skip, 1, 1, IdType()):
            return isinstance(ids[0], str) if ids else None
    except RowFailure:
        return None
    return None
