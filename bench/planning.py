"""Times the client's planning of a large corpus without the corpus: sparse files of its shape.

    scripts/dev build/venv/bin/python bench/planning.py [--lines N] [--files N] [--line-bytes N]

Makes --files sparse text files (default 1,000) holding --lines lines between them (default
100,000,000) of --line-bytes bytes each (default 100) as far as their sizes go: they take no disk
space and hold no text. Then times what the client does before the first part runs: cutting the
inputs into pieces (a stat each), grouping the pieces for counting, planning the parts from the
pieces' counts (given here as the files' shape implies; a cluster's workers count them) and
pickling the part descriptions it submits. Prints the task counts and the seconds, for one part
a piece and for --shard-rows 1,000,000.
"""

import argparse
import pickle
import tempfile
import time
from pathlib import Path

from corvid_embed.planning.parts import plan_parts
from corvid_embed.planning.plan import InputFile, count_groups, cut
from corvid_embed.reading.pieces import Fields

REPO = Path(__file__).resolve().parent.parent


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=100_000_000)
    parser.add_argument("--files", type=int, default=1_000)
    parser.add_argument("--line-bytes", type=int, default=100)
    args = parser.parse_args()
    lines_a_file = args.lines // args.files
    with tempfile.TemporaryDirectory(dir=REPO / "build") as directory:
        inputs = []
        for index in range(args.files):
            path = Path(directory) / f"corpus-{index:04d}.txt"
            with open(path, "wb") as file:
                file.truncate(lines_a_file * args.line_bytes)  # sparse: a size, no blocks
            inputs.append(InputFile(str(path), path.name))
        for shard_rows in (None, 1_000_000):
            start = time.perf_counter()
            pieces = [piece for piece, _ in cut(inputs, Fields())]
            count_tasks = len(count_groups(pieces, 4))  # the capacity of a cluster of 2 one-thread workers
            # What the workers' counts would say: each piece holds the lines that begin in it.
            counts = [-(-piece.stop // args.line_bytes) - -(-piece.start // args.line_bytes) for piece in pieces]
            parts = plan_parts(pieces, counts, shard_rows)
            sent = sum(len(pickle.dumps(part, pickle.HIGHEST_PROTOCOL)) for part in parts)
            seconds = time.perf_counter() - start
            assert sum(part.rows for part in parts) == lines_a_file * args.files
            print(f"{args.lines:,} lines in {args.files:,} files, "
                  f"{'one part a piece' if shard_rows is None else f'--shard-rows {shard_rows:,}'}: "
                  f"{len(pieces):,} pieces, {count_tasks:,} counting tasks, {len(parts):,} part tasks "
                  f"({sent / len(parts):,.0f} bytes a part description); planned in {seconds:.2f} s")


if __name__ == "__main__":
    main()
