"""Learns the demo's static model from the CPython manual, cached under build/demo-model.

    python3.14 scripts/learn_model.py     # prints the model directory, building it if stale

The tokenizer is a word-level model trained on the manual's paragraphs; the table is a truncated
SVD of the tokens' co-occurrence counts weighted by positive pointwise mutual information. The
directory holds model.safetensors and tokenizer.json (what corvid_py and corvid-embed load),
paragraphs.jsonl (the text it was learned from) and origin.json (where from, how long it took).
"""

import os

# One BLAS thread: a product split between threads may round differently from run to run,
# and the same inputs must give the same table bytes.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_variable] = "1"

import contextlib  # noqa: E402
import dataclasses  # noqa: E402
import fcntl  # noqa: E402
import hashlib  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402
import shutil  # noqa: E402
import signal  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from collections.abc import Iterator  # noqa: E402

import numpy as np  # noqa: E402
import scipy.sparse  # noqa: E402
from safetensors.numpy import save_file  # noqa: E402
from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, trainers  # noqa: E402

from manual_paragraphs import MANUAL, Paragraph, manual_pages, read_paragraphs  # noqa: E402

BUILD = pathlib.Path(__file__).resolve().parent.parent / "build"
MODEL_DIR = BUILD / "demo-model"
TEMPORARY_PREFIX = ".demo-model-"
PARAGRAPHS_FILE = "paragraphs.jsonl"
ORIGIN_FILE = "origin.json"

VOCABULARY_SIZE = 20_000
UNKNOWN = "[UNK]"
COLUMNS = 128
WINDOW = 5  # tokens on each side that count as context
CONTEXT_SMOOTHING = 0.75  # raises context counts to this power, so rare contexts weigh less in PMI
FREQUENCY_WEIGHT = 1e-4  # a row's length is a / (a + p(token)): frequent tokens count less in a mean
SEED = 21
OVERSAMPLING = 16
POWER_ITERATIONS = 4


# ---- Tokenizer

def train_tokenizer(texts: list[str]) -> Tokenizer:
    """Whole words, lowercased, split at spaces and punctuation; the most frequent
    VOCABULARY_SIZE - 1 get ids (the manual has fewer), any other word is UNKNOWN. (The
    word-piece and byte-pair trainers break ties between equally frequent merges in hash-map
    order, which differs from process to process; this one orders words by count, then word.)"""
    tokenizer = Tokenizer(models.WordLevel(unk_token=UNKNOWN))
    tokenizer.normalizer = normalizers.BertNormalizer(lowercase=True)
    tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    trainer = trainers.WordLevelTrainer(vocab_size=VOCABULARY_SIZE, special_tokens=[UNKNOWN],
                                        show_progress=False)
    tokenizer.train_from_iterator(texts, trainer)
    return tokenizer


# ---- Table

def cooccurrence(token_lists: list[list[int]], rows: int) -> scipy.sparse.csr_matrix:
    """Counts of token pairs at most WINDOW apart in one paragraph, each weighted 1 / distance."""
    tokens = np.concatenate([np.asarray(ids, dtype=np.int64) for ids in token_lists])
    paragraph = np.repeat(np.arange(len(token_lists)), [len(ids) for ids in token_lists])
    left, right, weights = [], [], []
    for distance in range(1, WINDOW + 1):
        same = paragraph[:-distance] == paragraph[distance:]
        first, second = tokens[:-distance][same], tokens[distance:][same]
        left += [first, second]
        right += [second, first]
        weights.append(np.full(2 * len(first), 1.0 / distance))
    counts = scipy.sparse.coo_matrix(
        (np.concatenate(weights), (np.concatenate(left), np.concatenate(right))), shape=(rows, rows))
    return counts.tocsr()


def ppmi(counts: scipy.sparse.csr_matrix) -> scipy.sparse.csr_matrix:
    total = counts.sum()
    row_p = np.asarray(counts.sum(axis=1)).ravel() / total
    smoothed = np.asarray(counts.sum(axis=0)).ravel() ** CONTEXT_SMOOTHING
    context_p = smoothed / smoothed.sum()
    coo = counts.tocoo()
    pmi = np.log(coo.data / total / (row_p[coo.row] * context_p[coo.col]))
    keep = pmi > 0
    return scipy.sparse.csr_matrix((pmi[keep], (coo.row[keep], coo.col[keep])), shape=counts.shape)


def truncated_svd(matrix: scipy.sparse.csr_matrix, rank: int) -> tuple[np.ndarray, np.ndarray]:
    """The top `rank` left singular vectors and values, by a seeded randomized SVD."""
    rng = np.random.default_rng(SEED)
    basis = matrix @ rng.standard_normal((matrix.shape[1], rank + OVERSAMPLING))
    basis, _ = np.linalg.qr(basis)
    for _ in range(POWER_ITERATIONS):
        basis, _ = np.linalg.qr(matrix.T @ basis)
        basis, _ = np.linalg.qr(matrix @ basis)
    small_u, values, _ = np.linalg.svd(basis.T @ matrix, full_matrices=False)
    left = basis @ small_u[:, :rank]
    # A singular vector's sign is arbitrary; fixing it makes the table independent of it.
    left *= np.where(left[np.abs(left).argmax(axis=0), range(rank)] < 0, -1.0, 1.0)
    return left, values[:rank]


