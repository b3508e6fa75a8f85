"""Loading the weights file on the first embed_tokens call: the tensor chosen, load errors, retries."""

import json
import os
import signal
import struct
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pytest
from safetensors.numpy import save_file

from conftest import SMALL_TABLE, WEIGHTS_FILE, MakeModelDir, write_raw_tensor, write_weights
from corvid_py import StaticEmbedding
from exact_raises import raises_exactly

NOT_FOUND = "Could not find tensor details for the current safetensors model"


def first_usable_tensor(path: Path) -> str:
    """The first header entry, in file order, that describes a two-dimensional tensor."""
    (length,) = struct.unpack("<Q", path.read_bytes()[:8])
    header = json.loads(path.read_bytes()[8 : 8 + length])
    return next(name for name, entry in header.items() if name != "__metadata__" and len(entry["shape"]) == 2)


@pytest.mark.parametrize("dtype", ["float64", "float32", "float16", "int64", "int32", "int16", "int8", "uint8", "bool"])
def test_files_from_the_safetensors_package_give_their_first_usable_tensor(tmp_path: Path, dtype: str) -> None:
    rng = np.random.default_rng(5)
    tensors = {
        "cube": rng.standard_normal((2, 2, 2)).astype(np.float32),
        "table": (rng.standard_normal((6, 5)) * 50).astype(dtype),
        "other": (rng.standard_normal((3, 4)) * 50).astype("int16" if dtype != "int16" else "float32"),
        "vector": rng.standard_normal(4).astype(np.float64),
    }
    save_file(tensors, str(tmp_path / WEIGHTS_FILE), metadata={"format": "np"})
    chosen = tensors[first_usable_tensor(tmp_path / WEIGHTS_FILE)]
    embedding = StaticEmbedding(str(tmp_path), normalize=False)
    rows = [embedding.embed_tokens([i]) for i in range(len(chosen))]
    assert np.array_equal(np.float32(rows), chosen.astype(np.float32))


@pytest.mark.parametrize(
    ("header", "data"),
    [
        (b'{"__metadata__":{"a":"b"},"t":{"dtype":"F32","shape":[1,2],"data_offsets":[8,16]}}', b"\0" * 8),
        (b'{"t":{"dtype":"Q4","shape":[1,2],"data_offsets":[0,8]},"u":["F32",[1,2],[8,16]]}', b"\0" * 8),
        (b'{"t":{"dtype":"F32","shape":[1,2,1],"data_offsets":[0,8]},"u":{"dtype":{"F32":null},"shape":[1,2],"data_offsets":[8,16]}}', b"\0" * 8),
        (b'{"u":1,"t":2,"u":{"dtype":"F32","shape":[1,2],"data_offsets":[8,16]}}', b"\0" * 8),
    ],
    ids=["after-metadata", "after-unknown-dtype", "after-three-dimensions", "repeated-name-keeps-first-place"],
)
def test_the_first_entry_that_decodes_is_chosen(tmp_path: Path, header: bytes, data: bytes) -> None:
    write_weights(tmp_path, header, data + struct.pack("<2f", 1.5, -2.5))
    assert StaticEmbedding(str(tmp_path), False).embed_tokens([0]) == [1.5, -2.5]


@pytest.mark.parametrize(
    ("raw", "message"),
    [
        (struct.pack("<Q", 2) + b"{}", NOT_FOUND),
        (struct.pack("<Q", 18) + b'{"__metadata__":1}', NOT_FOUND),
        (struct.pack("<Q", 0), "SerDe Error: "),
        (struct.pack("<Q", 2) + b"[]", "SerDe Error: "),
        (struct.pack("<Q", 8) + b'{"a":1,}', "SerDe Error: "),
        (struct.pack("<Q", 3) + b"{}\0", "SerDe Error: "),
    ],
    ids=["empty-object", "only-metadata", "empty-header", "array", "trailing-comma", "nul-padding"],
)
def test_a_bad_header_fails_every_call_with_its_text(tmp_path: Path, raw: bytes, message: str) -> None:
    (tmp_path / WEIGHTS_FILE).write_bytes(raw)
    embedding = StaticEmbedding(str(tmp_path))
    for tokens in ([], [0]):
        with pytest.raises(RuntimeError) as caught:
            embedding.embed_tokens(tokens)
        text = str(caught.value)
        assert text == message if message == NOT_FOUND else text.startswith(message) and " at line 1 column " in text
        assert not hasattr(caught.value, "__notes__")


def test_the_position_of_a_header_error_counts_from_the_header(tmp_path: Path) -> None:
    write_weights(tmp_path, b'{\n  "a": 1\n  "b": 2}')
    with pytest.raises(RuntimeError, match=r"^SerDe Error: .* at line 3 column 3$"):
        StaticEmbedding(str(tmp_path)).embed_tokens([0])


