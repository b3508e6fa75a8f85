"""The janitor process: it reads the run's records until its pipe ends, and when the run did not
end with its word that all is well, removes what is still listed. Run as a script, isolated
(python -I -S), so that it imports nothing of the run's.

Records are NUL-terminated (a path cannot hold NUL): "+path" made, "-path" gone, "." all is well."""

import os
import shutil
import signal
import sys


def main() -> None:
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_IGN)  # the run itself reacts to these; this waits for its end
    records = sys.stdin.buffer.read().split(b"\0")
    if b"." in records:
        return
    paths: dict[bytes, None] = {}
    for record in records:
        if record[:1] == b"+":
            paths[record[1:]] = None
        elif record[:1] == b"-":
            paths.pop(record[1:], None)
    for path in reversed(list(paths)):
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            try:
                os.unlink(path)
            except OSError:
                pass


if __name__ == "__main__":
    main()
