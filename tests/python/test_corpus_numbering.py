"""Planning and numbering as properties: text, JSON Lines and Parquet files of random lengths, cut
into pieces of random sizes and parts of random row counts, give every row once and in order;
each part names its rows as messages show them; and a bad row anywhere is reported at its file
and line (or Parquet row), whatever the cut and the batch size.

The truth is computed here from the files' own lines: a text line belongs to the piece in which
it begins, a Parquet row to its row group."""

import json
from dataclasses import dataclass
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from corpus_models import write_model_dir
from corvid_embed import EmbedError, embed_files
from corvid_embed.planning import plan as planning
from corvid_embed.planning.parts import plan_parts
from corvid_embed.planning.plan import InputFile, cut
from corvid_embed.reading.pieces import Fields, IdType
from corvid_embed.reading.rows import count_rows, read_rows
from exact_raises import raises_exactly

pyarrow = pytest.importorskip("pyarrow")
import pyarrow.parquet  # noqa: E402

WORDS = ["crow", "raven", "the", "a", "rook", "jackdaw", "über", "12"]
# What a bad row is in each kind of file, and the reason its message gives.
BAD_ROWS = {"txt": (b"\xffcrow", "not valid UTF-8 (invalid start byte at byte 1)"),
            "jsonl": (b"[]", "not a JSON object but an array"),
            "parquet": (None, "field 'text' is null")}


@dataclass
class Corpus:
    kind: str
    lines: list[str | None]  # None: the bad row
    line_end: str  # "\n" or "\r\n"
    last_line_end: bool
    row_group: int  # Parquet rows a row group


lines = st.lists(st.lists(st.sampled_from(WORDS), max_size=4).map(" ".join), max_size=12)
corpora = st.builds(Corpus, st.sampled_from(["txt", "jsonl", "parquet"]), lines, st.sampled_from(["\n", "\r\n"]),
                    st.booleans(), st.integers(1, 5))


def write(path: Path, corpus: Corpus) -> bytes | None:
    """Writes the corpus; for text and JSON Lines returns the file's bytes."""
    if corpus.kind == "parquet":
        pyarrow.parquet.write_table(pyarrow.table({"text": pyarrow.array(corpus.lines, pyarrow.string())}), path,
                                    row_group_size=corpus.row_group)
        return None
    bad = BAD_ROWS[corpus.kind][0]
    encoded = [bad if line is None else (line if corpus.kind == "txt" else json.dumps({"text": line})).encode()
               for line in corpus.lines]
    end = corpus.line_end.encode()
    # Without a final line end, a last empty line would not be a line at all.
    last_end = corpus.last_line_end or not encoded or encoded[-1] == b""
    data = end.join(encoded) + (end if encoded and last_end else b"")
    path.write_bytes(data)
    return data


def row_places(corpus: Corpus, data: bytes | None, piece_bytes: int) -> list[int]:
    """The piece of each row of a file: the byte piece in which its line begins, or its row group."""
    if data is None:
        return [row // corpus.row_group for row in range(len(corpus.lines))]
    starts = [0] + [index + 1 for index, byte in enumerate(data) if byte == ord("\n")]
    return [start // piece_bytes for start in starts[:len(corpus.lines)]]


def expected_descriptions(files: list[tuple[str, Corpus, list[int]]], part_rows: int | None) -> list[str]:
    """How each part names its rows: runs of one piece, "NAME, lines A to B" counted from 1 or
    "NAME, rows A to B" counted from 0, joined by "; "."""
    rows = [(name, corpus.kind, number, piece) for name, corpus, pieces in files
            for number, piece in enumerate(pieces)]
    if part_rows is None:
        groups: list[list[tuple]] = []
        for row in rows:
            if groups and groups[-1][-1][0] == row[0] and groups[-1][-1][3] == row[3]:
                groups[-1].append(row)
            else:
                groups.append([row])
    else:
        groups = [rows[start:start + part_rows] for start in range(0, len(rows), part_rows)]

    def describe(group: list[tuple]) -> str:
        runs: list[list[tuple]] = []
        for row in group:
            if runs and (runs[-1][-1][0], runs[-1][-1][3]) == (row[0], row[3]):
                runs[-1].append(row)
            else:
                runs.append([row])
        return "; ".join(f"{run[0][0]}, rows {run[0][2]} to {run[-1][2]}" if run[0][1] == "parquet"
                         else f"{run[0][0]}, lines {run[0][2] + 1} to {run[-1][2] + 1}" for run in runs)

    return [describe(group) for group in groups]


@given(corpora=st.lists(corpora, min_size=1, max_size=3), piece_bytes=st.integers(1, 80),
       part_rows=st.none() | st.integers(1, 10), batch_size=st.integers(1, 4))
def test_every_row_is_read_once_and_each_part_names_its_rows(
        tmp_path_factory: pytest.TempPathFactory, corpora: list[Corpus], piece_bytes: int, part_rows: int | None,
        batch_size: int) -> None:
    directory = tmp_path_factory.mktemp("numbering")
    files = []
    for number, corpus in enumerate(corpora):
        path = directory / f"{number}.{corpus.kind}"
        files.append((str(path), corpus, row_places(corpus, write(path, corpus), piece_bytes)))
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(planning, "PIECE_BYTES", piece_bytes)
        pieces = cut([InputFile(name, name) for name, _, _ in files], Fields())
    counts = [rows if rows is not None else count_rows([piece])[0] for piece, rows in pieces]
    planned = plan_parts([piece for piece, _ in pieces], counts, part_rows)
    read = [[text for span in part.spans
             for texts, _ in read_rows(span.piece, Fields(), span.skip, span.rows, batch_size, IdType()) for text in texts]
            for part in planned]
    assert sum(read, []) == [line for _, corpus, _ in files for line in corpus.lines]
    assert [part.describe() for part in planned] == expected_descriptions(files, part_rows)
    assert [(part.first_row, part.rows) for part in planned] == \
        [(sum(map(len, read[:index])), len(rows)) for index, rows in enumerate(read)]


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory: pytest.TempPathFactory) -> str:
    return str(write_model_dir(tmp_path_factory.mktemp("model")))


@given(corpora=st.lists(corpora, min_size=1, max_size=3), piece_bytes=st.integers(1, 80),
       part_rows=st.none() | st.integers(1, 10), batch_size=st.integers(1, 4), data=st.data())
def test_a_bad_row_is_reported_at_its_file_and_line(
        model_dir: str, tmp_path_factory: pytest.TempPathFactory, corpora: list[Corpus], piece_bytes: int,
        part_rows: int | None, batch_size: int, data: st.DataObject) -> None:
    bad_file = data.draw(st.integers(0, len(corpora) - 1))
    corpus = corpora[bad_file]
    bad_row = data.draw(st.integers(0, len(corpus.lines)))
    corpus.lines.insert(bad_row, None)
    directory = tmp_path_factory.mktemp("bad-row")
    paths = [directory / f"{number}.{corpus.kind}" for number, corpus in enumerate(corpora)]
    for path, each in zip(paths, corpora):
        write(path, each)
    label = f"row {bad_row}" if corpus.kind == "parquet" else f"line {bad_row + 1}"
    output = directory / "out"
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(planning, "PIECE_BYTES", piece_bytes)
        with raises_exactly(EmbedError, f"{paths[bad_file]}, {label}: {BAD_ROWS[corpus.kind][1]}"):
            embed_files(model_dir, [str(path) for path in paths], str(output), shard_rows=part_rows,
                        batch_size=batch_size)
