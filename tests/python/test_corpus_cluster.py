"""The corpus tool on a Dask cluster: tasks that read their parts and write their own files, the
client that joins or records them; resume, a worker killed mid-task, a failing row."""

import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from corpus_models import COMPRESSORS, TEXTS, write_model_dir
from exact_raises import raises_exactly
from generate_model import write_model
from test_corpus import assert_same_bits, per_text_loop
from test_corpus_files import read_output

distributed = pytest.importorskip("distributed")

from corvid_embed import EmbedError, embed_files  # noqa: E402

COMMAND = [sys.executable, "-m", "corvid_embed"]
CORPUS = [f"{text} {number}" for number in range(40) for text in TEXTS]


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory: pytest.TempPathFactory) -> str:
    return str(write_model_dir(tmp_path_factory.mktemp("model")))


@pytest.fixture(scope="module")
def cluster() -> distributed.LocalCluster:
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster:
        yield cluster


def write_corpus(path: Path, lines: list[str]) -> Path:
    path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    return path


@pytest.mark.parametrize(("output", "suffix"), [("shards", ""), ("out.npy", ""), ("out.parquet", ""), ("shards", ".gz"),
                                               ("out.npy", ".zst")])
def test_cluster_output_equals_the_per_text_loop(model_dir: str, cluster: distributed.LocalCluster, tmp_path: Path,
                                                 output: str, suffix: str) -> None:
    # Two inputs and several shards: parts from both files, in order, on both workers.
    inputs = [write_corpus(tmp_path / "a.txt", CORPUS[:150]), write_corpus(tmp_path / "b.txt", CORPUS[150:])]
    if suffix:
        for index, path in enumerate(inputs):
            with COMPRESSORS[suffix[1:]](f"{path}{suffix}", "wb") as file:
                file.write(path.read_bytes())
            path.unlink()
            inputs[index] = Path(f"{path}{suffix}")
    with distributed.Client(cluster) as client:
        embed_files(model_dir, [str(path) for path in inputs], str(tmp_path / output), batch_size=7,
                    shard_rows=40 if output == "shards" else None, scheduler=client)
    assert_same_bits(read_output(tmp_path / output), per_text_loop(model_dir, CORPUS))
    if output == "out.parquet":
        import pyarrow.parquet

        assert pyarrow.parquet.read_table(tmp_path / output).column("id").to_pylist() == list(range(len(CORPUS)))
    assert sorted(p.name for p in tmp_path.iterdir()) == [f"a.txt{suffix}", f"b.txt{suffix}", output]  # no parts left


