"""The progress line that a long replay draws on standard error when it is a terminal.

The line says how many lines and bytes of the current input were read (and
what share of its size, when known). It is redrawn in place, with escape
codes unless ``TERM=dumb`` or ``NO_COLOR`` is set, and then with carriage
returns and spaces only; it is wiped before anything else is written there.
"""

from __future__ import annotations

import os
import time
from typing import TextIO

from .. import jsonl

__all__ = ["Progress", "escapes", "AFTER", "EVERY"]

AFTER = 0.5  # seconds before the first progress line
EVERY = 0.2  # seconds between progress lines


def escapes() -> bool:
    """Whether the terminal may be sent escape codes."""
    return os.environ.get("TERM") != "dumb" and not os.environ.get("NO_COLOR")


class Progress:
    """The progress line on `err`; `on` is False when it is never shown."""

    def __init__(self, err: TextIO, on: bool, escapes: bool = True) -> None:
        self.err = err
        self.on = on
        self.escapes = escapes
        self.shown = False
        self.width = 0  # of the widest line drawn, which a redraw without escapes covers
        self.next = time.perf_counter() + AFTER

    def update(self, source: jsonl.Source, lines: int, done: int) -> None:
        """Redraws the line for `source`, `lines` lines and `done` bytes into
        it, when the last one is old enough."""
        now = time.perf_counter()
        if now < self.next:
            return
        self.next = now + EVERY
        read = f"{done / 1e6:,.1f} MB"
        if source.size:
            read += f" of {source.size / 1e6:,.1f} MB ({100 * done / source.size:.0f}%)"
        self._draw(f"{source.name}: {lines:,} lines, {read}")

    def draw(self, shown: str) -> None:
        """Redraws the line as `shown`, when the last one is old enough."""
        now = time.perf_counter()
        if now < self.next:
            return
        self.next = now + EVERY
        self._draw(shown)

    def _draw(self, shown: str) -> None:
        if self.escapes:
            self.err.write("\r\x1b[K" + shown)
        else:
            # Without escape codes the line is redrawn over itself, padded
            # with spaces to cover a longer previous one.
            self.err.write("\r" + shown.ljust(self.width))
            self.width = max(self.width, len(shown))
        self.err.flush()
        self.shown = True

    def clear(self) -> None:
        """Wipes the line, if one is shown."""
        if self.shown:
            if self.escapes:
                self.err.write("\r\x1b[K")
            else:
                self.err.write("\r" + " " * self.width + "\r")
            self.err.flush()
            self.shown = False
