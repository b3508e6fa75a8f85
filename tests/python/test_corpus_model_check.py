"""The corpus tool reads the weights file's header alone, before any worker starts, to name a bad
file in one line and to check ids against the table's rows: what it reads must agree with what
the module loads, over the reader's fuzz seeds and the hostile files. A file the tool refuses, the
module refuses too; a table the module embeds with has the columns the tool read, and every id the
tool lets through is inside it, so that no id it checked makes the module fail. (The module may
still refuse a file whose header the tool reads, one whose tensor it cannot read: the run then
ends with the module's reason.)"""

import struct
from pathlib import Path

import pytest

from conftest import WEIGHTS_FILE
from corvid_embed import EmbedError
from corvid_embed.embedding.model_files import table_shape
from corvid_py import StaticEmbedding
from test_hostile_inputs import HOSTILE_FILES, entry, weights_file

FUZZ = Path(__file__).resolve().parents[2] / "fuzz" / "corpus"
# The header fuzzer's seeds are headers: given a length field and the data of a 4 x 3 F32 table.
FILES = {**{f"reader seed {path.name}": path.read_bytes() for path in sorted((FUZZ / "reader_fuzzer").iterdir())},
         **{f"header seed {path.name}": struct.pack("<Q", path.stat().st_size) + path.read_bytes() + bytes(48)
            for path in sorted((FUZZ / "header_fuzzer").iterdir())},
         **{f"hostile {name}": contents for name, (contents, _, _) in HOSTILE_FILES.items()},
         # A shape that disagrees with the tensor's bytes: the module checks each row against the bytes.
         "more rows than bytes": weights_file(entry(shape=[10, 3])),
         "fewer rows than bytes": weights_file(entry(shape=[2, 3]))}


@pytest.mark.parametrize("name", FILES)
def test_the_tools_table_shape_agrees_with_the_module(tmp_path: Path, panic_exception: type[BaseException],
                                                      name: str) -> None:
    (tmp_path / WEIGHTS_FILE).write_bytes(FILES[name])
    try:
        shape = table_shape(str(tmp_path))
    except EmbedError:
        shape = None
    model = StaticEmbedding(str(tmp_path), False)
    try:
        columns = len(model.embed_tokens([]))
    except (RuntimeError, MemoryError, panic_exception):
        return  # refused by the module (a row too wide for memory too), whatever the tool read
    assert shape is not None, "the tool refuses a file the module embeds with"
    assert shape.columns == columns
    if shape.rows:
        assert len(model.embed_tokens([min(shape.rows, 2**32) - 1])) == columns
