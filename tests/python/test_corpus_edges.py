"""The command's edges: signals, killed processes, a full disk, outputs that are not plain files,
standard input that has been read from, a scheduler with no workers, usage errors. Each ends with
one line (or an exit status), and leaves neither files nor processes behind."""

import os
import signal
import stat
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pytest

from corpus_models import TEXTS, write_model_dir
from corvid_embed import EmbedError, embed_texts
from corvid_embed.command import main
from corvid_embed.planning.plan import PIECE_BYTES
from corvid_embed.running.executor import Executor
from corvid_embed.running.this_process import InThisProcess
from corvid_embed.running.worker_pool import WorkerPool
from exact_raises import raises_exactly
from test_corpus import assert_same_bits, per_text_loop

COMMAND = [sys.executable, "-m", "corvid_embed"]


@pytest.fixture(scope="module")
def model_dir(tmp_path_factory: pytest.TempPathFactory) -> str:
    return str(write_model_dir(tmp_path_factory.mktemp("model")))


@pytest.fixture(scope="module")
def long_corpus(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Long enough that two workers take over a second on idle cores, a text a batch: time to stop
    them midway."""
    path = tmp_path_factory.mktemp("long") / "long.txt"
    path.write_text("\n".join(TEXTS * 100_000) + "\n", encoding="utf-8")
    return path


def workers_of(pid: int) -> list[int]:
    try:
        children = [int(child) for child in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
        return [child for child in children if b"worker_start" in Path(f"/proc/{child}/cmdline").read_bytes()]
    except OSError:
        return []


def alive(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().split()[2] != "Z"
    except OSError:
        return False


# Coverage, when measured, writes its data as each process exits: a run killed outright (its
# workers then stopped while they write it) or capped in file size is not measured.
UNMEASURED = {name: value for name, value in os.environ.items() if name != "COVERAGE_PROCESS_CONFIG"}


def parts_of(path: Path, shard_rows: int | None) -> set[str]:
    """How messages name each part of a text file: its lines, counted from 1, in runs of one
    piece of PIECE_BYTES (a line belongs to the piece it begins in), a piece a part or
    `shard_rows` lines a part."""
    ends = np.flatnonzero(np.frombuffer(path.read_bytes(), np.uint8) == ord("\n"))
    starts = [0, *(ends[:-1] + 1).tolist()]  # the file ends with a line feed
    pieces = [start // PIECE_BYTES for start in starts]
    bounds = range(0, len(starts), shard_rows) if shard_rows else \
        [line for line in range(len(starts)) if line == 0 or pieces[line] != pieces[line - 1]]
    described = set()
    for first, end in zip(bounds, [*bounds[1:], len(starts)]):
        runs = [line for line in range(first, end) if line == first or pieces[line] != pieces[line - 1]]
        described.add("; ".join(f"{path}, lines {start + 1} to {stop}" for start, stop in zip(runs, [*runs[1:], end])))
    return described


@pytest.mark.parametrize(("stopped", "number", "status", "message", "output"), [
    ("parent", signal.SIGTERM, 128 + signal.SIGTERM, "", "out.npy"),
    ("parent", signal.SIGHUP, 128 + signal.SIGHUP, "", "out.npy"),
    ("parent", signal.SIGINT, 130, "", "out.npy"),
    ("parent", signal.SIGKILL, -signal.SIGKILL, "", "out.npy"),
    ("parent", signal.SIGKILL, -signal.SIGKILL, "", "shards"),
    ("parent", signal.SIGKILL, -signal.SIGKILL, "", "out.parquet"),  # a temporary directory of parts
    ("worker", signal.SIGKILL, 1, "9 (SIGKILL)", "shards"),
    ("worker", signal.SIGINT, 1, "2 (SIGINT)", "out.npy"),
])
def test_a_stopped_run_leaves_nothing(model_dir: str, long_corpus: Path, tmp_path: Path, stopped: str,
                                      number: int, status: int, message: str, output: str) -> None:
    shard_rows = 100_000 if output == "shards" else None
    shards = ["--shard-rows", str(shard_rows)] if shard_rows else []
    process = subprocess.Popen([*COMMAND, model_dir, str(long_corpus), "-o", str(tmp_path / output), "--workers", "2",
                                "--batch-size", "1", *shards], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                               env=UNMEASURED if (stopped, number) == ("parent", signal.SIGKILL) else None)
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
    if message:
        prefix = f"corvid-embed: error: a worker stopped by signal {message} while embedding "
        assert stderr.startswith(prefix) and stderr.endswith("\n") and stderr.count("\n") == 1, stderr
        assert stderr[len(prefix):-1] in parts_of(long_corpus, shard_rows)
    else:
        assert stderr == ""
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


@pytest.mark.parametrize(("where", "message"), [
    ("output", "cannot write {d}/out.npy: File too large"),
    ("Parquet output", "cannot write {d}/out.parquet: File too large"),
    ("shard", "cannot write {d}/shards/part-00000.npy: File too large"),
    ("standard input copy", "cannot copy standard input to {d}: File too large"),
])
def test_a_full_disk_is_one_line(model_dir: str, tmp_path: Path, where: str, message: str) -> None:
    corpus = tmp_path / "in.txt"
    corpus.write_text("\n".join(TEXTS * 2000) + "\n", encoding="utf-8")  # more than the limit, even compressed
    output = tmp_path / {"shard": "shards", "Parquet output": "out.parquet"}.get(where, "out.npy")
    arguments = [model_dir, "-" if where == "standard input copy" else str(corpus), "-o", str(output)]
    if where == "shard":
        arguments += ["--shard-rows", "1000"]
    with open(corpus, "rb") as source:
        run = subprocess.run([sys.executable, *LIMITED, *arguments], stdin=source, capture_output=True, text=True,
                             timeout=60, env={**UNMEASURED, "TMPDIR": str(tmp_path)})
    assert (run.returncode, run.stderr) == (1, f"corvid-embed: error: {message.format(d=tmp_path)}\n")
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


@pytest.mark.parametrize(("arguments", "message"), [
    (["--workers", "100000"], "argument --workers: must be from 1 to 1024, not 100000"),
    (["--workers", "0"], "argument --workers: must be from 1 to 1024, not 0"),
    (["--workers", "two"], "argument --workers: not a whole number: 'two'"),
    (["--batch-size", "10000000000"], "argument --batch-size: must be from 1 to 1048576, not 10000000000"),
    (["--shard-rows", "0"], "argument --shard-rows: must be at least 1, not 0"),
    (["--scheduler-wait", "0"], "argument --scheduler-wait: must be more than 0 and less than a million, not 0"),
    (["--scheduler-wait", "soon"], "argument --scheduler-wait: not a number of seconds: 'soon'"),
    (["--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "argument --scheduler: not allowed with argument --workers"),
])
def test_usage_errors(model_dir: str, arguments: list[str], message: str) -> None:
    run = subprocess.run([*COMMAND, model_dir, "in.txt", "-o", "out.npy", *arguments],
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stderr.splitlines()[-1]) == (2, f"corvid-embed: error: {message}")


def test_abort_stops_a_running_call_at_once() -> None:
    pool = WorkerPool(1)
    call = pool.submit(time.sleep, 60, what="a long call")
    pool.abort()  # a worker left to finish would be killed after the grace period, by SIGKILL
    with raises_exactly(EmbedError, "a worker stopped by signal 15 (SIGTERM) while embedding a long call"):
        call.result()


@pytest.mark.parametrize("ending", ["success", "failure"])
def test_the_command_gives_back_the_callers_signal_handlers(model_dir: str, tmp_path: Path, ending: str) -> None:
    (tmp_path / "in.txt").write_text("crow\n")
    handlers = {number: lambda number, frame: None for number in (signal.SIGTERM, signal.SIGHUP)}
    previous = {number: signal.signal(number, handler) for number, handler in handlers.items()}
    try:
        corpus = str(tmp_path / ("in.txt" if ending == "success" else "missing.txt"))
        try:
            main([model_dir, corpus, "-o", str(tmp_path / "out.npy"), "--quiet"])
        except SystemExit as exit:
            assert (ending, exit.code) == ("failure", f"corvid-embed: error: cannot read {corpus}: No such file or directory")
        assert {number: signal.getsignal(number) for number in handlers} == handlers
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def test_more_workers_than_cores_are_warned_of(model_dir: str, monkeypatch: pytest.MonkeyPatch,
                                               capsys: pytest.CaptureFixture) -> None:
    monkeypatch.setattr(os, "cpu_count", lambda: 1)
    embed_texts(model_dir, ["crow", "rook"], workers=2, batch_size=1)
    assert capsys.readouterr().err == \
        "corvid-embed: warning: 2 workers on 1 cores; more than one a core only slows the run\n"


UNEXPECTED = "an unexpected ValueError while embedding a call: invalid literal for int() with base 10: 'x'"


@pytest.mark.parametrize("make", [InThisProcess, lambda: WorkerPool(2)], ids=["this process", "worker processes"])
def test_an_unexpected_exception_is_worded_alike_on_every_executor(make: Callable[[], Executor]) -> None:
    with make() as place, raises_exactly(EmbedError, UNEXPECTED):
        place.submit(int, "x", what="a call").result()
