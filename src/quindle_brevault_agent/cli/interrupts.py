"""Ctrl-C for the commands that write rows as they decide them.

A row must never be written but not counted, or counted but not written, so
a command holds a Ctrl-C back while it is in the middle of one and raises
it where nothing is half done. `Interrupts` does this by where the signal
lands: in the command line's own code (deciding, rendering, counting,
writing) it waits for the next `check`; in the reader, which only reads and
parses, it is raised at once, since no row is half done then and a read that
blocks on a pipe must end. `install` and `restore` serve a command that
keeps its own flags instead.
"""

from __future__ import annotations

import signal
import threading
from typing import Any, Callable

from .. import jsonl

__all__ = ["Interrupts", "install", "restore"]

# The modules whose code holds a Ctrl-C back: the command line's own.
_COMMAND_LINE = __name__.rpartition(".")[0] + "."
_READER = vars(jsonl)


class Interrupts:
    """Ctrl-C that never leaves a row written but not counted, or counted but
    not written.

    While the reader is reading or parsing, the interrupt is raised at once.
    While the command line's code decides, counts or writes a row, it waits
    for the end of the chunk (`check`); a second Ctrl-C does not wait, and
    neither does one while `at_once` is set (waiting for input or a worker,
    when nothing is half done).
    """

    def __init__(self) -> None:
        self.pending = False
        self.at_once = False
        self.previous: Any = None

    def __enter__(self) -> Interrupts:
        try:
            if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
                self.previous = signal.signal(signal.SIGINT, self.handle)
        except ValueError:  # not the main thread: Ctrl-C is not ours to handle
            pass
        return self

    def __exit__(self, *exc: object) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
            self.previous = None

    def handle(self, signum: int, frame: Any) -> None:
        """The SIGINT handler: notes the interrupt when `frame` is in the
        command line's code, else raises it."""
        if self.at_once or self.pending:
            raise KeyboardInterrupt
        while frame is not None:
            where = frame.f_globals
            if where is _READER:
                break
            name = where.get("__name__")
            if name.__class__ is str and name.startswith(_COMMAND_LINE):
                self.pending = True
                return
            frame = frame.f_back
        raise KeyboardInterrupt

    def check(self) -> None:
        """Raises the interrupt held back, if any."""
        if self.pending:
            self.pending = False
            raise KeyboardInterrupt


def install(handler: Callable[[int, Any], None]) -> Any:
    """Installs `handler` for SIGINT; returns what to restore, or None when it was
    not installed (SIGINT ignored, or not the main thread)."""
    if threading.current_thread() is not threading.main_thread():
        return None
    previous = signal.getsignal(signal.SIGINT)
    if previous is signal.SIG_IGN or previous is None:
        return None
    signal.signal(signal.SIGINT, handler)
    return previous


def restore(previous: Any) -> None:
    """Puts back the SIGINT handler that `install` replaced."""
    if previous is not None:
        signal.signal(signal.SIGINT, previous)
