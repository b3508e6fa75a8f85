"""Semantic search over the manual's paragraphs with the demo's model, and the questions that check it.

Each question is paired with the manual page that answers it, chosen by reading the manual,
not by trying the model: the search passes when that page is among the top three pages for
at least three quarters of the questions.
"""

import pathlib
from dataclasses import dataclass

import numpy as np

from corvid_embed import embed_texts
from manual_paragraphs import Paragraph

QUESTIONS = {
    "how do I remove duplicates from a list": "faq/programming.html",
    "how do I read and write CSV files": "library/csv.html",
    "how do I run a shell command and capture its output": "library/subprocess.html",
    "how do I sort a list of dictionaries by a key": "howto/sorting.html",
    "how do I serialize a Python object to JSON": "library/json.html",
    "how do I copy a directory tree": "library/shutil.html",
    "how do I create a temporary file that is deleted when closed": "library/tempfile.html",
    "how do I generate a random integer between two numbers": "library/random.html",
    "how do I compress a file with gzip": "library/gzip.html",
    "how do I wait for a thread to finish": "library/threading.html",
    "how do I format a date as a string": "library/datetime.html",
    "how do I parse command line options": "library/argparse.html",
    "how do I log messages to a file": "howto/logging.html",
    "how do I check whether a file exists": "library/os.path.html",
    "how do I open a URL and read the response": "library/urllib.request.html",
    "how do I measure how long my code takes to run": "library/timeit.html",
    "how do I make a simple class to store data": "library/dataclasses.html",
    "how do I read a configuration file": "library/configparser.html",
}
TOP = 3
PASSING_SHARE = 0.75


@dataclass(frozen=True)
class Hit:
    paragraph: Paragraph
    score: float


class ManualSearch:
    """Every paragraph embedded once; questions are answered by cosine similarity."""

    def __init__(self, model_dir: pathlib.Path, paragraphs: list[Paragraph]) -> None:
        self.model_dir = str(model_dir)
        self.paragraphs = paragraphs
        # The page title tells what a paragraph is about when its own words do not.
        self.matrix = embed_texts(self.model_dir, [f"{p.title}. {p.text}" for p in paragraphs])

    def search(self, question: str, top: int = TOP) -> list[Hit]:
        """The best paragraph of each of the `top` best pages: three places to read rather than
        three neighbouring paragraphs of one."""
        # embed_texts gives unit rows, so a dot product is the cosine.
        scores = self.matrix @ embed_texts(self.model_dir, [question])[0]
        hits: dict[str, Hit] = {}
        for i in np.argsort(-scores, kind="stable"):
            if len(hits) == top:
                break
            hits.setdefault(self.paragraphs[i].page, Hit(self.paragraphs[i], float(scores[i])))
        return list(hits.values())

    def misses(self) -> list[str]:
        """The questions whose page is not among the top paragraphs' pages."""
        return [question for question, page in QUESTIONS.items()
                if page not in {hit.paragraph.page for hit in self.search(question)}]

    def passes(self, misses: list[str]) -> bool:
        return len(QUESTIONS) - len(misses) >= PASSING_SHARE * len(QUESTIONS)
