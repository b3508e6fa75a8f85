"""Which tokenizers the native word table serves: those whose `encode(text).ids` are the
post-processor's special ids around the ids of the text's space-separated pieces, each encoded alone.

For the common tokenizers, `encode` spends its time in the normaliser and pre-tokenizer, not in
the model, and so do their Python bindings. But when the normaliser maps each character on its
own and the pre-tokenizer drops spaces and never puts one inside a word, a line's ids are its
pieces' ids in order between fixed special ids. Those pieces repeat across a corpus, so the native
table encodes each once and keeps its ids. Tokenizers whose configuration does not show that form,
exactly, are given whole texts.
"""

import json
from collections.abc import Callable

from tokenizers import AddedToken, Tokenizer

type EncodePieces = Callable[[list[str]], list[list[int]]]

# Normalisers that map every character on its own (the Unicode forms never compose or reorder
# across a space, which is a starter), so a space in a line stays a space.
LOCAL_NORMALIZERS = frozenset({"BertNormalizer", "Lowercase", "NFC", "NFD", "NFKC", "NFKD", "StripAccents"})
# Pre-tokenizers that split at every space and keep none in a word; and those that only split a
# piece further, which may come with them in a sequence.
SPACE_SPLITTERS = frozenset({"BertPreTokenizer", "Whitespace", "WhitespaceSplit"})
REFINERS = SPACE_SPLITTERS | {"Punctuation", "Digits"}
# Models that tokenize each word on its own and always give a word the same ids.
WORD_BY_WORD_MODELS = frozenset({"WordPiece", "WordLevel", "BPE", "Unigram"})

# Bytes the native table may hold, about: enough for the common words of any corpus; past it the
# table starts afresh, so memory stays bounded on corpora with an endless tail of rare words.
WORD_BYTES = 64 << 20


# Texts the tokenizer encodes in one call: its Encoding objects (tokens, offsets and all) live until
# their ids are taken, so a larger call only raises the peak memory (by about 20 MiB for a batch of
# 1,024 lines of 200 characters).
ENCODE_CHUNK = 64


def encoded_ids(tokenizer: Tokenizer, texts: list[str], add_special_tokens: bool = True) -> list[list[int]]:
    """`encode_batch(texts).ids` of each text, by the fast form of `encode_batch`, which computes no
    offsets (nothing here reads them)."""
    return [encoding.ids for start in range(0, len(texts), ENCODE_CHUNK)
            for encoding in tokenizer.encode_batch_fast(texts[start:start + ENCODE_CHUNK],
                                                        add_special_tokens=add_special_tokens)]


def pieces_encoder(tokenizer: Tokenizer) -> EncodePieces:
    """The call the native table makes with a batch's pieces that it has not kept."""
    return lambda pieces: encoded_ids(tokenizer, pieces, add_special_tokens=False)


def word_cache_specials(tokenizer: Tokenizer) -> tuple[list[int], list[int]] | None:
    """The special ids put before and after a text's piece ids when the word table serves the
    tokenizer; None when it must be given whole texts."""
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
