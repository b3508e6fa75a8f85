"""embed_files and the corvid-embed command on files: every input kind, output kind and worker
count gives the per-text loop's rows bit for bit; interrupted shards resume; the refusals."""

import json
from pathlib import Path

import numpy as np
import pytest

from corpus_models import COMPRESSORS, TEXTS, write_model_dir
from corvid_embed import api, corpus_run, embed_files
from corvid_embed.planning import plan as planning
from corvid_embed.running import progress
from test_corpus import assert_same_bits, per_text_loop

pyarrow = pytest.importorskip("pyarrow")
import pyarrow.parquet  # noqa: E402

CORPUS = [f"{text} {n}" for n in range(4) for text in TEXTS]


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory: pytest.TempPathFactory) -> str:
    return str(write_model_dir(tmp_path_factory.mktemp("model")))


def write_inputs(directory: Path, texts: list[str]) -> dict[str, Path]:
    """The texts as a text file, JSON Lines (with ids) and Parquet (row groups of 5); text and JSON
    Lines compressed; Parquet of other string types and of a dotted column name."""
    paths = {kind: directory / f"corpus.{kind}" for kind in ("txt", "jsonl", "parquet")}
    paths["txt"].write_text("\n".join(texts) + "\n", encoding="utf-8")
    paths["jsonl"].write_text("".join(json.dumps({"text": t, "key": f"k{n}"}) + "\n" for n, t in enumerate(texts)))
    pyarrow.parquet.write_table(pyarrow.table({"text": texts, "key": range(len(texts))}), paths["parquet"],
                                row_group_size=5)
    # The texts stored as Arrow stores strings otherwise, and beside a struct whose field has the
    # text column's dotted name.
    others = {"large_string": pyarrow.array(texts, pyarrow.large_string()),
              "dictionary": pyarrow.array(texts).dictionary_encode(),
              "string_view": pyarrow.array(texts, pyarrow.string_view())}
    for kind, column in others.items():
        paths[kind] = directory / f"{kind}.parquet"
        pyarrow.parquet.write_table(pyarrow.table({"text": column}), paths[kind], row_group_size=5)
    for kind, compression in (("txt", "gz"), ("jsonl", "bz2"), ("txt", "xz"), ("jsonl", "zst")):
        paths[f"{kind}.{compression}"] = directory / f"corpus.{kind}.{compression}"
        with COMPRESSORS[compression](paths[f"{kind}.{compression}"], "wb") as file:
            file.write(paths[kind].read_bytes())
    paths["dotted"] = directory / "dotted.parquet"
    pyarrow.parquet.write_table(pyarrow.table({"a": [{"b": "not this"}] * len(texts), "a.b": texts}), paths["dotted"])
    return paths


def read_output(output: Path) -> np.ndarray:
    """The rows of a .npy file, a Parquet file or a directory of shards (checking their ids)."""
    if output.is_dir():
        manifest = json.loads((output / "manifest.json").read_text())
        assert manifest["complete"] and [s["first_row"] for s in manifest["shards"]] == \
            [sum(s["rows"] for s in manifest["shards"][:i]) for i in range(len(manifest["shards"]))]
        return np.concatenate([read_output(output / shard["path"]) for shard in manifest["shards"]])
    if output.suffix == ".npy":
        return np.load(output)
    with open(output, "rb") as file:  # a path that need not be UTF-8
        table = pyarrow.parquet.read_table(file)
    assert str(table.schema.field("embedding").type) in ("fixed_size_list<element: float>[8]",
                                                         "fixed_size_list<element: halffloat>[8]")
    return table.column("embedding").combine_chunks().flatten().to_numpy().reshape(-1, 8)


