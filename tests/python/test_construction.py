"""Constructing StaticEmbedding: argument conversion and the weights file check."""

import pathlib
from collections.abc import Callable

import numpy as np
import pytest

from corvid_py import StaticEmbedding
from exact_raises import raises_exactly

MISSING_WEIGHTS = "Could not find `model.safetensors` in the specified directory"
MODEL_DIR_NOTE = "while processing 'model_dir'"
NORMALIZE_NOTE = "while processing 'normalize'"


def missing_weights_error(directory: str) -> str:
    return f"Invalid model or path to load the model: {directory}.\n{MISSING_WEIGHTS}"


class MisleadingStr(str):
    """A str whose conversions name another path: only its own text may count."""

    def __str__(self) -> str:
        return "/nonexistent"

    def __fspath__(self) -> str:
        return "/nonexistent"


class Outer:
    class Inner:
        """Messages name a type by its qualified name."""


def refuse_truth(self: object) -> bool:
    raise ArithmeticError("no truth value")


# Types that claim to be numpy's boolean scalar by module and name.
NumpyBoolWithoutConversion = type("bool_", (), {"__module__": "numpy"})
NumpyBoolFailingConversion = type("bool", (), {"__module__": "numpy", "__bool__": refuse_truth})
BoolWithUnreadableModule = type("bool_", (), {"__module__": 5})

@pytest.mark.parametrize(
    "construct",
    [
        pytest.param(lambda d: StaticEmbedding(d), id="positional"),
        pytest.param(lambda d: StaticEmbedding(d, False), id="both-positional"),
        pytest.param(lambda d: StaticEmbedding(d, normalize=True), id="normalize-keyword"),
        pytest.param(lambda d: StaticEmbedding(normalize=False, model_dir=d), id="both-keywords"),
        pytest.param(lambda d: StaticEmbedding(d, np.True_), id="numpy-true"),
        pytest.param(lambda d: StaticEmbedding(d, normalize=np.False_), id="numpy-false"),
        pytest.param(lambda d: StaticEmbedding(MisleadingStr(d)), id="str-subclass"),
    ],
)
def test_construction_succeeds(construct: Callable[[str], object], model_dir: str) -> None:
    assert type(construct(model_dir)) is StaticEmbedding


@pytest.mark.parametrize(
    ("value", "message"),
    [
        pytest.param(pathlib.Path("/models"), "'PosixPath' object is not an instance of 'str'", id="path"),
        pytest.param(None, "'None' is not an instance of 'str'", id="none"),
        pytest.param(b"/models", "'bytes' object is not an instance of 'str'", id="bytes"),
        pytest.param(Outer.Inner(), "'Outer.Inner' object is not an instance of 'str'", id="nested-class"),
    ],
)
def test_model_dir_must_be_a_str(value: object, message: str) -> None:
    with raises_exactly(TypeError, message, notes=[MODEL_DIR_NOTE]):
        StaticEmbedding(value)


def test_model_dir_must_be_encodable(model_dir: str) -> None:
    text = model_dir + "\udcff"
    with pytest.raises(UnicodeEncodeError) as interpreter:
        text.encode()
    with raises_exactly(UnicodeEncodeError, str(interpreter.value), notes=[MODEL_DIR_NOTE]):
        StaticEmbedding(text)


@pytest.mark.parametrize(
    ("value", "cls", "message"),
    [
        pytest.param(1, TypeError, "'int' object is not an instance of 'bool'", id="one"),
        pytest.param(0, TypeError, "'int' object is not an instance of 'bool'", id="zero"),
        pytest.param(None, TypeError, "'None' is not an instance of 'bool'", id="none"),
        pytest.param(np.int64(1), TypeError, "'int64' object is not an instance of 'bool'", id="numpy-int"),
        pytest.param(np.array(True), TypeError, "'ndarray' object is not an instance of 'bool'", id="array"),
        pytest.param(
            NumpyBoolWithoutConversion(),
            TypeError,
            "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
            id="numpy-bool-without-conversion",
        ),
        pytest.param(NumpyBoolFailingConversion(), ArithmeticError, "no truth value", id="raising-bool"),
        pytest.param(
            BoolWithUnreadableModule(),
            TypeError,
            "'bool_' object is not an instance of 'bool'",
            id="unreadable-module-name",
        ),
    ],
)
def test_normalize_must_be_a_bool(
    value: object, cls: type[BaseException], message: str, model_dir: str
) -> None:
    with raises_exactly(cls, message, notes=[NORMALIZE_NOTE]):
        StaticEmbedding(model_dir, value)


def test_model_dir_converts_before_normalize() -> None:
    with raises_exactly(TypeError, "'None' is not an instance of 'str'", notes=[MODEL_DIR_NOTE]):
        StaticEmbedding(None, None)


def test_bad_normalize_is_reported_before_a_missing_weights_file(tmp_path: pathlib.Path) -> None:
    with raises_exactly(TypeError, "'int' object is not an instance of 'bool'", notes=[NORMALIZE_NOTE]):
        StaticEmbedding(str(tmp_path), 1)


type Directory = Callable[[pathlib.Path, str], str]


def weights_file_itself(tmp: pathlib.Path, d: str) -> str:
    return str(pathlib.Path(d, "model.safetensors"))


def empty_non_ascii_directory(tmp: pathlib.Path, d: str) -> str:
    directory = tmp / "wörter ✓ 🐦"
    directory.mkdir()
    return str(directory)


@pytest.mark.parametrize(
    "directory",
    [
        pytest.param(lambda tmp, d: str(tmp), id="empty-directory"),
        pytest.param(lambda tmp, d: str(tmp / "absent"), id="absent-directory"),
        pytest.param(lambda tmp, d: "absent/", id="relative-with-separator"),
        pytest.param(lambda tmp, d: "", id="empty-text-in-empty-cwd"),
        pytest.param(weights_file_itself, id="regular-file"),
        pytest.param(empty_non_ascii_directory, id="non-ascii"),
        # The OS would read the path only up to the NUL, which names d itself.
        pytest.param(lambda tmp, d: f"{d}\0junk", id="interior-nul"),
    ],
)
def test_missing_weights_file(
    directory: Directory, tmp_path: pathlib.Path, model_dir: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.chdir(tmp_path)
    text = directory(tmp_path, model_dir)
    with raises_exactly(ValueError, missing_weights_error(text)):
        StaticEmbedding(text)


@pytest.mark.parametrize(
    "split",
    [
        pytest.param(lambda d: (d, ""), id="empty-text"),
        pytest.param(lambda d: (str(pathlib.Path(d).parent), pathlib.Path(d).name), id="relative"),
    ],
)
def test_relative_model_dir_resolves_against_the_working_directory(
    split: Callable[[str], tuple[str, str]], model_dir: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    cwd, relative = split(model_dir)
    monkeypatch.chdir(cwd)
    assert type(StaticEmbedding(relative)) is StaticEmbedding


@pytest.mark.parametrize(
    "create_weights",
    [
        pytest.param(lambda path: path.mkdir(), id="directory"),
        pytest.param(lambda path: path.write_bytes(b""), id="empty-file"),
        pytest.param(lambda path: path.write_bytes(b"\xff" * 64), id="garbage"),
    ],
)
def test_construction_reads_nothing(
    create_weights: Callable[[pathlib.Path], object], tmp_path: pathlib.Path
) -> None:
    create_weights(tmp_path / "model.safetensors")
    assert type(StaticEmbedding(str(tmp_path))) is StaticEmbedding
