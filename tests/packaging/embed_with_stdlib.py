"""Embeds with the installed corvid_py using nothing but the standard library:
writes a small F32 table in the safetensors layout and compares embed_tokens
with a float32 reference computed in pure Python, bit for bit. Run by
bare_machine_test inside a venv that holds only the wheel."""

import json
import math
import pathlib
import struct
import tempfile

import corvid_py


def f32(value: float) -> float:
    """`value` rounded to single precision. Each reference step below rounds
    once, as single-precision arithmetic does: a double result of +, -, *, /
    or sqrt on single-precision operands rounds to the same single."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


TABLE = [[f32(v) for v in row] for row in [
    [0.1, -2.5, 3.75, 1e-3],
    [7.0, -0.3, 123.456, 0.5],
    [-1.0, 1.0, 2.0 ** -20, 1e10],
    [3.3, 4.4, -5.5, 6.6],
]]
IDS = [2, 0, 3, 0, 1]


def write_table(directory: pathlib.Path) -> None:
    data = struct.pack(f"<{len(TABLE) * len(TABLE[0])}f", *(v for row in TABLE for v in row))
    header = json.dumps({"embeddings": {
        "dtype": "F32", "shape": [len(TABLE), len(TABLE[0])], "data_offsets": [0, len(data)],
    }}).encode()
    (directory / "model.safetensors").write_bytes(struct.pack("<Q", len(header)) + header + data)


def reference(normalize: bool) -> list[float]:
    """Rows summed in id order, divided by the count, then optionally divided
    by the root of the squares summed element by element (at least 1e-12)."""
    total = [0.0] * len(TABLE[0])
    for i in IDS:
        total = [f32(t + v) for t, v in zip(total, TABLE[i])]
    mean = [f32(t / len(IDS)) for t in total]
    if not normalize:
        return mean
    squares = 0.0
    for v in mean:
        squares = f32(squares + f32(v * v))
    norm = max(f32(math.sqrt(squares)), f32(1e-12))
    return [f32(v / norm) for v in mean]


def main() -> None:
    print(f"corvid_py from {corvid_py.__file__}")
    failed = 0
    with tempfile.TemporaryDirectory() as directory:
        write_table(pathlib.Path(directory))
        for normalize in (False, True):
            result = corvid_py.StaticEmbedding(directory, normalize=normalize).embed_tokens(IDS)
            expected = reference(normalize)
            same = [struct.pack("<d", r) for r in result] == [struct.pack("<d", e) for e in expected]
            print(f"normalize={normalize}: {'bit-identical' if same else f'{result} != {expected}'}")
            failed += not same
    print(f"bare machine: {2 - failed} passed, {failed} failed")
    raise SystemExit(failed != 0)


if __name__ == "__main__":
    main()
