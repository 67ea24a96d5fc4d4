"""Ctrl-C for a command that runs as a subprocess."""

from __future__ import annotations

import signal
import subprocess
import threading
from contextlib import contextmanager
from typing import Iterator


@contextmanager
def ctrl_c_until_it_ends(proc: subprocess.Popen, every: float = 0.5, tries: int = 120) -> Iterator[None]:
    """Presses Ctrl-C on `proc` at once, then again every `every` seconds
    until the block ends (wait for the process inside it). A signal that
    lands just before a read starts to wait is only seen when the read ends,
    as in any Python program, so once is not always enough. A process that
    outlasts every try is killed, and so fails the test."""
    stop = threading.Event()

    def press() -> None:
        for _ in range(tries):
            proc.send_signal(signal.SIGINT)
            if stop.wait(every):
                return
        proc.kill()

    presser = threading.Thread(target=press)
    presser.start()
    try:
        yield
    finally:
        stop.set()
        presser.join()
