"""Peak memory of `corvid-embed --workers 1` on text without spaces, whose every line is one long
piece: 100,000 and 400,000 lines of 200 random CJK characters each, with a WordPiece tokenizer
(BERT's normaliser and pre-tokenizer) trained on them and a 256-column table.

    scripts/dev build/venv/bin/python bench/cjk_memory.py [--lines N ...]

Prints each run's peak resident memory and seconds. Memory that stays flat from the smaller corpus
to the larger means the word table does not grow with the corpus: it keeps no piece longer than 64
bytes, and no more than its bound in bytes."""

import argparse
import random
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "scripts"))
from generate_model import write_model  # noqa: E402

CHARACTERS = [chr(code) for code in range(0x4E00, 0x4E00 + 3000)]
# Reports the process's own peak resident memory (KiB) on standard error as its last line: VmHWM,
# since the rusage peak survives exec, and would be this script's own.
MEASURED = ("import sys\nfrom corvid_embed.command import main\n"
            "try:\n    main()\nfinally:\n"
            "    peak = next(line for line in open('/proc/self/status') if line.startswith('VmHWM'))\n"
            "    print(peak.split()[1], file=sys.stderr)\n")


def model(directory: Path, lines: list[str]) -> Path:
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, trainers

    tokenizer = Tokenizer(models.WordPiece(unk_token="[UNK]"))
    tokenizer.normalizer = normalizers.BertNormalizer()
    tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    tokenizer.train_from_iterator(lines[:20_000], trainers.WordPieceTrainer(vocab_size=4_000,
                                                                            special_tokens=["[UNK]"]))
    directory.mkdir(parents=True, exist_ok=True)
    tokenizer.save(str(directory / "tokenizer.json"))
    write_model(directory, rows=tokenizer.get_vocab_size(), dim=256, seed=1)
    return directory


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, nargs="+", default=[100_000, 400_000])
    args = parser.parse_args()
    directory = REPO / "build" / "bench" / "cjk"
    directory.mkdir(parents=True, exist_ok=True)
    generator = random.Random(7)
    lines = ["".join(generator.choices(CHARACTERS, k=200)) for _ in range(max(args.lines))]
    model_dir = model(directory / "model", lines)
    print("| Lines | Peak RSS MiB | Seconds |\n|---:|---:|---:|")
    for count in args.lines:
        corpus = directory / f"cjk-{count}.txt"
        if not corpus.exists():
            corpus.write_text("\n".join(lines[:count]) + "\n", encoding="utf-8")
        start = time.perf_counter()
        run = subprocess.run([sys.executable, "-c", MEASURED, str(model_dir), str(corpus), "-o",
                              str(directory / "out.npy"), "--quiet"], capture_output=True, text=True, check=True)
        seconds = time.perf_counter() - start
        peak = int(run.stderr.splitlines()[-1]) / 1024
        print(f"| {count:,} | {peak:,.0f} | {seconds:.1f} |", flush=True)
    (directory / "out.npy").unlink(missing_ok=True)


if __name__ == "__main__":
    main()
