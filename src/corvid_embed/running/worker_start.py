"""The start of a local worker process, run as a script (`python -P worker_start.py PARENT_PID`):
SIGINT, SIGTERM and SIGHUP end the process quietly from its first instruction, its imports
included; then it serves calls."""

import signal
import sys


def end(number: int, frame: object) -> None:
    sys.exit(128 + number)


if __name__ == "__main__":
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, end)
    from corvid_embed.running.worker_process import main
    main()
