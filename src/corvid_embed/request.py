"""A corpus run as asked for: what embed_files and the command hand to the run, checked."""

from dataclasses import dataclass
from typing import Any, Literal

from corvid_embed.defaults import SCHEDULER_WAIT, DType
from corvid_embed.reading.pieces import Fields

type Format = Literal["npy", "parquet"]


@dataclass(frozen=True)
class Request:
    model_dir: str  # absolute
    inputs: list[str]  # as given; "-" for standard input
    output: str
    fields: Fields
    format: Format
    dtype: DType
    shard_rows: int | None
    workers: int
    resume: bool
    normalize: bool
    batch_size: int
    progress: str | None  # "bar", "log" or None
    scheduler: Any = None
    scheduler_wait: float = SCHEDULER_WAIT
