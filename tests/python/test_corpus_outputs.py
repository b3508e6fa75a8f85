"""Outputs: an empty corpus and an existing output, every file given its final name only once its
bytes are on disk, and a join that takes only parts that hold the rows it expects."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from corpus_models import TEXTS, write_model_dir
from corvid_embed import EmbedError, embed_files
from corvid_embed.writing.npy import join_npy
from exact_raises import raises_exactly
from test_corpus import assert_same_bits, per_text_loop
from test_corpus_files import read_output


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory: pytest.TempPathFactory) -> str:
    return str(write_model_dir(tmp_path_factory.mktemp("model")))


@pytest.mark.parametrize(("output", "options"), [("out.npy", {}), ("out.parquet", {}), ("shards", {"shard_rows": 4}),
                                                 ("shards", {"shard_rows": 4, "format": "parquet"})])
def test_an_empty_corpus_gives_an_output_of_no_rows(model_dir: str, tmp_path: Path, output: str, options: dict) -> None:
    pytest.importorskip("pyarrow")
    (tmp_path / "empty.txt").touch()
    embed_files(model_dir, [str(tmp_path / "empty.txt")], str(tmp_path / output), **options)
    if output == "shards":
        assert sorted(p.name for p in (tmp_path / output).iterdir()) == ["manifest.json"]
    else:
        assert read_output(tmp_path / output).shape == (0, 8)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["empty.txt", output])


def test_an_existing_output_is_replaced_whole(model_dir: str, tmp_path: Path) -> None:
    corpus = tmp_path / "in.txt"
    for texts in (TEXTS, TEXTS[:2]):
        corpus.write_text("\n".join(texts) + "\n", encoding="utf-8")
        embed_files(model_dir, [str(corpus)], str(tmp_path / "out.npy"))
    assert_same_bits(np.load(tmp_path / "out.npy"), per_text_loop(model_dir, TEXTS[:2]))


@pytest.mark.parametrize(("output", "options", "finals"), [
    ("out.npy", {}, ["out.npy"]),
    ("out.parquet", {}, ["out.parquet"]),
    ("shards", {"shard_rows": 4}, ["shards/part-00000.npy", "shards/part-00001.npy", "shards/manifest.json"]),
])
def test_every_file_is_synced_before_its_rename(model_dir: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                output: str, options: dict, finals: list[str]) -> None:
    pytest.importorskip("pyarrow")
    corpus = tmp_path / "in.txt"
    corpus.write_text("\n".join(TEXTS) + "\n", encoding="utf-8")
    synced: list[str] = []
    renamed: list[tuple[str, str]] = []
    fsync, replace = os.fsync, os.replace

    def recording_fsync(descriptor: int) -> None:
        fsync(descriptor)
        synced.append(os.readlink(f"/proc/self/fd/{descriptor}"))

    def recording_replace(source: os.PathLike, destination: os.PathLike) -> None:
        # Synced, and not written since: the last sync of the file comes after its last write.
        assert os.fspath(source) in synced, f"{source} renamed unsynced"
        replace(source, destination)
        renamed.append((os.fspath(source), os.fspath(destination)))

    monkeypatch.setattr(os, "fsync", recording_fsync)
    monkeypatch.setattr(os, "replace", recording_replace)
    embed_files(model_dir, [str(corpus)], str(tmp_path / output), **options)
    assert {str(tmp_path / name) for name in finals} <= {destination for _, destination in renamed}


@pytest.mark.parametrize(("part", "message"), [
    (np.zeros((2, 3), np.float32), "{part} does not hold float32 rows of 4 columns"),
    (np.zeros((2, 4), np.float64), "{part} does not hold float32 rows of 4 columns"),
    (np.zeros((2, 4), np.float32, order="F"), "{part} does not hold float32 rows of 4 columns"),
    (np.zeros(8, np.float32), "{part} does not hold float32 rows of 4 columns"),
    (np.zeros((1, 4), np.float32), "the parts of out.npy do not hold its rows"),
], ids=["other columns", "float64", "Fortran order", "one-dimensional", "fewer rows"])
def test_a_join_refuses_a_part_that_does_not_hold_its_rows(tmp_path: Path, part: np.ndarray, message: str) -> None:
    np.save(tmp_path / "good.npy", np.ones((2, 4), np.float32))
    np.save(tmp_path / "bad.npy", part)
    (tmp_path / "joined.npy").touch()
    with raises_exactly(EmbedError, message.format(part=tmp_path / "bad.npy")):
        join_npy([tmp_path / "good.npy", tmp_path / "bad.npy"], tmp_path / "joined.npy", 4, 4, "float32", "out.npy")


def test_a_parquet_output_of_more_parts_than_open_files_is_joined(model_dir: str, tmp_path: Path) -> None:
    # A piece of 8 bytes a part: about 1,000 parts, against at most 200 files open at once.
    corpus = tmp_path / "in.txt"
    corpus.write_text("crow\n" * 1_500)
    limited = ("import resource; from corvid_embed.planning import plan; from corvid_embed.command import main\n"
               "plan.PIECE_BYTES = 8\nresource.setrlimit(resource.RLIMIT_NOFILE, (200, 200))\nmain()\n")
    run = subprocess.run([sys.executable, "-c", limited, model_dir, str(corpus), "-o", str(tmp_path / "out.parquet"),
                          "--quiet"], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stderr) == (0, "")
    assert_same_bits(read_output(tmp_path / "out.parquet"), per_text_loop(model_dir, ["crow"] * 1_500))


@pytest.mark.parametrize("output", ["out.parquet", "out.npy", "shards"])
def test_paths_that_are_not_utf8_read_and_write_as_any_other(model_dir: str, tmp_path: Path, output: str) -> None:
    pyarrow = pytest.importorskip("pyarrow")
    import pyarrow.parquet

    directory = tmp_path / os.fsdecode(b"caf\xe9")
    directory.mkdir()
    pyarrow.parquet.write_table(pyarrow.table({"text": TEXTS}), tmp_path / "in.parquet")
    (tmp_path / "in.parquet").rename(directory / "in.parquet")
    embed_files(model_dir, [str(directory / "in.parquet")], str(directory / output),
                shard_rows=3 if output == "shards" else None, format="npy" if output == "out.npy" else "parquet")
    assert_same_bits(read_output(directory / output), per_text_loop(model_dir, TEXTS))
