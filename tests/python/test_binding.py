"""Binding the arguments of both calls: every binding failure, with its exact message."""

from collections.abc import Callable

import pytest

from corvid_py import StaticEmbedding
from exact_raises import raises_exactly

NEW = "StaticEmbedding.__new__()"
METHOD = "StaticEmbedding.embed_tokens()"
NEW_TOO_MANY = f"{NEW} takes from 1 to 2 positional arguments but 3 were given"
NEW_MISSING = f"{NEW} missing 1 required positional argument: 'model_dir'"
METHOD_TOO_MANY = f"{METHOD} takes 1 positional arguments but 2 were given"
METHOD_MISSING = f"{METHOD} missing 1 required positional argument: 'tokens'"

type Call = Callable[[str, StaticEmbedding], object]


def case(call: Call, message: str, id: str) -> object:
    return pytest.param(call, message, id=id)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        case(lambda d, e: StaticEmbedding(), NEW_MISSING, "new-no-arguments"),
        case(lambda d, e: StaticEmbedding(normalize=True), NEW_MISSING, "new-only-normalize"),
        case(lambda d, e: StaticEmbedding(d, True, True), NEW_TOO_MANY, "new-three-positional"),
        # Binding comes before conversion, and a positional excess before any keyword.
        case(lambda d, e: StaticEmbedding(None, None, None, bogus=1), NEW_TOO_MANY, "new-too-many-first"),
        case(lambda d, e: StaticEmbedding(normalize=None), NEW_MISSING, "new-missing-before-conversion"),
        case(
            lambda d, e: StaticEmbedding(d, model_dir=d),
            f"{NEW} got multiple values for argument 'model_dir'",
            "new-model-dir-twice",
        ),
        case(
            lambda d, e: StaticEmbedding(d, True, normalize=False),
            f"{NEW} got multiple values for argument 'normalize'",
            "new-normalize-twice",
        ),
        case(
            lambda d, e: StaticEmbedding(d, Normalize=True),
            f"{NEW} got an unexpected keyword argument 'Normalize'",
            "new-keywords-are-case-sensitive",
        ),
        case(
            lambda d, e: StaticEmbedding(None, bogus=1),
            f"{NEW} got an unexpected keyword argument 'bogus'",
            "new-unexpected-before-conversion",
        ),
        case(
            lambda d, e: StaticEmbedding(bogus=1),
            f"{NEW} got an unexpected keyword argument 'bogus'",
            "new-unexpected-before-missing",
        ),
        # The first offending keyword, in the order given, is the one reported.
        case(
            lambda d, e: StaticEmbedding(d, bogus=1, model_dir=d),
            f"{NEW} got an unexpected keyword argument 'bogus'",
            "new-first-offender-unexpected",
        ),
        case(
            lambda d, e: StaticEmbedding(d, model_dir=d, bogus=1),
            f"{NEW} got multiple values for argument 'model_dir'",
            "new-first-offender-multiple",
        ),
        case(
            lambda d, e: StaticEmbedding(d, **{"\udcff": 1}),
            f"{NEW} got an unexpected keyword argument '\udcff'",
            "new-unencodable-keyword",
        ),
        case(lambda d, e: e.embed_tokens(), METHOD_MISSING, "method-no-arguments"),
        case(lambda d, e: e.embed_tokens([1], [2]), METHOD_TOO_MANY, "method-two-positional"),
        case(lambda d, e: e.embed_tokens([1], [2], tokens=[3]), METHOD_TOO_MANY, "method-too-many-first"),
        case(
            lambda d, e: e.embed_tokens([1], tokens=[1]),
            f"{METHOD} got multiple values for argument 'tokens'",
            "method-tokens-twice",
        ),
        case(
            lambda d, e: e.embed_tokens(Tokens=[1]),
            f"{METHOD} got an unexpected keyword argument 'Tokens'",
            "method-keywords-are-case-sensitive",
        ),
        case(
            lambda d, e: e.embed_tokens(tokens=[1], extra=1),
            f"{METHOD} got an unexpected keyword argument 'extra'",
            "method-unexpected-after-valid",
        ),
        case(
            lambda d, e: e.embed_tokens(**{"\udcff": 1}),
            f"{METHOD} got an unexpected keyword argument '\udcff'",
            "method-unencodable-keyword",
        ),
    ],
)
def test_binding_errors(call: Call, message: str, model_dir: str, embedding: StaticEmbedding) -> None:
    with raises_exactly(TypeError, message):
        call(model_dir, embedding)
