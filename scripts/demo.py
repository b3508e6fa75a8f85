"""Shows corvid_py serving a static model learned on the spot from the CPython manual.

Prints the model, the nearest tokens of a few words, and a semantic search over every
paragraph of the manual; exits 1 when the search misses too many of its check questions.
"""

import sys
import time

# First: it fixes the BLAS thread count, which must happen before numpy loads.
from learn_model import MODEL_DIR, ensure_model, read_manual_paragraphs, read_origin

import numpy as np  # noqa: E402
from safetensors.numpy import load_file  # noqa: E402
from tokenizers import Tokenizer  # noqa: E402

from manual_search import QUESTIONS, ManualSearch  # noqa: E402

WORDS = ("list", "thread", "exception", "file")
NEIGHBOURS = 8
SHOWN_QUESTIONS = 5
WIDTH = 100


def clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[:width - 1] + "…"


def show_model(learned: bool, seconds: float) -> np.ndarray:
    table = load_file(str(MODEL_DIR / "model.safetensors"))["embeddings"]
    origin = read_origin()
    how = f"learned now in {seconds:.1f} s" if learned else f"cached (learned in {origin['seconds']} s)"
    print(f"Model    {MODEL_DIR.relative_to(MODEL_DIR.parent.parent)}: {table.shape[0]} rows x "
          f"{table.shape[1]} columns, {table.dtype} ({table.nbytes / 1e6:.1f} MB), {how}")
    print(f"         from {origin['paragraphs']} paragraphs ({origin['tokens']} tokens) of "
          f"{origin['source']}: word-level tokenizer, PPMI + truncated SVD")
    return table


def show_neighbours(table: np.ndarray) -> None:
    tokenizer = Tokenizer.from_file(str(MODEL_DIR / "tokenizer.json"))
    lengths = np.linalg.norm(table, axis=1)
    unit = np.divide(table, lengths[:, None], out=np.zeros_like(table), where=lengths[:, None] > 0)
    print("\nNearest tokens (cosine over the table)")
    for word in WORDS:
        token = tokenizer.token_to_id(word)
        order = [i for i in np.argsort(-(unit @ unit[token]), kind="stable")[:NEIGHBOURS + 1] if i != token]
        print(f"  {word:10} {', '.join(tokenizer.id_to_token(int(i)) for i in order[:NEIGHBOURS])}")


def show_search() -> bool:
    paragraphs = read_manual_paragraphs()
    started = time.perf_counter()
    search = ManualSearch(MODEL_DIR, paragraphs)
    seconds = time.perf_counter() - started
    print(f"\nSearch   {len(paragraphs)} paragraphs embedded with corvid_embed.embed_texts in "
          f"{seconds:.2f} s ({len(paragraphs) / seconds:,.0f} texts/s); score is the cosine")
    for question in list(QUESTIONS)[:SHOWN_QUESTIONS]:
        print(f"\n  {question}?")
        for hit in search.search(question):
            print(f"    {hit.score:.3f}  {hit.paragraph.page} › {clip(hit.paragraph.section, WIDTH - 40)}")
            print(f"           {clip(hit.paragraph.text, WIDTH - 11)}")
    misses = search.misses()
    passed = search.passes(misses)
    print(f"\nCheck    the right page is in the top three for {len(QUESTIONS) - len(misses)} of "
          f"{len(QUESTIONS)} questions{'' if passed else ' (too few: FAILED)'}")
    for question in misses:
        print(f"         missed: {question}")
    return passed


def main() -> int:
    started = time.perf_counter()
    learned = ensure_model()
    show_neighbours(show_model(learned, time.perf_counter() - started))
    passed = show_search()
    print(f"\nYour own files: scripts/dev build/venv/bin/corvid-embed {MODEL_DIR.relative_to(MODEL_DIR.parent.parent)} "
          f"notes.txt -o notes.npy (a text a line)")
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
