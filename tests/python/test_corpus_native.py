"""The native batch path: each row bit for bit `StaticEmbedding.embed_tokens(tokenizer.encode(text)
.ids)`, whether the word table splits the texts (only where that gives encode's ids) or the
tokenizer's ids are handed over; the caller's buffer written exactly where the rows go; failures
at their text; the interpreter lock released while it pools."""

import array
import threading
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pytest
from tokenizers import AddedToken, Tokenizer, models, normalizers, pre_tokenizers, processors, trainers

from corpus_models import TEXTS, TRAINING_TEXT, wordpiece_tokenizer, write_model_dir
from corvid_embed._native import Table
from corvid_embed.embedding.embedder import Embedder
from corvid_embed.embedding.word_cache import pieces_encoder, word_cache_specials
from corvid_py import StaticEmbedding
from generate_model import write_model

SPECIALS = ["[UNK]", "[CLS]", "[SEP]"]


def trained(model: models.Model, trainer: trainers.Trainer, normalizer: normalizers.Normalizer | None,
            pre_tokenizer: pre_tokenizers.PreTokenizer) -> Tokenizer:
    tokenizer = Tokenizer(model)
    tokenizer.normalizer = normalizer
    tokenizer.pre_tokenizer = pre_tokenizer
    tokenizer.train_from_iterator(TRAINING_TEXT, trainer)
    return tokenizer


def bpe() -> Tokenizer:
    tokenizer = trained(models.BPE(unk_token="[UNK]"), trainers.BpeTrainer(vocab_size=150, special_tokens=SPECIALS),
                        normalizers.Sequence([normalizers.NFD(), normalizers.Lowercase(), normalizers.StripAccents()]),
                        pre_tokenizers.Whitespace())
    tokenizer.post_processor = processors.BertProcessing(("[SEP]", 2), ("[CLS]", 1))
    return tokenizer


def unigram() -> Tokenizer:
    return trained(models.Unigram(), trainers.UnigramTrainer(vocab_size=60, special_tokens=SPECIALS, unk_token="[UNK]"),
                   normalizers.NFKC(), pre_tokenizers.Sequence([pre_tokenizers.WhitespaceSplit(), pre_tokenizers.Digits()]))


def word_level() -> Tokenizer:
    return trained(models.WordLevel(unk_token="[UNK]"), trainers.WordLevelTrainer(special_tokens=SPECIALS), None,
                   pre_tokenizers.Sequence([pre_tokenizers.Punctuation(), pre_tokenizers.WhitespaceSplit()]))


def with_change(change: Callable[[Tokenizer], object]) -> Callable[[], Tokenizer]:
    def make() -> Tokenizer:
        tokenizer = wordpiece_tokenizer()
        change(tokenizer)
        return tokenizer
    return make


CACHED = {"WordPiece, BERT": wordpiece_tokenizer, "BPE, Bert processing": bpe, "Unigram, NFKC, digits": unigram,
          "WordLevel, punctuation": word_level,
          "added tokens": with_change(lambda t: t.add_tokens([AddedToken("[BIRD]"), AddedToken("crow-")]))}
PLAIN = {
    "byte-level pre-tokenizer": with_change(lambda t: setattr(t, "pre_tokenizer", pre_tokenizers.ByteLevel())),
    "metaspace pre-tokenizer": with_change(lambda t: setattr(t, "pre_tokenizer", pre_tokenizers.Metaspace())),
    "byte-level BPE": lambda: trained(models.BPE(), trainers.BpeTrainer(vocab_size=300, special_tokens=SPECIALS), None,
                                      pre_tokenizers.ByteLevel(add_prefix_space=False)),
    "Unigram, Metaspace": lambda: trained(models.Unigram(), trainers.UnigramTrainer(
        vocab_size=60, special_tokens=SPECIALS, unk_token="[UNK]"), None, pre_tokenizers.Metaspace()),
    "no pre-tokenizer": with_change(lambda t: setattr(t, "pre_tokenizer", None)),
    "punctuation and digits only": with_change(lambda t: setattr(t, "pre_tokenizer", pre_tokenizers.Sequence(
        [pre_tokenizers.Punctuation(), pre_tokenizers.Digits()]))),
    "replacing normaliser": with_change(lambda t: setattr(t, "normalizer", normalizers.Replace(" a", "x"))),
    "truncation": with_change(lambda t: t.enable_truncation(4)),
    "padding": with_change(lambda t: t.enable_padding(length=30)),
    "added token with a space": with_change(lambda t: t.add_tokens([AddedToken("the crow")])),
    "post-processor sequence": with_change(lambda t: setattr(t, "post_processor", processors.Sequence(
        [processors.ByteLevel()]))),
    "template of the text twice": with_change(lambda t: setattr(t, "post_processor", processors.TemplateProcessing(
        single="[CLS] $A [SEP] $A", special_tokens=[("[CLS]", 1), ("[SEP]", 2)]))),
    "BPE dropout": lambda: trained(models.BPE(unk_token="[UNK]", dropout=0.5), trainers.BpeTrainer(special_tokens=SPECIALS),
                                   None, pre_tokenizers.Whitespace()),
}