def learn_table(token_lists: list[list[int]], rows: int) -> np.ndarray:
    """One row per token id: its direction from the SVD, its length from its frequency (rarer is
    longer), so a mean of rows leans towards the words that tell texts apart. The direction all
    paragraphs share is taken out of every row, and so out of every mean. Ids that never occur
    get zero rows."""
    left, values = truncated_svd(ppmi(cooccurrence(token_lists, rows)), COLUMNS)
    table = left * np.sqrt(values)
    lengths = np.linalg.norm(table, axis=1)
    tokens = np.concatenate(token_lists)
    frequency = np.bincount(tokens, minlength=rows) / len(tokens)
    weight = np.divide(FREQUENCY_WEIGHT / (FREQUENCY_WEIGHT + frequency), lengths,
                       out=np.zeros(rows), where=lengths > 0)
    table *= weight[:, None]
    sizes = np.array([len(ids) for ids in token_lists])
    paragraph_of = np.repeat(np.arange(len(token_lists)), sizes)
    means = scipy.sparse.csr_matrix((1.0 / sizes[paragraph_of], (paragraph_of, tokens)),
                                    shape=(len(token_lists), rows)) @ table
    common = np.linalg.svd(means, full_matrices=False)[2][0]
    table -= np.outer(table @ common, common)
    return table.astype(np.float32)


# ---- The cached directory

def manual_digest() -> str:
    digest = hashlib.sha256()
    for page in manual_pages():
        digest.update(page.relative_to(MANUAL).as_posix().encode() + b"\0" + page.read_bytes())
    return digest.hexdigest()


def script_digest() -> str:
    here = pathlib.Path(__file__).resolve().parent
    return hashlib.sha256(b"".join((here / name).read_bytes()
                                   for name in ("learn_model.py", "manual_paragraphs.py"))).hexdigest()


def write_model(directory: pathlib.Path, stamp: dict[str, str]) -> None:
    started = time.perf_counter()
    paragraphs = read_paragraphs()
    texts = [paragraph.text for paragraph in paragraphs]
    tokenizer = train_tokenizer(texts)
    token_lists = [encoding.ids for encoding in tokenizer.encode_batch(texts)]
    table = learn_table(token_lists, tokenizer.get_vocab_size())
    table[tokenizer.token_to_id(UNKNOWN)] = 0  # a word the manual lacks says nothing about a text
    save_file({"embeddings": table}, str(directory / "model.safetensors"))
    tokenizer.save(str(directory / "tokenizer.json"))
    with open(directory / PARAGRAPHS_FILE, "w", encoding="utf-8") as lines:
        for paragraph in paragraphs:
            lines.write(json.dumps(dataclasses.asdict(paragraph), ensure_ascii=False) + "\n")
    origin = {**stamp, "source": str(MANUAL), "paragraphs": len(paragraphs),
              "tokens": sum(map(len, token_lists)), "seconds": round(time.perf_counter() - started, 1)}
    (directory / ORIGIN_FILE).write_text(json.dumps(origin, indent=1) + "\n")


@contextlib.contextmanager
def build_lock() -> Iterator[None]:
    """Holds build/ against another build of the model (the demo and a test may start together)."""
    BUILD.mkdir(exist_ok=True)
    descriptor = os.open(BUILD, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield
    finally:
        os.close(descriptor)


@contextlib.contextmanager
def terminate_as_interrupt() -> Iterator[None]:
    """Turns SIGTERM into KeyboardInterrupt, so a terminated build cleans up like an interrupted one."""
    def interrupt(signum: int, frame: object) -> None:
        raise KeyboardInterrupt
    previous = signal.signal(signal.SIGTERM, interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def read_origin(directory: pathlib.Path = MODEL_DIR) -> dict[str, object]:
    return json.loads((directory / ORIGIN_FILE).read_text())


def read_manual_paragraphs(directory: pathlib.Path = MODEL_DIR) -> list[Paragraph]:
    with open(directory / PARAGRAPHS_FILE, encoding="utf-8") as lines:
        return [Paragraph(**json.loads(line)) for line in lines]


def ensure_model() -> bool:
    """Learns MODEL_DIR anew if the manual or these scripts changed since it was; True if it did.
    The directory is written under a temporary name and renamed into place when complete."""
    stamp = {"script_sha256": script_digest(), "manual_sha256": manual_digest()}
    with build_lock():
        with contextlib.suppress(FileNotFoundError, KeyError, ValueError):
            if {key: read_origin()[key] for key in stamp} == stamp:
                return False
        # Left by a build that was killed outright; nothing else writes these names.
        for stale in BUILD.glob(TEMPORARY_PREFIX + "*"):
            shutil.rmtree(stale)
        with terminate_as_interrupt():
            temporary = pathlib.Path(tempfile.mkdtemp(prefix=TEMPORARY_PREFIX, dir=BUILD))
            try:
                temporary.chmod(0o755)  # mkdtemp's is 0700; this is an ordinary build directory
                write_model(temporary, stamp)
                if MODEL_DIR.exists():
                    MODEL_DIR.rename(temporary.with_name(temporary.name + "-old"))
                temporary.rename(MODEL_DIR)
            finally:
                for leftover in (temporary, temporary.with_name(temporary.name + "-old")):
                    shutil.rmtree(leftover, ignore_errors=True)
    return True


if __name__ == "__main__":
    print(f"{MODEL_DIR}: {'learned' if ensure_model() else 'up to date'}")
