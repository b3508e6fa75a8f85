"""Fixtures shared by the Python tests: model directories holding real weights files."""

import faulthandler
import os
import signal
import struct
import sys
from collections.abc import Callable, Generator
from pathlib import Path

import numpy as np
import numpy.typing as npt
import pytest
from hypothesis import settings
from safetensors.numpy import save_file

# The shared helpers' asserts should explain themselves like the tests' own.
pytest.register_assert_rewrite("exact_raises")

from corvid_py import StaticEmbedding  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
from generate_model import write_safetensors  # noqa: E402

WEIGHTS_FILE = "model.safetensors"

# scripts/sanitize preloads AddressSanitizer's runtime into the interpreter.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# pytest-timeout's alarm is handled only where the code under test checks for
# signals. A loop in C that never does is ended at twice the timeout instead:
# faulthandler writes every thread's stack to the terminal (a copy of the
# standard error stream from before capture) and ends the run.
TERMINAL = pytest.StashKey[int]()


def pytest_configure(config: pytest.Config) -> None:
    config.stash[TERMINAL] = os.dup(sys.stderr.fileno())
    # A shell starts a background job with SIGINT ignored, which its children inherit: the runs
    # whose Ctrl-C the tests check would not see it. Handled here, it is the default for them.
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_protocol(item: pytest.Item) -> Generator[None, object, object]:
    limit = 2 * float(item.config.getini("timeout"))
    faulthandler.dump_traceback_later(limit, exit=True, file=item.config.stash[TERMINAL])
    try:
        return (yield)
    finally:
        faulthandler.cancel_dump_traceback_later()


# Property tests are bounded so that the suite stays fast, keep no example database in the
# checkout, and in CI draw the same examples on every run.
settings.register_profile("bounded", max_examples=40, deadline=None, database=None)
settings.register_profile("ci", settings.get_profile("bounded"), derandomize=True)
settings.load_profile("ci" if os.environ.get("CI") else "bounded")

# Four token rows of three distinct values each.
SMALL_TABLE = np.arange(12, dtype=np.float32).reshape(4, 3)

type MakeModelDir = Callable[..., Path]


def write_weights(directory: Path, header: bytes, data: bytes = b"") -> None:
    """Writes a weights file from its raw parts: the header length, the header, the data."""
    (directory / WEIGHTS_FILE).write_bytes(struct.pack("<Q", len(header)) + header + data)


def write_raw_tensor(directory: Path, dtype: str, shape: tuple[int, int], data: bytes) -> None:
    """Writes a weights file holding one tensor given as its type name, shape and bytes."""
    write_safetensors(directory / WEIGHTS_FILE, "t", dtype, shape, data)


@pytest.fixture
def make_model_dir(tmp_path_factory: pytest.TempPathFactory) -> MakeModelDir:
    """A function that writes `table` (converted to `dtype` when given) as the one
    tensor of a weights file in a new directory, and returns that directory."""

    def make(table: npt.ArrayLike, dtype: npt.DTypeLike = None) -> Path:
        directory = tmp_path_factory.mktemp("model")
        save_file({"embeddings": np.ascontiguousarray(table, dtype=dtype)}, directory / WEIGHTS_FILE)
        return directory

    return make


@pytest.fixture
def model_dir(make_model_dir: MakeModelDir) -> str:
    """The text of a directory whose weights file holds SMALL_TABLE."""
    return str(make_model_dir(SMALL_TABLE))


@pytest.fixture
def embedding(model_dir: str) -> StaticEmbedding:
    return StaticEmbedding(model_dir)


@pytest.fixture(scope="session")
def panic_exception(tmp_path_factory: pytest.TempPathFactory) -> type[BaseException]:
    """The module's PanicException class, which it creates on first use and
    does not export: caught from an id past the end of a table."""
    directory = tmp_path_factory.mktemp("panic")
    save_file({"embeddings": SMALL_TABLE}, directory / WEIGHTS_FILE)
    with pytest.raises(BaseException) as caught:
        StaticEmbedding(str(directory)).embed_tokens([len(SMALL_TABLE)])
    assert type(caught.value).__name__ == "PanicException"
    return type(caught.value)