def test_a_stopped_cluster_run_resumes(model_dir: str, cluster: distributed.LocalCluster, tmp_path: Path) -> None:
    corpus = write_corpus(tmp_path / "in.txt", CORPUS)
    shards = tmp_path / "shards"
    # Ctrl-C once the second shard is recorded: the tasks still running are cancelled.
    interrupt = ("import os, signal; from corvid_embed.writing import shards; from corvid_embed.command import main\n"
                 "original = shards.ShardWriter.completed\n"
                 "def completed(self, part, outcome):\n"
                 "    original(self, part, outcome)\n"
                 "    if len(self.manifest.shards) == 2: os.kill(os.getpid(), signal.SIGINT)\n"
                 "shards.ShardWriter.completed = completed\nmain()\n")
    command = [model_dir, str(corpus), "-o", str(shards), "--shard-rows", "20", "--batch-size", "1", "--quiet",
               "--scheduler", cluster.scheduler_address]
    run = subprocess.run([sys.executable, "-c", interrupt, *command], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (130, "")
    recorded = json.loads((shards / "manifest.json").read_text())["shards"]
    first = {shard["path"]: (shards / shard["path"]).stat().st_mtime_ns for shard in recorded}
    assert len(first) >= 2
    run = subprocess.run([*COMMAND, *command, "--resume"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert {name: (shards / name).stat().st_mtime_ns for name in first} == first
    assert_same_bits(read_output(shards), per_text_loop(model_dir, CORPUS))
    assert not [p.name for p in shards.iterdir() if p.name.startswith(".")]


def kill_self_while_writing(directory: str) -> None:
    """Runs on a worker: kills its process outright once it holds a shard's temporary file open,
    as a machine lost mid-task."""
    def writing() -> bool:
        for descriptor in os.listdir("/proc/self/fd"):
            try:
                if os.readlink(f"/proc/self/fd/{descriptor}").startswith(f"{directory}/.part-"):
                    return True
            except OSError:
                pass
        return False

    def watch() -> None:
        while not writing():
            time.sleep(0.001)
        os.kill(os.getpid(), signal.SIGKILL)

    threading.Thread(target=watch, daemon=True).start()


def test_a_worker_killed_mid_task_is_replaced_and_the_run_is_exact(model_dir: str, tmp_path: Path) -> None:
    corpus = write_corpus(tmp_path / "in.txt", CORPUS * 3)
    shards = tmp_path / "shards"
    shards.mkdir()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as client:
        doomed = next(iter(client.nthreads()))
        client.run(kill_self_while_writing, str(shards), workers=[doomed])
        run = subprocess.run([*COMMAND, model_dir, str(corpus), "-o", str(shards), "--shard-rows", "300",
                              "--batch-size", "1", "--quiet", "--scheduler", cluster.scheduler_address],
                             capture_output=True, text=True, timeout=90)
        assert run.returncode == 0, run.stderr
        assert doomed not in client.nthreads()
    assert_same_bits(read_output(shards), per_text_loop(model_dir, CORPUS * 3))
    assert not [p.name for p in shards.iterdir() if p.name.startswith(".")]  # the killed attempt's file is gone


def test_the_first_failing_row_is_one_line(model_dir: str, cluster: distributed.LocalCluster, tmp_path: Path) -> None:
    # Two inputs, two parts; the later part's failure is the earlier line of its file.
    first, second = tmp_path / "a.txt", tmp_path / "b.txt"
    first.write_bytes(b"crow\n" * 4 + b"bad \xff\n" + b"crow\n" * 20)
    second.write_bytes(b"crow\nbad \xff\n")
    run = subprocess.run([*COMMAND, model_dir, str(first), str(second), "-o", str(tmp_path / "out.npy"),
                          "--quiet", "--scheduler", cluster.scheduler_address],
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (
        1, f"corvid-embed: error: {first}, line 5: not valid UTF-8 (invalid start byte at byte 5)\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.txt", "b.txt"]


def test_a_failure_leaves_a_callers_cluster_idle_and_no_later_shard(
        model_dir: str, cluster: distributed.LocalCluster, tmp_path: Path) -> None:
    # Words seen once each, which no cache speeds up: the later parts are still running when the
    # first one fails.
    path = tmp_path / "in.txt"
    path.write_bytes(b"bad \xff\n" + "".join(" ".join(f"crow{line}x{word}" for word in range(200)) + "\n"
                                              for line in range(2000)).encode())
    shards = tmp_path / "shards"
    with distributed.Client(cluster) as client:
        with pytest.raises(EmbedError, match=r"^.*in.txt, line 1: not valid UTF-8"):
            embed_files(model_dir, [str(path)], str(shards), shard_rows=500, batch_size=1, scheduler=client)
        # A task whose thread still runs stays on its worker's books, cancelled, until it returns.
        deadline = time.monotonic() + 30
        while any(client.run(lambda dask_worker: len(dask_worker.state.tasks)).values()):
            assert time.monotonic() < deadline
            time.sleep(0.05)
    assert not shards.exists() or not list(shards.iterdir())


def test_a_workers_own_failure_names_the_worker(cluster: distributed.LocalCluster, tmp_path: Path) -> None:
    # A table the client's header check accepts but no worker has the memory for: a 1 GiB tensor
    # (a sparse file) under an address-space limit of the workers' own.
    model_dir = write_model_dir(tmp_path / "model")
    meta = json.dumps({"t": {"dtype": "F32", "shape": [1 << 20, 256], "data_offsets": [0, 1 << 30]}}).encode()
    with open(model_dir / "model.safetensors", "wb") as file:
        file.write(len(meta).to_bytes(8, "little") + meta)
        file.truncate(8 + len(meta) + (1 << 30))
    corpus = write_corpus(tmp_path / "in.txt", CORPUS[:10])

    def limit_address_space(room: int | None) -> None:
        import resource

        in_use = next(int(line.split()[1]) << 10 for line in Path("/proc/self/status").read_text().splitlines()
                      if line.startswith("VmSize:"))
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (hard if room is None else in_use + room, hard))

    with distributed.Client(cluster) as client:
        client.run(limit_address_space, 256 << 20)
        try:
            with pytest.raises(EmbedError) as caught:
                embed_files(str(model_dir), [str(corpus)], str(tmp_path / "out.npy"), scheduler=client)
        finally:
            client.run(limit_address_space, None)
        addresses = list(client.nthreads())
    assert str(caught.value) in {f"cannot load the model in {model_dir}: IO Error: out of memory. Details: out of "
                                 f"memory (on the Dask worker {address})" for address in addresses}


def test_an_unexpected_exception_is_worded_as_on_this_machine(cluster: distributed.LocalCluster) -> None:
    from corvid_embed.running.dask import OnDask
    from test_corpus_edges import UNEXPECTED

    with distributed.Client(cluster) as client, OnDask(client, 60) as place, raises_exactly(EmbedError, UNEXPECTED):
        place.submit(int, "x", what="a call").result()


def test_a_long_lived_cluster_embeds_with_the_model_of_each_run(cluster: distributed.LocalCluster, tmp_path: Path) -> None:
    model_dir = write_model_dir(tmp_path / "model")
    corpus = write_corpus(tmp_path / "in.txt", CORPUS[:20])
    with distributed.Client(cluster) as client:
        for dim in (8, 12):
            write_model(model_dir, rows=200, dim=dim, seed=dim)
            embed_files(str(model_dir), [str(corpus)], str(tmp_path / "out.npy"), scheduler=client)
            assert_same_bits(read_output(tmp_path / "out.npy"), per_text_loop(str(model_dir), CORPUS[:20]))
