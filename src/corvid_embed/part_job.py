"""Embedding one part: the function a worker runs, in this process, a local worker process or a
Dask worker alike. It reads the part's rows itself, embeds them with the process's model and
writes them through its target's part writer; it returns only counts, the path it wrote and its
first failure."""

from collections.abc import Callable
from dataclasses import dataclass

from corvid_embed.embedding.model_files import Identity
from corvid_embed.failures import EmbedError, RowFailure
from corvid_embed.planning.parts import Part
from corvid_embed.reading.pieces import Fields, IdType
from corvid_embed.reading.rows import read_rows
from corvid_embed.running.executor import Cancelled
from corvid_embed.writing.writer import PartOutcome, Target


@dataclass(frozen=True)
class Job:
    """What every part of a run shares."""

    model_dir: str
    model: Identity  # the model's files, as the run checked them
    normalize: bool
    fields: Fields
    batch_size: int
    columns: int
    string_ids: bool | None  # the type of the corpus's first id, which every id must have


def embed_part(job: Job, part: Part, target: Target, *, on_rows: Callable[[int], None] | None = None,
               cancelled: Callable[[], bool] | None = None) -> PartOutcome:
    """Embeds and writes the part; `on_rows` hears of each batch's row count as it is written,
    and `cancelled`, asked before each batch, stops the part when the run no longer wants it. A
    failing row ends the part and is returned; EmbedError when the model or the output fails."""
    # The model is needed only where parts run: a cluster's client never loads it.
    from corvid_embed.embedding.embedder import embed

    writer = target.open(job.columns, part, job.batch_size)
    done, ids = 0, IdType(job.string_ids)
    try:
        for span in part.spans:
            span_done = 0
            try:
                for texts, batch_ids in read_rows(span.piece, job.fields, span.skip, span.rows, job.batch_size, ids):
                    if cancelled is not None and cancelled():
                        raise Cancelled(part.describe())
                    packed, failure, _ = embed(job.model_dir, job.normalize, job.model, texts, writer.buffer)
                    if failure is not None:
                        raise RowFailure(span_done + failure.row, failure.reason)
                    writer.write(done, packed, batch_ids)
                    done += len(texts)
                    span_done += len(texts)
                    if on_rows is not None:
                        on_rows(len(texts))
            except RowFailure as failure:
                writer.discard()
                return PartOutcome(done, ids.strings, None, RowFailure(
                    part.first_row + done - span_done + failure.row, f"{span.label(failure.row)}: {failure.reason}"))
        if done != part.rows:
            raise EmbedError(f"{part.spans[0].piece.name} changed while it was read")
        return PartOutcome(done, ids.strings, writer.commit())
    except BaseException:
        writer.discard()
        raise
