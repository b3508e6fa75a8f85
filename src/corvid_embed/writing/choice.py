"""The writer of a run, chosen from what it asks for and its plan."""

from pathlib import Path

from corvid_embed.planning.plan import InputFile, Plan
from corvid_embed.request import Request
from corvid_embed.writing.joined import JoinedWriter
from corvid_embed.writing.manifest import run_settings
from corvid_embed.writing.npy import NpyWriter
from corvid_embed.writing.paths import output_directory, output_file
from corvid_embed.writing.shards import ShardWriter
from corvid_embed.writing.writer import OutputWriter


def output_path(request: Request) -> Path:
    """The output's directory (shards) or file, checked before any input is read."""
    return output_directory(request.output) if request.shard_rows else output_file(request.output, request.inputs)


def writer_for(request: Request, output: Path, inputs: list[InputFile], plan: Plan, columns: int,
               string_ids: bool | None, model_files: list[Path], on_this_machine: bool) -> OutputWriter:
    """Shards with `shard_rows`; else one file, which workers on this machine write a .npy of in
    place, and which is joined from parts of their own otherwise (Parquet, or a cluster's
    workers, which may not share a file's pages)."""
    if request.shard_rows:
        options = {"format": request.format, "dtype": request.dtype, "columns": columns, "normalize": request.normalize,
                   "field": request.fields.text, "id_field": request.fields.id,
                   "id_type": None if string_ids is None else "string" if string_ids else "integer",
                   "shard_rows": request.shard_rows}
        settings = run_settings(model_files, [file.path for file in inputs], options)
        return ShardWriter(output, settings, request.resume, plan)
    if request.format == "npy" and on_this_machine:
        return NpyWriter(output, plan.rows, columns, request.dtype)
    return JoinedWriter(output, request.format, request.dtype, columns, plan.rows, len(plan.parts))