# Every Unicode space and line break, CR, NUL, empty texts and pieces, a very long text.
SPACES = "\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f\x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + \
    "\u2028\u2029\u202f\u205f\u3000"
EDGE_TEXTS = ["", " ", "  ", "a\rb\r\n", "nul\x00 in a text", f"crow{SPACES}crow", *(f"the{space}crow " for space in SPACES),
              "the clever crow " * 5_000, "汉字" * 3_000]
ROWS = 1_000  # above every id the tokenizers below hand out


def model_for(directory: Path, tokenizer: Tokenizer) -> str:
    write_model(directory, rows=ROWS, dim=8, seed=5)
    tokenizer.save(str(directory / "tokenizer.json"))
    return str(directory)


def per_text_loop(model_dir: str, texts: list[str], normalize: bool) -> bytes:
    tokenizer = Tokenizer.from_file(f"{model_dir}/tokenizer.json")
    model = StaticEmbedding(model_dir, normalize)
    return np.array([model.embed_tokens(tokenizer.encode(text).ids) for text in texts], np.float32).tobytes()


@pytest.mark.parametrize("make", [*CACHED.values(), *PLAIN.values()], ids=[*CACHED, *PLAIN])
def test_rows_equal_the_per_text_loop(tmp_path: Path, make: Callable[[], Tokenizer]) -> None:
    tokenizer = make()
    assert (word_cache_specials(tokenizer) is not None) == (make in CACHED.values())
    if make is PLAIN["BPE dropout"]:
        return  # random ids: only plain encode can give encode's
    model_dir = model_for(tmp_path, tokenizer)
    texts = TEXTS + TRAINING_TEXT + EDGE_TEXTS
    embedder = Embedder(model_dir, True)  # the flag itself crosses in embed_texts' own tests
    expected = per_text_loop(model_dir, texts, True)
    for _ in range(2):  # pieces first encoded, then kept
        packed, failure = embedder.embed(texts)
        assert failure is None and bytes(packed) == expected


def word_table(model_dir: str, word_bytes: int = 1 << 20, encode: Callable | None = None) -> Table:
    tokenizer = Tokenizer.from_file(f"{model_dir}/tokenizer.json")
    prefix, suffix = word_cache_specials(tokenizer)
    return Table(model_dir, True, encode or pieces_encoder(tokenizer), prefix, suffix, word_bytes)


@pytest.fixture
def model_dir(tmp_path: Path) -> str:
    return str(write_model_dir(tmp_path))


def test_the_word_table_keeps_its_memory_bound_and_no_long_piece(model_dir: str) -> None:
    tokenizer = Tokenizer.from_file(f"{model_dir}/tokenizer.json")
    encoded: list[str] = []

    def counting(pieces: list[str]) -> list[list[int]]:
        encoded.extend(pieces)
        return pieces_encoder(tokenizer)(pieces)

    bound = 1_000
    table = word_table(model_dir, bound, counting)
    words = [f"crow{number}" for number in range(200)]
    out = bytearray(8 * 4)
    expected = {word: per_text_loop(model_dir, [word], True) for word in words}
    held = []
    for word in words * 2:  # repeated past the bound: the table starts afresh as it fills
        assert table.embed_texts([word], out) is None and bytes(out) == expected[word]
        held.append(table.word_bytes_held)
    assert 0 < max(held) <= bound and len(encoded) > len(words)
    encoded.clear()
    long_piece = "crow" * 100
    for text in [words[-1], long_piece, words[-1], long_piece]:
        assert table.embed_texts([text], out) is None
    assert encoded == [long_piece, long_piece]  # a word just seen is kept, a long piece never


@pytest.mark.parametrize(("out", "error", "message"), [
    (lambda: bytearray(3 * 32 - 1), ValueError, "out holds 95 bytes, fewer than 3 rows of 8 float32"),
    (lambda: bytes(3 * 32), BufferError, "Object is not writable."),
    (lambda: np.zeros(3 * 8, np.float64), TypeError, "out must hold bytes or float32, not items of format 'd'"),
    (lambda: array.array("i", bytes(3 * 32)), TypeError, "out must hold bytes or float32, not items of format 'i'"),
    (lambda: np.zeros((3, 16), np.float32)[:, ::2], ValueError, "ndarray is not C-contiguous"),
    (lambda: "text", TypeError, "a bytes-like object is required, not 'str'"),
])
def test_a_buffer_that_cannot_take_the_rows_is_refused_untouched(model_dir: str, out: Callable[[], object],
                                                                  error: type[Exception], message: str) -> None:
    buffer = out()
    before = buffer.tobytes() if isinstance(buffer, np.ndarray) else None if isinstance(buffer, str) else bytes(buffer)
    for call in (lambda: word_table(model_dir).embed_texts(["a", "b", "c"], buffer),
                 lambda: Table(model_dir, True).embed_ids([[1], [2], [3]], buffer)):
        with pytest.raises(error) as raised:
            call()
        assert str(raised.value) == message
    if before is not None:
        assert (buffer.tobytes() if isinstance(buffer, np.ndarray) else bytes(buffer)) == before


