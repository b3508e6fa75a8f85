"""The CPython manual's HTML pages as plain-text paragraphs, each with its page and section title."""

import pathlib
from dataclasses import dataclass
from html.parser import HTMLParser

# Debian's python3.14-doc; the parts that explain the language and its library
# (not the C API, the release notes or the deprecation lists).
MANUAL = pathlib.Path("/usr/share/doc/python3.14/html")
PARTS = ("tutorial", "builtins", "library", "reference", "howto", "faq")

# Shorter paragraphs are mostly captions and fragments such as "Added in version 3.12."
MIN_WORDS = 5


@dataclass(frozen=True)
class Paragraph:
    page: str  # relative to the manual, e.g. "faq/programming.html"
    title: str
    section: str
    text: str


class _PageParser(HTMLParser):
    """Collects the <p> texts of a page's main column, with the heading each falls under.
    Code, the contents lists and the headings' pilcrow links are left out."""

    SKIPPED = {"pre", "nav", "script", "style"}
    HEADINGS = {"h1", "h2", "h3", "h4", "h5", "h6"}

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.div_depth = 0
        self.main_depth = 0  # the main column's div depth; 0 outside it
        self.skipped: list[str] = []  # open elements whose text is left out
        self.buffer: list[str] | None = None  # the paragraph or heading being read
        self.title = ""
        self.section = ""
        self.paragraphs: list[tuple[str, str, str]] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag == "div":
            self.div_depth += 1
            if ("role", "main") in attrs:
                self.main_depth = self.div_depth
        if not self.main_depth:
            return
        if tag in self.SKIPPED or (tag == "a" and ("class", "headerlink") in attrs):
            self.skipped.append(tag)
        elif self.skipped and tag == self.skipped[-1]:
            self.skipped.append(tag)
        elif not self.skipped and (tag == "p" or tag in self.HEADINGS):
            self.buffer = []

    def handle_endtag(self, tag: str) -> None:
        if tag == "div":
            if self.div_depth == self.main_depth:
                self.main_depth = 0
            self.div_depth -= 1
        if self.skipped:
            if tag == self.skipped[-1]:
                self.skipped.pop()
            return
        if self.buffer is None or not (tag == "p" or tag in self.HEADINGS):
            return
        text = " ".join("".join(self.buffer).split())
        self.buffer = None
        if tag == "h1" and not self.title:
            self.title = self.section = text
        elif tag != "p":
            self.section = text
        elif len(text.split()) >= MIN_WORDS:
            self.paragraphs.append((self.title, self.section, text))

    def handle_data(self, data: str) -> None:
        if self.buffer is not None and not self.skipped:
            self.buffer.append(data)


def manual_pages(manual: pathlib.Path = MANUAL) -> list[pathlib.Path]:
    """The pages read, in a fixed order."""
    if not manual.is_dir():
        raise FileNotFoundError(f"the CPython manual is not at {manual}: install Debian's python3.14-doc")
    return sorted(page for part in PARTS for page in (manual / part).glob("*.html"))


def read_paragraphs(manual: pathlib.Path = MANUAL) -> list[Paragraph]:
    paragraphs = []
    for page in manual_pages(manual):
        parser = _PageParser()
        parser.feed(page.read_text(encoding="utf-8"))
        parser.close()
        name = page.relative_to(manual).as_posix()
        paragraphs += [Paragraph(name, title, section, text) for title, section, text in parser.paragraphs]
    return paragraphs