@pytest.mark.parametrize(
    ("raw", "message"),
    [
        (b"\0" * 7, "mid > len"),
        (struct.pack("<Q", 3) + b"{}", "mid > len"),
        (struct.pack("<Q", 2**64 - 1) + b"{}", "mid > len"),
        (struct.pack("<Q", 48) + b'{"t":["F32",[1,1],[0,5]]}'.ljust(48) + b"1234", "range end index 5 out of range for slice of length 4"),
        (struct.pack("<Q", 48) + b'{"t":["F32",[1,1],[6,8]]}'.ljust(48) + b"1234", "range start index 6 out of range for slice of length 4"),
        (struct.pack("<Q", 48) + b'{"t":["F32",[1,1],[3,2]]}'.ljust(48) + b"1234", "slice index starts at 3 but ends at 2"),
    ],
    ids=["seven-bytes", "length-past-end", "length-near-2**64", "end-past-data", "start-past-data", "reversed"],
)
def test_a_file_inconsistent_with_itself_panics_and_the_object_stays_usable(
    tmp_path: Path, raw: bytes, message: str
) -> None:
    (tmp_path / WEIGHTS_FILE).write_bytes(raw)
    embedding = StaticEmbedding(str(tmp_path))
    for _ in range(2):
        with pytest.raises(BaseException) as caught:
            embedding.embed_tokens([0])
        assert (type(caught.value).__name__, str(caught.value)) == ("PanicException", message)


class TestFileTrouble:
    def test_a_deleted_file_fails_until_it_is_restored(self, model_dir: str) -> None:
        path = Path(model_dir) / WEIGHTS_FILE
        saved = path.read_bytes()
        embedding = StaticEmbedding(model_dir)
        path.unlink()
        with raises_exactly(RuntimeError, "IO Error: entity not found. Details: No such file or directory (os error 2)"):
            embedding.embed_tokens([0])
        path.write_bytes(saved)
        assert len(embedding.embed_tokens([0])) == 3

    def test_results_ignore_changes_to_the_file_after_the_load(
        self, make_model_dir: MakeModelDir, model_dir: str
    ) -> None:
        embedding = StaticEmbedding(model_dir)
        before = embedding.embed_tokens([0, 1])
        (make_model_dir(np.zeros((4, 3), np.float32)) / WEIGHTS_FILE).replace(Path(model_dir) / WEIGHTS_FILE)
        assert embedding.embed_tokens([0, 1]) == before

    def test_rows_decoded_before_a_failing_id_stay_usable(self, make_model_dir: MakeModelDir) -> None:
        embedding = StaticEmbedding(str(make_model_dir(np.float16([[1, 2], [3, 4]]))), False)
        with pytest.raises(BaseException, match="range end index 12"):
            embedding.embed_tokens([1, 2])
        assert embedding.embed_tokens([1]) == [3.0, 4.0]

    def test_a_relative_directory_is_fixed_at_construction(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        """At the first call the working directory holds another model by the same
        relative name; the object still loads the one construction found."""
        for base, table in (("a", SMALL_TABLE), ("b", SMALL_TABLE + 100)):
            (tmp_path / base / "model").mkdir(parents=True)
            write_raw_tensor(tmp_path / base / "model", "F32", table.shape, table.tobytes())
        monkeypatch.chdir(tmp_path / "a")
        embedding = StaticEmbedding("model", False)
        monkeypatch.chdir(tmp_path / "b")
        assert embedding.embed_tokens([1]) == SMALL_TABLE[1].tolist()


class Stop(Exception):
    """Raised by a signal handler the test installs."""


def raise_stop(signum: int, frame: object) -> None:
    raise Stop("stopped by the handler")


# Sends SIGINT to the process named by its argument after a moment. A process,
# not a thread: the load holds the interpreter lock, so no thread of ours runs.
SEND_SIGINT = "import os, signal, sys, time; time.sleep(0.2); os.kill(int(sys.argv[1]), signal.SIGINT)"


@pytest.mark.parametrize(
    ("handler", "error"),
    [(signal.default_int_handler, KeyboardInterrupt), (raise_stop, Stop)],
    ids=["ctrl-c", "own-handler"],
)
def test_a_signal_ends_a_long_load_with_what_its_handler_raised(
    tmp_path: Path, handler: Callable[[int, object], None], error: type[BaseException]
) -> None:
    """A load of several GiB takes seconds; SIGINT a moment into it ends the
    call with the handler's exception, nothing stored and the object free."""
    size = 2 * 2**30
    header = json.dumps({"t": {"dtype": "U8", "shape": [size // 1024, 1024], "data_offsets": [0, size]}}).encode()
    write_weights(tmp_path, header)
    with (tmp_path / WEIGHTS_FILE).open("r+b") as file:
        file.truncate(8 + len(header) + size)  # sparse: nothing is written
    embedding = StaticEmbedding(str(tmp_path), False)
    # Set explicitly: a runner started in the background may ignore SIGINT.
    previous = signal.signal(signal.SIGINT, handler)
    try:
        started = time.monotonic()
        sender = subprocess.Popen([sys.executable, "-c", SEND_SIGINT, str(os.getpid())])
        with pytest.raises(error) as caught:
            embedding.embed_tokens([0])
        ended = time.monotonic()
    finally:
        sender.kill()
        sender.wait(timeout=60)
        signal.signal(signal.SIGINT, previous)
    assert type(caught.value) is error and not hasattr(caught.value, "__notes__")
    assert ended - started < 10  # generous: the goal is a fraction of a second after the signal
    # A stored tensor would give 1024 zeros here; the file is read anew instead.
    (tmp_path / WEIGHTS_FILE).unlink()
    write_raw_tensor(tmp_path, "F32", (4, 3), SMALL_TABLE.tobytes())
    assert embedding.embed_tokens([2]) == SMALL_TABLE[2].tolist()
