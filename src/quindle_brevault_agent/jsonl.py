"""JSON Lines input, read the same way by every command that takes it.

An input is a file name or ``-`` for standard input, read in binary chunks.
Gzip-compressed input (found by its first two bytes, whatever its name) is
decompressed as it is read. Each line is numbered from 1, a UTF-8 byte order
mark at the start of an input is dropped, and a line ends at ``\\n`` (a ``\\r``
before it is JSON white space). Blank lines are skipped but counted, and a
long run of empty ones is stepped over at once (`parts`). A line
that is not UTF-8 or not JSON comes back with the reason, so that the command
can report it as ``FILE:LINE: reason`` and go on; an input that is binary
data rather than text, or whose gzip data is damaged, cannot be read at all.

Lines are parsed by msgspec when it is installed (the ``fast`` extra) and the
environment variable ``QUINDLE_BREVAULT_AGENT_JSON`` is not ``stdlib``, else
by the standard library's JSON scanner. Both give the values that
``json.loads`` gives: any line that msgspec rejects goes to ``json.loads``,
and the reason a line is not JSON is always the standard library's.
"""

from __future__ import annotations

import gzip
import json
import os
import re
import zlib
from dataclasses import dataclass
from json.decoder import JSONDecoder
from json.scanner import make_scanner
from typing import Any, BinaryIO, Callable, Generator, Iterable, Iterator, Sequence, cast

__all__ = [
    "InputError",
    "Source",
    "open_sources",
    "close_sources",
    "read",
    "blocks",
    "parts",
    "parse",
    "parse_line",
    "line_decoder",
    "text_scanner",
    "decode_piece",
    "PIECE",
    "parser_name",
    "kind",
    "ENVIRONMENT",
]

CHUNK = 1 << 20  # bytes read at a time

ENVIRONMENT = "QUINDLE_BREVAULT_AGENT_JSON"  # "stdlib": never use msgspec

_BOM = b"\xef\xbb\xbf"
_GZIP = b"\x1f\x8b"

# Lines this long or longer skip msgspec. msgspec and the standard library
# stop at the same nesting depth (the interpreter's C recursion limit), but a
# line that cannot nest deep enough to come near it makes that certain.
_FAST_LINE_LIMIT = 1 << 14

# Bytes of whole lines that a caller gives `decode_piece` at a time: under
# the line limit, and small enough for the values to stay in the cache.
PIECE = 1 << 13

# The standard library's scanner: ``scan(text, 0)`` is ``(value, end)`` for
# the JSON value at the start of `text`, the value json.loads gives.
_scan: Callable[[str, int], tuple[Any, int]] = make_scanner(cast(Any, JSONDecoder()))


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


# ---------------------------------------------------------------- bytes


class _Counted:
    """The stream of a gzip input, as the gzip module reads it: the bytes
    already taken from it to recognise it come first, and the bytes read so
    far are counted (for progress against the file's size)."""

    def __init__(self, head: bytes, stream: BinaryIO) -> None:
        self.head = head
        self.stream = stream
        self.done = len(head)

    def read(self, size: int = -1) -> bytes:
        # The gzip module takes a short read for the end of its input.
        head = self.head
        if 0 <= size <= len(head):
            self.head = head[size:]
            return head[:size]
        self.head = b""
        data = head
        while size < 0 or len(data) < size:
            more = self.stream.read(-1 if size < 0 else size - len(data))
            if not more:
                break
            self.done += len(more)
            data += more
        return data

    def seek(self, offset: int, /) -> int:
        raise OSError("a gzip input is read once, from start to end")


def _unreadable(name: str, exc: BaseException) -> InputError:
    if isinstance(exc, EOFError):
        reason = "truncated gzip data"
    elif isinstance(exc, (zlib.error, gzip.BadGzipFile)):
        reason = f"corrupt gzip data ({exc})"
    elif isinstance(exc, OSError):
        reason = exc.strerror or str(exc)
    else:
        reason = str(exc)
    return InputError(f"cannot read {name}: {reason}")


def _stream_chunks(source: Source) -> Generator[tuple[bytes, int], None, None]:
    """``(data, done)``: the bytes of `source`, decompressed when it is gzip,
    and the bytes read from its stream so far."""
    stream = source.stream
    read_chunk = getattr(stream, "read1", stream.read)
    head = read_chunk(CHUNK)
    while 0 < len(head) < 2:
        more = read_chunk(CHUNK)
        if not more:
            break
        head += more
    if not head.startswith(_GZIP):
        done = len(head)
        data = head
        while data:
            yield data, done
            data = read_chunk(CHUNK)
            done += len(data)
        return
    counted = _Counted(head, stream)
    with gzip.GzipFile(fileobj=counted, mode="rb") as unzipped:
        while data := unzipped.read1(CHUNK):
            yield data, counted.done


