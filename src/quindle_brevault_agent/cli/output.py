"""What every command writes through: the program's name in its messages, the
test for a terminal, output whose reader has gone away, and an output that
is one of the command's own inputs.

A reader that goes away (``| head``) is not an error: the command stops
writing to it and ends with its own exit status. Output that cannot be
written for any other reason (a full disk) is an `OutputError`, which each
command reports in its own words (`write_out` and `flush_out` raise it for
standard output, as "cannot write standard output: REASON"). A standard
output that was closed when the command started (``>&-``) is `ClosedOutput`:
writing to it fails as a write to a closed file descriptor does. Text that
the output's encoding cannot hold (a lone surrogate from a JSON escape) is
written escaped (`escaping`).

An output that is one of the command's own inputs is refused before it is
written. ``replay EVENTS -o EVENTS`` would empty the events before reading
them, and ``test CASES >> CASES`` would append the report to the cases.
Every command that writes a file it was given (or its standard output) asks
`refusal` first, with its outputs and inputs (the POLICY file, the input
files, and standard input when it is read), and stops with the one message
it returns. Files are the same when they have the same device and inode, so
hard and symbolic links are seen through. Only regular files are compared:
a terminal, a pipe or ``/dev/null`` is never lost by being written.
"""

from __future__ import annotations

import errno
import io
import os
import stat
import sys
from typing import Any, Iterable, Sequence, TextIO

from .. import jsonl

__all__ = [
    "PROG", "OutputError", "isatty", "silence", "QuietWhenGone", "ClosedOutput",
    "escaping", "write_out", "flush_out",
    "refusal", "inputs", "standard_output", "STANDARD_INPUT", "STANDARD_OUTPUT",
]

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
        if self._stream is None:  # closed when the command started
            return len(text)
        try:
            return self._stream.write(text)
        except BrokenPipeError:
            silence(self._stream)
            return len(text)

    def flush(self) -> None:
        if self._stream is None:
            return
        try:
            self._stream.flush()
        except BrokenPipeError:
            silence(self._stream)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


class ClosedOutput(io.TextIOBase):
    """Standard output for a command started with it closed: every write
    fails as a write to a closed file descriptor does, so that the command
    says so in its own words."""

    def write(self, text: str) -> int:
        raise OSError(errno.EBADF, os.strerror(errno.EBADF))

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False


def escaping(out: TextIO) -> None:
    """Has `out` write what its encoding cannot hold as backslash escapes
    (``\\ud800``), under a strict handler and under ``surrogateescape`` (the
    C and C.UTF-8 locales) alike, rather than fail the write."""
    if isinstance(out, io.TextIOWrapper) and out.errors in ("strict", "surrogateescape"):
        try:
            out.reconfigure(errors="backslashreplace")
        except (OSError, ValueError):
            pass  # a failed flush: the next write says so


def _write_failed(out: TextIO, exc: OSError) -> OutputError:
    silence(out)
    return OutputError(f"cannot write standard output: {exc.strerror or exc}")


def write_out(out: TextIO, text: str) -> None:
    """Writes `text` to standard output `out`. Once its reader has gone away,
    what follows goes nowhere, quietly; any other failure raises `OutputError`."""
    try:
        out.write(text)
    except BrokenPipeError:
        silence(out)
    except OSError as exc:
        raise _write_failed(out, exc) from exc


def flush_out(out: TextIO) -> None:
    """Flushes standard output `out`, as `write_out` writes."""
    try:
        out.flush()
    except BrokenPipeError:
        silence(out)
    except OSError as exc:
        raise _write_failed(out, exc) from exc


# ---------------------------------------------------------------- an output that is an input


STANDARD_INPUT = "standard input"
STANDARD_OUTPUT = "standard output"

# A file as `refusal` takes it: a path, an open file descriptor, or a stream
# that has one; None stands for a file that is not there.
File = str | int | Any | None


def _identity(file: File) -> tuple[int, int] | None:
    """``(device, inode)`` of the regular file `file` is, else None."""
    try:
        if file is None:
            return None
        if isinstance(file, (str, bytes, os.PathLike)):
            info = os.stat(file)
        else:
            info = os.fstat(file if isinstance(file, int) else file.fileno())
    except (OSError, ValueError, AttributeError):
        # Not there (an output not made yet), or a stream with no file.
        return None
    if not stat.S_ISREG(info.st_mode):
        return None
    return info.st_dev, info.st_ino


def refusal(outputs: Iterable[tuple[str, File]], inputs: Iterable[tuple[str, File]]) -> str | None:
    """The message (a line, without its newline) for the first output that is
    the same regular file as an input, or None when none is. Each output and
    input is ``(name shown, file)``."""
    seen: dict[tuple[int, int], str] = {}
    for name, file in inputs:
        key = _identity(file)
        if key is not None:
            seen.setdefault(key, name)
    for name, file in outputs:
        key = _identity(file)
        if key is not None and key in seen:
            return f"{PROG}: {name} is the same file as input {seen[key]}"
    return None


def policy_file(target: str) -> tuple[str, File]:
    """The file that the POLICY argument `target` is read from, as an input for
    `refusal`: a policy file or Python file (without its ``:NAME``), or the
    file of a module already imported."""
    if os.path.isfile(target):
        return target, target
    ref, colon, name = target.rpartition(":")
    if colon and name.isidentifier() and ref:
        if os.path.isfile(ref):
            return ref, ref
        target = ref
    found = getattr(sys.modules.get(target), "__file__", None)
    return (found, found) if isinstance(found, str) else (target, None)


def standard_output() -> tuple[str, File]:
    """Standard output, as an output for `refusal`."""
    return STANDARD_OUTPUT, sys.stdout


def inputs(policies: Sequence[str], sources: Sequence[jsonl.Source]) -> list[tuple[str, File]]:
    """The inputs of a command for `refusal`: its POLICY arguments and its open `sources`."""
    found = [policy_file(target) for target in policies]
    found += [(STANDARD_INPUT if s.name == "-" else s.name, s.stream) for s in sources]
    return found
