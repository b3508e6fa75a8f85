"""Checks a raised exception completely: its exact class, its message and its notes."""

import contextlib
from collections.abc import Iterator, Sequence

import pytest


@contextlib.contextmanager
def raises_exactly(
    cls: type[BaseException], message: str, notes: Sequence[str] = ()
) -> Iterator[pytest.ExceptionInfo[BaseException]]:
    """Like pytest.raises, but a subclass of `cls`, another message or other
    notes (none by default) fail the test."""
    with pytest.raises(cls) as caught:
        yield caught
    assert type(caught.value) is cls
    assert str(caught.value) == message
    assert getattr(caught.value, "__notes__", []) == list(notes)
