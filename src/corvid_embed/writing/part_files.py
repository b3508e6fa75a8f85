"""Where a part writes a file of its own, in the output's format."""

from corvid_embed.defaults import DType
from corvid_embed.writing.npy import NpyPart
from corvid_embed.writing.parquet import ParquetPart
from corvid_embed.writing.writer import Target


def part_file(path: str, name: str, format: str, dtype: DType) -> Target:
    """`name` is the output as messages name it."""
    return ParquetPart(path, name, dtype) if format == "parquet" else NpyPart(path, name, dtype)
