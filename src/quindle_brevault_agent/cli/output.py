"""What every command writes through: the program's name in its messages, the
test for a terminal, and output whose reader has gone away.

A reader that goes away (``| head``) is not an error: the command stops
writing to it and ends with its own exit status. Output that cannot be
written for any other reason (a full disk) is an `OutputError`, which each
command reports in its own words.
"""

from __future__ import annotations

import os
from typing import Any, TextIO

__all__ = ["PROG", "OutputError", "isatty", "silence", "QuietWhenGone"]

PROG = "quindle-brevault-agent"


class OutputError(Exception):
    """Output cannot be written; the message says why."""


def isatty(stream: Any) -> bool:
    """Whether `stream` is a terminal; a stream that cannot tell is not."""
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def silence(out: TextIO) -> None:
    """Points `out` at the null device: later flushes (at exit included) cannot fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, out.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


class QuietWhenGone:
    """Standard error for a command: once whoever read it has gone away (a
    closed pipe), further messages are dropped, so that the command still
    ends with its own exit status rather than a BrokenPipeError."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        try:
            return self._stream.write(text)
        except BrokenPipeError:
            silence(self._stream)
            return len(text)

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError:
            silence(self._stream)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)
