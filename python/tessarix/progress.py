"""A one-line text progress bar for long native work (geo power and market search, placebo
refits): the native pool counts finished items, and the waiting call reports them here every
few hundredths of a second, so the bar moves while the work runs."""

from __future__ import annotations

import sys
import time
from typing import IO, Any, Optional

# Redraw at most this often (seconds), and the bar this many characters wide.
_REDRAW = 0.1
_WIDTH = 30


class ProgressBar:
    """Draws ``label [#####.....]  52% 104/200`` on `stream` (stderr by default), redrawn in
    place; call it with (done, total), then ``close()``."""

    def __init__(self, label: str, stream: Optional[IO[str]] = None):
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self.done = 0
        self.total = 0
        self._drawn = -1.0

    def __call__(self, done: int, total: int) -> None:
        self.done, self.total = done, total
        now = time.monotonic()
        if now - self._drawn >= _REDRAW:
            self._draw()
            self._drawn = now

    def _draw(self, end: str = "") -> None:
        share = self.done / self.total if self.total else 0.0
        filled = int(round(share * _WIDTH))
        self.stream.write(f"\r{self.label} [{'#' * filled}{'.' * (_WIDTH - filled)}] {share:4.0%} "
                          f"{self.done}/{self.total}{end}")
        self.stream.flush()

    def close(self) -> None:
        """The final state: everything counted done, and a new line."""
        self.done = self.total = max(self.total, self.done)
        self._draw(end="\n")


def reporter(progress: Any, label: str) -> Optional[Any]:
    """The callable the native call reports to: None for ``progress=False``, a ProgressBar for
    ``True``, or the caller's own callable(done, total)."""
    if progress is True:
        return ProgressBar(label)
    if progress is False or progress is None:
        return None
    if not callable(progress):
        raise TypeError(f"progress must be True, False or a callable(done, total); got {type(progress).__name__}")
    return progress
