"""The two sides of an output. The caller's OutputWriter says where each part writes (a Target),
records each part that completes and, at the end, makes the output visible or leaves only what
is complete. In the worker, the part's Target opens a PartWriter that takes the part's rows batch
by batch."""

from dataclasses import dataclass
from pathlib import Path
from typing import Protocol

from corvid_embed.failures import RowFailure, cannot_write
from corvid_embed.planning.parts import Part
from corvid_embed.running import janitor
from corvid_embed.writing.paths import create_temporary, rename


@dataclass(frozen=True)
class PartOutcome:
    """What a part reports once it has ended."""

    rows: int  # written
    string_ids: bool | None  # the id type written, when the rows carry ids of their own
    path: str | None = None  # the file of its own it wrote, once complete
    failure: RowFailure | None = None  # its first failing row, counted in the corpus, naming file and line


class PartWriter:
    """A part's rows on their way to its target."""

    # Where a batch's rows are packed, when the writer keeps a buffer of its own for them.
    buffer: bytearray | None = None

    def write(self, done: int, rows: memoryview, ids: list | None) -> None:
        """Writes the rows of a batch, rows `done` onwards of the part, with their ids if read."""
        raise NotImplementedError

    def commit(self) -> str | None:
        """Completes the part; the path of the file of its own it wrote, if it wrote one."""
        raise NotImplementedError

    def discard(self) -> None:
        """Leaves nothing of the part."""
        raise NotImplementedError


class Target(Protocol):
    def open(self, columns: int, part: Part, batch_size: int) -> PartWriter:
        """The part writer of a part whose rows are `columns` wide, written `batch_size` at most
        at a time."""
        ...


class FileOfItsOwn(PartWriter):
    """A part written as a whole file at `final`, under a temporary name until complete; `name`
    is the output as messages name it (the shard, or the file joined from parts)."""

    def __init__(self, final: Path, name: str) -> None:
        self.final, self.name = final, name
        self.temporary: Path | None = create_temporary(final)

    def close(self) -> None:
        """Ends writing the temporary file (OSError if it cannot)."""
        raise NotImplementedError

    def commit(self) -> str:
        assert self.temporary is not None
        try:
            self.close()
            rename(self.temporary, self.final)
        except OSError as error:
            raise cannot_write(self.name, error) from None
        self.temporary = None
        return str(self.final)

    def discard(self) -> None:
        if self.temporary is not None:
            janitor.remove(self.temporary)
            self.temporary = None


class OutputWriter:
    """What the caller does for an output."""

    def todo(self, parts: list[Part]) -> list[Part]:
        """The parts still to embed."""
        return parts

    def target(self, part: Part) -> Target:
        raise NotImplementedError

    def completed(self, part: Part, outcome: PartOutcome) -> None:
        pass

    def commit(self) -> None:
        """Makes the output visible, once every part has completed."""
        raise NotImplementedError

    def abandon(self) -> None:
        """Leaves only what is complete, once the run has failed and its workers have stopped."""
        raise NotImplementedError
