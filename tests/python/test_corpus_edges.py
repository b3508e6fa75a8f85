"""The command's edges: signals, killed processes, a full disk, outputs that are not plain files,
standard input that has been read from, a scheduler with no workers, usage errors. Each ends with
one line (or an exit status), and leaves neither files nor processes behind."""

import os
import re
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from corpus_models import TEXTS, write_model_dir
from test_corpus import assert_same_bits, per_text_loop

COMMAND = [sys.executable, "-m", "corvid_embed"]


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory: pytest.TempPathFactory) -> str:
    return str(write_model_dir(tmp_path_factory.mktemp("model")))


@pytest.fixture(scope="module")
def long_corpus(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Long enough that two workers take over a second on idle cores: time to stop them midway."""
    path = tmp_path_factory.mktemp("long") / "long.txt"
    path.write_text("\n".join(TEXTS * 100_000) + "\n", encoding="utf-8")
    return path


def workers_of(pid: int) -> list[int]:
    try:
        children = [int(child) for child in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
        return [child for child in children if b"worker_process" in Path(f"/proc/{child}/cmdline").read_bytes()]
    except OSError:
        return []


def alive(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().split()[2] != "Z"
    except OSError:
        return False


WORKER_STOPPED = r"^corvid-embed: error: a worker stopped by signal {} while embedding .*long.txt, lines \d+ to \d+\n$"


@pytest.mark.parametrize(("stopped", "number", "status", "message", "output"), [
    ("parent", signal.SIGTERM, 128 + signal.SIGTERM, "", "out.npy"),
    ("parent", signal.SIGHUP, 128 + signal.SIGHUP, "", "out.npy"),
    ("parent", signal.SIGINT, 130, "", "out.npy"),
    ("parent", signal.SIGKILL, -signal.SIGKILL, "", "out.npy"),
    ("parent", signal.SIGKILL, -signal.SIGKILL, "", "shards"),
    ("worker", signal.SIGKILL, 1, WORKER_STOPPED.format(r"9 \(SIGKILL\)"), "shards"),
    ("worker", signal.SIGINT, 1, WORKER_STOPPED.format(r"2 \(SIGINT\)"), "out.npy"),
])
def test_a_stopped_run_leaves_nothing(model_dir: str, long_corpus: Path, tmp_path: Path, stopped: str,
                                      number: int, status: int, message: str, output: str) -> None:
    shards = ["--shard-rows", "100000"] if output == "shards" else []
    process = subprocess.Popen([*COMMAND, model_dir, str(long_corpus), "-o", str(tmp_path / output), "--workers", "2",
                                *shards], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while len(workers := workers_of(process.pid)) < 2 and time.monotonic() < deadline:
            time.sleep(0.02)
        assert len(workers) == 2, "the workers did not start"
        time.sleep(0.6)  # past the workers' imports, which a signal would interrupt; embedding
        os.kill(process.pid if stopped == "parent" else workers[0], number)
        # Standard error ends only when no worker holds it any more.
        _, stderr = process.communicate(timeout=30)
    finally:  # a failed check leaves no run behind to disturb the tests after it
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode == status
    assert re.search(message, stderr) if message else stderr == "", stderr
    deadline = time.monotonic() + 10
    while any(map(alive, workers)) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(map(alive, workers))
    def unfinished() -> list[Path]:  # complete shards stay, for --resume
        return [path for path in tmp_path.rglob("*") if path.name.startswith(".") or path.name == "out.npy"]

    while unfinished() and time.monotonic() < deadline:
        time.sleep(0.05)  # a killed parent's files are removed by its janitor
    assert unfinished() == []


# The file size limit stands for a full disk; it is set once the libraries are imported, whose
# loading may write caches.
LIMITED = ["-c", "import resource; from corvid_embed.command import main; "
                 "resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, 20_000)); main()"]


@pytest.mark.parametrize("where", ["output", "shard", "standard input copy"])
def test_a_full_disk_is_one_line(model_dir: str, tmp_path: Path, where: str) -> None:
    corpus = tmp_path / "in.txt"
    corpus.write_text("\n".join(TEXTS * 200) + "\n", encoding="utf-8")
    output = tmp_path / ("shards" if where == "shard" else "out.npy")
    arguments = [model_dir, "-" if where == "standard input copy" else str(corpus), "-o", str(output)]
    if where == "shard":
        arguments += ["--shard-rows", "1000"]
    with open(corpus, "rb") as source:
        run = subprocess.run([sys.executable, *LIMITED, *arguments], stdin=source, capture_output=True, text=True,
                             timeout=60, env={**os.environ, "TMPDIR": str(tmp_path)})
    assert run.returncode == 1
    assert run.stderr.startswith("corvid-embed: error: cannot ") and run.stderr.endswith(": File too large\n")
    assert run.stderr.count("\n") == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.txt"]


def test_outputs_follow_links_and_the_umask_and_never_replace_devices(model_dir: str, tmp_path: Path) -> None:
    corpus = tmp_path / "in.txt"
    corpus.write_text("\n".join(TEXTS) + "\n", encoding="utf-8")
    target = tmp_path / "target.npy"
    (tmp_path / "link.npy").symlink_to(target)
    run = subprocess.run([*COMMAND, model_dir, str(corpus), "-o", str(tmp_path / "link.npy")],
                         capture_output=True, text=True, timeout=60, preexec_fn=lambda: os.umask(0o027))
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "link.npy").is_symlink() and stat.S_IMODE(target.stat().st_mode) == 0o640
    assert_same_bits(np.load(target), per_text_loop(model_dir, TEXTS))
    try:
        os.mknod(tmp_path / "null", stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("making a device node needs privileges")
    run = subprocess.run([*COMMAND, model_dir, str(corpus), "-o", str(tmp_path / "null")],
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (1, f"corvid-embed: error: the output {tmp_path / 'null'} is not a regular file\n")
    assert stat.S_ISCHR((tmp_path / "null").stat().st_mode)


def test_standard_input_is_read_from_where_it_stands(model_dir: str, tmp_path: Path) -> None:
    corpus = tmp_path / "in.txt"
    corpus.write_text("\n".join(TEXTS) + "\n", encoding="utf-8")
    with open(corpus, "rb") as source:
        source.readline()
        os.lseek(source.fileno(), source.tell(), os.SEEK_SET)
        run = subprocess.run([*COMMAND, model_dir, "-", "-o", str(tmp_path / "out.npy")], stdin=source,
                             capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert_same_bits(np.load(tmp_path / "out.npy"), per_text_loop(model_dir, TEXTS[1:]))


def test_a_scheduler_without_workers_is_waited_for_a_bounded_time(model_dir: str, tmp_path: Path) -> None:
    distributed = pytest.importorskip("distributed")
    (tmp_path / "in.txt").write_text("crow\n")
    # Any free port for the dashboard: the default one may be taken by a run beside this one.
    with distributed.LocalCluster(n_workers=0, dashboard_address=":0") as cluster:
        run = subprocess.run([*COMMAND, model_dir, str(tmp_path / "in.txt"), "-o", str(tmp_path / "out.npy"),
                              "--scheduler", cluster.scheduler_address, "--scheduler-wait", "1"],
                             capture_output=True, text=True, timeout=60)
    assert run.returncode == 1
    assert run.stderr.splitlines()[-1] == "corvid-embed: error: no worker joined the Dask scheduler within 1 s"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.txt"]


@pytest.mark.parametrize("arguments", [["--workers", "100000"], ["--batch-size", "10000000000"],
                                       ["--workers", "2", "--scheduler", "tcp://127.0.0.1:1"]])
def test_usage_errors(model_dir: str, arguments: list[str]) -> None:
    run = subprocess.run([*COMMAND, model_dir, "in.txt", "-o", "out.npy", *arguments],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 2 and run.stderr.splitlines()[-1].startswith("corvid-embed: error: ")
