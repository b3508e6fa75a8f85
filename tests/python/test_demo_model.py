"""The demo's model, learned from the CPython manual, served through corvid_embed."""

import pytest

# Debian builds SciPy for the release interpreter only; the debug interpreter's run skips this.
pytest.importorskip("scipy", exc_type=ImportError,
                    reason="SciPy, which learns the model, is not built for this interpreter")

from learn_model import MODEL_DIR, ensure_model, read_manual_paragraphs  # noqa: E402
from manual_search import QUESTIONS, ManualSearch  # noqa: E402


def test_search_finds_the_answering_page_for_most_questions() -> None:
    # The demo's cached model when it is current; learned here (well under a minute) when it is
    # not, so the check never passes for want of a model.
    ensure_model()
    search = ManualSearch(MODEL_DIR, read_manual_paragraphs())
    misses = search.misses()
    assert search.passes(misses), f"{len(misses)} of {len(QUESTIONS)} questions missed their page: {misses}"
