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
from typing import Any, Literal

from corvid_embed.errors import EmbedError
from corvid_embed.executors import InThisProcess, OnDask, WorkerPool, executor
from corvid_embed.inputs import Fields, count_rows
from corvid_embed.janitor import janitor
from corvid_embed.manifest import MANIFEST, Manifest, read_manifest, run_settings
from corvid_embed.model_files import check_model
from corvid_embed.npy_file import join_npy, start_npy
from corvid_embed.output_paths import (cannot_write, create_temporary, create_temporary_directory, output_directory,
                                       output_file, remove, rename)
from corvid_embed.parquet_output import MIXED_IDS, join_parquet
from corvid_embed.part_embedding import FileOfItsOwn, Job, PartOutcome, RowsInFile, Target, embed_part
from corvid_embed.parts import InputFile, Part, cut, plan_parts
from corvid_embed.progress import Progress
from corvid_embed.standard_input import spool_standard_input

type Format = Literal["npy", "parquet"]

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
    scheduler_wait: float = 60.0


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
            writer: OutputWriter = ShardWriter(output, request, model_dir, inputs, columns, total)
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
    """Each piece's rows: those the planning did not know, counted by the executor,
    COUNT_PIECES a call."""
    unknown = [piece for piece, rows in pieces_and_counts if rows is None]
    groups = [unknown[start:start + COUNT_PIECES] for start in range(0, len(unknown), COUNT_PIECES)]
    futures = [place.submit(count_rows, group, what=f"(counting) {group[0].name}") for group in groups]
    counted = iter([rows for future in futures for rows in future.result()])
    return [rows if rows is not None else next(counted) for _, rows in pieces_and_counts]


def watch(place: InThisProcess | WorkerPool | OnDask, job: Job, parts: list[Part], writer: "OutputWriter",
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


# ---- Outputs ---------------------------------------------------------------------------------


class OutputWriter:
    """What the parent does for an output: where each part writes, what completes it."""

    def todo(self, parts: list[Part]) -> list[Part]:
        return parts

    def target(self, part: Part) -> Target:
        raise NotImplementedError

    def completed(self, part: Part, outcome: PartOutcome) -> None:
        pass

    def commit(self) -> None:
        raise NotImplementedError

    def discard(self) -> None:
        raise NotImplementedError


class NpyWriter(OutputWriter):
    """One .npy file, reserved whole before the workers write their rows into it."""

    def __init__(self, final: Path, rows: int, columns: int) -> None:
        self.final = final
        self.temporary: Path | None = create_temporary(final)
        try:
            self.offset = start_npy(self.temporary, rows, columns, final)
        except BaseException:
            self.discard()
            raise

    def target(self, part: Part) -> Target:
        return RowsInFile(str(self.temporary), self.offset, str(self.final))

    def commit(self) -> None:
        assert self.temporary is not None
        try:
            descriptor = os.open(self.temporary, os.O_RDONLY | os.O_CLOEXEC)
            try:
                os.fsync(descriptor)
            finally:
                os.close(descriptor)
            rename(self.temporary, self.final)
        except OSError as error:
            raise cannot_write(self.final, error) from None
        self.temporary = None

    def discard(self) -> None:
        if self.temporary is not None:
            remove(self.temporary)


class IdTypes:
    """Parts write their own ids; they must all be integers or all strings."""

    def __init__(self) -> None:
        self.string_ids: bool | None = None

    def check(self, outcome: PartOutcome) -> None:
        if outcome.string_ids is not None:
            if self.string_ids is not None and self.string_ids != outcome.string_ids:
                raise EmbedError(MIXED_IDS)
            self.string_ids = outcome.string_ids


class JoinedWriter(OutputWriter):
    """One file: each part writes a file of its own into a temporary directory beside it; they
    are joined into the output at the end, in one pass that holds a piece of a file at a time."""

    def __init__(self, final: Path, format: Format, columns: int, rows: int, parts: int) -> None:
        self.final, self.format, self.columns, self.rows = final, format, columns, rows
        self.directory: Path | None = create_temporary_directory(final)
        self.ids = IdTypes()
        self.paths = [self.directory / f"part-{index:05d}.{format}" for index in range(parts)]

    def target(self, part: Part) -> Target:
        return FileOfItsOwn(str(self.paths[part.index]), self.format)

    def completed(self, part: Part, outcome: PartOutcome) -> None:
        self.ids.check(outcome)

    def commit(self) -> None:
        assert self.directory is not None
        temporary = create_temporary(self.final)
        try:
            if self.format == "parquet":
                join_parquet(self.paths, temporary, self.columns, self.final)
            else:
                join_npy(self.paths, temporary, self.rows, self.columns, self.final)
            rename(temporary, self.final)
        except OSError as error:
            raise cannot_write(self.final, error) from None
        finally:
            remove(temporary)
        self.discard()

    def discard(self) -> None:
        if self.directory is not None:
            remove(self.directory)
            self.directory = None


class ShardWriter(OutputWriter):
    """A directory of shards, part-00000.npy (or .parquet) and so on, one a part, and the
    manifest that records those complete."""

    def __init__(self, directory: Path, request: Request, model_dir: str, inputs: list[InputFile], columns: int,
                 total: int) -> None:
        self.directory, self.format, self.total = directory, request.format, total
        self.ids = IdTypes()
        options = {"format": request.format, "columns": columns, "normalize": request.normalize,
                   "field": request.fields.text, "id_field": request.fields.id, "shard_rows": request.shard_rows}
        settings = run_settings(model_dir, [file.path for file in inputs], options)
        self.created = False
        if request.resume:
            self.manifest = read_manifest(directory, settings)
        else:
            if directory.is_dir() and any(p.name == MANIFEST or p.name.startswith("part-") for p in directory.iterdir()):
                raise EmbedError(f"{directory} already holds shards: give --resume to complete them, "
                                 f"or another directory")
            try:
                directory.mkdir(exist_ok=True)
                self.created = not any(directory.iterdir())
            except OSError as error:
                raise cannot_write(directory, error) from None
            self.manifest = Manifest(settings)

    def name(self, part: Part) -> str:
        return f"part-{part.index:05d}.{self.format}"

    def todo(self, parts: list[Part]) -> list[Part]:
        done = {(shard["path"], shard["first_row"], shard["rows"]) for shard in self.manifest.shards
                if (self.directory / shard["path"]).is_file()}
        self.manifest.shards = [shard for shard in self.manifest.shards
                                if (shard["path"], shard["first_row"], shard["rows"]) in done]
        return [part for part in parts if (self.name(part), part.first_row, part.rows) not in done]

    def target(self, part: Part) -> Target:
        return FileOfItsOwn(str(self.directory / self.name(part)), self.format)

    def completed(self, part: Part, outcome: PartOutcome) -> None:
        self.ids.check(outcome)
        assert outcome.path is not None
        self.manifest.shards.append({"path": Path(outcome.path).name, "first_row": part.first_row, "rows": part.rows})
        self.manifest.write(self.directory)

    def commit(self) -> None:
        self.manifest.rows = self.total
        self.manifest.write(self.directory)
        self.created = False

    def discard(self) -> None:
        """Called at the end of every run, complete or not."""
        # A worker killed outright leaves its shard's temporary file; the worker cannot remove
        # it, and on a cluster the part has run again, under another temporary name.
        for temporary in self.directory.glob(".part-*.part"):
            remove(temporary)
        # Complete shards stay for --resume; a directory this run made and filled with nothing goes.
        if self.created and not self.manifest.shards:
            try:
                self.directory.rmdir()
            except OSError:
                pass
