"""Progress on standard error, fed with row counts as workers report them: a bar on a terminal,
otherwise (a batch job's log) a plain line about every 10 seconds."""

import sys
import threading
import time

from tqdm import tqdm

LOG_INTERVAL = 10.0


class Progress:
    """`mode` is "bar", "log" or None (silent). `add` may be called from any thread; `show`
    draws, from the thread that owns the output."""

    def __init__(self, total: int | None, mode: str | None) -> None:
        self.total, self.mode = total, mode
        self.done = 0
        self.shown = 0
        self.lock = threading.Lock()
        self.start = self.last_log = time.monotonic()
        # unit_scale off: it shows small counts as 0.00/4.00
        self.bar = tqdm(total=total, file=sys.stderr, unit=" texts", dynamic_ncols=True) if mode == "bar" else None

    def add(self, rows: int) -> None:
        with self.lock:
            self.done += rows

    def show(self) -> None:
        with self.lock:
            done = self.done
        if self.bar is not None:
            self.bar.update(done - self.shown)
            self.shown = done
        elif self.mode == "log" and time.monotonic() - self.last_log >= LOG_INTERVAL:
            self.last_log = time.monotonic()
            print(f"corvid-embed: {self.log_line(done)}", file=sys.stderr, flush=True)

    def log_line(self, done: int) -> str:
        elapsed = max(time.monotonic() - self.start, 1e-9)
        rate = done / elapsed
        line = (f"{done:,} texts" if self.total is None else f"{done:,} of {self.total:,} texts") + f", {rate:,.0f} texts/s"
        if rate > 0 and self.total is not None:
            line += f", {(self.total - done) / rate:,.0f} s left"
        return line

    def close(self) -> None:
        """Takes the bar off the terminal, so that a message after it starts on a line of its own."""
        if self.bar is not None:
            self.show()
            self.bar.close()
            self.bar = None

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, *_: object) -> None:
        self.close()


def progress_mode(wanted: bool) -> str | None:
    if not wanted:
        return None
    return "bar" if sys.stderr is not None and sys.stderr.isatty() else "log"
