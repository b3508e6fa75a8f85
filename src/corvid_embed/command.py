"""corvid-embed MODEL_DIR INPUT -o OUTPUT.npy: embeds a file of one text per line."""

import argparse
import sys

from corvid_embed.api import DEFAULT_BATCH_SIZE
from corvid_embed.corpus_input import open_counted, texts
from corvid_embed.npy_output import NpyOutput
from corvid_embed.progress import progress_bar
from corvid_embed.runners import EmbedError, batched, run


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvid-embed",
        description="Embed a UTF-8 text file, one text per line, into a float32 .npy matrix "
                    "(one row per line) with a model directory's model.safetensors and tokenizer.json.")
    parser.add_argument("model_dir", metavar="MODEL_DIR")
    parser.add_argument("input", metavar="INPUT", help="the text file; - reads standard input")
    parser.add_argument("-o", "--output", metavar="OUTPUT.npy", required=True)
    parser.add_argument("--workers", type=positive, default=1, metavar="N",
                        help="worker processes on this machine (default 1: this process)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on the Dask cluster of this scheduler, e.g. tcp://host:8786")
    parser.add_argument("--batch-size", type=positive, default=DEFAULT_BATCH_SIZE, metavar="N",
                        help=f"lines per batch (default {DEFAULT_BATCH_SIZE})")
    parser.add_argument("--no-normalize", dest="normalize", action="store_false",
                        help="keep the mean of the rows, not scaled to unit length")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    return parser


def embed_file(args: argparse.Namespace) -> None:
    source, lines = open_counted(args.input)
    with source:
        output = NpyOutput(args.output, lines)
        try:
            done = 0
            batches = batched(texts(source, args.input), args.batch_size)
            with progress_bar(lines, not args.quiet and sys.stderr.isatty()) as bar:
                for rows in run(args.model_dir, args.normalize, batches, args.workers, args.scheduler):
                    if done + len(rows) > lines:
                        raise EmbedError(f"{args.input} changed while it was read")
                    output.write(done, rows)
                    done += len(rows)
                    bar.update(len(rows))
            if done != lines:
                raise EmbedError(f"{args.input} changed while it was read")
            output.commit()
        except BaseException:
            output.discard()
            raise


def main(argv: list[str] | None = None) -> None:
    args = parser().parse_args(argv)
    try:
        embed_file(args)
    except EmbedError as error:
        # Some reasons (the module's path error) span lines; the command's message is one line.
        sys.exit(f"corvid-embed: error: {' '.join(str(error).split(chr(10)))}")
    except KeyboardInterrupt:
        sys.exit(130)