@pytest.mark.parametrize("layout", ["bytes slice", "float32", "unaligned"])
def test_rows_go_exactly_where_the_buffer_is(model_dir: str, layout: str) -> None:
    texts = ["the crow", "", "a clever bird"]
    expected = per_text_loop(model_dir, texts, True)
    whole = bytearray(b"\xaa" * (len(expected) + 16))
    start = {"bytes slice": 8, "float32": 8, "unaligned": 3}[layout]
    window = memoryview(whole)[start:start + len(expected)]
    out = window.cast("f") if layout == "float32" else window
    assert word_table(model_dir).embed_texts(texts, out) is None
    assert bytes(window) == expected
    assert whole[:start] + whole[start + len(expected):] == b"\xaa" * 16


def test_an_id_outside_the_table_stops_the_batch_at_its_text(tmp_path: Path) -> None:
    rows = 64
    model_dir = str(write_model_dir(tmp_path, rows=rows))
    tokenizer = Tokenizer.from_file(f"{model_dir}/tokenizer.json")
    words = " ".join(TRAINING_TEXT).split()
    inside = [word for word in words if max(tokenizer.encode(word).ids) < rows][:2]
    outside = next(text for text in TEXTS if max(tokenizer.encode(text).ids) >= rows)
    first_outside = next(i for i in tokenizer.encode(outside).ids if i >= rows)
    texts = [*inside, outside, inside[0]]
    for table, batch in ((word_table(model_dir), texts), (Table(model_dir, True), [tokenizer.encode(t).ids for t in texts])):
        out = bytearray(b"\xaa" * (4 * 32))
        embed = table.embed_texts if isinstance(batch[0], str) else table.embed_ids
        assert embed(batch, out) == (2, first_outside)
        assert bytes(out[:64]) == per_text_loop(model_dir, inside, True)
        assert out[64:] == b"\xaa" * 64


@pytest.mark.parametrize("make", [wordpiece_tokenizer, PLAIN["byte-level BPE"]], ids=["word table", "plain"])
def test_a_text_the_tokenizer_refuses_stops_the_batch_at_its_text(tmp_path: Path, make: Callable[[], Tokenizer]) -> None:
    model_dir = model_for(tmp_path, make())
    packed, failure = Embedder(model_dir, True).embed(["the crow", "bird", "a\ud800b", "bird"])
    assert bytes(packed) == per_text_loop(model_dir, ["the crow", "bird"], True)
    assert (failure.row, failure.reason) == (2, "TypeError: TextInputSequence must be str")


def test_two_threads_give_the_bytes_of_one_after_the_other(model_dir: str) -> None:
    # Two tables pool at once with the interpreter lock released; one table serves one at a time.
    texts = [f"{text} {n}" for n in range(300) for text in TEXTS]
    expected = per_text_loop(model_dir, texts, True)
    shared = word_table(model_dir)
    for tables in ([word_table(model_dir), word_table(model_dir)], [shared, shared]):
        outs = [bytearray(len(expected)) for _ in tables]
        barrier = threading.Barrier(len(tables))

        def run(table: Table, out: bytearray) -> None:
            barrier.wait()
            for _ in range(20):
                assert table.embed_texts(texts, out) is None

        threads = [threading.Thread(target=run, args=pair) for pair in zip(tables, outs)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert [bytes(out) for out in outs] == [expected, expected]


@pytest.mark.parametrize(("encode", "error", "message"), [
    (lambda pieces: [[1]], ValueError, "encode returned another number of id sequences than it was given pieces"),
    (lambda pieces: 3, TypeError, "encode must return a sequence of id sequences"),
    (lambda pieces: [[-1]] * len(pieces), OverflowError, "can't convert negative value to unsigned int"),
    (lambda pieces: [[1 << 32]] * len(pieces), OverflowError, "a token id must be below 2**32"),
    (lambda pieces: [["1"]] * len(pieces), TypeError, "an integer is required"),
])
def test_an_encode_call_that_gives_no_ids_is_refused(model_dir: str, encode: Callable, error: type[Exception],
                                                     message: str) -> None:
    with pytest.raises(error) as raised:
        word_table(model_dir, encode=encode).embed_texts(["the crow", "bird"], bytearray(64))
    assert str(raised.value) == message


def test_a_call_from_within_a_call_is_refused(model_dir: str) -> None:
    tables: list[Table] = []
    tables.append(word_table(model_dir, encode=lambda pieces: tables[0].embed_ids([], bytearray())))
    with pytest.raises(RuntimeError) as raised:
        tables[0].embed_texts(["crow"], bytearray(32))
    assert str(raised.value) == "a table call cannot be made from within another on the same thread"
