"""Where a text's time goes in a corpus run: the steps of one batch call, in microseconds a text, on
the corpus benchmark's Zipf lines and WordPiece model (bench/corpus.py makes them), in this process.

    scripts/dev build/venv/bin/python bench/per_text.py [--lines N] [--rounds N]

Each step is timed as a difference of whole batch calls (1,024 texts each) on warm tables, the
fastest of --rounds: the native call with every piece kept (split, look-ups, pooling, rows
written), the same ids handed over as lists (pooling and rows alone), empty id lists (what a text
costs with no rows to add), and the tokenizer's `encode_batch_fast` of pieces the table has not
seen, per piece, beside `encode_batch` of whole lines, per line."""

import argparse
import pathlib
import sys
import time
from collections.abc import Callable

REPO = pathlib.Path(__file__).resolve().parent.parent
WORK_DIR = REPO / "build" / "bench" / "corpus"
MODEL_DIR = WORK_DIR / "model"
BATCH = 1024


def fastest(call: Callable[[], object], rounds: int, count: int) -> float:
    """Microseconds an item of the fastest of `rounds` calls."""
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best / count * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    corpus = WORK_DIR / "zipf-400000.txt"
    if not (MODEL_DIR / "tokenizer.json").exists() or not corpus.exists():
        sys.exit("run bench/corpus.py first: it makes the corpus and the model")

    from tokenizers import Tokenizer

    from corvid_embed._native import Table
    from corvid_embed.embedding.word_cache import pieces_encoder, word_cache_specials

    tokenizer = Tokenizer.from_file(str(MODEL_DIR / "tokenizer.json"))
    texts = corpus.read_text(encoding="utf-8").splitlines()[:args.lines]
    batches = [texts[start:start + BATCH] for start in range(0, len(texts), BATCH)]
    prefix, suffix = word_cache_specials(tokenizer)
    words = Table(str(MODEL_DIR), True, pieces_encoder(tokenizer), prefix, suffix)
    plain = Table(str(MODEL_DIR), True)
    out = bytearray(BATCH * plain.columns * 4)
    ids = [[encoding.ids for encoding in tokenizer.encode_batch_fast(batch)] for batch in batches]
    empty = [[[] for _ in batch] for batch in batches]
    for batch in batches:  # every piece kept before the timing
        words.embed_texts(batch, out)

    whole = fastest(lambda: [words.embed_texts(batch, out) for batch in batches], args.rounds, len(texts))
    pooling = fastest(lambda: [plain.embed_ids(batch, out) for batch in ids], args.rounds, len(texts))
    fixed = fastest(lambda: [plain.embed_ids(batch, out) for batch in empty], args.rounds, len(texts))
    pieces = list(dict.fromkeys(piece for text in texts for piece in text.split(" ")))[:20_000]
    encode_pieces = pieces_encoder(tokenizer)
    piece_cost = fastest(lambda: [encode_pieces(pieces[s:s + BATCH]) for s in range(0, len(pieces), BATCH)],
                         args.rounds, len(pieces))
    sample = batches[:20]
    line_cost = fastest(lambda: [tokenizer.encode_batch(batch) for batch in sample], args.rounds,
                        sum(map(len, sample)))
    per_line = sum(map(len, (i for batch in ids for i in batch))) / len(texts)
    print(f"### A text's steps in one batch call: {len(texts):,} Zipf lines, {per_line:.1f} ids a line, "
          f"{plain.columns} columns (fastest of {args.rounds})\n")
    print("| Step, a text | µs |\n|---|---:|")
    print(f"| split at spaces, pieces looked up, ids gathered | {whole - pooling:.2f} |")
    print(f"| rows pooled, normalised and written, ids handed over as lists | {pooling - fixed:.2f} |")
    print(f"| the call's share, a text with no ids | {fixed:.2f} |")
    print(f"| **the native call, every piece kept** | **{whole:.2f}** |")
    print(f"\n- a piece the table has not seen: {piece_cost:.1f} µs to encode (`encode_batch_fast`), once a run")
    print(f"- a whole line through `encode_batch`, as the numpy recipe tokenises: {line_cost:.1f} µs")


if __name__ == "__main__":
    main()
