"""The README and the pages under docs/: every relative link and #anchor leads somewhere, every
page is linked from the README, and the Python examples run.

Examples: each fenced block whose info string is exactly `python`, in the README and in
docs/corpus.md, runs in order in one namespace per page (named `__main__`), with the working
directory set to a fresh directory that holds `path/to/model_dir` (a small model with a
`tokenizer.json` and rows for ids up to 8191) and `corpus.txt` (a few lines of text). Write
examples against those names. A block that is not meant to run (a stub listing, an example that
needs a cluster) says so with the info string `python norun`; it still highlights as Python."""

import re
from pathlib import Path

import pytest

from corpus_models import TEXTS, write_model_dir

REPO = Path(__file__).resolve().parents[2]
PAGES = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
EXAMPLE_PAGES = [REPO / "README.md", REPO / "docs" / "corpus.md"]
MODEL_ROWS = 8192

FENCE = re.compile(r"^(```+|~~~+)(.*)$")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
INLINE_CODE = re.compile(r"`+[^`]*`+")


def blocks_and_prose(page: Path) -> tuple[list[tuple[int, str, str]], list[str]]:
    """The page's fenced blocks as (first line number, info string, text), and its other lines
    (blank in place of the blocks' lines, so that nothing inside a block counts as a link)."""
    blocks, prose = [], []
    fence = None
    for number, line in enumerate(page.read_text(encoding="utf-8").splitlines(), 1):
        opened = FENCE.match(line)
        if fence is None and opened:
            fence, info, body, start = opened[1], opened[2].strip(), [], number + 1
            prose.append("")
        elif fence is not None and line.strip() == fence:
            blocks.append((start, info, "\n".join(body)))
            fence = None
            prose.append("")
        elif fence is not None:
            body.append(line)
            prose.append("")
        else:
            prose.append(line)
    return blocks, prose


def anchor_slug(heading: str) -> str:
    """GitHub's anchor for a heading: the rendered text lower-cased, punctuation other than
    hyphens and underscores dropped, spaces turned into hyphens."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", heading).replace("`", "").lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(page: Path) -> set[str]:
    """Every anchor the page's headings give, with GitHub's -1, -2 suffixes for repeats."""
    seen: dict[str, int] = {}
    for line in blocks_and_prose(page)[1]:
        if heading := HEADING.match(line):
            slug = anchor_slug(heading[1])
            count = seen.get(slug, 0)
            seen[slug] = count + 1
            if count:
                seen[f"{slug}-{count}"] = 1
    return set(seen)


def relative_links(page: Path) -> list[tuple[int, str]]:
    """Every link target on the page outside code that is not a full URL, with its line."""
    links = []
    for number, line in enumerate(blocks_and_prose(page)[1], 1):
        for target in LINK.findall(INLINE_CODE.sub("", line)):
            if not re.match(r"[a-z][a-z0-9+.-]*:", target, re.IGNORECASE):
                links.append((number, target))
    return links


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_relative_links_and_anchors_exist(page: Path) -> None:
    broken = []
    for number, target in relative_links(page):
        path, _, anchor = target.partition("#")
        destination = (page.parent / path).resolve() if path else page
        if not destination.exists():
            broken.append(f"{page.name}:{number}: {target} (no such file)")
        elif anchor and (destination.suffix != ".md" or anchor not in anchors(destination)):
            broken.append(f"{page.name}:{number}: {target} (no such heading)")
    assert not broken, "\n".join(broken)


def test_every_page_is_linked_from_the_readme() -> None:
    linked = {(REPO / target.partition("#")[0]).resolve() for _, target in relative_links(REPO / "README.md")}
    assert {page for page in PAGES[1:] if page not in linked} == set()


@pytest.mark.parametrize("page", EXAMPLE_PAGES, ids=lambda page: page.name)
def test_python_examples_run(page: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    write_model_dir(tmp_path / "path" / "to" / "model_dir", rows=MODEL_ROWS)
    (tmp_path / "corpus.txt").write_text("\n".join(TEXTS) + "\n", encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__main__"}
    examples = [(line, text) for line, info, text in blocks_and_prose(page)[0] if info == "python"]
    assert examples, f"{page.name} has no Python example"
    for line, text in examples:
        exec(compile(text, f"{page.name}, block at line {line}", "exec"), namespace)
