"""Writes a deterministic model directory: a random embedding table in model.safetensors.

    python3.14 scripts/generate_model.py DIR [--rows N] [--dim D] [--dtype F32|F16|BF16|...] [--seed S]
"""

import argparse
import json
import pathlib

import numpy as np
from safetensors.numpy import save_file

# numpy has no bfloat16: those tables are written from float32 bit patterns.
NUMPY_DTYPES = {
    "F64": np.float64, "F32": np.float32, "F16": np.float16, "I64": np.int64, "I32": np.int32,
    "I16": np.int16, "I8": np.int8, "U8": np.uint8, "BOOL": np.bool_,
}


def bf16_bytes(table: np.ndarray) -> bytes:
    """Rounds float32 values to bfloat16 (nearest even) and returns the little-endian bytes."""
    bits = table.astype("<f4").view("<u4").astype(np.uint64)
    rounded = (bits + 0x7FFF + ((bits >> 16) & 1)) >> 16
    return rounded.astype("<u2").tobytes()


def write_safetensors(path: pathlib.Path, name: str, dtype: str, shape: tuple[int, int], data: bytes) -> None:
    """Writes one raw tensor in the safetensors layout (for dtypes numpy cannot name, and
    shapes the data does not fill)."""
    header = json.dumps({name: {"dtype": dtype, "shape": list(shape), "data_offsets": [0, len(data)]}}).encode()
    path.write_bytes(len(header).to_bytes(8, "little") + header + data)


def write_model(directory: pathlib.Path, rows: int, dim: int, dtype: str = "F32", seed: int = 0) -> pathlib.Path:
    """Creates `directory` with a rows x dim table of `dtype`; returns the weights file's path."""
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / "model.safetensors"
    rng = np.random.default_rng(seed)
    if dtype in ("F64", "F32", "F16", "BF16"):
        table = rng.standard_normal((rows, dim), dtype=np.float32)
    elif dtype == "BOOL":
        table = rng.integers(0, 2, (rows, dim))
    else:
        info = np.iinfo(NUMPY_DTYPES[dtype])
        table = rng.integers(max(info.min, -1000), min(info.max, 1000), (rows, dim), endpoint=True)
    if dtype == "BF16":
        write_safetensors(path, "embeddings", "BF16", (rows, dim), bf16_bytes(table))
    else:
        save_file({"embeddings": np.ascontiguousarray(table.astype(NUMPY_DTYPES[dtype]))}, str(path))
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", type=pathlib.Path)
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--dim", type=int, default=64)
    parser.add_argument("--dtype", default="F32", choices=[*NUMPY_DTYPES, "BF16"])
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    print(write_model(args.directory, args.rows, args.dim, args.dtype, args.seed))


if __name__ == "__main__":
    main()
