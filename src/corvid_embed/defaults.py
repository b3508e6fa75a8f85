"""Defaults and limits that the command and the functions share: a module of constants only, so
that the command answers --help and argument errors without importing the rest."""

from typing import Literal

DEFAULT_BATCH_SIZE = 1024
# Beyond these a run would only exhaust the machine: processes, or memory for one batch.
MAX_WORKERS = 1024
MAX_BATCH_SIZE = 1 << 20
FORMATS = ("npy", "parquet")
# The element types of an output's rows.
type DType = Literal["float32", "float16"]
DTYPES = ("float32", "float16")
# Seconds to wait for a first worker on a Dask scheduler that has none, unless told otherwise.
SCHEDULER_WAIT = 60.0
