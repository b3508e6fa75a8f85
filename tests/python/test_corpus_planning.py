"""Planning and reading the inputs: pieces cut anywhere give every line once, in order, with its
line end and a leading byte order mark removed; parts hold runs of rows that the pieces give."""

import gzip
import json
from pathlib import Path

import pytest

from corvid_embed.planning import plan as planning
from corvid_embed.planning.parts import plan_parts
from corvid_embed.planning.plan import COUNT_PIECES, InputFile, count_groups, cut
from corvid_embed.reading.pieces import Fields, IdType
from corvid_embed.reading.rows import count_rows, read_rows

LINES = ["é first", "", "second line", "  spaced  ", "last, no line feed"]


def written(tmp_path: Path, name: str, data: bytes) -> InputFile:
    (tmp_path / name).write_bytes(data)
    return InputFile(str(tmp_path / name), name)


def read_all(inputs: list[InputFile], fields: Fields = Fields(), part_rows: int | None = None) -> list[list[str]]:
    """The texts of each part, read as workers read them."""
    pieces = cut(inputs, fields)
    counts = [rows if rows is not None else count_rows([piece])[0] for piece, rows in pieces]
    planned = plan_parts([piece for piece, _ in pieces], counts, part_rows)
    assert [part.first_row for part in planned] == [sum(p.rows for p in planned[:i]) for i in range(len(planned))]
    return [[text for span in part.spans for texts, _ in read_rows(span.piece, fields, span.skip, span.rows, 2, IdType())
             for text in texts] for part in planned]


@pytest.mark.parametrize("piece_bytes", [1, 2, 3, 5, 8, 13, 1 << 20])
def test_pieces_cut_anywhere_give_each_line_once(tmp_path: Path, monkeypatch: pytest.MonkeyPatch, piece_bytes: int) -> None:
    monkeypatch.setattr(planning, "PIECE_BYTES", piece_bytes)
    text = "\ufeff" + "\r\n".join(LINES)  # BOM, CRLF line ends, none after the last line
    records = "".join(json.dumps({"text": line}) + "\n" for line in LINES)
    inputs = [written(tmp_path, "a.txt", text.encode()), written(tmp_path, "empty.txt", b""),
              written(tmp_path, "bom-only.txt", "\ufeff".encode()), written(tmp_path, "b.jsonl", records.encode()),
              written(tmp_path, "c.txt.gz", gzip.compress(text.encode())),
              written(tmp_path, "bom-only.txt.gz", gzip.compress("\ufeff".encode()))]
    got = read_all(inputs)
    assert sum(got, []) == LINES * 3
    assert sum(read_all(inputs, part_rows=3), []) == LINES * 3


def test_parquet_row_groups_are_the_pieces(tmp_path: Path) -> None:
    pyarrow = pytest.importorskip("pyarrow")
    import pyarrow.parquet

    pyarrow.parquet.write_table(pyarrow.table({"text": LINES, "id": range(5)}), tmp_path / "t.parquet", row_group_size=2)
    inputs = [InputFile(str(tmp_path / "t.parquet"), "t.parquet")]
    assert len(cut(inputs, Fields())) == 3
    assert read_all(inputs, Fields(id="id"), part_rows=4) == [LINES[:4], LINES[4:]]


@pytest.mark.parametrize("pieces, capacity", [(0, 4), (1, 4), (3, 4), (26, 4), (64, 1), (65, 1), (10_000, 4), (129, 200)])
def test_counting_groups_cover_every_piece_once_and_spread_over_the_workers(pieces: int, capacity: int) -> None:
    groups = count_groups(list(range(pieces)), capacity)
    assert sum(groups, []) == list(range(pieces))
    assert all(0 < len(group) <= COUNT_PIECES for group in groups)
    assert len(groups) >= min(pieces, capacity)
