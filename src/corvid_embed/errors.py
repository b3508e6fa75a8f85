"""The one exception of the corpus tool: EmbedError, whose message is the command's one line."""


class EmbedError(Exception):
    """A corpus could not be embedded; the message says why, naming the file and the line or row
    to blame when there is one."""
