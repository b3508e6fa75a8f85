"""embed_texts and the corvid-embed command: results equal to the per-text loop bit for bit, in
this process, in worker processes and on a Dask cluster; the command's failures."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from tokenizers import Tokenizer

from corpus_models import TEXTS, write_model_dir
from corvid_embed import EmbedError, embed_texts
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
    assert got.dtype == np.float32 and got.shape == expected.shape
    assert got.tobytes() == expected.tobytes()


@pytest.mark.parametrize(("workers", "normalize", "batch_size"), [(1, True, 1024), (2, False, 2)])
def test_embed_texts_equals_the_per_text_loop(model_dir: str, workers: int, normalize: bool, batch_size: int) -> None:
    texts = TEXTS * 3
    got = embed_texts(model_dir, texts, normalize=normalize, workers=workers, batch_size=batch_size)
    assert_same_bits(got, per_text_loop(model_dir, texts, normalize))


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


def test_command_reads_standard_input_and_writes_the_rows(model_dir: str, tmp_path: Path) -> None:
    output = tmp_path / "out.npy"
    text = "\r\n".join(TEXTS)  # CRLF line ends, no line end after the last line
    run = subprocess.run([str(Path(sys.executable).parent / "corvid-embed"), model_dir, "-", "-o", str(output),
                          "--workers", "2", "--no-normalize"],
                         input=text.encode(), capture_output=True, timeout=120)
    assert (run.returncode, run.stderr) == (0, b"")  # no progress bar where stderr is no terminal
    assert_same_bits(np.load(output), per_text_loop(model_dir, TEXTS, normalize=False))
    assert [p.name for p in tmp_path.iterdir()] == ["out.npy"]


def test_embed_texts_names_the_failing_text(tmp_path: Path) -> None:
    model_dir = str(write_model_dir(tmp_path, rows=10))
    with pytest.raises(EmbedError, match=r"^texts\[1\]: a token id is outside the model's table"):
        embed_texts(model_dir, ["", "crow"])


FAILURES = {
    "model directory missing": (lambda d: ["missing", "in.txt"], "model.safetensors"),
    "tokenizer missing": (lambda d: [d("no-tokenizer"), "in.txt"], "tokenizer.json not found in"),
    "input missing": (lambda d: [d("model"), "missing.txt"], "cannot read missing.txt: No such file"),
    "line not UTF-8": (lambda d: [d("model"), "latin1.txt"], "latin1.txt, line 2: not valid UTF-8"),
    "output unwritable": (lambda d: [d("model"), "in.txt", "-o", "no-dir/out.npy"], "cannot write no-dir/out.npy"),
    "id outside the table": (lambda d: [d("small"), "in.txt"], "line 3: a token id is outside the model's table"),
    "id outside the table, workers": (lambda d: [d("small"), "in.txt", "--workers", "2", "--batch-size", "1"],
                                      "line 3: a token id is outside the model's table"),
    "no Dask": (lambda d: [d("model"), "in.txt", "--scheduler", "tcp://127.0.0.1:1"],
                "needs Dask's distributed package: pip install 'corvid_py[dask]'"),
}


@pytest.mark.parametrize("case", FAILURES)
def test_command_failure_is_one_line_with_status_1_and_no_output(tmp_path: Path, case: str) -> None:
    write_model_dir(tmp_path / "model")
    write_model_dir(tmp_path / "small", rows=10)
    (tmp_path / "no-tokenizer").mkdir()
    (tmp_path / "no-tokenizer" / "model.safetensors").write_bytes((tmp_path / "model" / "model.safetensors").read_bytes())
    (tmp_path / "in.txt").write_text("\n\nthe crow\n", encoding="utf-8")
    (tmp_path / "latin1.txt").write_bytes("crow\ncaf\xe9\n".encode("latin-1"))
    arguments, message = FAILURES[case]
    arguments = arguments(lambda name: str(tmp_path / name))
    if "-o" not in arguments:
        arguments += ["-o", "out.npy"]
    before = set(tmp_path.rglob("*"))
    prelude = "import sys; sys.modules['distributed'] = None; " if case == "no Dask" else ""
    run = subprocess.run([sys.executable, "-c", prelude + "from corvid_embed.command import main; main()", *arguments],
                         cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert run.returncode == 1
    ours = [line for line in run.stderr.splitlines() if not line.startswith("corvid: internal failure")]
    assert len(ours) == 1 and ours[0].startswith("corvid-embed: error: ") and message in ours[0], run.stderr
    assert set(tmp_path.rglob("*")) == before
