"""Type checking against the installed package: its generated stub, mypy and stubtest."""

import ast
import difflib
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import corvid_py

REPO = pathlib.Path(__file__).resolve().parents[2]
GOLDEN_STUB = REPO / "src" / "corvid_py" / "corvid_py.pyi"
STUB_PACKAGE = pathlib.Path(corvid_py.__file__).parent / "corvid_py-stubs"
REFRESH_COMMAND = "scripts/dev build/cmake/corvid_py_stubgen corvid_py src/corvid_py/corvid_py.pyi"


def test_installed_stub_matches_the_golden_file():
    installed = (STUB_PACKAGE / "__init__.pyi").read_text()
    golden = GOLDEN_STUB.read_text()
    if installed != golden:
        diff = "".join(
            difflib.unified_diff(
                golden.splitlines(keepends=True),
                installed.splitlines(keepends=True),
                fromfile=str(GOLDEN_STUB.relative_to(REPO)),
                tofile="installed corvid_py-stubs/__init__.pyi",
            )
        )
        pytest.fail(
            f"The generated stub differs from the golden file:\n{diff}\n"
            f"If the change is intended, refresh the golden file after a build with\n"
            f"    {REFRESH_COMMAND}\n",
            pytrace=False,
        )


def test_stub_package_declares_itself_typed():
    assert (STUB_PACKAGE / "py.typed").is_file()


def test_stub_docstring_of_embed_tokens_is_the_runtime_one():
    tree = ast.parse((STUB_PACKAGE / "__init__.pyi").read_text())
    (stub_class,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    (method,) = [node for node in stub_class.body if getattr(node, "name", "") == "embed_tokens"]
    assert ast.get_docstring(method) == corvid_py.StaticEmbedding.embed_tokens.__doc__


CORRECT_USE = """
    from collections.abc import Sequence

    import corvid_py
    from corvid_py import StaticEmbedding


    def embed(model_dir: str, tokens: Sequence[int]) -> list[float]:
        return StaticEmbedding(model_dir).embed_tokens(tokens)


    model = corvid_py.StaticEmbedding(model_dir="model", normalize=False)
    vector: list[float] = model.embed_tokens((1, 2, 3))
    first: float = model.embed_tokens(range(4))[0]
    exported: list[str] = corvid_py.__all__
"""

# Each script holds one mistake, and mypy must report exactly that one.
MISUSES = {
    "normalize_int": (
        'StaticEmbedding("model", normalize=1)',
        'Argument "normalize" to "StaticEmbedding" has incompatible type "int"; expected "bool"',
    ),
    "tokens_str": (
        'StaticEmbedding("model").embed_tokens("1 2 3")',
        'Argument 1 to "embed_tokens" of "StaticEmbedding" has incompatible type "str"; '
        'expected "Sequence[int]"',
    ),
    "tokens_float": (
        'StaticEmbedding("model").embed_tokens([1.5])',
        'List item 0 has incompatible type "float"; expected "int"',
    ),
    "model_dir_missing": (
        "StaticEmbedding()",
        'Missing positional argument "model_dir" in call to "StaticEmbedding"',
    ),
    "result_as_str": (
        'text: str = StaticEmbedding("model").embed_tokens([1])',
        'Incompatible types in assignment (expression has type "list[float]", '
        'variable has type "str")',
    ),
    "subclass": (
        "class Mine(StaticEmbedding): ...",
        'Cannot inherit from final class "StaticEmbedding"',
    ),
}

MYPY_ERROR = re.compile(r"^(?P<file>[^:\s]+)\.py:\d+: error: (?P<message>.*?)(?:  \[[\w-]+\])?$")


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """Runs mypy once over the correct script and every misuse; errors by script name."""
    scripts = tmp_path_factory.mktemp("scripts")
    (scripts / "correct_use.py").write_text(textwrap.dedent(CORRECT_USE))
    for name, (statement, _) in MISUSES.items():
        script = f"from corvid_py import StaticEmbedding\n\n{statement}\n"
        (scripts / f"{name}.py").write_text(script)
    files = sorted(path.name for path in scripts.glob("*.py"))
    cache = tmp_path_factory.mktemp("mypy_cache")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *files],
        cwd=scripts,
        capture_output=True,
        text=True,
        timeout=60,
    )
    errors = {name: [] for name in ["correct_use", *MISUSES]}
    for line in result.stdout.splitlines():
        match = MYPY_ERROR.match(line)
        if match:
            errors[match["file"]].append(match["message"])
    assert result.returncode in (0, 1), result.stdout + result.stderr
    return errors


def test_mypy_accepts_correct_use(mypy_errors):
    assert mypy_errors["correct_use"] == []


@pytest.mark.parametrize("name", MISUSES)
def test_mypy_flags_misuse(mypy_errors, name):
    assert mypy_errors[name] == [MISUSES[name][1]]


def test_stubtest_finds_stub_and_module_agree(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "corvid_py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stdout + result.stderr
