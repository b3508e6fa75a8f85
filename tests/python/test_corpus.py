"""embed_texts and the corvid-embed command: results equal to the per-text loop bit for bit, in
this process, in worker processes and on a Dask cluster; the command's failures."""

import bz2
import gzip
import json
import lzma
import os
import shutil
import tempfile
import zlib
from compression import zstd
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import pyarrow.parquet
from tokenizers import Tokenizer

from corpus_models import COMPRESSORS, TEXTS, wordpiece_tokenizer, write_model_dir
from generate_model import write_model
from exact_raises import raises_exactly
from corvid_embed import EmbedError, embed_files, embed_texts
from corvid_embed.embedding.model_files import model_files
from corvid_embed.writing.manifest import run_settings
from corvid_py import StaticEmbedding

COMMAND = [sys.executable, "-m", "corvid_embed"]


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory: pytest.TempPathFactory) -> str:
    return str(write_model_dir(tmp_path_factory.mktemp("model")))


def per_text_loop(model_dir: str, texts: list[str], normalize: bool = True) -> np.ndarray:
    tokenizer = Tokenizer.from_file(f"{model_dir}/tokenizer.json")
    model = StaticEmbedding(model_dir, normalize)
    return np.array([model.embed_tokens(tokenizer.encode(text).ids) for text in texts], np.float32)


def assert_same_bits(got: np.ndarray, expected: np.ndarray) -> None:
    assert got.dtype == expected.dtype and got.shape == expected.shape
    assert got.tobytes() == expected.tobytes()


@pytest.mark.parametrize(("workers", "normalize", "batch_size", "dtype"),
                         [(1, True, 1024, "float32"), (2, False, 2, "float32"), (2, True, 3, "float16")])
def test_embed_texts_equals_the_per_text_loop(model_dir: str, workers: int, normalize: bool, batch_size: int,
                                              dtype: str) -> None:
    texts = TEXTS * 3
    got = embed_texts(model_dir, texts, normalize=normalize, workers=workers, batch_size=batch_size, dtype=dtype)
    assert_same_bits(got, per_text_loop(model_dir, texts, normalize).astype(dtype))  # float16 as numpy rounds


def test_empty_text_without_special_tokens_gives_nan(tmp_path: Path) -> None:
    rows = embed_texts(str(write_model_dir(tmp_path, specials=False)), ["", "crow"])
    assert np.isnan(rows[0]).all() and not np.isnan(rows[1]).any()


def test_embed_texts_of_nothing_has_the_model_columns(model_dir: str) -> None:
    assert embed_texts(model_dir, iter([])).shape == (0, 8)


