"""Model directories for the corpus tests: a tiny WordPiece tokenizer trained on the spot and a
random table with a row for each of its ids (or fewer, to put ids outside the table)."""

import bz2
import gzip
import lzma
import sys
from compression import zstd
from pathlib import Path

from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, processors, trainers

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
from generate_model import write_model  # noqa: E402

TRAINING_TEXT = [
    "The crow is a clever bird. Crows use tools, remember faces and solve puzzles.",
    "A raven is a larger cousin of the crow; a rook is another, and so is the jackdaw.",
    "Ravens live in cities, fields and forests: 12 of them, 345 in all, über alles.",
]
VOCABULARY = 200
# How the standard library writes each compression the tool reads.
COMPRESSORS = {"gz": gzip.open, "bz2": bz2.open, "xz": lzma.open, "zst": zstd.open}

# Lines that test the word cache's edges, the command's and the function's input alike.
TEXTS = [
    "The crow is a clever bird.",
    "",
    "  two  spaces,\tand a tab ",
    "ÜBER Straße café ΟΔΟΣ Σ unknown-word [UNK] [unk] x[UNK]y",
    "汉字 and a\u00a0no-break space, \u0301combining, \x00control\x1fchars",
    "¨ diaeresis ﬁ ligature 12345 6,789",
    "ravens " * 40,
]


def wordpiece_tokenizer(specials: bool = True) -> Tokenizer:
    tokenizer = Tokenizer(models.WordPiece(unk_token="[UNK]"))
    tokenizer.normalizer = normalizers.BertNormalizer(lowercase=True)
    tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    tokenizer.train_from_iterator(TRAINING_TEXT, trainers.WordPieceTrainer(
        vocab_size=VOCABULARY, special_tokens=["[UNK]", "[CLS]", "[SEP]"]))
    if specials:
        tokenizer.post_processor = processors.TemplateProcessing(
            single="[CLS] $A [SEP]", special_tokens=[("[CLS]", 1), ("[SEP]", 2)])
    return tokenizer


def write_model_dir(directory: Path, rows: int = VOCABULARY, specials: bool = True) -> Path:
    """A model directory whose table has `rows` rows; training may hand out any id below
    VOCABULARY, so fewer rows let some line's ids fall outside the table."""
    write_model(directory, rows=rows, dim=8, seed=3)
    wordpiece_tokenizer(specials).save(str(directory / "tokenizer.json"))
    return directory
