"""corvid-embed MODEL_DIR INPUT... -o OUTPUT: the command line of embed_files."""

import argparse
import logging
import sys

from corvid_embed.api import DEFAULT_BATCH_SIZE, FORMATS, MAX_BATCH_SIZE, MAX_WORKERS, embed_files
from corvid_embed.errors import EmbedError
from corvid_embed.executors import SCHEDULER_WAIT
from corvid_embed.signals import Terminated, terminating_signals_raise


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
        description="Embed text files (one text per line), JSON Lines or Parquet files into a float32 .npy "
                    "matrix, a Parquet file or a directory of shards, one row per text, with a model "
                    "directory's model.safetensors and tokenizer.json.")
    parser.add_argument("model_dir", metavar="MODEL_DIR")
    parser.add_argument("inputs", metavar="INPUT", nargs="+",
                        help="files embedded in this order: .jsonl/.ndjson (JSON Lines), .parquet, or text; "
                             "- reads standard input (alone)")
    parser.add_argument("-o", "--output", metavar="OUTPUT", required=True,
                        help="the .npy or .parquet file; with --shard-rows, a directory")
    parser.add_argument("--format", choices=FORMATS,
                        help="npy (the default) or parquet (columns id and embedding); "
                             "an OUTPUT ending in .parquet means parquet")
    parser.add_argument("--field", default="text", metavar="NAME",
                        help="the text's field (JSON Lines) or column (Parquet); default text")
    parser.add_argument("--id-field", metavar="NAME",
                        help="the field or column whose value goes in the id column (Parquet output), "
                             "instead of the row number")
    parser.add_argument("--shard-rows", type=count(None), metavar="N",
                        help="write OUTPUT as a directory of shards of at most N rows and a manifest.json")
    parser.add_argument("--resume", action="store_true",
                        help="complete the shards of an interrupted --shard-rows run into the same OUTPUT")
    parser.add_argument("--workers", type=count(MAX_WORKERS), metavar="N",
                        help="worker processes on this machine (default 1: this process)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
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


def main(argv: list[str] | None = None) -> None:
    command = parser()
    args = command.parse_args(argv)
    if args.scheduler is not None and args.workers is not None:
        command.error("--scheduler and --workers exclude each other: the cluster's workers do the work")
    if args.scheduler is not None:
        quiet_dask_client()
    try:
        with terminating_signals_raise():
            embed_files(args.model_dir, args.inputs, args.output, field=args.field, id_field=args.id_field,
                        format=args.format, shard_rows=args.shard_rows, workers=args.workers or 1,
                        resume=args.resume, normalize=args.normalize, batch_size=args.batch_size,
                        progress=not args.quiet, scheduler=args.scheduler, scheduler_wait=args.scheduler_wait)
    except EmbedError as error:
        # Some reasons (the module's path error) span lines; the command's message is one line.
        sys.exit(f"corvid-embed: error: {' '.join(str(error).split())}")
    except KeyboardInterrupt:
        sys.exit(130)
    except Terminated as signal:
        sys.exit(128 + signal.signal_number)
