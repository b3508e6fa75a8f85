"""A corpus run: files in, one .npy or Parquet file or a directory of shards out.

The calling process plans and watches: it checks the model, cuts the inputs into parts, reserves
the output, hands part descriptions to the executor and records what completes. Texts and rows
never pass through it; the parts' workers read and write them. The first failing row in input
order is the one reported, whatever the number of workers.

Local workers write a single .npy output in place, at their rows. Dask workers may not share a
file's pages with each other as one machine's processes do, and a worker lost mid-task must not
leave half-written rows in a file that others complete: on a cluster, every part writes a file of
its own, and a single output is joined from them at the end.
"""

import os
from collections import deque
from concurrent.futures import FIRST_COMPLETED, Future, wait
from contextlib import ExitStack
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from corvid_embed.errors import EmbedError
from corvid_embed.executors import SCHEDULER_WAIT, InThisProcess, OnDask, WorkerPool, executor
from corvid_embed.inputs import Fields, count_rows
from corvid_embed.janitor import janitor
from corvid_embed.manifest import run_settings
from corvid_embed.model_files import check_model
from corvid_embed.output_paths import output_directory, output_file, remove
from corvid_embed.output_writers import Format, JoinedWriter, NpyWriter, OutputWriter, ShardWriter
from corvid_embed.part_embedding import Job, PartOutcome, embed_part
from corvid_embed.parts import InputFile, Part, cut, plan_parts
from corvid_embed.progress import Progress
from corvid_embed.standard_input import spool_standard_input

# How often the watching loop wakes to draw progress, in seconds.
WATCH_INTERVAL = 0.5
# Pieces counted by one call: a cluster counts a corpus of 10,000 pieces in 157 tasks, not 10,000.
COUNT_PIECES = 64


@dataclass(frozen=True)
class Request:
    model_dir: str
    inputs: list[str]
    output: str
    fields: Fields
    format: Format
    shard_rows: int | None
    workers: int
    resume: bool
    normalize: bool
    batch_size: int
    progress: str | None  # "bar", "log" or None
    scheduler: Any = None
    scheduler_wait: float = SCHEDULER_WAIT


def run(request: Request) -> None:
    """Embeds the request's inputs into its output; EmbedError for any failure, after which
    nothing is left but complete shards and their manifest."""
    with janitor(), ExitStack() as cleanup:
        model_dir = os.path.abspath(request.model_dir)
        columns = check_model(model_dir).columns
        if request.scheduler is not None and "-" in request.inputs:
            # Its copy would be in this machine's temporary directory, which no worker sees.
            raise EmbedError("a Dask cluster's workers cannot read standard input: give a file on a file system "
                             "that they share")
        inputs = [InputFile(str(spool_standard_input()), "standard input") if path == "-"
                  else InputFile(os.path.abspath(path), path) for path in request.inputs]
        if request.inputs == ["-"]:
            cleanup.callback(remove, Path(inputs[0].path))
        output = (output_directory(request.output) if request.shard_rows
                  else output_file(request.output, request.inputs))
        pieces_and_counts = cut(inputs, request.fields)
        pieces = [piece for piece, _ in pieces_and_counts]
        # Rows are counted where the parts run on a cluster, so that the client reads no corpus;
        # locally they are counted here (newlines at GB/s, a small share of a run), so that no
        # more workers start than there are parts.
        place = executor(request.workers, request.scheduler, request.scheduler_wait) if request.scheduler else None
        if place is not None:
            cleanup.callback(place.abort)
        counts = count_all(place or InThisProcess(), pieces_and_counts)
        parts = plan_parts(pieces, counts, request.shard_rows)
        total = sum(counts)
        job = Job(model_dir, request.normalize, request.fields, request.batch_size, columns)
        if request.shard_rows:
            options = {"format": request.format, "columns": columns, "normalize": request.normalize,
                       "field": request.fields.text, "id_field": request.fields.id, "shard_rows": request.shard_rows}
            settings = run_settings(model_dir, [file.path for file in inputs], options)
            writer: OutputWriter = ShardWriter(output, settings, request.resume, total)
        elif request.format == "parquet" or request.scheduler is not None:
            writer = JoinedWriter(output, request.format, columns, total, len(parts))
        else:
            writer = NpyWriter(output, total, columns)
        cleanup.callback(writer.discard)
        todo = writer.todo(parts)
        if place is None:
            place = executor(min(request.workers, max(1, len(todo))), None, 0)
        cleanup.callback(place.abort)  # the workers stop before the writer's files are removed
        with Progress(sum(part.rows for part in todo), request.progress) as progress:
            watch(place, job, todo, writer, progress)
        place.close()
        writer.commit()


def count_all(place: Any, pieces_and_counts: list) -> list[int]:
    """Each piece's rows: those the planning did not know, counted by the executor."""
    unknown = [piece for piece, rows in pieces_and_counts if rows is None]
    futures = [place.submit(count_rows, group, what=f"(counting) {group[0].name}")
               for group in count_groups(unknown, place.capacity)]
    counted = iter([rows for future in futures for rows in future.result()])
    return [rows if rows is not None else next(counted) for _, rows in pieces_and_counts]


def count_groups(pieces: list, capacity: int) -> list[list]:
    """The pieces in consecutive groups of at most COUNT_PIECES, and at least `capacity` groups
    when there are that many pieces, so that every worker counts its share at once rather than
    one counting while the others wait for the plan."""
    groups = max(-(-len(pieces) // COUNT_PIECES), min(len(pieces), capacity))
    size = -(-len(pieces) // groups) if groups else 0
    return [pieces[start:start + size] for start in range(0, len(pieces), size or 1)]


def watch(place: InThisProcess | WorkerPool | OnDask, job: Job, parts: list[Part], writer: OutputWriter,
          progress: Progress) -> None:
    """Runs the parts, in order, at most the executor's capacity at a time; records each that
    completes; raises the first failure in row order once every earlier part has completed."""
    def on_rows(rows: int) -> None:
        progress.add(rows)
        if isinstance(place, InThisProcess):
            progress.show()

    queue = deque(parts)
    running: dict[Future, Part] = {}
    failures: list[tuple[int, str]] = []
    # After a failure no later part starts; the running parts that begin before the failing row
    # may still hold an earlier one, and are waited for; those after it are stopped on the way out.
    while any(not failures or part.first_row < min(failures)[0] for part in running.values()) \
            or (queue and not failures):
        while queue and not failures and len(running) < place.capacity:
            part = queue.popleft()
            running[place.submit(embed_part, job, part, writer.target(part), what=part.describe(),
                                 on_rows=on_rows)] = part
        done, _ = wait(running, WATCH_INTERVAL, FIRST_COMPLETED)
        for future in done:
            part = running.pop(future)
            outcome: PartOutcome = future.result()  # EmbedError: the model or the output failed
            if outcome.failure is not None:
                failures.append((outcome.failed_row, outcome.failure))
                continue
            if not place.streams_rows:
                progress.add(outcome.rows)
            writer.completed(part, outcome)
        progress.show()
    if failures:
        progress.close()
        raise EmbedError(min(failures)[1])
