"""--resume: an interrupted run completed without touching its complete shards, a shard deleted by
hand made again, and a run refused, with nothing changed, when its inputs or model are not those
the manifest records."""

import json
import os
import signal
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pytest

from corpus_models import TEXTS, write_model_dir
from corvid_embed import EmbedError, embed_files
from exact_raises import raises_exactly
from corvid_embed.writing.shards import lock
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


def test_resume_refuses_another_element_type(finished: tuple[str, Path, Path]) -> None:
    model_dir, corpus, shards = finished
    with raises_exactly(EmbedError, f"cannot resume: {shards}/manifest.json records other dtype "
                                    f"('float32', not 'float16')"):
        embed_files(model_dir, [str(corpus)], str(shards), shard_rows=5, resume=True, dtype="float16")


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
    (shards / "manifest.json").write_text("[]")
    with raises_exactly(EmbedError, f"cannot resume: {shards}/manifest.json cannot be read (not a JSON object)"):
        embed_files(model_dir, [str(corpus)], str(shards), shard_rows=5, resume=True)
    (shards / "manifest.json").unlink()
    for directory in (shards, shards.parent / "never-made"):
        with raises_exactly(EmbedError, f"cannot resume: {directory} holds no manifest.json"):
            embed_files(model_dir, [str(corpus)], str(directory), shard_rows=5, resume=True)
    assert not (shards.parent / "never-made").exists()


def test_a_shard_deleted_by_hand_is_made_again(finished: tuple[str, Path, Path]) -> None:
    model_dir, corpus, shards = finished
    (shards / "part-00001.npy").unlink()
    kept = {name: time for name, time in modified(shards).items() if name != "manifest.json"}
    embed_files(model_dir, [str(corpus)], str(shards), shard_rows=5, resume=True)
    assert {name: (shards / name).stat().st_mtime_ns for name in kept} == kept
    assert (shards / "part-00001.npy").is_file()
    assert_same_bits(read_output(shards), per_text_loop(model_dir, CORPUS))


# How a first run stops, replacing the function that embeds each part: (prelude, exit status, the
# shards it leaves complete).
STOPS = {
    "Ctrl-C as the third shard starts": (
        "original, calls = corpus_run.embed_part, []\n"
        "def embed_part(*a, **k):\n"
        "    calls.append(1)\n"
        "    if len(calls) == 3: os.kill(os.getpid(), signal.SIGINT)\n"
        "    return original(*a, **k)\n"
        "corpus_run.embed_part = embed_part\n", 130, ["part-00000.npy", "part-00001.npy"]),
    "killed outright before its first shard": (
        "corpus_run.embed_part = lambda *a, **k: os.kill(os.getpid(), signal.SIGKILL)\n", -signal.SIGKILL, []),
}


