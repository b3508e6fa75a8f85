"""corvid-embed MODEL_DIR INPUT... -o OUTPUT: the command line of embed_files.

It answers --help and argument errors before importing anything that a run needs (the extension,
tokenizers, numpy, Dask)."""

import argparse
import logging
import sys

from corvid_embed.defaults import DEFAULT_BATCH_SIZE, DTYPES, FORMATS, MAX_BATCH_SIZE, MAX_WORKERS, SCHEDULER_WAIT
from corvid_embed.failures import EmbedError, one_line


def count(limit: int | None) -> "argparse._TypeConverter":  # type: ignore[name-defined]
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < 1 or (limit is not None and value > limit):
            raise argparse.ArgumentTypeError(f"must be from 1 to {limit}, not {value}" if limit
                                             else f"must be at least 1, not {value}")
        return value
    return parse


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value < 1e6:
        raise argparse.ArgumentTypeError(f"must be more than 0 and less than a million, not {text}")
    return value


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvid-embed",
        description="Embed text files (one text per line), JSON Lines or Parquet files into a .npy matrix, a "
                    "Parquet file or a directory of shards, one row per text, with a model directory's "
                    "model.safetensors and tokenizer.json.")
    parser.add_argument("model_dir", metavar="MODEL_DIR")
    parser.add_argument("inputs", metavar="INPUT", nargs="+",
                        help="files embedded in this order: .jsonl/.ndjson (JSON Lines), .parquet, or text, "
                             "the first two and text also compressed (.gz, .bz2, .xz, .zst); - reads standard "
                             "input (alone, compressed or not)")
    parser.add_argument("-o", "--output", metavar="OUTPUT", required=True,
                        help="the .npy or .parquet file; with --shard-rows, a directory")
    parser.add_argument("--format", choices=FORMATS,
                        help="npy (the default) or parquet (columns id and embedding); "
                             "an OUTPUT ending in .parquet means parquet")
    parser.add_argument("--dtype", choices=DTYPES, default="float32",
                        help="the rows' element type: float32 (the default) or float16, rounded as numpy rounds")
    parser.add_argument("--field", default="text", metavar="NAME",
                        help="the text's field (JSON Lines) or column (Parquet); default text")
    parser.add_argument("--id-field", metavar="NAME",
                        help="the field or column whose value goes in the id column (Parquet output), "
                             "instead of the row number")
    parser.add_argument("--shard-rows", type=count(None), metavar="N",
                        help="write OUTPUT as a directory of shards of at most N rows and a manifest.json")
    parser.add_argument("--resume", action="store_true",
                        help="complete the shards of an interrupted --shard-rows run into the same OUTPUT")
    where = parser.add_mutually_exclusive_group()  # a cluster's workers do the work
    where.add_argument("--workers", type=count(MAX_WORKERS), metavar="N",
                       help="worker processes on this machine (default 1: this process)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster of this scheduler, e.g. tcp://host:8786")
    parser.add_argument("--scheduler-wait", type=seconds, default=SCHEDULER_WAIT, metavar="SECONDS",
                        help=f"how long to wait for a first worker on the scheduler (default {SCHEDULER_WAIT:g})")
    parser.add_argument("--batch-size", type=count(MAX_BATCH_SIZE), default=DEFAULT_BATCH_SIZE, metavar="N",
                        help=f"texts per batch (default {DEFAULT_BATCH_SIZE})")
    parser.add_argument("--no-normalize", dest="normalize", action="store_false",
                        help="keep the mean of the rows, not scaled to unit length")
    parser.add_argument("--quiet", action="store_true", help="no progress on standard error")
    return parser


def quiet_dask_client() -> None:
    """Leaves standard error to the command's own lines on a cluster. When a run stops early,
    Dask's client logs how its connection ended (a batched send cut off, a timed-out wait that
    its stopped event loop never collects): noise to a user whose run has said how it ended."""
    try:
        import distributed  # noqa: F401  its import sets its loggers' levels; these come after
    except ImportError:
        return  # the run says what is missing
    logging.getLogger("distributed").setLevel(logging.WARNING)
    logging.getLogger("asyncio").setLevel(logging.CRITICAL)


def flag(name: str, value: str | None = None) -> str:
    """How the command names an option of embed_files, and one of its values."""
    return f"--{name.replace('_', '-')}" + ("" if value is None else f" {value}")


def main(argv: list[str] | None = None) -> None:
    args = parser().parse_args(argv)
    from corvid_embed.api import files_request, run_files
    from corvid_embed.reading.pieces import Fields
    from corvid_embed.running.progress import progress_mode
    from corvid_embed.running.signals import Terminated, terminating_signals_raise

    if args.scheduler is not None:
        quiet_dask_client()
    try:
        with terminating_signals_raise():
            run_files(files_request(args.model_dir, args.inputs, args.output, Fields(args.field, args.id_field),
                                    args.format, args.dtype, args.shard_rows, args.workers or 1, args.resume, args.normalize,
                                    args.batch_size, progress_mode(not args.quiet), args.scheduler,
                                    args.scheduler_wait), flag)
    except EmbedError as error:
        sys.exit(f"corvid-embed: error: {one_line(error)}")
    except KeyboardInterrupt:
        sys.exit(130)
    except Terminated as signal:
        sys.exit(128 + signal.signal_number)