def _chunks(source: Source) -> Iterator[tuple[bytes, int]]:
    """`_stream_chunks` with the first block checked: its byte order mark
    dropped, and binary data refused."""
    chunks = _stream_chunks(source)
    try:
        first = b""
        done = 0
        for data, done in chunks:
            first += data
            if len(first) >= len(_BOM):
                break
        if first.startswith(_BOM):
            first = first[len(_BOM) :]
        if _is_binary(first):
            raise InputError(f"cannot read {source.name}: binary data, not text")
        if first:
            yield first, done
        yield from chunks
    except (OSError, EOFError, zlib.error) as exc:
        raise _unreadable(source.name, exc) from exc
    finally:
        chunks.close()


def _is_binary(block: bytes) -> bool:
    """Whether the first block of an input is binary data rather than text
    with some bad lines: it holds a NUL byte (as grep and git judge), and
    fewer than half of its lines are UTF-8 text without one. A text file
    that a crash left with a run of NUL bytes is still read line by line."""
    if b"\0" not in block:
        return False
    lines = [line for line in block.split(b"\n") if line]
    text = 0
    for line in lines:
        if b"\0" not in line:
            try:
                line.decode("utf-8")
            except UnicodeDecodeError:
                continue
            text += 1
    return 2 * text < len(lines)


# ---------------------------------------------------------------- lines

# Empty lines in a row from which a run is stepped over at once; fewer are
# skipped one by one, at little cost, so that a block without a long run is
# read as one part.
_RUN = b"\n" * 16
_NEWLINES = re.compile(rb"\n+")


def parts(block: bytes) -> Iterator[tuple[bytes, int]]:
    """``(part, empty)``: the lines of `block` (a block of `blocks`) with each
    long run of empty lines cut out. A part is whole lines of the block
    (``part.count(b"\\n") + 1`` of them, in the block's order), and `empty`
    is how many empty lines of the block come after it, before the next part."""
    start = 0
    size = len(block)
    while True:
        at = block.find(_RUN, start)
        if at < 0:
            yield (block[start:] if start else block), 0
            return
        # The newline at `at` ends the part's last line; each newline after
        # it in the run ends an empty line.
        found = _NEWLINES.match(block, at)
        assert found is not None
        end = found.end()
        if end == size:  # the block's last line, after its last newline, is empty too
            yield block[start:at], end - at
            return
        yield block[start:at], end - at - 1
        start = end


Line = tuple[int, bytes, Any, "str | None"]

_msgspec_decode: Callable[[bytes], Any] | None = None
_msgspec_decode_lines: Callable[[bytes], list[Any]] | None = None
_msgspec_missing = False


def _fast_decode() -> Callable[[bytes], Any] | None:
    """msgspec's JSON decoder, or None when it is not installed or turned off."""
    global _msgspec_decode, _msgspec_decode_lines, _msgspec_missing
    if os.environ.get(ENVIRONMENT, "").strip().lower() == "stdlib":
        return None
    if _msgspec_decode is None and not _msgspec_missing:
        try:
            import msgspec
        except ImportError:
            _msgspec_missing = True
            return None
        decoder = msgspec.json.Decoder()
        _msgspec_decode = decoder.decode
        _msgspec_decode_lines = decoder.decode_lines
    return _msgspec_decode


def parser_name() -> str:
    """The parser that `read` and `parse` use now: ``"msgspec"`` or ``"json"``."""
    return "json" if _fast_decode() is None else "msgspec"


def _assemble(pieces: list[bytes]) -> bytes:
    """A line that spanned several chunks, copied once."""
    return b"".join(pieces)


def blocks(source: Source) -> Iterator[tuple[bytes, int]]:
    """``(block, done)``: `source` in blocks of whole lines, each without its
    final ``\\n``, and the bytes read so far. A block holds
    ``block.count(b"\\n") + 1`` lines; `parse` reads them. An input that
    cannot be read raises `InputError`."""
    carry: list[bytes] = []
    done = 0
    for data, done in _chunks(source):
        end = data.rfind(b"\n")
        if end < 0:
            carry.append(data)
            continue
        if carry:
            carry.append(data[:end])
            block = _assemble(carry)
            carry = []
        else:
            block = data[:end]
        if end + 1 < len(data):
            carry.append(data[end + 1 :])
        yield block, done
    if carry:
        yield _assemble(carry), done


