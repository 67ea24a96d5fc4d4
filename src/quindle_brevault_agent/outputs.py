"""An output that is one of the command's own inputs is refused before it is written.

``replay EVENTS -o EVENTS`` would empty the events before reading them, and
``test CASES >> CASES`` would append the report to the cases. Every command
that writes a file it was given (or its standard output) asks `refusal`
first, with its outputs and inputs (the POLICY file, the input files, and
standard input when it is read), and stops with the one message it returns.
Files are the same when they have the same device and inode, so hard and
symbolic links are seen through. Only regular files are compared: a
terminal, a pipe or ``/dev/null`` is never lost by being written.
"""

from __future__ import annotations

import os
import stat
import sys
from typing import Any, Iterable, Sequence

from . import jsonl

__all__ = ["refusal", "inputs", "standard_output", "STANDARD_INPUT", "STANDARD_OUTPUT"]

PROG = "quindle-brevault-agent"

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
