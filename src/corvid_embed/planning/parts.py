"""Parts: what one worker embeds and writes in one go, rows first_row to first_row + rows of the
whole corpus, taken from one or more spans of pieces."""

from dataclasses import dataclass

from corvid_embed.reading.pieces import Piece, rows_label


@dataclass(frozen=True)
class Span:
    """Rows skip to skip + rows of a piece, whose first row is row `first_in_file` of its file."""

    piece: Piece
    first_in_file: int
    skip: int
    rows: int

    def label(self, offset: int | None = None) -> str:
        """The span's rows as messages name them, or the row `offset` rows into it."""
        first = self.first_in_file + self.skip
        if offset is not None:
            return rows_label(self.piece, first + offset)
        return rows_label(self.piece, first, first + self.rows - 1)


@dataclass(frozen=True)
class Part:
    index: int
    first_row: int
    rows: int
    spans: tuple[Span, ...]

    def describe(self) -> str:
        """The rows it holds, as messages name them."""
        return "; ".join(span.label() for span in self.spans)


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
        parts: list[Part] = []
        first_row = 0
        for span in spans:
            parts.append(Part(len(parts), first_row, span.rows, (span,)))
            first_row += span.rows
        return parts
    taken: list[Span] = []
    parts, first_row = [], 0
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
