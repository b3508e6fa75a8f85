"""The start of a local worker process, run as a script (`python -P worker_start.py PARENT_PID`):
SIGINT, SIGTERM and SIGHUP end the process quietly from its first instruction, its imports
included; then it serves calls."""

import signal
import sys


ending = False


def end(number: int, frame: object) -> None:
    # Once: the parent's death and its abort may both signal, and a second SystemExit would be
    # raised inside the clean-up the first set going (a deallocator's, which prints it). A first
    # one lost in a deallocator still ends the worker: its parent's pipe closes, or the parent's
    # grace runs out.
    global ending
    if not ending:
        ending = True
        sys.exit(128 + number)


if __name__ == "__main__":
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, end)
    from corvid_embed.running.worker_process import main
    main()
