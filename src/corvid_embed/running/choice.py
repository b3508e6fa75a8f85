"""The executor of a run, chosen from where it is asked to run."""

from typing import Any

from corvid_embed.running.dask import OnDask
from corvid_embed.running.executor import Executor
from corvid_embed.running.this_process import InThisProcess
from corvid_embed.running.worker_pool import WorkerPool


def executor(workers: int, scheduler: Any, scheduler_wait: float) -> Executor:
    """A Dask cluster's, when a scheduler is given; else `workers` local processes, or this
    process for one."""
    if scheduler is not None:
        return OnDask(scheduler, scheduler_wait)
    return WorkerPool(workers) if workers > 1 else InThisProcess()
