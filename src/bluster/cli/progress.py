"""Progress of a run on stderr: a tqdm bar on a terminal, plain lines otherwise."""

import sys
import time
from typing import TextIO

from tqdm import tqdm

PLAIN_INTERVAL = 10.0  # seconds between two plain progress lines (logs, batch jobs)
PLAIN_FORMAT = (
    "{n_fmt}/{total_fmt} volumes ({percentage:.0f}%), {rate_fmt}, {elapsed} elapsed, "
    "{remaining} left"
)


class Progress:
    """Files done, rate and time left, and the messages about skipped files.

    On a terminal a live bar; elsewhere (a log file, a batch system) one line every
    ``PLAIN_INTERVAL`` seconds and one at the end, in the same words. ``quiet`` shows neither
    the bar nor the lines, only the messages.
    """

    def __init__(self, total: int, *, quiet: bool = False, stream: TextIO | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.total = total
        self.done = 0
        self.quiet = quiet
        self.start = time.monotonic()
        self.last_line = self.start
        self.last_line_done = 0  # files done at the last plain line
        self.bar: tqdm | None = None
        if not quiet and self.stream.isatty():
            self.bar = tqdm(total=total, unit="volume", file=self.stream, dynamic_ncols=True)

    def advance(self) -> None:
        """One more file done (processed or skipped)."""
        self.done += 1
        if self.bar is not None:
            self.bar.update(1)
        elif not self.quiet and time.monotonic() - self.last_line >= PLAIN_INTERVAL:
            self._plain_line()

    def message(self, text: str) -> None:
        """A line for the user that does not break the bar."""
        if self.bar is not None:
            self.bar.write(text, file=self.stream)
        else:
            print(text, file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif not self.quiet and self.done != self.last_line_done:
            self._plain_line()  # the final count, unless the last line already gave it

    def _plain_line(self) -> None:
        self.last_line = time.monotonic()
        self.last_line_done = self.done
        meter = tqdm.format_meter(
            self.done,
            self.total,
            self.last_line - self.start,
            unit="volume",
            bar_format=PLAIN_FORMAT,
        )
        print(meter, file=self.stream, flush=True)
