"""How the corpus tool fails, worded once: EmbedError, whose message is the command's one line;
RowFailure, the one value that names a row that cannot be embedded; and the wordings that every
reader, writer and executor shares."""


class EmbedError(Exception):
    """A corpus could not be embedded; the message says why, naming the file and the line or row
    to blame when there is one."""


class RowFailure(Exception):
    """Row `row` cannot be embedded, for `reason`. Raised where the row is read and returned as a
    value where rows are embedded; `row` counts from whatever its holder counts from (a text's
    index in a batch, a row of a part, a row of the corpus)."""

    def __init__(self, row: int, reason: str) -> None:
        super().__init__(row, reason)
        self.row = row
        self.reason = reason


def one_line(reason: object) -> str:
    """A reason on one line: some (a library's, the module's path error) span several."""
    return " ".join(str(reason).split())


def cannot_read(name: object, reason: BaseException | str) -> EmbedError:
    return EmbedError(f"cannot read {name}: {why(reason)}")


def cannot_write(name: object, reason: BaseException | str) -> EmbedError:
    return EmbedError(f"cannot write {name}: {why(reason)}")


def why(reason: BaseException | str) -> str:
    """An operating system error's own text, or the reason on one line."""
    return getattr(reason, "strerror", None) or one_line(reason)


def unexpected(error: BaseException, what: str) -> EmbedError:
    """An exception that no part of the tool expected, worded the same whichever executor ran
    the call that raised it."""
    return EmbedError(f"an unexpected {type(error).__name__} while embedding {what}: {one_line(error)}")
