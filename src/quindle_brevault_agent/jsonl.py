"""JSON Lines input, read the same way by every command that takes it.

An input is a file name or ``-`` for standard input, read in binary chunks.
Each line is numbered from 1, a UTF-8 byte order mark at the start of an
input is dropped, and a line ends at ``\\n`` (a ``\\r`` before it is JSON
white space). Blank lines are skipped but counted. A line that is not UTF-8
or not JSON comes back with the reason, so that the command can report it
as ``FILE:LINE: reason`` and go on.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from typing import Any, BinaryIO, Callable, Iterable, Iterator, Sequence

__all__ = ["InputError", "Source", "open_sources", "close_sources", "read", "kind"]

CHUNK = 1 << 20  # bytes read at a time

_BOM = b"\xef\xbb\xbf"


class InputError(Exception):
    """An input could not be opened or read; the command stops with this message."""


@dataclass
class Source:
    """One input: its name as given (``-`` for standard input), its stream and size."""

    name: str
    stream: BinaryIO
    size: int | None


def open_sources(names: Sequence[str], stdin: BinaryIO) -> list[Source]:
    """Opens every input, or none: the first that cannot be opened raises `InputError`."""
    sources: list[Source] = []
    try:
        for name in names:
            if name == "-":
                sources.append(Source("-", stdin, None))
                continue
            try:
                stream = open(name, "rb")
            except OSError as exc:
                raise InputError(f"cannot open {name}: {exc.strerror or exc}") from exc
            sources.append(Source(name, stream, _size(stream)))
    except InputError:
        close_sources(sources)
        raise
    return sources


def close_sources(sources: Iterable[Source]) -> None:
    for source in sources:
        if source.name != "-":
            source.stream.close()


def _size(stream: BinaryIO) -> int | None:
    try:
        size = os.fstat(stream.fileno()).st_size
    except OSError:
        return None
    return size or None


Line = tuple[int, bytes, Any, "str | None"]


def read(
    source: Source, chunk_done: Callable[[int, int], None] | None = None
) -> Iterator[Line]:
    """``(number, raw, value, error)`` for each line of `source` that is not blank.

    `raw` is the line's bytes without its ``\\n``; `value` is the parsed JSON
    value, or None when `error` gives the reason the line is not JSON.
    `chunk_done(lines, bytes_read)` is called once every line of a chunk has
    been taken. An input that cannot be read raises `InputError`.
    """
    stream = source.stream
    read_chunk = getattr(stream, "read1", stream.read)
    loads = json.loads
    carry = b""
    number = 0
    done = 0
    first = True
    while True:
        try:
            data = read_chunk(CHUNK)
        except OSError as exc:
            raise InputError(f"cannot read {source.name}: {exc.strerror or exc}") from exc
        if not data:
            break
        done += len(data)
        if first:
            first = False
            if data.startswith(_BOM):
                data = data[3:]
        end = data.rfind(b"\n")
        if end < 0:
            carry += data
            continue
        block = carry + data[:end] if carry else data[:end]
        carry = data[end + 1 :]
        for raw in block.split(b"\n"):
            number += 1
            line = _parse(number, raw, loads)
            if line is not None:
                yield line
        if chunk_done is not None:
            chunk_done(number, done)
    if carry:
        number += 1
        line = _parse(number, carry, loads)
        if line is not None:
            yield line
        if chunk_done is not None:
            chunk_done(number, done)


def _parse(number: int, raw: bytes, loads: Callable[[str], Any]) -> Line | None:
    """The line numbered `number`, or None for a blank one."""
    try:
        return number, raw, loads(raw.decode("utf-8")), None
    except UnicodeDecodeError as exc:
        return number, raw, None, f"not UTF-8 text: {exc.reason} at column {exc.start + 1}"
    except (ValueError, RecursionError) as exc:
        if raw.strip():
            return number, raw, None, f"not JSON: {exc}"
        return None


def kind(value: Any) -> str:
    """What a JSON value is, for a message: "an array", "a string", "null"..."""
    if isinstance(value, list):
        return "an array"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if value is None:
        return "null"
    return f"a {type(value).__name__}"
