"""Token ids of a text as `tokenizer.encode(text).ids` gives them, faster: each word's ids cached.

For the common tokenizers, `encode` spends its time in the normaliser and pre-tokenizer, not in
the model, and so do their Python bindings. But when the normaliser maps each character on its
own and the pre-tokenizer drops spaces and never puts one inside a word, a line's ids are the
post-processor's special ids around the ids of its space-separated pieces, each encoded alone.
Those pieces repeat across a corpus, so each one is encoded once and its ids kept. Tokenizers
whose configuration does not show that form, exactly, use plain `encode`.
"""

import json
import sys
from collections.abc import Callable

from tokenizers import AddedToken, Tokenizer

type Encode = Callable[[str], list[int]]

# Normalisers that map every character on its own (the Unicode forms never compose or reorder
# across a space, which is a starter), so a space in a line stays a space.
LOCAL_NORMALIZERS = frozenset({"BertNormalizer", "Lowercase", "NFC", "NFD", "NFKC", "NFKD", "StripAccents"})
# Pre-tokenizers that split at every space and keep none in a word; and those that only split a
# piece further, which may come with them in a sequence.
SPACE_SPLITTERS = frozenset({"BertPreTokenizer", "Whitespace", "WhitespaceSplit"})
REFINERS = SPACE_SPLITTERS | {"Punctuation", "Digits"}
# Models that tokenize each word on its own and always give a word the same ids.
WORD_BY_WORD_MODELS = frozenset({"WordPiece", "WordLevel", "BPE", "Unigram"})

# Bytes the cache may hold, about (a piece and its ids as Python objects): enough for the common
# words of any corpus; past it the cache starts afresh, so memory stays bounded on corpora with an
# endless tail of rare words.
CACHE_BYTES = 64 << 20
# Pieces longer than this many characters are encoded each time, not kept: words are short, and a
# long piece (text without spaces: Chinese, Japanese, URLs, base64) seldom comes again.
LONGEST_KEPT = 32


def entry_bytes(piece: str, ids: list[int]) -> int:
    """What keeping a piece costs, about: its slot in the table, its string, and its list of ids,
    each id an int object of its own past 256."""
    return 100 + sys.getsizeof(piece) + 56 + 36 * len(ids)


def word_cached_encoder(tokenizer: Tokenizer) -> Encode:
    """A function from a text to its token ids, equal to `tokenizer.encode(text).ids`."""
    specials = word_cache_specials(tokenizer)
    if specials is None:
        return lambda text: tokenizer.encode(text).ids
    prefix, suffix = specials
    cache: dict[str, list[int]] = {}
    held = 0

    def encode(text: str) -> list[int]:
        nonlocal held
        ids = list(prefix)
        for word in text.split(" "):
            word_ids = cache.get(word)
            if word_ids is None:
                word_ids = tokenizer.encode(word, add_special_tokens=False).ids
                if len(word) <= LONGEST_KEPT:
                    cost = entry_bytes(word, word_ids)
                    if held + cost > CACHE_BYTES:
                        cache.clear()
                        held = 0
                    cache[word] = word_ids
                    held += cost
            ids += word_ids
        ids += suffix
        return ids

    return encode


def word_cache_specials(tokenizer: Tokenizer) -> tuple[list[int], list[int]] | None:
    """The special ids put before and after a text's word ids when the word cache applies to
    the tokenizer; None when it must use plain `encode`."""
    config = json.loads(tokenizer.to_str())
    model = config["model"]
    if (config.get("truncation") is not None or config.get("padding") is not None
            or model.get("type") not in WORD_BY_WORD_MODELS or model.get("dropout")
            or not local_normalizer(config.get("normalizer"))
            or not splits_at_spaces(config.get("pre_tokenizer"))
            or any(may_span_a_space(tokenizer, token) for token in tokenizer.get_added_tokens_decoder().values())):
        return None
    return special_ids(config.get("post_processor"))


def local_normalizer(normalizer: dict | None) -> bool:
    if normalizer is None:
        return True
    if normalizer["type"] == "Sequence":
        return all(map(local_normalizer, normalizer["normalizers"]))
    return normalizer["type"] in LOCAL_NORMALIZERS


def splits_at_spaces(pre_tokenizer: dict | None) -> bool:
    if pre_tokenizer is None:
        return False
    if pre_tokenizer["type"] != "Sequence":
        return pre_tokenizer["type"] in SPACE_SPLITTERS
    types = {step["type"] for step in pre_tokenizer["pretokenizers"]}
    return types <= REFINERS and bool(types & SPACE_SPLITTERS)


def may_span_a_space(tokenizer: Tokenizer, token: AddedToken) -> bool:
    """Whether an added token, which the tokenizer splits out before anything else, could match
    across a space: then a line's matches are not those of its pieces."""
    content = token.content
    normalized = tokenizer.normalizer.normalize_str(content) if tokenizer.normalizer else content
    return not content or any(c.isspace() for c in content + normalized)


def special_ids(post_processor: dict | None) -> tuple[list[int], list[int]] | None:
    """The ids the post-processor puts before and after a single text's ids, or None for a
    post-processor whose effect on the ids is not a fixed prefix and suffix."""
    if post_processor is None or post_processor["type"] == "ByteLevel":
        return [], []  # ByteLevel only trims offsets
    if post_processor["type"] in ("BertProcessing", "RobertaProcessing"):
        return [post_processor["cls"][1]], [post_processor["sep"][1]]
    if post_processor["type"] != "TemplateProcessing":
        return None
    template = post_processor["single"]
    sequences = [i for i, piece in enumerate(template) if "Sequence" in piece]
    if len(sequences) != 1 or template[sequences[0]]["Sequence"]["id"] != "A":
        return None
    tokens = post_processor["special_tokens"]

    def ids(pieces: list[dict]) -> list[int]:
        return [i for piece in pieces for i in tokens[piece["SpecialToken"]["id"]]["ids"]]

    return ids(template[:sequences[0]]), ids(template[sequences[0] + 1:])
