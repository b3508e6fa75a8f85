"""--resume: an interrupted run completed without touching its complete shards, a shard deleted by
hand made again, and a run refused, with nothing changed, when its inputs or model are not those
the manifest records."""

import json
import os
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import pytest

from corpus_models import TEXTS, write_model_dir
from corvid_embed import EmbedError, embed_files
from exact_raises import raises_exactly
from generate_model import write_model
from test_corpus import assert_same_bits, per_text_loop
from test_corpus_files import read_output

CORPUS = [f"{text} {n}" for n in range(4) for text in TEXTS]


@pytest.fixture
def finished(tmp_path: Path) -> tuple[str, Path, Path]:
    """A model directory of the test's own, a corpus, and the complete shards of a run on them."""
    model_dir = str(write_model_dir(tmp_path / "model"))
    corpus = tmp_path / "in.txt"
    corpus.write_text("\n".join(CORPUS) + "\n", encoding="utf-8")
    embed_files(model_dir, [str(corpus)], str(tmp_path / "shards"), shard_rows=5)
    return model_dir, corpus, tmp_path / "shards"


def modified(directory: Path) -> dict[str, int]:
    return {path.name: path.stat().st_mtime_ns for path in directory.iterdir()}


def rewrite_input(model_dir: Path, corpus: Path) -> None:
    """Other text of the same size, with another modification time."""
    status = corpus.stat()
    corpus.write_bytes(corpus.read_bytes().replace(b"crow", b"rook"))
    os.utime(corpus, ns=(status.st_atime_ns, status.st_mtime_ns + 1_000_000_000))


CHANGES: dict[str, tuple[Callable[[Path, Path], object], str]] = {
    "other weights": (lambda model, corpus: write_model(model, rows=200, dim=8, seed=4),
                      "contents of model.safetensors"),
    "other tokenizer": (lambda model, corpus: (model / "tokenizer.json").write_text(
        (model / "tokenizer.json").read_text().replace('"lowercase": true', '"lowercase": false')),
                        "contents of tokenizer.json"),
    "input rewritten at its size": (rewrite_input, "size or modification time of {corpus}"),
}


@pytest.mark.parametrize("change", CHANGES)
def test_resume_refuses_other_inputs_or_model(finished: tuple[str, Path, Path], change: str) -> None:
    model_dir, corpus, shards = finished
    apply, difference = CHANGES[change]
    apply(Path(model_dir), corpus)
    before = modified(shards)
    with raises_exactly(EmbedError, f"cannot resume: {shards}/manifest.json records other "
                                    f"{difference.format(corpus=corpus)}"):
        embed_files(model_dir, [str(corpus)], str(shards), shard_rows=5, resume=True)
    assert modified(shards) == before


def test_resume_refuses_another_input_list_or_a_missing_or_broken_manifest(finished: tuple[str, Path, Path]) -> None:
    model_dir, corpus, shards = finished
    with raises_exactly(EmbedError, f"cannot resume: {shards}/manifest.json records other inputs"):
        embed_files(model_dir, [str(corpus), str(corpus)], str(shards), shard_rows=5, resume=True)
    (shards / "manifest.json").write_text("{")
    try:
        json.loads("{")
    except ValueError as error:
        reason = str(error)
    with raises_exactly(EmbedError, f"cannot resume: {shards}/manifest.json cannot be read ({reason})"):
        embed_files(model_dir, [str(corpus)], str(shards), shard_rows=5, resume=True)
    (shards / "manifest.json").unlink()
    with raises_exactly(EmbedError, f"cannot resume: {shards} holds no manifest.json"):
        embed_files(model_dir, [str(corpus)], str(shards), shard_rows=5, resume=True)


def test_a_shard_deleted_by_hand_is_made_again(finished: tuple[str, Path, Path]) -> None:
    model_dir, corpus, shards = finished
    (shards / "part-00001.npy").unlink()
    kept = {name: time for name, time in modified(shards).items() if name != "manifest.json"}
    embed_files(model_dir, [str(corpus)], str(shards), shard_rows=5, resume=True)
    assert {name: (shards / name).stat().st_mtime_ns for name in kept} == kept
    assert (shards / "part-00001.npy").is_file()
    assert_same_bits(read_output(shards), per_text_loop(model_dir, CORPUS))


def test_interrupted_shards_resume_untouched(tmp_path: Path) -> None:
    model_dir = str(write_model_dir(tmp_path / "model"))
    path = tmp_path / "in.txt"
    path.write_text("\n".join(CORPUS) + "\n", encoding="utf-8")
    shards = tmp_path / "shards"
    # Ctrl-C as the third shard starts: the run stops with two complete.
    interrupt = ("import os, signal, sys; from corvid_embed import corpus_run; from corvid_embed.command import main\n"
                 "original, calls = corpus_run.embed_part, []\n"
                 "def embed_part(*a, **k):\n"
                 "    calls.append(1)\n"
                 "    if len(calls) == 3: os.kill(os.getpid(), signal.SIGINT)\n"
                 "    return original(*a, **k)\n"
                 "corpus_run.embed_part = embed_part\nmain()\n")
    command = [model_dir, str(path), "-o", str(shards), "--shard-rows", "5", "--quiet"]
    run = subprocess.run([sys.executable, "-c", interrupt, *command], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (130, "")
    first = {p.name: p.stat().st_mtime_ns for p in shards.iterdir() if p.name != "manifest.json"}
    assert sorted(first) == ["part-00000.npy", "part-00001.npy"]
    run = subprocess.run([sys.executable, "-m", "corvid_embed", *command, "--resume", "--workers", "2"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert {name: (shards / name).stat().st_mtime_ns for name in first} == first
    assert_same_bits(read_output(shards), per_text_loop(model_dir, CORPUS))