def read(
    source: Source, chunk_done: Callable[[int, int], None] | None = None
) -> Iterator[Line]:
    """``(number, raw, value, error)`` for each line of `source` that is not blank.

    `raw` is the line's bytes without its ``\\n`` (after decompression);
    `value` is the parsed JSON value, or None when `error` gives the reason
    the line is not JSON. `chunk_done(lines, bytes_read)` is called once
    every line of a chunk has been taken. An input that cannot be read
    raises `InputError`.
    """
    number = 0
    for block, done in blocks(source):
        yield from _lines(block, number)
        number += block.count(b"\n") + 1
        if chunk_done is not None:
            chunk_done(number, done)


def _scan_line(raw: bytes) -> Any:
    """The value of a line for the scanner, or an exception for `parse_line`."""
    text = raw.decode("utf-8")
    value, end = _scan(text, 0)
    if end == len(text) or (end == len(text) - 1 and text[end] == "\r"):
        return value
    raise ValueError("not the whole line")


def line_decoder() -> tuple[Callable[[bytes], Any], int]:
    """``(decode, limit)`` for a caller that walks the lines of a block itself.

    For a line shorter than `limit` bytes, ``decode(raw)`` is the value that
    json.loads gives, or it raises (any exception): that line, and every
    line of `limit` bytes or more, goes to `parse_line`, which decides and
    gives the reason.
    """
    fast = _fast_decode()
    if fast is not None:
        return fast, _FAST_LINE_LIMIT
    return _scan_line, 1 << 62


def decode_piece(piece: bytes) -> list[Any] | None:
    """The value of each line of `piece` (lines without their ``\n``
    between them), as `line_decoder`'s decode gives it, in one call to
    msgspec; None when msgspec is not in use, or the piece is not one that
    it reads this way (then each line goes its own way).

    msgspec reads a piece as JSON values parted by white space, so values
    and lines must be shown to match one to one. They do when the piece is
    shorter than the line limit, every line begins with ``{`` and ends with
    ``}``, and there are as many values as lines: a newline is never inside
    a string, and within a value a ``}`` cannot be followed by ``{``, so no
    value runs on past its line; each line then starts a value, and one
    more value on some line would make more values than lines.
    """
    fast = _fast_decode()
    if (
        fast is None
        or len(piece) >= _FAST_LINE_LIMIT
        or not piece.startswith(b"{")
        or not piece.endswith(b"}")
    ):
        return None
    newlines = piece.count(b"\n")
    if piece.count(b"\n{") != newlines or piece.count(b"}\n") != newlines:
        return None
    assert _msgspec_decode_lines is not None
    try:
        values: list[Any] = _msgspec_decode_lines(piece)
    except Exception:
        return None
    return values if len(values) == newlines + 1 else None


def text_scanner() -> Callable[[str, int], tuple[Any, int]] | None:
    """The standard library's scanner when it is the parser in use, else None.

    A caller that has a block as text may scan each line with it:
    ``scan(line, 0)`` is ``(value, end)``, the value json.loads gives when
    `end` is the line's length (or its length less one for a final ``\r``);
    any other line goes to `parse_line`.
    """
    return _scan if _fast_decode() is None else None


def parse(block: bytes, number: int = 0) -> Iterator[Line]:
    """``(number, raw, value, error)`` for each line of `block` (a block of
    `blocks`) that is not blank, numbered from ``number + 1``."""
    return _lines(block, number)


# Each line is yielded as soon as it is parsed: a value that is used and
# dropped at once leaves its memory warm for the next line's.
def _lines(block: bytes, number: int) -> Iterator[Line]:
    decode, limit = line_decoder()
    for part, empty in parts(block):
        for raw in part.split(b"\n"):
            number += 1
            if raw and len(raw) < limit:
                try:
                    value = decode(raw)
                except Exception:
                    pass  # json.loads decides and gives the reason
                else:
                    yield number, raw, value, None
                    continue
            line = parse_line(number, raw)
            if line is not None:
                yield line
        number += empty


def parse_line(number: int, raw: bytes) -> Line | None:
    """The line numbered `number` as json.loads reads it, or None for a blank one."""
    if raw.isspace() or not raw:  # what json.loads would refuse at some cost
        return None
    try:
        return number, raw, json.loads(raw.decode("utf-8")), None
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
