"""The module in subinterpreters: a legacy one (sharing the main interpreter's
lock) builds objects of its own and leaves the main interpreter's working when
it ends; an isolated one (with a lock of its own) cannot import the module."""

import subprocess
import sys
import textwrap
from concurrent import interpreters

import _interpreters
import pytest

from corvid_py import StaticEmbedding
from exact_raises import raises_exactly

# Run in an interpreter with `model_dir` and `foreign_ids` set: it imports the
# module, uses every object the module keeps (class, PanicException, the note's
# method name, collections.abc.Sequence), and checks that none of them is one
# whose id is in `foreign_ids`, the main interpreter's.
USE_THE_MODULE = textwrap.dedent("""
    import sys
    import corvid_py

    cls = corvid_py.StaticEmbedding
    assert id(cls) not in foreign_ids
    model = cls(model_dir, normalize=False)
    assert model.embed_tokens([1, 2]) == [4.5, 5.5, 6.5]

    try:
        model.embed_tokens(5)
    except TypeError as error:
        assert str(error) == "'int' object is not an instance of 'Sequence'", error
        assert error.__notes__ == ["while processing 'tokens'"], error.__notes__
    else:
        raise AssertionError("no TypeError")

    try:
        model.embed_tokens([4])
    except Exception:
        raise
    except BaseException as error:
        assert type(error).__name__ == "PanicException", repr(error)
        assert id(type(error)) not in foreign_ids
    else:
        raise AssertionError("no PanicException")

    del sys.modules["corvid_py"]
    import corvid_py
    assert corvid_py.StaticEmbedding is cls
""")

# A process whose legacy subinterpreter imports the module first and is
# destroyed before the main interpreter imports it.
SUBINTERPRETER_FIRST = textwrap.dedent("""
    import _interpreters
    import sys

    model_dir, code = sys.argv[1:]
    shared = {"model_dir": model_dir, "foreign_ids": ()}
    interpreter = _interpreters.create("legacy")
    failure = _interpreters.exec(interpreter, code, shared)
    _interpreters.destroy(interpreter)
    assert failure is None, failure.errdisplay
    exec(code, dict(shared))
""")


def test_legacy_subinterpreter_gets_objects_of_its_own(
    model_dir: str, embedding: StaticEmbedding, panic_exception: type[BaseException]
) -> None:
    expected = embedding.embed_tokens([1, 2])
    interpreter = _interpreters.create("legacy")
    try:
        shared = {"model_dir": model_dir, "foreign_ids": (id(StaticEmbedding), id(panic_exception))}
        failure = _interpreters.exec(interpreter, USE_THE_MODULE, shared)
    finally:
        _interpreters.destroy(interpreter)
    assert failure is None, failure.errdisplay

    assert embedding.embed_tokens([1, 2]) == expected
    with raises_exactly(
        TypeError, "'int' object is not an instance of 'Sequence'", ["while processing 'tokens'"]
    ):
        embedding.embed_tokens(5)
    with pytest.raises(BaseException) as caught:
        embedding.embed_tokens([4])
    assert type(caught.value) is panic_exception


def test_main_interpreter_imports_after_a_destroyed_subinterpreter_did(model_dir: str) -> None:
    run = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_FIRST, model_dir, USE_THE_MODULE],
        capture_output=True,
        text=True,
        check=False,
        timeout=60,
    )
    assert run.returncode == 0, run.stderr


def test_isolated_subinterpreter_cannot_import() -> None:
    interpreter = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed) as caught:
            interpreter.exec("import corvid_py")
    finally:
        interpreter.close()
    assert caught.value.excinfo.type.__name__ == "ImportError"
    assert caught.value.excinfo.msg == (
        "module corvid_py does not support loading in subinterpreters"
    )
