"""A corpus run: files in, one .npy or Parquet file or a directory of shards out, in four steps,
each in its own folder: the inputs are read where they stand (reading), cut into parts (planning),
the parts run on an executor (running), each writing its rows where the output's writer says
(writing).

The calling process plans and watches: texts and rows never pass through it. The first failing
row in input order is the one reported, whatever the number of workers.
"""

import os
import threading
from collections import deque
from concurrent.futures import FIRST_COMPLETED, Future, wait
from contextlib import ExitStack

from corvid_embed.embedding.model_files import check_model, model_files
from corvid_embed.failures import EmbedError
from corvid_embed.part_job import Job, embed_part
from corvid_embed.planning.parts import Part
from corvid_embed.planning.plan import Count, InputFile, plan
from corvid_embed.reading.pieces import Piece
from corvid_embed.reading.rows import count_rows, first_id_is_string
from corvid_embed.reading.standard_input import standard_input_copy
from corvid_embed.request import Request
from corvid_embed.running.choice import executor
from corvid_embed.running.executor import Executor
from corvid_embed.running.janitor import janitor
from corvid_embed.running.progress import Progress
from corvid_embed.writing.choice import output_path, writer_for
from corvid_embed.writing.writer import OutputWriter, PartOutcome

# How often the watching loop wakes to draw progress, in seconds.
WATCH_INTERVAL = 0.5


def run(request: Request) -> None:
    """Embeds the request's inputs into its output; EmbedError for any failure, after which
    nothing is left but complete shards and their manifest."""
    with janitor(), executor(request.workers, request.scheduler, request.scheduler_wait) as place, \
            ExitStack() as stack:
        model = check_model(request.model_dir)
        inputs = [InputFile(str(stack.enter_context(standard_input_copy())), "standard input") if path == "-"
                  else InputFile(os.path.abspath(path), path) for path in request.inputs]
        output = output_path(request)
        corpus = plan(inputs, request.fields, request.shard_rows, count_where(place), place.capacity)
        first = corpus.parts[0].spans[0] if corpus.parts else None
        string_ids = first_id_is_string(first.piece, request.fields, first.skip) if first else None
        job = Job(request.model_dir, model.identity, request.normalize, request.fields, request.batch_size,
                  model.shape.columns, string_ids)
        writer = writer_for(request, output, inputs, corpus, model.shape.columns, string_ids,
                            model_files(request.model_dir), place.on_this_machine)
        try:
            todo = writer.todo(corpus.parts)
            with Progress(sum(part.rows for part in todo), request.progress) as progress:
                watch(place, job, todo, writer, progress)
            place.close()
        except BaseException:
            place.abort()  # the workers stop before the writer removes their files
            writer.abandon()
            raise
        writer.commit()


def count_where(place: Executor) -> Count:
    """Rows are counted where the parts run on a cluster, so that the client reads no corpus;
    on this machine they are counted here (newlines at GB/s, a small share of a run), so that no
    worker starts before there are parts for it."""
    def count(groups: list[list[Piece]]) -> list[list[int]]:
        if place.on_this_machine:
            return [count_rows(group) for group in groups]
        futures = [place.submit(count_rows, group, what=f"(counting) {group[0].name}") for group in groups]
        return [future.result() for future in futures]
    return count


def watch(place: Executor, job: Job, parts: list[Part], writer: OutputWriter, progress: Progress) -> None:
    """Runs the parts, in order, at most the executor's capacity at a time; records each that
    completes; raises the first failure in row order once every earlier part has completed."""
    watcher = threading.get_ident()

    def on_rows(rows: int) -> None:
        progress.add(rows)
        if threading.get_ident() == watcher:  # a part run in this thread: no loop draws meanwhile
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
                failures.append((outcome.failure.row, outcome.failure.reason))
                continue
            if not place.streams_rows:
                progress.add(outcome.rows)
            writer.completed(part, outcome)
        progress.show()
    if failures:
        progress.close()
        raise EmbedError(min(failures)[1])