CASES = {  # inputs, output, options
    "text to npy, 2 workers": (["txt"], "out.npy", {"workers": 2}),
    "JSON Lines to Parquet with ids": (["jsonl"], "out.parquet", {"id_field": "key"}),
    "Parquet to npy shards, 2 workers": (["parquet"], "shards", {"shard_rows": 7, "workers": 2}),
    "large_string Parquet to npy": (["large_string"], "out.npy", {}),
    "dictionary and string_view Parquet to npy": (["dictionary", "string_view"], "out.npy", {}),
    "a dotted column name to npy": (["dotted"], "out.npy", {"field": "a.b"}),
    "all three to Parquet shards": (["txt", "jsonl", "parquet"], "shards", {"shard_rows": 10, "format": "parquet"}),
    "Parquet to Parquet, 2 workers, unnormalised": (["parquet"], "out.parquet", {"workers": 2, "normalize": False}),
    "compressed text and JSON Lines to shards, 2 workers": (["txt.gz", "jsonl.bz2", "txt.xz", "jsonl.zst"], "shards",
                                                            {"shard_rows": 7, "workers": 2}),
    **{f"float16 to {name}": (["txt", "parquet"], output, {"dtype": "float16", **options})
       for name, output, options in (("npy", "out.npy", {}), ("Parquet, 2 workers", "out.parquet", {"workers": 2}),
                                     ("npy shards", "shards", {"shard_rows": 7}),
                                     ("Parquet shards", "shards", {"shard_rows": 7, "format": "parquet"}))},
}


@pytest.mark.parametrize("case", CASES)
def test_rows_equal_the_per_text_loop(model_dir: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, case: str) -> None:
    monkeypatch.setattr(planning, "PIECE_BYTES", 100)  # many parts from a small corpus
    kinds, output, options = CASES[case]
    paths = write_inputs(tmp_path, CORPUS)
    embed_files(model_dir, [str(paths[kind]) for kind in kinds], str(tmp_path / output), batch_size=3, **options)
    expected = per_text_loop(model_dir, CORPUS * len(kinds), options.get("normalize", True))
    expected = expected.astype(options.get("dtype", "float32"))  # float16 as numpy rounds
    assert_same_bits(read_output(tmp_path / output), expected)
    if "id_field" in options:
        assert pyarrow.parquet.read_table(tmp_path / output).column("id").to_pylist() == [f"k{n}" for n in range(len(CORPUS))]
    elif output.endswith(".parquet"):
        assert pyarrow.parquet.read_table(tmp_path / output).column("id").to_pylist() == \
            list(range(len(CORPUS) * len(kinds)))
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


@pytest.mark.parametrize(("workers", "mode"), [(1, "log"), (2, "log"), (2, "bar")])
def test_progress_counts_each_text_once_and_the_output_is_written_beside_itself(
        model_dir: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture,
        workers: int, mode: str) -> None:
    monkeypatch.setattr(progress, "LOG_INTERVAL", 0)
    monkeypatch.setattr(api, "progress_mode", lambda wanted: mode)  # a bar where standard error is a terminal
    monkeypatch.setattr(planning, "PIECE_BYTES", 100)
    seen = []

    def watch(*arguments, **options):  # type: ignore[no-untyped-def]
        seen.extend(p.name for p in tmp_path.iterdir() if p.name.endswith(".part"))
        return original(*arguments, **options)

    original = corpus_run.watch
    monkeypatch.setattr(corpus_run, "watch", watch)
    path = write_inputs(tmp_path, CORPUS)["txt"]
    embed_files(model_dir, [str(path)], str(tmp_path / "out.npy"), batch_size=2, progress=True, workers=workers)
    assert seen and seen[0].startswith(".out.npy.")  # renamed within its file system
    counts = []
    for line in capsys.readouterr().err.replace("\r", "\n").splitlines():
        if mode == "log":
            done, total = line.removeprefix("corvid-embed: ").split(" texts, ")[0].split(" of ")
        elif line:  # "  40%|####      | 12/30 [00:00<00:00, ...]"
            done, total = line.split(" [")[0].rsplit("| ", 1)[1].split("/")
        else:
            continue
        counts.append((int(done), int(total)))
    assert counts[-1] == (len(CORPUS), len(CORPUS))
    assert counts == sorted(counts) and {total for _, total in counts} == {len(CORPUS)}