def test_dask_cluster_gives_the_same_rows(model_dir: str, tmp_path: Path) -> None:
    distributed = pytest.importorskip("distributed")
    # Any free port for the dashboard: the default one may be taken by a run beside this one, and
    # the warning that the cluster moved elsewhere would fail the test.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        expected = per_text_loop(model_dir, TEXTS * 2)
        assert_same_bits(embed_texts(model_dir, TEXTS * 2, scheduler=client, batch_size=3), expected)
        output = tmp_path / "out.npy"
        (tmp_path / "in.txt").write_text("\n".join(TEXTS * 2) + "\n", encoding="utf-8")
        run = subprocess.run([*COMMAND, model_dir, str(tmp_path / "in.txt"), "-o", str(output),
                              "--scheduler", cluster.scheduler_address, "--batch-size", "3"],
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        assert_same_bits(np.load(output), expected)


@pytest.mark.parametrize("compression", [None, "gz", "bz2", "xz", "zst"])
def test_command_reads_standard_input_and_writes_the_rows(model_dir: str, tmp_path: Path, compression: str | None) -> None:
    output = tmp_path / "out.npy"
    spool = tmp_path / "tmp"
    spool.mkdir()
    text = "\r\n".join(TEXTS).encode()  # CRLF line ends, no line end after the last line
    if compression is not None:  # known by its first bytes
        with COMPRESSORS[compression](tmp_path / "in", "wb") as file:
            file.write(text)
        text = (tmp_path / "in").read_bytes()
        (tmp_path / "in").unlink()
    run = subprocess.run([str(Path(sys.executable).parent / "corvid-embed"), model_dir, "-", "-o", str(output),
                          "--workers", "2", "--no-normalize"],
                         input=text, capture_output=True, timeout=120, env={**os.environ, "TMPDIR": str(spool)})
    assert (run.returncode, run.stderr) == (0, b"")  # no progress bar where stderr is no terminal
    assert_same_bits(np.load(output), per_text_loop(model_dir, TEXTS, normalize=False))
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["out.npy", "tmp"]  # the copy is gone


def test_embed_texts_names_the_failing_text(tmp_path: Path) -> None:
    model_dir = str(write_model_dir(tmp_path, rows=10))
    outside = next(i for i in Tokenizer.from_file(f"{model_dir}/tokenizer.json").encode("crow").ids if i >= 10)
    with raises_exactly(EmbedError, f"texts[1]: token id {outside} is outside the model's table of 10 rows"):
        embed_texts(model_dir, ["", "crow", *[""] * 20], workers=2, batch_size=1)  # later batches still queued


class Misnumbered(list):
    """Texts whose len() is not their number."""

    def __init__(self, texts: list[str], length: int) -> None:
        super().__init__(texts)
        self.length = length

    def __len__(self) -> int:
        return self.length


# Each case: the function, the arguments that differ from a good call, the exception and its message.
BAD_ARGUMENTS = {
    "texts as bytes": (embed_texts, {"texts": b"crow"}, TypeError, "texts must be an iterable of str, not bytes"),
    "a text not a str": (embed_texts, {"texts": ["crow", 7]}, TypeError, "texts[1] must be str, not int"),
    "more texts than len()": (embed_texts, {"texts": Misnumbered(["crow", "bird"], 1)}, ValueError,
                              "texts gave more texts than its len(), 1"),
    "fewer texts than len()": (embed_texts, {"texts": Misnumbered(["crow", "bird"], 3)}, ValueError,
                               "texts gave 2 texts, not its len(), 3"),
    "normalize not a bool": (embed_texts, {"normalize": 1}, TypeError, "normalize must be a bool, not int"),
    "workers a str": (embed_texts, {"workers": "2"}, TypeError, "workers must be an int, not str"),
    "no workers": (embed_texts, {"workers": 0}, ValueError, "workers must be from 1 to 1024, not 0"),
    "batches of nothing": (embed_texts, {"batch_size": 0}, ValueError, "batch_size must be from 1 to 1048576, not 0"),
    "inputs a str": (embed_files, {"inputs": "in.txt"}, TypeError, "inputs must be a list of paths (str)"),
    "an input not a path": (embed_files, {"inputs": ["in.txt", 7]}, TypeError, "inputs must be a list of paths (str)"),
    "output not a str": (embed_files, {"output": 7}, TypeError, "output must be str, not int"),
    "no workers for files": (embed_files, {"workers": 0}, ValueError, "workers must be from 1 to 1024, not 0"),
    "too many workers": (embed_files, {"workers": 1025}, ValueError, "workers must be from 1 to 1024, not 1025"),
    "file batches of nothing": (embed_files, {"batch_size": 0}, ValueError,
                                "batch_size must be from 1 to 1048576, not 0"),
    "shards of nothing": (embed_files, {"shard_rows": 0}, ValueError, "shard_rows must be at least 1, not 0"),
    "resume not a bool": (embed_files, {"resume": "yes"}, TypeError, "resume must be a bool, not str"),
    "unknown format": (embed_files, {"format": "csv"}, ValueError, "format must be one of npy, parquet, not 'csv'"),
    "no inputs": (embed_files, {"inputs": []}, EmbedError, "no input given"),
    "unknown dtype": (embed_files, {"dtype": "float64"}, ValueError, "dtype must be one of float32, float16, not 'float64'"),
    "unknown dtype for texts": (embed_texts, {"dtype": "int8"}, ValueError,
                                "dtype must be one of float32, float16, not 'int8'"),
    "field not a str": (embed_files, {"field": 7}, TypeError, "field must be str, not int"),
    "resume without shards": (embed_files, {"resume": True}, EmbedError,
                              "resume needs shard_rows: only shards can be resumed"),
    "ids into a .npy file": (embed_files, {"id_field": "key"}, EmbedError,
                             "id_field needs format='parquet': a .npy file has no ids"),
}


@pytest.mark.parametrize("case", BAD_ARGUMENTS)
def test_bad_arguments_raise_before_anything_runs(model_dir: str, tmp_path: Path, case: str) -> None:
    function, changes, error, message = BAD_ARGUMENTS[case]
    good = {"texts": ["crow"]} if function is embed_texts else \
        {"inputs": [str(tmp_path / "in.txt")], "output": str(tmp_path / "out.npy")}
    with raises_exactly(error, message):
        function(model_dir, **{**good, **changes})
    assert list(tmp_path.iterdir()) == []


DECOMPRESSORS = {"gz": lambda: zlib.decompressobj(31), "bz2": bz2.BZ2Decompressor, "xz": lzma.LZMADecompressor,
                 "zst": zstd.ZstdDecompressor}


def stream_failure(path: Path) -> tuple[int, str]:
    """The lines whole in the readable beginning of a broken stream, as one decompressor call
    gives it, and how the standard library's reader says it is broken."""
    compression = path.suffix[1:]
    try:
        prefix_lines = DECOMPRESSORS[compression]().decompress(path.read_bytes()).count(b"\n")
    except Exception:
        prefix_lines = 0  # broken from its first bytes
    try:
        with COMPRESSORS[compression](path, "rb") as file:
            file.read()
    except Exception as error:
        return prefix_lines, " ".join(str(error).split()) or type(error).__name__
    return prefix_lines, ""


def weights(kind: str) -> bytes:
    header = {"html": b"<!DOCTYPE html><html><body>Not found</body></html>",
              "LFS pointer": b"version git-lfs v1\noid sha256:4d7a\nsize 1234\n",
              "empty": b"", "three-dimensional": b"", "truncated": b"", "deep": b""}[kind]
    if kind == "three-dimensional":
        meta = b'{"t":{"dtype":"F32","shape":[1,2,2],"data_offsets":[0,16]}}'
        return len(meta).to_bytes(8, "little") + meta + bytes(16)
    if kind == "deep":  # a header the Python check reads, but nested deeper than the module allows
        meta = b'{"__metadata__": ' + b"[" * 200 + b"]" * 200 + b', "t": {"dtype": "F32", "shape": [10, 8], ' \
            b'"data_offsets": [0, 320]}}'
        return len(meta).to_bytes(8, "little") + meta + bytes(320)
    if kind == "truncated":
        meta = b'{"t":{"dtype":"F32","shape":[10,8],"data_offsets":[0,320]}}'
        return len(meta).to_bytes(8, "little") + meta + bytes(100)
    return header


COMPLETE = "is not a complete weights file (truncated, empty, a Git LFS pointer or a saved web page?)"
# Each case's arguments (`d` makes a name of the test's directory) and the whole message after
# "corvid-embed: error: ", in which {d} stands for that directory and {id} for the first id of
# "the crow" outside a table of 10 rows.
FAILURES = {
    "model directory missing": (lambda d: ["missing", "in.txt"],
                                "cannot read {d}/missing/model.safetensors: No such file or directory"),
    "tokenizer missing": (lambda d: [d("no-tokenizer"), "in.txt"], "tokenizer.json not found in {d}/no-tokenizer"),
    "tokenizer invalid": (lambda d: [d("bad-tokenizer"), "in.txt"],
                          "{d}/bad-tokenizer/tokenizer.json is not a valid tokenizer file: {tokenizer_error}"),
    **{f"weights {kind}": (lambda d, kind=kind: [d(kind), "in.txt", "--workers", "2"],
                           f"{{d}}/{kind}/model.safetensors {COMPLETE}")
       for kind in ("empty", "truncated", "LFS pointer", "html")},
    "weights the module refuses": (lambda d: [d("deep"), "in.txt", "late.txt", "--workers", "2"],
                                   "cannot load the model in {d}/deep: {module_error}"),
    "weights the module refuses, one process": (lambda d: [d("deep"), "in.txt"],
                                                "cannot load the model in {d}/deep: {module_error}"),
    "weights without a table": (lambda d: [d("three-dimensional"), "in.txt"],
                                "{d}/three-dimensional/model.safetensors holds no two-dimensional tensor"),
    "input missing": (lambda d: [d("model"), "missing.txt"], "cannot read missing.txt: No such file or directory"),
    # Parts of the later inputs are still queued when the first part fails: they never start.
    "line not UTF-8": (lambda d: [d("model"), "latin1.txt", "in.txt", "late.txt"],
                       "latin1.txt, line 2: not valid UTF-8 (unexpected end of data at byte 4)"),
    "line not UTF-8 in a Parquet output": (lambda d: [d("model"), "latin1.txt", "-o", "out.parquet", "--batch-size", "1"],
                                           "latin1.txt, line 2: not valid UTF-8 (unexpected end of data at byte 4)"),
    "JSON line not UTF-8": (lambda d: [d("model"), "latin1.jsonl"],
                            "latin1.jsonl, line 2: not valid UTF-8 (invalid continuation byte at byte 14)"),
    "output unwritable": (lambda d: [d("model"), "in.txt", "-o", "no-dir/out.npy"],
                          "cannot write {d}/no-dir/out.npy: No such file or directory"),
    "output is an input": (lambda d: [d("model"), "in.txt", "-o", "in.txt"], "the output in.txt is the input in.txt"),
    "output is a later input": (lambda d: [d("model"), "in.txt", "late.txt", "-o", "late.txt"],
                                "the output late.txt is the input late.txt"),
    "output is a directory": (lambda d: [d("model"), "in.txt", "-o", "model"], "the output model is not a regular file"),
    "output ends in /": (lambda d: [d("model"), "in.txt", "-o", "new/"], "the output new/ ends in /, but a file is expected"),
    "output below a file": (lambda d: [d("model"), "in.txt", "-o", "late.txt/out.npy"],
                            "cannot write late.txt/out.npy: Not a directory"),
    "shards below a file": (lambda d: [d("model"), "in.txt", "-o", "late.txt/shards", "--shard-rows", "2"],
                            "cannot write {d}/late.txt/shards: Not a directory"),
    "output is -": (lambda d: [d("model"), "in.txt", "-o", "-"], "the output must be a file path, not '-'"),
    "output is empty": (lambda d: [d("model"), "in.txt", "-o", ""], "the output must be a file path, not ''"),
    "shard directory is empty": (lambda d: [d("model"), "in.txt", "-o", "", "--shard-rows", "2"],
                                 "the output must be a directory path, not ''"),
    # The first failing line in input order, whichever worker finds it first, in any batch.
    "id outside the table": (lambda d: [d("small"), "in.txt", "late.txt", "--workers", "2", "--batch-size", "2"],
                             "in.txt, line 5: token id {id} is outside the model's table of 10 rows"),
    "id outside the table, one process": (lambda d: [d("small"), "in.txt", "late.txt"],
                                          "in.txt, line 5: token id {id} is outside the model's table of 10 rows"),
    "field missing": (lambda d: [d("model"), "in.jsonl"], "in.jsonl, line 2: no field 'text'"),
    "field not a string": (lambda d: [d("model"), "in.jsonl", "--field", "n"],
                           "in.jsonl, line 1: field 'n' is a number, not a string"),
    "line not JSON": (lambda d: [d("model"), "broken.jsonl"],
                      "broken.jsonl, line 1: not a JSON object (Expecting ',' delimiter: line 1 column 14 (char 13))"),
    "line not an object": (lambda d: [d("model"), "in.jsonl", "--field", "t"],
                           "in.jsonl, line 3: not a JSON object but an array"),
    "id a boolean": (lambda d: [d("model"), "in.jsonl", "--id-field", "b", "-o", "out.parquet"],
                     "in.jsonl, line 1: id field 'b' is a boolean, not an integer or a string"),
    "id missing": (lambda d: [d("model"), "in.jsonl", "--field", "t", "--id-field", "n", "-o", "out.parquet"],
                   "in.jsonl, line 2: no field 'n'"),
    "id past 64 bits": (lambda d: [d("model"), "in.jsonl", "--id-field", "big", "-o", "out.parquet"],
                        "in.jsonl, line 1: id field 'big' does not fit in 64 bits"),
    "id types mixed in a part": (lambda d: [d("model"), "ids.jsonl", "--id-field", "mixed", "-o", "out.parquet"],
                                 "ids.jsonl, line 2: id field 'mixed' holds a string after integers"),
    "id types mixed across files of a part": (lambda d: [d("model"), "ids.jsonl", "keys.parquet", "--id-field", "key",
                                                         "-o", "shards", "--shard-rows", "10", "--format", "parquet"],
                                              "keys.parquet, row 0: id field 'key' holds a string after integers"),
    "id types mixed across parts": (lambda d: [d("model"), "ids.jsonl", "strings.jsonl", "--id-field", "key",
                                               "-o", "out.parquet"],
                                    "strings.jsonl, line 1: id field 'key' holds a string after integers"),
    "ids into a .npy file": (lambda d: [d("model"), "in.jsonl", "--id-field", "n"],
                             "--id-field needs --format parquet: a .npy file has no ids"),
    "ids of text lines": (lambda d: [d("model"), "in.jsonl", "in.txt", "--id-field", "n", "-o", "out.parquet"],
                          "--id-field needs JSON Lines or Parquet inputs, and in.txt is text"),
    "input a directory": (lambda d: [d("model"), "model"], "cannot read model: not a regular file"),
    "not Parquet": (lambda d: [d("model"), "in.parquet"], "in.parquet is not a Parquet file: {parquet_error}"),
    "Parquet column missing": (lambda d: [d("model"), "good.parquet", "--field", "body"],
                               "good.parquet: no column 'body'"),
    "Parquet text not a string": (lambda d: [d("model"), "good.parquet", "--field", "n"],
                                  "good.parquet: column 'n' is int64, not a string"),
    "Parquet id not an integer": (lambda d: [d("model"), "good.parquet", "--id-field", "f", "-o", "out.parquet"],
                                  "good.parquet: column 'f' is double, not an integer or string"),
    "standard input among others": (lambda d: [d("model"), "-", "in.txt"],
                                    "standard input (-) can only be the one input"),
    "standard input resumed": (lambda d: [d("model"), "-", "-o", "shards", "--shard-rows", "2", "--resume"],
                               "standard input cannot be resumed; give the corpus as a file"),
    "shards into a file": (lambda d: [d("model"), "in.txt", "-o", "late.txt", "--shard-rows", "2"],
                           "the output late.txt is not a directory"),
    "shards without --resume": (lambda d: [d("model"), "in.txt", "-o", "done", "--shard-rows", "2"],
                                "{d}/done already holds shards: give --resume to complete them, or another directory"),
    "manifest differs": (lambda d: [d("model"), "in.txt", "-o", "done", "--shard-rows", "3", "--resume"],
                         "cannot resume: {d}/done/manifest.json records other shard_rows (2, not 3)"),
    "--resume without shards": (lambda d: [d("model"), "in.txt", "--resume"],
                                "--resume needs --shard-rows: only shards can be resumed"),
    "standard input closed": (lambda d: [d("model"), "-"], "cannot read standard input: it is closed"),
    "standard input on a cluster": (lambda d: [d("model"), "-", "--scheduler", "tcp://127.0.0.1:1"],
                                    "a Dask cluster's workers cannot read standard input: give a file on a file "
                                    "system that they share"),
    "scheduler unreachable": (lambda d: [d("model"), "in.txt", "--scheduler", "tcp://127.0.0.1:1"],
                              "cannot reach the Dask scheduler tcp://127.0.0.1:1: Timed out trying to connect to "
                              "tcp://127.0.0.1:1 after 10 s"),
    "no pyarrow": (lambda d: [d("model"), "in.txt", "in.parquet"],
                   "Parquet files need pyarrow: pip install 'corvid_py[corpus]'"),
    "JSON nested too deeply": (lambda d: [d("model"), "deep.jsonl", "--workers", "2"],
                               "deep.jsonl, line 2: not a JSON object (nested too deeply)"),
    "JSON line in UTF-16": (lambda d: [d("model"), "utf16.jsonl"],
                            "utf16.jsonl, line 1: not a JSON object (Expecting property name enclosed in double "
                            "quotes: line 1 column 2 (char 1))"),
    "JSON line after a byte order mark": (lambda d: [d("model"), "bom.jsonl"],
                                          "bom.jsonl, line 2: not a JSON object (Unexpected UTF-8 BOM (decode using "
                                          "utf-8-sig): line 1 column 1 (char 0))"),
    "JSON line of surrogate bytes": (lambda d: [d("model"), "surrogate.jsonl"],
                                     "surrogate.jsonl, line 1: not valid UTF-8 (invalid continuation byte at byte 11)"),
    "JSON id a lone surrogate": (lambda d: [d("model"), "ids.jsonl", "--id-field", "lone", "-o", "out.parquet",
                                            "--workers", "2"],
                                 "ids.jsonl, line 1: field 'lone' holds a lone surrogate at character 2"),
    "text and id the same field": (lambda d: [d("model"), "ids.jsonl", "--id-field", "text", "-o", "out.parquet"],
                                   "--id-field and --field name the same field, 'text': a text is not its own id"),
    "Parquet text not UTF-8": (lambda d: [d("model"), "bad.parquet"],
                               "bad.parquet, row 1: field 'text' is not valid UTF-8 (unexpected end of data at byte 4)"),
    "Parquet id past 64 bits": (lambda d: [d("model"), "bad.parquet", "--id-field", "u", "-o", "out.parquet",
                                           "--field", "ok"],
                                "bad.parquet, row 1: id field 'u' does not fit in 64 bits"),
    "Parquet data page corrupt": (lambda d: [d("model"), "corrupt.parquet"],
                                  "cannot read corrupt.parquet, row group 0: {corrupt_error}"),
    "Parquet columns of one name": (lambda d: [d("model"), "twice.parquet"], "twice.parquet: 2 columns are named 'text'"),
    **{f"truncated {compression}": (lambda d, c=compression: [d("model"), f"truncated.txt.{c}", "--workers", "2"],
                                    f"cannot decompress truncated.txt.{compression} past line {{prefix_lines}}: not a "
                                    f"whole {kind} stream ({{stream_error}})")
       for compression, kind in (("gz", "gzip"), ("bz2", "bzip2"), ("xz", "xz"), ("zst", "Zstandard"))},
    "corrupt gzip": (lambda d: [d("model"), "corrupt.txt.gz"],
                     "cannot decompress corrupt.txt.gz past line 0: not a whole gzip stream ({stream_error})"),
    "gzip named .zst": (lambda d: [d("model"), "gzip.txt.zst"],
                        "cannot decompress gzip.txt.zst past line 0: not a whole Zstandard stream ({stream_error})"),
    "empty compressed file": (lambda d: [d("model"), "empty.jsonl.xz"],
                              "cannot decompress empty.jsonl.xz: an empty file is no xz stream"),
    "compressed line 70,000 not UTF-8": (lambda d: [d("model"), "late.txt.gz", "--workers", "2"],
                                         "late.txt.gz, line 70000: not valid UTF-8 (invalid start byte at byte 1)"),
    "compressed JSON line 70,000 not an object": (lambda d: [d("model"), "late.jsonl.zst"],
                                                  "late.jsonl.zst, line 70000: not a JSON object but an array"),
    "no Dask": (lambda d: [d("model"), "in.txt", "--scheduler", "tcp://127.0.0.1:1"],
                "a Dask scheduler needs Dask's distributed package: pip install 'corvid_py[dask]' "
                "(or dask and distributed)"),
}


@pytest.mark.parametrize("case", FAILURES)
def test_command_failure_is_one_line_with_status_1_and_nothing_left(tmp_path: Path, case: str) -> None:
    write_model_dir(tmp_path / "model")
    write_model_dir(tmp_path / "small", rows=10)
    (tmp_path / "no-tokenizer").mkdir()
    (tmp_path / "no-tokenizer" / "model.safetensors").write_bytes((tmp_path / "model" / "model.safetensors").read_bytes())
    write_model_dir(tmp_path / "bad-tokenizer")
    (tmp_path / "bad-tokenizer" / "tokenizer.json").write_text('{"model": {}}')
    for kind in ("empty", "truncated", "LFS pointer", "html", "three-dimensional", "deep"):
        write_model_dir(tmp_path / kind)
        (tmp_path / kind / "model.safetensors").write_bytes(weights(kind))
    (tmp_path / "broken.jsonl").write_text('{"text": "a" "b"}\n')
    lines = "\n".join(TEXTS * 3000).encode() + b"\n"
    for compression in COMPRESSORS:
        with COMPRESSORS[compression](tmp_path / f"whole.{compression}", "wb") as file:
            file.write(lines)
        (tmp_path / f"truncated.txt.{compression}").write_bytes((tmp_path / f"whole.{compression}").read_bytes()[:-20])
        (tmp_path / f"whole.{compression}").unlink()
    with gzip.open(tmp_path / "gzip.txt.zst", "wb") as file:
        file.write(lines)
    (tmp_path / "corrupt.txt.gz").write_bytes(b"\x1f\x8c" + (tmp_path / "gzip.txt.zst").read_bytes()[2:])
    (tmp_path / "empty.jsonl.xz").touch()
    with gzip.open(tmp_path / "late.txt.gz", "wb") as file:
        file.write(b"crow\n" * 69_999 + b"\xffcrow\nrook\n")
    with COMPRESSORS["zst"](tmp_path / "late.jsonl.zst", "wb") as file:
        file.write(b'{"text": "crow"}\n' * 69_999 + b"[]\n")
    (tmp_path / "in.txt").write_text("\n\n\n\nthe crow\n", encoding="utf-8")
    (tmp_path / "in.parquet").write_bytes(b"PAR1")
    (tmp_path / "late.txt").write_text("jackdaw\n", encoding="utf-8")
    (tmp_path / "latin1.txt").write_bytes("crow\ncaf\xe9\n".encode("latin-1"))
    (tmp_path / "in.jsonl").write_text('{"text": "a", "n": 1, "t": "b", "b": true, "big": 9223372036854775808}\n'
                                       '{"t": "c"}\n[]\n')
    (tmp_path / "ids.jsonl").write_text('{"text": "a", "key": 1, "mixed": 1, "lone": "x\\ud800"}\n'
                                        '{"text": "b", "key": 2, "mixed": "x"}\n')
    (tmp_path / "deep.jsonl").write_text('{"text": "a"}\n' + "[" * 100_000 + "]" * 100_000 + "\n")
    (tmp_path / "utf16.jsonl").write_bytes('{"text": "a"}\n'.encode("utf-16-le"))
    (tmp_path / "bom.jsonl").write_bytes(b'{"text": "a"}\n\xef\xbb\xbf{"text": "b"}\n')
    (tmp_path / "surrogate.jsonl").write_bytes(b'{"text": "\xed\xa0\x80"}\n')
    strings = pyarrow.array([b"crow", b"caf\xe9"], pyarrow.binary()).view(pyarrow.string())
    pyarrow.parquet.write_table(pyarrow.table({"text": strings, "ok": ["a", "b"],
                                               "u": pyarrow.array([1, 2**63], pyarrow.uint64())}), tmp_path / "bad.parquet")
    corrupt = bytearray((tmp_path / "bad.parquet").read_bytes())
    corrupt[20:60] = bytes(byte ^ 0xFF for byte in corrupt[20:60])
    (tmp_path / "corrupt.parquet").write_bytes(corrupt)
    pyarrow.parquet.write_table(pyarrow.Table.from_arrays([pyarrow.array(["a"]), pyarrow.array(["b"])],
                                                          names=["text", "text"]), tmp_path / "twice.parquet")
    (tmp_path / "strings.jsonl").write_text('{"text": "a", "key": "k"}\n')
    pyarrow.parquet.write_table(pyarrow.table({"text": ["crow"], "n": [1], "f": [0.5]}), tmp_path / "good.parquet")
    pyarrow.parquet.write_table(pyarrow.table({"text": ["crow"], "key": ["k"]}), tmp_path / "keys.parquet")
    (tmp_path / "latin1.jsonl").write_bytes('{"text": "a"}\n{"text": "café"}\n'.encode("latin-1"))
    (tmp_path / "done").mkdir()
    (tmp_path / "done" / "manifest.json").write_text(json.dumps({**run_settings(
        model_files(str(tmp_path / "model")), [str(tmp_path / "in.txt")],
        {"format": "npy", "dtype": "float32", "columns": 8, "normalize": True, "field": "text", "id_field": None, "id_type": None,
         "shard_rows": 2}),
        "shards": []}))
    arguments, message = FAILURES[case]
    arguments = arguments(lambda name: str(tmp_path / name))
    if "-o" not in arguments:
        arguments += ["-o", "out.npy"]
    before = {path: path.stat().st_mtime_ns for path in tmp_path.rglob("*")}
    blocked = {"no Dask": "distributed", "no pyarrow": "pyarrow"}.get(case)
    prelude = f"import sys; sys.modules['{blocked}'] = None; " if blocked else ""
    run = subprocess.run([sys.executable, "-c", prelude + "from corvid_embed.command import main; main()", *arguments],
                         cwd=tmp_path, capture_output=True, text=True, timeout=60,
                         stdin=subprocess.DEVNULL if case != "standard input closed" else None,
                         preexec_fn=(lambda: os.close(0)) if case == "standard input closed" else None)
    assert run.returncode == 1
    lines = run.stderr.splitlines()
    outside = next(i for i in Tokenizer.from_file(str(tmp_path / "small" / "tokenizer.json")).encode("the crow").ids
                   if i >= 10)
    try:
        Tokenizer.from_file(str(tmp_path / "bad-tokenizer" / "tokenizer.json"))
    except Exception as error:
        tokenizer_error = " ".join(str(error).split())
    try:
        pyarrow.parquet.ParquetFile(tmp_path / "in.parquet")
    except Exception as error:
        parquet_error = " ".join(str(error).split())
    try:
        StaticEmbedding(str(tmp_path / "deep")).embed_tokens([])
    except RuntimeError as error:
        module_error = str(error)
    try:
        for _ in pyarrow.parquet.ParquetFile(tmp_path / "corrupt.parquet").iter_batches(columns=["text"]):
            pass
    except OSError as error:
        corrupt_error = str(error)
    stream = next((argument for argument in arguments if any(argument.endswith(f".{c}") for c in COMPRESSORS)), None)
    prefix_lines, stream_error = stream_failure(tmp_path / stream) if stream else (0, "")
    expected = message.format(d=tmp_path, id=outside, tokenizer_error=tokenizer_error, parquet_error=parquet_error,
                              module_error=module_error, corrupt_error=corrupt_error, prefix_lines=prefix_lines,
                              stream_error=stream_error)
    assert lines == [f"corvid-embed: error: {expected}"], run.stderr
    assert {path: path.stat().st_mtime_ns for path in tmp_path.rglob("*")} == before


def test_a_model_replaced_between_runs_in_one_process_is_loaded_afresh(tmp_path: Path) -> None:
    model_dir = write_model_dir(tmp_path / "model")
    corpus = tmp_path / "in.txt"
    corpus.write_text("\n".join(TEXTS) + "\n", encoding="utf-8")
    embed_texts(str(model_dir), TEXTS)
    for replace in (lambda: write_model(model_dir, rows=200, dim=12, seed=9),  # other rows, wider
                    lambda: wordpiece_tokenizer(specials=False).save(str(model_dir / "tokenizer.json"))):
        replace()
        expected = per_text_loop(str(model_dir), TEXTS)
        assert_same_bits(embed_texts(str(model_dir), TEXTS), expected)
        embed_files(model_dir, (path for path in [corpus]), tmp_path / "out.npy")  # paths, and any iterable
        assert_same_bits(np.load(tmp_path / "out.npy"), expected)


NOBODY = 65534


@pytest.mark.skipif(os.geteuid() != 0, reason="runs the command as another user, which needs root")
def test_files_the_user_may_not_read_or_write_are_refused() -> None:
    # Root may read and write anything: the command runs as nobody, in a folder everyone may
    # write, on an output and a tokenizer.json that are root's and closed to others.
    directory = Path(tempfile.mkdtemp())
    try:
        directory.chmod(0o777)
        model_dir = write_model_dir(directory / "model")
        corpus = directory / "in.txt"
        corpus.write_text("crow\n")
        output = directory / "out.npy"
        output.write_bytes(b"kept")
        for path in [model_dir, *model_dir.iterdir(), corpus, output]:
            path.chmod(0o755 if path.is_dir() else 0o644)  # readable by all, whatever the umask
        environment = {name: value for name, value in os.environ.items() if name != "COVERAGE_PROCESS_CONFIG"}

        def run(*arguments: str) -> tuple[int, str]:
            done = subprocess.run([*COMMAND, str(model_dir), str(corpus), *arguments, "--quiet"], user=NOBODY,
                                  env=environment, capture_output=True, text=True, timeout=60)
            return done.returncode, done.stderr

        assert run("-o", str(output)) == (1, f"corvid-embed: error: cannot write {output}: Permission denied\n")
        assert output.read_bytes() == b"kept"
        (model_dir / "tokenizer.json").chmod(0o600)
        assert run("-o", str(directory / "new.npy")) == (
            1, f"corvid-embed: error: cannot read {model_dir}/tokenizer.json: Permission denied\n")
    finally:
        shutil.rmtree(directory)
