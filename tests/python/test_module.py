"""The module and its class as Python sees them: exports, names, docs, layout, re-import."""

import contextlib
import gc
import importlib
import importlib.util
import pathlib
import shutil
import subprocess
import sys
import weakref
from collections.abc import Callable
from types import ModuleType

import pytest

import corvid_py
from corvid_py import StaticEmbedding
from exact_raises import raises_exactly

EMBED_TOKENS_DOC = (
    "Generates an embedding for a pre-tokenized sequence of token IDs (use whatever tokenization\n"
    "libary you prefer to generate tokens).\n"
    "\n"
    "The tensor is loaded lazily on first call. Embeddings are mean-pooled\n"
    "and optionally normalized."
)


# ---- Exports --------------------------------------------------------------


def test_module_exports_only_the_class() -> None:
    assert corvid_py.__all__ == ["StaticEmbedding"]
    assert {name for name in dir(corvid_py) if not name.startswith("_")} == {"StaticEmbedding"}


def test_only_dynamic_symbol_is_the_init_entry() -> None:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", corvid_py.__file__], check=True, capture_output=True, text=True, timeout=60
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit_corvid_py"]


# ---- Class object ---------------------------------------------------------


def test_class_names() -> None:
    assert StaticEmbedding.__module__ == "corvid_py"
    assert StaticEmbedding.__name__ == "StaticEmbedding"
    assert StaticEmbedding.__qualname__ == "StaticEmbedding"


def test_text_signatures_and_docstrings() -> None:
    assert StaticEmbedding.__text_signature__ == "(model_dir, normalize=True)"
    assert StaticEmbedding.__doc__ == ""
    assert StaticEmbedding.embed_tokens.__text_signature__ == "($self, tokens)"
    assert StaticEmbedding.embed_tokens.__doc__ == EMBED_TOKENS_DOC


def test_class_defines_nothing_but_its_constructor_and_method() -> None:
    # A __dict__ or __weakref__ slot, or any stray class attribute, shows up here.
    assert sorted(vars(StaticEmbedding)) == ["__doc__", "__module__", "__new__", "embed_tokens"]


def test_class_cannot_be_subclassed() -> None:
    with pytest.raises(TypeError, match="not an acceptable base type"):

        class Derived(StaticEmbedding):
            pass


def test_class_attributes_can_be_set(monkeypatch: pytest.MonkeyPatch, embedding: StaticEmbedding) -> None:
    monkeypatch.setattr(StaticEmbedding, "extra", "value", raising=False)
    assert embedding.extra == "value"


# ---- Instances ------------------------------------------------------------


def test_instances_refuse_new_attributes(embedding: StaticEmbedding) -> None:
    with pytest.raises(AttributeError):
        embedding.extra = 1


def test_instances_refuse_weak_references(embedding: StaticEmbedding) -> None:
    with pytest.raises(TypeError):
        weakref.ref(embedding)


def test_instances_are_not_tracked_by_the_cycle_collector(embedding: StaticEmbedding) -> None:
    assert not gc.is_tracked(embedding)


def test_constructions_leave_the_class_reference_count_unchanged(
    model_dir: str, tmp_path: pathlib.Path
) -> None:
    before = sys.getrefcount(StaticEmbedding)
    for _ in range(100):
        StaticEmbedding(model_dir)
        with contextlib.suppress(ValueError):
            StaticEmbedding(str(tmp_path))
    assert sys.getrefcount(StaticEmbedding) == before


# ---- Module exec ----------------------------------------------------------


def test_reimport_gives_the_same_class_and_a_fresh_all(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delitem(sys.modules, "corvid_py")
    reimported = importlib.import_module("corvid_py")
    assert reimported is not corvid_py
    assert reimported.StaticEmbedding is StaticEmbedding
    assert reimported.__all__ == ["StaticEmbedding"]
    assert reimported.__all__ is not corvid_py.__all__
    assert corvid_py.__all__ == ["StaticEmbedding"]


def exec_new_module(prepare: Callable[[ModuleType], None]) -> ModuleType:
    """Creates a new corvid_py module object, lets `prepare` change it, then runs its exec."""
    spec = importlib.util.find_spec("corvid_py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    prepare(module)
    spec.loader.exec_module(module)
    return module


class ListSubclass(list[str]):
    pass


@pytest.mark.parametrize("kind", [list, ListSubclass])
def test_exec_extends_an_existing_all_list(kind: type[list[str]]) -> None:
    existing = kind(["other"])
    module = exec_new_module(lambda module: setattr(module, "__all__", existing))
    assert module.__all__ is existing
    assert existing == ["other", "StaticEmbedding"]
    assert module.StaticEmbedding is StaticEmbedding


def refuse_lookup(name: str) -> object:
    raise LookupError(f"no {name} here")


@pytest.mark.parametrize(
    ("prepare", "cls", "message"),
    [
        pytest.param(
            lambda module: setattr(module, "__all__", ("other",)),
            TypeError,
            "'tuple' object is not an instance of 'list'",
            id="all-not-a-list",
        ),
        pytest.param(
            lambda module: setattr(module, "__getattr__", refuse_lookup),
            LookupError,
            "no __all__ here",
            id="lookup-error-passed-on",
        ),
    ],
)
def test_exec_fails_on_an_unusable_all(
    prepare: Callable[[ModuleType], None], cls: type[BaseException], message: str
) -> None:
    with raises_exactly(cls, message):
        exec_new_module(prepare)
