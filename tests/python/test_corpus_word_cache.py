"""The word cache gives exactly tokenizer.encode's ids, and is used only where that is assured."""

from collections.abc import Callable

import pytest
from tokenizers import AddedToken, Tokenizer, models, normalizers, pre_tokenizers, processors, trainers

from corpus_models import TEXTS, TRAINING_TEXT, wordpiece_tokenizer
from corvid_embed.embedding import word_cache
from corvid_embed.embedding.word_cache import word_cache_specials, word_cached_encoder

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
          "WordLevel, punctuation": word_level}
PLAIN = {
    "byte-level pre-tokenizer": with_change(lambda t: setattr(t, "pre_tokenizer", pre_tokenizers.ByteLevel())),
    "metaspace pre-tokenizer": with_change(lambda t: setattr(t, "pre_tokenizer", pre_tokenizers.Metaspace())),
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


@pytest.mark.parametrize("make", [*CACHED.values(), *PLAIN.values()], ids=[*CACHED, *PLAIN])
def test_ids_equal_encode_on_every_line(make: Callable[[], Tokenizer]) -> None:
    tokenizer = make()
    assert (word_cache_specials(tokenizer) is not None) == (make in CACHED.values())
    if make is PLAIN["BPE dropout"]:
        return  # random ids: only plain encode can give encode's
    encode = word_cached_encoder(tokenizer)
    lines = TEXTS + TRAINING_TEXT
    for _ in range(2):  # words first encoded, then cached
        assert [encode(line) for line in lines] == [tokenizer.encode(line).ids for line in lines]


class CountingTokenizer:
    """A tokenizer that lists the texts it encodes."""

    def __init__(self, tokenizer: Tokenizer) -> None:
        self.tokenizer, self.encoded = tokenizer, []

    def encode(self, text: str, **options: bool) -> object:
        self.encoded.append(text)
        return self.tokenizer.encode(text, **options)

    def __getattr__(self, name: str) -> object:
        return getattr(self.tokenizer, name)


def test_the_cache_keeps_a_bounded_number_of_bytes_and_no_long_piece(monkeypatch: pytest.MonkeyPatch) -> None:
    tokenizer = CountingTokenizer(wordpiece_tokenizer())
    words = [f"crow{number}" for number in range(10)]
    monkeypatch.setattr(word_cache, "CACHE_BYTES", 4 * max(
        word_cache.entry_bytes(word, tokenizer.tokenizer.encode(word, add_special_tokens=False).ids) for word in words))
    encode = word_cached_encoder(tokenizer)  # type: ignore[arg-type]
    long_piece = "crow" * word_cache.LONGEST_KEPT
    for word in [*words, long_piece]:
        encode(word)
    tokenizer.encoded.clear()
    for word in [long_piece, *reversed(words)]:  # the words seen last first, before the cache changes
        assert encode(word) == tokenizer.tokenizer.encode(word).ids
    assert tokenizer.encoded[0] == long_piece  # never kept
    kept = len(words) - len(tokenizer.encoded[1:])
    assert 0 < kept <= 4
