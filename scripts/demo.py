"""Shows corvid_py at work: a tokenizer and a model made on the spot, a few sentences embedded."""

import math
import pathlib
import sys

from tokenizers import Tokenizer, models, normalizers, pre_tokenizers, trainers

import corvid_py

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from generate_model import write_model  # noqa: E402

TRAINING_TEXT = """\
The crow is a clever bird. Crows use tools, remember faces and solve puzzles that
puzzle people. A raven is a larger cousin of the crow, and a rook is another.
Birds of this family live in cities, fields and forests all over the world.
Python programmers embed text by looking up a vector for every token and taking
the mean of those vectors, which is quick, exact and needs no neural network.
"""

SENTENCES = [
    "The crow is a clever bird.",
    "A raven is a clever bird too.",
    "Python programmers embed text.",
]


VOCABULARY_SIZE = 400


def train_tokenizer() -> Tokenizer:
    """A tiny WordPiece tokenizer: any tokenizer that yields integer ids will do."""
    tokenizer = Tokenizer(models.WordPiece(unk_token="[UNK]"))
    tokenizer.normalizer = normalizers.BertNormalizer(lowercase=True)
    tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    tokenizer.train_from_iterator([TRAINING_TEXT], trainers.WordPieceTrainer(vocab_size=VOCABULARY_SIZE, special_tokens=["[UNK]"]))
    return tokenizer


def cosine(a: list[float], b: list[float]) -> float:
    return sum(x * y for x, y in zip(a, b)) / math.sqrt(sum(x * x for x in a) * sum(y * y for y in b))


def main() -> None:
    tokenizer = train_tokenizer()
    model_dir = pathlib.Path(__file__).resolve().parent.parent / "build" / "demo-model"
    if not (model_dir / "model.safetensors").exists():
        # Training may order the vocabulary differently from run to run; a row
        # for every id the trainer may hand out keeps one model valid for all.
        write_model(model_dir, rows=VOCABULARY_SIZE, dim=64, seed=7)

    model = corvid_py.StaticEmbedding(str(model_dir))  # normalize=True: unit-length vectors
    embeddings = []
    for sentence in SENTENCES:
        ids = tokenizer.encode(sentence).ids
        vector = model.embed_tokens(ids)
        embeddings.append(vector)
        head = ", ".join(f"{x:+.4f}" for x in vector[:4])
        print(f"{sentence!r}\n    ids {ids}\n    {len(vector)} floats: [{head}, ...]")

    print("\ncosine similarities:")
    for i in range(len(SENTENCES)):
        for j in range(i + 1, len(SENTENCES)):
            print(f"    {cosine(embeddings[i], embeddings[j]):.3f}  {SENTENCES[i]!r} ~ {SENTENCES[j]!r}")


if __name__ == "__main__":
    main()