@pytest.mark.parametrize("stop", STOPS)
def test_a_stopped_run_resumes_with_its_complete_shards_untouched(tmp_path: Path, stop: str) -> None:
    model_dir = str(write_model_dir(tmp_path / "model"))
    path = tmp_path / "in.txt"
    path.write_text("\n".join(CORPUS) + "\n", encoding="utf-8")
    shards = tmp_path / "shards"
    prelude, status, complete = STOPS[stop]
    program = ("import os, signal; from corvid_embed import corpus_run; from corvid_embed.command import main\n"
               f"{prelude}main()\n")
    command = [model_dir, str(path), "-o", str(shards), "--shard-rows", "5", "--quiet"]
    run = subprocess.run([sys.executable, "-c", program, *command], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (status, "")
    first = {p.name: p.stat().st_mtime_ns for p in shards.iterdir() if p.name != "manifest.json"}
    assert sorted(first) == complete
    run = subprocess.run([sys.executable, "-m", "corvid_embed", *command, "--resume", "--workers", "2"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert {name: (shards / name).stat().st_mtime_ns for name in first} == first
    assert_same_bits(read_output(shards), per_text_loop(model_dir, CORPUS))


def test_an_input_edited_in_place_with_its_times_set_back_is_seen(finished: tuple[str, Path, Path]) -> None:
    model_dir, corpus, shards = finished
    status = corpus.stat()
    corpus.write_bytes(corpus.read_bytes().replace(b"crow", b"rook"))
    os.utime(corpus, ns=(status.st_atime_ns, status.st_mtime_ns))  # as cp -p, rsync -t or touch -r leave it
    with raises_exactly(EmbedError, f"cannot resume: {shards}/manifest.json records other inode or change time of "
                                    f"{corpus} (edited, or copied back with its old times)"):
        embed_files(model_dir, [str(corpus)], str(shards), shard_rows=5, resume=True)


# Each changes the manifest's entries; the entries that are not exactly a complete shard of the
# plan are made again, and the result is the whole corpus.
ENTRIES: dict[str, Callable[[list[dict], Path], list[dict]]] = {
    "a path outside": lambda shards, directory: [{**shards[0], "path": "../outside.npy"}, *shards[1:]],
    "an absolute path": lambda shards, directory: [{**shards[0], "path": "/etc/hostname"}, *shards[1:]],
    "a duplicate": lambda shards, directory: [shards[0], shards[0], *shards[1:]],
    "wrong rows": lambda shards, directory: [{**shards[0], "rows": shards[0]["rows"] + 1}, *shards[1:]],
    "a shifted first row": lambda shards, directory: [{**shards[1], "first_row": 0}, *shards[2:]],
    "a shard that is a link": lambda shards, directory: link_first_shard(shards, directory),
    "a shard of other rows": lambda shards, directory: shrink_first_shard(shards, directory),
}


def link_first_shard(shards: list[dict], directory: Path) -> list[dict]:
    outside = directory.parent / "outside.npy"
    (directory / shards[0]["path"]).rename(outside)
    (directory / shards[0]["path"]).symlink_to(outside)
    return shards


def shrink_first_shard(shards: list[dict], directory: Path) -> list[dict]:
    path = directory / shards[0]["path"]
    np.save(path, np.load(path)[:-1])
    return shards


@pytest.mark.parametrize("change", ENTRIES)
def test_resume_keeps_only_entries_that_are_shards_of_the_plan(finished: tuple[str, Path, Path], change: str) -> None:
    model_dir, corpus, shards = finished
    manifest = json.loads((shards / "manifest.json").read_text())
    manifest["complete"], manifest["rows"] = False, None
    manifest["shards"] = ENTRIES[change](manifest["shards"], shards)
    (shards / "manifest.json").write_text(json.dumps(manifest))
    embed_files(model_dir, [str(corpus)], str(shards), shard_rows=5, resume=True)
    recorded = json.loads((shards / "manifest.json").read_text())["shards"]
    assert [shard["path"] for shard in recorded] == [f"part-{index:05d}.npy" for index in range(len(recorded))]
    assert all((shards / shard["path"]).is_file() and not (shards / shard["path"]).is_symlink() for shard in recorded)
    assert_same_bits(read_output(shards), per_text_loop(model_dir, CORPUS))


@pytest.mark.parametrize(("shards_value", "reason"), [
    ({"path": "part-00000.npy"}, "its shards are not a list of path, first_row and rows"),
    ([{"path": 7, "first_row": 0, "rows": 5}], "its shards are not a list of path, first_row and rows"),
    ([{"path": "part-00000.npy", "rows": 5}], "its shards are not a list of path, first_row and rows"),
    (None, "no 'shards'"),
])
def test_a_malformed_manifest_is_one_line(finished: tuple[str, Path, Path], shards_value: object, reason: str) -> None:
    model_dir, corpus, shards = finished
    manifest = json.loads((shards / "manifest.json").read_text())
    if shards_value is None:
        del manifest["shards"]
    else:
        manifest["shards"] = shards_value
    (shards / "manifest.json").write_text(json.dumps(manifest))
    with raises_exactly(EmbedError, f"cannot resume: {shards}/manifest.json cannot be read ({reason})"):
        embed_files(model_dir, [str(corpus)], str(shards), shard_rows=5, resume=True)


def test_ids_of_another_type_fail_at_their_row_again_on_resume(tmp_path: Path) -> None:
    model_dir = str(write_model_dir(tmp_path / "model"))
    corpus = tmp_path / "in.jsonl"
    corpus.write_text("".join(json.dumps({"text": "crow", "key": key}) + "\n" for key in [1, 2, "three", 4]))
    shards = tmp_path / "shards"
    message = f"{corpus}, line 3: id field 'key' holds a string after integers"
    for resume in (False, True):
        with raises_exactly(EmbedError, message):
            embed_files(model_dir, [str(corpus)], str(shards), shard_rows=2, format="parquet", id_field="key",
                        resume=resume)
        manifest = json.loads((shards / "manifest.json").read_text())
        assert (manifest["id_type"], manifest["complete"]) == ("integer", False)
        assert [shard["path"] for shard in manifest["shards"]] == ["part-00000.parquet"]
        assert sorted(p.name for p in shards.iterdir()) == ["manifest.json", "part-00000.parquet"]


def test_a_second_run_on_a_directory_refuses_at_once_and_leaves_the_first_runs_files(
        finished: tuple[str, Path, Path]) -> None:
    model_dir, corpus, shards = finished
    others = shards / ".part-00009.npy.0123abcd.part"  # another run's shard in the making
    others.touch()
    holder = lock(shards)
    try:
        for resume in (False, True):
            with raises_exactly(EmbedError, f"{shards} is being written by another run: wait for it to end, "
                                            f"or give another directory"):
                embed_files(model_dir, [str(corpus)], str(shards), shard_rows=5, resume=resume)
        assert others.exists()
    finally:
        os.close(holder)
